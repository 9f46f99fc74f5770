// tagproto._engine: the engine and the tag table for the Python package.
// Values cross as Python's own types; results as Result objects (a poll's)
// or plain tuples, which the package's Python part turns into exceptions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <arpa/inet.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "axodict.h"
#include "driver.h"
#include "plain_calls.h"
#include "results.h"
#include "tag_text.h"
#include "tag_vocabulary.h"

namespace py = pybind11;
using namespace tagengine;
using tagproto::Ended;
using tagproto::resultObject;
using tagproto::resultTuple;
using tagproto::toPython;
using tagproto::valuesDict;

namespace {

const char* kindWord(TagKind kind) {
    switch (kind) {
    case TagKind::None: return "none";
    case TagKind::Float: return "float";
    case TagKind::String: return "text";
    default: return "integer";
    }
}

// A tag as the caller named it: a name of the table (case ignored) or one
// of its ids.
uint8_t tagIdFrom(const py::handle& tag) {
    if (py::isinstance<py::bool_>(tag)) throw py::type_error("a tag is a name or an id, not a bool");
    if (py::isinstance<py::int_>(tag)) {
        // A Python int may be of any size: range-checked before narrowing.
        py::int_ number = py::reinterpret_borrow<py::int_>(tag);
        if (number < py::int_(0) || number > py::int_(255))
            throw std::invalid_argument("no tag " + std::string(py::str(tag)) + " in the tag table");
        return tagIdOf(std::to_string(number.cast<int>()));
    }
    if (py::isinstance<py::str>(tag)) return tagIdOf(tag.cast<std::string>());
    throw py::type_error("a tag is a name or an id, not " +
                         std::string(py::str(tag.get_type().attr("__name__"))));
}

std::vector<uint8_t> tagIdsFrom(const py::iterable& tags) {
    std::vector<uint8_t> ids;
    for (py::handle tag : tags) ids.push_back(tagIdFrom(tag));
    return ids;
}

Value valueFrom(const py::handle& value, uint8_t id) {
    const std::string name = AXO::tagName(id);
    if (py::isinstance<py::bool_>(value)) throw py::type_error("a bool is no value for " + name);
    if (py::isinstance<py::int_>(value)) {
        py::int_ number = py::reinterpret_borrow<py::int_>(value);
        if (number < py::int_(0) || number > py::int_(std::numeric_limits<uint64_t>::max()))
            throw std::invalid_argument("value " + std::string(py::str(value)) + " out of range for " + name);
        return integerValue(number.cast<uint64_t>());
    }
    if (py::isinstance<py::float_>(value)) return floatValue(value.cast<double>());
    if (py::isinstance<py::str>(value)) return textValue(value.cast<std::string>());
    if (py::isinstance<py::bytes>(value)) {
        Value bytes;
        bytes.kind = ValueKind::Bytes;
        bytes.text = value.cast<std::string>();
        return bytes;
    }
    throw py::type_error("a value is an int, float, str or bytes; not " +
                         std::string(py::str(value.get_type().attr("__name__"))) + " for " + name);
}

std::vector<TagValue> valuesFrom(const py::dict& values) {
    std::vector<TagValue> out;
    for (auto [tag, value] : values) {
        TagValue v;
        v.id = tagIdFrom(tag);
        v.value = valueFrom(value, v.id);
        out.push_back(std::move(v));
    }
    return out;
}

// One exchange run to its end, for the plain calls (one crossing into C++
// a call): the reply's values when it ended as wanted, else its result
// tuple.
py::object runOne(tagproto::Driver& driver, Status wanted) {
    driver.wait(true);
    auto& ended = driver.ended();
    if (ended.size() != 1) throw std::logic_error("one exchange ended as " + std::to_string(ended.size()));
    const Result& r = ended.front().result;
    py::object result = r.status == wanted ? py::object(valuesDict(r)) : py::object(resultTuple(r));
    ended.clear();
    return result;
}

// Every result kept, as Result objects: a sync poll's batch.
py::list takeResults(tagproto::Driver& driver) {
    auto& ended = driver.ended();
    py::list results(ended.size());
    for (size_t i = 0; !ended.empty(); ++i) {
        results[i] = resultObject(ended.front().result);
        ended.pop_front();
    }
    return results;
}

// The driver as Python holds it. For an event loop, also the future of each
// exchange awaited alone, resolved in its step: a gather of thousands of
// gets costs Python no tuple, dict entry nor method call a read.
struct PyDriver : tagproto::Driver {
    using Driver::Driver;
    struct Awaited {
        py::object future;
        bool values = false;  // answered, it gets the reply's values, not the result tuple
    };
    std::unordered_map<uint64_t, Awaited> futures;
};

// The future gets the result, unless it is done (cancelled) already.
void settle(const py::object& future, const py::object& result) {
    // Made once and kept for the process's life, like the keys.
    static PyObject* const done = PyUnicode_InternFromString("done");
    static PyObject* const setResult = PyUnicode_InternFromString("set_result");
    if (!done || !setResult) throw py::error_already_set();
    auto finished = py::reinterpret_steal<py::object>(PyObject_CallMethodNoArgs(future.ptr(), done));
    if (!finished) throw py::error_already_set();
    if (finished.ptr() == Py_True) return;
    auto set =
        py::reinterpret_steal<py::object>(PyObject_CallMethodOneArg(future.ptr(), setResult, result.ptr()));
    if (!set) throw py::error_already_set();
}

// Every result kept, for an event loop's step: the awaited resolve their
// futures, and a poll's become Result objects, {poll: [Result, ...]}.
py::dict takeEnded(PyDriver& driver) {
    py::dict polls;
    auto& ended = driver.ended();
    uint64_t lastPoll = 0;
    py::list batch;
    for (; !ended.empty(); ended.pop_front()) {
        const Ended& e = ended.front();
        if (e.poll == 0) {
            auto awaited = driver.futures.find(e.result.id);
            if (awaited == driver.futures.end()) continue;
            PyDriver::Awaited a = std::move(awaited->second);
            driver.futures.erase(awaited);
            bool values = a.values && e.result.status == Status::Answered;
            settle(a.future, values ? py::object(valuesDict(e.result)) : py::object(resultTuple(e.result)));
            continue;
        }
        if (e.poll != lastPoll) {  // one poll's results mostly come together
            py::int_ number(e.poll);
            if (!polls.contains(number)) polls[number] = py::list();
            batch = polls[number];
            lastPoll = e.poll;
        }
        batch.append(resultObject(e.result));
    }
    return polls;
}

// Seconds on the clock of time.monotonic() (and asyncio's loop.time()),
// which is the steady clock's; None for never.
py::object monotonic(Clock::time_point at) {
    if (at == Clock::time_point::max()) return py::none();
    return py::float_(std::chrono::duration<double>(at.time_since_epoch()).count());
}

tagproto::CallSettings settings(double timeout, int retries, std::optional<double> budget) {
    if (!(timeout > 0) || !std::isfinite(timeout))
        throw std::invalid_argument("timeout must be a positive number of seconds");
    if (retries < 0) throw std::invalid_argument("retries must be 0 or more");
    if (budget && (!(*budget > 0) || !std::isfinite(*budget)))
        throw std::invalid_argument("budget must be a positive number of seconds, or None");
    return {timeout, retries, budget.value_or(0)};
}

py::object parseValue(const py::handle& tag, const std::string& text) {
    const TagEntry* entry = tagById(tagIdFrom(tag));
    std::string why;
    std::unique_ptr<VTag> value = tagconf::parseValue(*entry, text, why);
    if (!value) throw std::invalid_argument(why);
    return toPython(valueOf(*value));
}

// Whether submitting would look the host up (a name, not an address),
// which an event loop does not want to wait for.
bool isNameHost(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) != 1 && inet_pton(AF_INET6, host.c_str(), address) != 1;
}

