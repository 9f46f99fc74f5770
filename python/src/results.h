// A result of the engine as Python sees it: values as Python's own types,
// keys as the tag table names them, and the Result objects of a poll.
#ifndef TAGPROTO_RESULTS_H
#define TAGPROTO_RESULTS_H

#include <pybind11/pybind11.h>

#include "tagengine.h"

namespace tagproto {

namespace py = pybind11;

py::object toPython(const tagengine::Value& value);

// The reply's values, name -> value (a tag repeated keeps its last copy);
// empty without a reply.
py::dict valuesDict(const tagengine::Result& result);

// (id, target, status, values, attempts, round trip or None, detail,
// differences, set sent), for the package's _result.
py::tuple resultTuple(const tagengine::Result& result);

// The package's Result class and its _result(tuple), which the package
// hands over when imported; kept for the process's life.
void useResults(const py::object& cls, const py::object& fromTuple);

// A Result object: one constructor call for what succeeded, the package's
// _result (which makes the exception) for the rest.
py::object resultObject(const tagengine::Result& result);

}  // namespace tagproto

#endif
