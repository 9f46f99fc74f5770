#include "results.h"

#include <chrono>
#include <stdexcept>

#include "axodict.h"

using namespace tagengine;

namespace tagproto {

namespace {

// The table's name of the tag, or its id when the table has none. Each
// name is made once, interned, and kept for the process's life: a reply's
// keys cost no copy.
py::object key(uint8_t id) {
    static PyObject* names[256] = {};
    const char* name = AXO::tagName(id);
    if (!name) return py::int_(id);
    if (!names[id]) {
        names[id] = PyUnicode_InternFromString(name);
        if (!names[id]) throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::str>(names[id]);
}

py::dict differencesDict(const Result& result) {
    py::dict differences;
    for (const Mismatch& m : result.mismatches) {
        py::object read = m.read ? toPython(valueOf(*m.read)) : py::none();
        differences[key(m.wrote->tagId)] = py::make_tuple(toPython(valueOf(*m.wrote)), read);
    }
    return differences;
}

// The status word, made once and interned like the keys.
py::object statusWord(Status status) {
    static PyObject* words[256] = {};  // any value of the enum's byte
    PyObject*& word = words[uint8_t(status)];
    if (!word) {
        word = PyUnicode_InternFromString(statusName(status));
        if (!word) throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::str>(word);
}

py::object roundTripOf(const Result& r) {
    bool timed = r.status == Status::Answered || r.status == Status::ErrorReply ||
                 r.status == Status::Refused || r.status == Status::Verified || r.status == Status::Mismatch;
    if (!timed) return py::none();
    return py::float_(std::chrono::duration<double>(r.roundTrip).count());
}

PyObject* resultClass = nullptr;
PyObject* resultOfTuple = nullptr;

}  // namespace

py::object toPython(const Value& value) {
    switch (value.kind) {
    case ValueKind::Integer: return py::int_(value.integer);
    case ValueKind::Float: return py::float_(value.real);
    case ValueKind::Text: {
        // The engine's check is as strict as Python's decoder; should they
        // ever differ, a device's bytes still arrive, as bytes.
        PyObject* text = PyUnicode_DecodeUTF8(value.text.data(), Py_ssize_t(value.text.size()), nullptr);
        if (text) return py::reinterpret_steal<py::str>(text);
        PyErr_Clear();
        return py::bytes(value.text);
    }
    case ValueKind::Bytes: return py::bytes(value.text);
    default: return py::none();
    }
}

py::dict valuesDict(const Result& result) {
    py::dict values;
    if (!result.reply) return values;
    // A tag repeated in the reply keeps its last copy.
    for (const TagValue& v : valuesOf(*result.reply)) values[key(v.id)] = toPython(v.value);
    return values;
}

py::tuple resultTuple(const Result& r) {
    return py::make_tuple(r.id, r.target, statusWord(r.status), valuesDict(r), r.attempts, roundTripOf(r),
                          r.detail, differencesDict(r), r.setSent);
}

void useResults(const py::object& cls, const py::object& fromTuple) {
    if (resultClass) return;
    resultClass = cls.inc_ref().ptr();
    resultOfTuple = fromTuple.inc_ref().ptr();
}

py::object resultObject(const Result& r) {
    if (!resultClass) throw std::logic_error("tagproto._results has not handed over Result");
    if (r.status != Status::Answered && r.status != Status::Verified && r.status != Status::Sent)
        return py::reinterpret_borrow<py::object>(resultOfTuple)(resultTuple(r));
    py::object args[] = {py::str(r.target),    statusWord(r.status), valuesDict(r),
                         py::int_(r.attempts), roundTripOf(r),       py::none()};
    PyObject* raw[] = {args[0].ptr(), args[1].ptr(), args[2].ptr(),
                       args[3].ptr(), args[4].ptr(), args[5].ptr()};
    PyObject* made = PyObject_Vectorcall(resultClass, raw, 6, nullptr);
    if (!made) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

}  // namespace tagproto