bool isName(const std::string& target) { return isNameHost(exchangeTo(target).host); }

// The target's address as submit would find it, (True, address) or (False,
// reason); for a worker thread, so it waits without the GIL.
py::tuple resolve(const std::string& target) {
    Exchange e = exchangeTo(target);
    sockaddr_storage to{};
    std::string why;
    bool found = false;
    {
        py::gil_scoped_release unlocked;
        found = resolveHost(e.host, e.port, to, why);
    }
    if (!found) return py::make_tuple(false, why);
    return py::make_tuple(true, py::bytes(reinterpret_cast<const char*>(&to), sizeof to));
}

// An address resolve() gave, or null for none.
const sockaddr_storage* addressFrom(const std::optional<py::bytes>& address, sockaddr_storage& to) {
    if (!address) return nullptr;
    std::string raw = *address;
    if (raw.size() != sizeof to) throw std::invalid_argument("not an address from resolve()");
    std::memcpy(&to, raw.data(), raw.size());
    return &to;
}

// The text of a Python str, valid while the str lives; false for anything
// else (or a str with lone surrogates, which no target or tag name holds).
bool textOf(const py::handle& object, std::string_view& text) {
    if (!PyUnicode_Check(object.ptr())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    text = std::string_view(data, size_t(size));
    return true;
}

std::string_view targetOf(const py::handle& target) {
    std::string_view text;
    if (!textOf(target, text))
        throw py::type_error("a target is a str, not " +
                             std::string(py::str(target.get_type().attr("__name__"))));
    return text;
}

// The GET of the tags (a tuple, list or other iterable), the driver's kept
// one when they are the same names as its last.
std::shared_ptr<const VMsg> requestFor(tagproto::Driver& driver, const py::iterable& tags) {
    std::vector<std::string_view> names;
    // A tuple or a list can be read twice, unlike an iterator.
    bool named = PyTuple_Check(tags.ptr()) || PyList_Check(tags.ptr());
    if (named)
        for (py::handle tag : tags) {
            std::string_view name;
            if (!textOf(tag, name)) {
                named = false;
                break;
            }
            names.push_back(name);
        }
    if (named)
        if (auto kept = driver.keptGet(names)) return kept;
    auto request = getRequest(tagIdsFrom(tags));
    if (named) driver.keepGet(names, request);
    return request;
}

// A poll of the targets (any iterable of str): every one parsed, and the
// tags, before anything is queued. With deferNames, a target whose host is
// a name is left out, for the caller to look up and add: (poll number,
// exchanges queued, the targets left out).
py::tuple submitPoll(PyDriver& driver, const py::iterable& targets, const py::iterable& tags, double timeout,
                     int retries, std::optional<double> budget, bool deferNames) {
    auto call = settings(timeout, retries, budget);
    std::shared_ptr<const VMsg> request = requestFor(driver, tags);
    std::vector<Exchange> exchanges;
    if (PyList_Check(targets.ptr()) || PyTuple_Check(targets.ptr())) exchanges.reserve(py::len(targets));
    py::list names;
    for (py::handle target : targets) {
        Exchange exchange = exchangeTo(std::string(targetOf(target)));
        if (deferNames && isNameHost(exchange.host))
            names.append(target);
        else
            exchanges.push_back(std::move(exchange));
    }
    size_t queued = exchanges.size();
    uint64_t poll = driver.poll(exchanges, request, call);
    return py::make_tuple(poll, queued, names);
}

// A GET run to its end on the thread's line, the GIL released while it
// waits: the reply's values when answered, else its result tuple. A signal
// whose handler raises (Ctrl-C) cancels it and raises here.
py::object lineGet(tagengine::Line& line, Exchange& exchange, std::shared_ptr<const VMsg> request,
                   const tagproto::CallSettings& call) {
    tagproto::applySettings(exchange, call);
    exchange.request = std::move(request);
    bool raised = false;
    auto interrupted = [&raised] {
        py::gil_scoped_acquire locked;
        raised = PyErr_CheckSignals() != 0;
        return raised;
    };
    Result r;
    {
        py::gil_scoped_release unlocked;
        r = line.run(exchange, interrupted);
    }
    if (raised) throw py::error_already_set();
    return r.status == Status::Answered ? py::object(valuesDict(r)) : py::object(resultTuple(r));
}

// tagproto.get: on this thread's line, the target and tags parsed once
// while they stay the same.
py::object callGet(const py::handle& target, const py::tuple& tags, const tagproto::CallSettings& call) {
    tagproto::PlainCalls& calls = tagproto::PlainCalls::mine();
    if (calls.busy) {
        tagengine::Line own;
        Exchange exchange = exchangeTo(std::string(targetOf(target)));
        return lineGet(own, exchange, getRequest(tagIdsFrom(tags)), call);
    }
    tagproto::BusyCall busy(calls);
    std::shared_ptr<const VMsg> request = requestFor(calls.driver(), tags);
    return lineGet(calls.line(), calls.exchangeTo(targetOf(target)), std::move(request), call);
}

// timeout, retries and budget as a fast crossing passes them, positional
// Python objects, checked as settings() checks them.
tagproto::CallSettings fastSettings(PyObject* timeoutArg, PyObject* retriesArg, PyObject* budgetArg) {
    double timeout = PyFloat_AsDouble(timeoutArg);
    if (timeout == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    long retries = PyLong_AsLong(retriesArg);
    if (retries == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (retries > std::numeric_limits<int>::max() || retries < std::numeric_limits<int>::min())
        throw std::invalid_argument("retries out of range");
    std::optional<double> budget;
    if (budgetArg != Py_None) {
        budget = PyFloat_AsDouble(budgetArg);
        if (*budget == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    }
    return settings(timeout, int(retries), budget);
}

// The body's result, or null with its exception set as pybind11 would
// translate it: a fast crossing's end.
template <class Body>
PyObject* translated(const char* name, Body&& body) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        if (!py::detail::apply_exception_translators(
                py::detail::get_local_internals().registered_exception_translators) &&
            !py::detail::apply_exception_translators(
                py::detail::get_internals().registered_exception_translators))
            PyErr_Format(PyExc_SystemError, "%s: an exception of no known kind", name);
    }
    return nullptr;
}

// call_get's crossing without pybind11's dispatch, whose argument casting
// and overload walk cost a steady GET about as much as the engine's own
// work: (target, tags, timeout, retries, budget), positional, as get()
// passes them. Exceptions are translated as pybind11 translates them.
PyObject* fastCallGet(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 5) {
        PyErr_SetString(PyExc_TypeError, "call_get(target, tags, timeout, retries, budget)");
        return nullptr;
    }
    return translated("call_get", [args] {
        if (!PyTuple_Check(args[1])) throw py::type_error("tags must be a tuple");
        auto call = fastSettings(args[2], args[3], args[4]);
        return callGet(py::handle(args[0]), py::reinterpret_borrow<py::tuple>(args[1]), call).release().ptr();
    });
}

// A GET queued on the driver for an event loop, its future resolved by step
// with the reply's values or else its result tuple; none, nothing queued,
// when deferName and the host is a name, which the loop looks up first
// (then queued again with its address).
std::optional<uint64_t> queueGet(PyDriver& d, const py::handle& target, const py::iterable& tags,
                                 const tagproto::CallSettings& call, const std::optional<py::bytes>& address,
                                 bool deferName, const py::object& future) {
    Exchange exchange = exchangeTo(std::string(targetOf(target)));
    std::shared_ptr<const VMsg> request = requestFor(d, tags);
    sockaddr_storage to{};
    if (const sockaddr_storage* found = addressFrom(address, to))
        exchange.address = *found;
    else if (deferName && isNameHost(exchange.host))
        return std::nullopt;
    uint64_t id = d.get(std::move(exchange), std::move(request), call);
    if (!future.is_none()) d.futures[id] = {future, true};
    return id;
}

// Exchanges queued by aio_get since the last step that make it send them
// at once: a gather of thousands starts its tasks a turn of the loop before
// the step, and its first requests go out (and the devices start on them)
// while the rest start, four sendmmsg batches at a time.
constexpr size_t AIO_FLUSH_AFTER = 256;

// Driver.get for an event loop, without pybind11's dispatch (a gather of
// thousands pays it each call): (driver, target, tags, timeout, retries,
// budget, future), positional. The exchange's id, its future resolved by
// step with the reply's values or else its result tuple; None, nothing
// queued, when the host is a name, which the loop looks up first.
PyObject* fastAioGet(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 7) {
        PyErr_SetString(PyExc_TypeError, "aio_get(driver, target, tags, timeout, retries, budget, future)");
        return nullptr;
    }
    return translated("aio_get", [args]() -> PyObject* {
        auto& d = py::cast<PyDriver&>(py::handle(args[0]));
        if (!PyTuple_Check(args[2])) throw py::type_error("tags must be a tuple");
        auto call = fastSettings(args[3], args[4], args[5]);
        std::optional<uint64_t> id =
            queueGet(d, py::handle(args[1]), py::reinterpret_borrow<py::tuple>(args[2]), call, std::nullopt,
                     true, py::reinterpret_borrow<py::object>(args[6]));
        if (!id) Py_RETURN_NONE;
        // What ends meanwhile waits in the driver for the step already
        // scheduled, which also arms the timer.
        if (d.queuedSinceStep() >= AIO_FLUSH_AFTER) d.step({});
        return PyLong_FromUnsignedLongLong(*id);
    });
}

PyMethodDef fastAioGetDef = {
    "aio_get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastAioGet)), METH_FASTCALL,
    "aio_get(driver, target, tags, timeout, retries, budget, future)"};

PyMethodDef fastCallGetDef = {"call_get",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastCallGet)),
                              METH_FASTCALL, "call_get(target, tags, timeout, retries, budget)"};

py::object callSet(const py::handle& target, const py::dict& values, bool verify, double timeout, int retries,
                   std::optional<double> budget) {
    auto call = settings(timeout, retries, budget);
    Status wanted = verify ? Status::Verified : Status::Sent;
    tagproto::PlainCalls& calls = tagproto::PlainCalls::mine();
    if (calls.busy) {
        tagproto::Driver own{Options{}};
        own.set(std::string(targetOf(target)), valuesFrom(values), verify, call);
        return runOne(own, wanted);
    }
    tagproto::BusyCall busy(calls);
    std::vector<TagValue> written = valuesFrom(values);
    calls.driver().set(calls.exchangeTo(targetOf(target)), written, verify, call);
    return runOne(calls.driver(), wanted);
}

py::list table() {
    py::list rows;
    for (const TagEntry& e : allTags()) rows.append(py::make_tuple(e.id, e.name, kindWord(e.kind)));
    return rows;
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The tag-protocol engine under tagproto; use the tagproto package, not this module.";
    m.def("table", &table, "Every tag of the table as (id, name, kind), in id order.");
    m.def("parse_value", &parseValue, py::arg("tag"), py::arg("text"));
    m.def("tag_id", &tagIdFrom, py::arg("tag"));
    m.def("is_name", &isName, py::arg("target"));
    m.def("resolve", &resolve, py::arg("target"));
    PyObject* fastGet = PyCFunction_NewEx(&fastCallGetDef, nullptr, nullptr);
    if (!fastGet) throw py::error_already_set();
    m.add_object("call_get", py::reinterpret_steal<py::object>(fastGet));
    PyObject* aioGet = PyCFunction_NewEx(&fastAioGetDef, nullptr, nullptr);
    if (!aioGet) throw py::error_already_set();
    m.add_object("aio_get", py::reinterpret_steal<py::object>(aioGet));
    m.def("use_results", &tagproto::useResults, py::arg("result"), py::arg("from_tuple"));
    m.def("call_set", &callSet, py::arg("target"), py::arg("values"), py::arg("verify"), py::arg("timeout"),
          py::arg("retries"), py::arg("budget"));
    py::class_<PyDriver>(m, "Driver")
        .def(py::init([](size_t maxInFlight, double rate) {
                 Options options;
                 if (maxInFlight > 0) options.maxInFlight = maxInFlight;
                 options.requestsPerSecond = rate;
                 return std::make_unique<PyDriver>(options);
             }),
             py::arg("max_in_flight") = 0, py::arg("rate") = 0.0)
        .def(
            "get",
            // defer_name: None, and nothing queued, when the host is a name,
            // which an event loop looks up itself (resolve) first. future:
            // resolved by step with the reply's values, or the result tuple
            // when not answered.
            [](PyDriver& d, const py::handle& target, const py::iterable& tags, double timeout, int retries,
               std::optional<double> budget, const std::optional<py::bytes>& address, bool deferName,
               const py::object& future) {
                return queueGet(d, target, tags, settings(timeout, retries, budget), address, deferName,
                                future);
            },
            py::arg("target"), py::arg("tags"), py::arg("timeout"), py::arg("retries"), py::arg("budget"),
            py::arg("address") = py::none(), py::arg("defer_name") = false, py::arg("future") = py::none())
        // The future of an exchange queued already, resolved by step with
        // its result tuple.
        .def(
            "track",
            [](PyDriver& d, uint64_t id, const py::object& future) {
                d.futures[id] = {future, false};
            },
            py::arg("exchange"), py::arg("future"))
        // Cancels an awaited exchange that has not ended; false if none.
        .def(
            "forget",
            [](PyDriver& d, uint64_t id) {
                if (d.futures.erase(id) == 0) return false;
                d.engine().cancel(id);
                return true;
            },
            py::arg("exchange"))
        .def("awaited", [](PyDriver& d) { return d.futures.size(); })
        .def("poll", &submitPoll, py::arg("targets"), py::arg("tags"), py::arg("timeout"), py::arg("retries"),
             py::arg("budget"), py::arg("defer_names"))
        .def(
            "add_to_poll",
            [](PyDriver& d, uint64_t poll, const py::handle& target, const py::iterable& tags, double timeout,
               int retries, std::optional<double> budget, const py::bytes& address) {
                auto call = settings(timeout, retries, budget);
                Exchange exchange = exchangeTo(std::string(targetOf(target)));
                sockaddr_storage to{};
                exchange.address = *addressFrom(address, to);
                return d.addToPoll(poll, std::move(exchange), requestFor(d, tags), call);
            },
            py::arg("poll"), py::arg("target"), py::arg("tags"), py::arg("timeout"), py::arg("retries"),
            py::arg("budget"), py::arg("address"))
        .def(
            "close_poll", [](PyDriver& d, uint64_t poll) { d.closePoll(poll); }, py::arg("poll"))
        .def(
            "set",
            [](PyDriver& d, const std::string& target, const py::dict& values, bool verify, double timeout,
               int retries, std::optional<double> budget, const std::optional<py::bytes>& address) {
                auto call = settings(timeout, retries, budget);
                sockaddr_storage to{};
                return d.set(target, valuesFrom(values), verify, call, addressFrom(address, to));
            },
            py::arg("target"), py::arg("values"), py::arg("verify"), py::arg("timeout"), py::arg("retries"),
            py::arg("budget"), py::arg("address") = py::none())
        .def("fds",
             [](PyDriver& d) {
                 auto fds = d.engine().fds();
                 return std::vector<int>(fds.begin(), fds.end());
             })
        // (when the next step is due, as takeEnded)
        .def("step",
             [](PyDriver& d, const std::vector<int>& ready) {
                 py::object due = monotonic(d.step(ready));
                 return py::make_tuple(due, takeEnded(d));
             })
        .def(
            "wait", [](PyDriver& d, bool all) { d.wait(all); }, py::arg("all"))
        // Waits until something ended; its Results, none when nothing is pending.
        .def("wait_take",
             [](PyDriver& d) {
                 d.wait(false);
                 return takeResults(d);
             })
        .def("cancel", [](PyDriver& d, uint64_t id) { return d.engine().cancel(id); })
        .def("cancel_all", [](PyDriver& d) { d.engine().cancelAll(); })
        .def("pending", [](PyDriver& d) { return d.engine().pending(); });
}
