// FrontCore, the Python face of one front of the registry, and its waits; Connection, an API instance attached to
// a front.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "module.h"
#include "registry.h"

namespace ctpsim::binding {

using namespace nb::literals;

namespace {

// A new reference to the Python object of a connection; null with an error set on failure.
PyObject *connection_object(const std::shared_ptr<ctpsim::Connection> &c) {
    try {
        return nb::cast(c).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Calls the Python request callable. Runs on whatever thread made the request, with no library lock held.
class PyHook final : public ctpsim::RequestHook {
public:
    explicit PyHook(nb::object callable) : callable_(callable.release().ptr()) {}

    ~PyHook() override {
        if (!callable_ || !Py_IsInitialized() || _Py_IsFinalizing()) return;  // leaked at interpreter exit
        PyGILState_STATE st = PyGILState_Ensure();
        Py_DECREF(callable_);
        PyGILState_Release(st);
    }

    // Plain C API from taking the interpreter lock on: at interpreter exit a daemon thread may be ended anywhere in
    // the Python call by unwinding its stack, and nothing on the way out may need the lock.
    int on_request(const ctpsim::RequestView &r) override {
        if (!Py_IsInitialized() || _Py_IsFinalizing()) return -1;
        PyGILState_STATE st = PyGILState_Ensure();
        PyObject *connection = connection_object(r.connection);
        PyObject *out = nullptr;
        if (connection) {
            PyObject *args[] = {connection, PyUnicode_FromString(r.method), PyLong_FromLong(r.request_id),
                                PyBytes_FromStringAndSize(static_cast<const char *>(r.record),
                                                          static_cast<Py_ssize_t>(r.size))};
            if (args[1] && args[2] && args[3]) out = PyObject_Vectorcall(callable_, args, 4, nullptr);
            for (PyObject *arg : args) Py_XDECREF(arg);
        }
        int result = -1;
        if (out) {
            int overflow = 0;
            const long v = PyLong_Check(out) ? PyLong_AsLongAndOverflow(out, &overflow) : 0;
            if (!PyLong_Check(out))
                PyErr_Format(PyExc_TypeError, "the request hook must return an int, got %s", Py_TYPE(out)->tp_name);
            else if (overflow || v < INT32_MIN || v > INT32_MAX)
                PyErr_SetString(PyExc_ValueError, "the request hook's result does not fit in a C int");
            else
                result = static_cast<int>(v);
            Py_DECREF(out);
        }
        if (PyErr_Occurred()) {
            result = -1;
            PyErr_WriteUnraisable(callable_);
        }
        PyGILState_Release(st);
        return result;
    }

private:
    PyObject *callable_;
};

class FrontCore {
public:
    explicit FrontCore(const std::string &address) : front_(ctpsim::Front::open(address)) {}
    ~FrontCore() { close(); }

    void close() {
        std::shared_ptr<ctpsim::RequestHook> hook = front_->close();
        hook.reset();  // the interpreter lock is held here
    }

    void set_hook(nb::object callable) {
        std::shared_ptr<ctpsim::RequestHook> hook;
        if (!callable.is_none()) hook = std::make_shared<PyHook>(callable);
        std::shared_ptr<ctpsim::RequestHook> old = front_->set_hook(std::move(hook));
        old.reset();
    }

    bool send(const std::shared_ptr<ctpsim::Connection> &conn, const std::string &callback, nb::object data,
              nb::object error, int request_id, bool last, int reason, long count) {
        ctpsim::Delivery d;
        d.callback = ctpsim::find_callback(callback);
        if (!d.callback) throw nb::value_error(("unknown callback: " + callback).c_str());
        if (!data.is_none()) {
            d.has_data = true;
            d.data = std::string(nb::cast<nb::bytes>(data).c_str(), nb::len(data));
        }
        if (!error.is_none()) {
            d.has_error = true;
            d.error = std::string(nb::cast<nb::bytes>(error).c_str(), nb::len(error));
        }
        d.request_id = request_id;
        d.last = last;
        d.reason = reason;
        d.count = count;
        return front_->send(conn, std::move(d));
    }

    std::shared_ptr<ctpsim::Front> front_;
};

// ---- waits ------------------------------------------------------------------------------------------------------

// flush(core, timeout) and wait_connection(core, timeout) wait with the interpreter lock released. They are plain
// CPython functions, with no C++ handler above the point where they take the lock back: a daemon thread that does
// so while the interpreter shuts down is ended by unwinding its stack, which a catch-all handler or a destructor
// that takes the lock would turn into a process abort.
template <class Result, Result (*wait)(ctpsim::Front &, double), PyObject *(*convert)(const Result &)>
PyObject *waiting(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "expected (front core, timeout)");
        return nullptr;
    }
    std::shared_ptr<ctpsim::Front> front;
    try {
        front = nb::cast<FrontCore &>(nb::handle(args[0])).front_;
    } catch (const std::exception &) {
        PyErr_Format(PyExc_TypeError, "expected a FrontCore, got %s", Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    const double timeout = PyFloat_AsDouble(args[1]);
    if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
    Result result;
    Py_BEGIN_ALLOW_THREADS
    result = wait(*front, timeout);
    Py_END_ALLOW_THREADS
    return convert(result);
}

bool flush_front(ctpsim::Front &f, double timeout) { return f.flush(timeout); }
std::shared_ptr<ctpsim::Connection> wait_front(ctpsim::Front &f, double timeout) { return f.wait_connection(timeout); }
PyObject *bool_object(const bool &b) { return PyBool_FromLong(b); }

PyMethodDef kWaits[] = {
    {"flush", reinterpret_cast<PyCFunction>(
                  reinterpret_cast<void (*)()>(waiting<bool, flush_front, bool_object>)),
     METH_FASTCALL, "flush(core, timeout): True when every delivery queued so far returned within timeout"},
    {"wait_connection",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         waiting<std::shared_ptr<ctpsim::Connection>, wait_front, connection_object>)),
     METH_FASTCALL, "wait_connection(core, timeout): the oldest connected API, or None"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void bind_front_core(nb::module_ &m) {
    nb::class_<ctpsim::Connection>(m, "Connection")
        .def_prop_ro("id", &ctpsim::Connection::id)
        .def_prop_ro("connected", &ctpsim::Connection::connected)
        .def_prop_ro("released", &ctpsim::Connection::released)
        .def_prop_ro("flow_path", [](const ctpsim::Connection &c) {
            return nb::bytes(c.flow_path().data(), c.flow_path().size());
        })
        .def("__repr__", [](const ctpsim::Connection &c) {
            return "<Connection " + std::to_string(c.id()) + (c.released() ? " released" : "") +
                   (c.connected() ? " connected" : "") + ">";
        });

    nb::class_<FrontCore>(m, "FrontCore")
        .def(nb::init<const std::string &>(), "address"_a)
        .def_prop_ro("address", [](const FrontCore &f) { return f.front_->address(); })
        .def_prop_rw(
            "accepting", [](const FrontCore &f) { return f.front_->accepting(); },
            [](FrontCore &f, bool v) { f.front_->set_accepting(v); })
        .def_prop_rw(
            "retry_interval", [](const FrontCore &f) { return f.front_->retry_interval(); },
            [](FrontCore &f, double v) { f.front_->set_retry_interval(v); })
        .def_prop_ro("closed", [](const FrontCore &f) { return f.front_->closed(); })
        .def("set_hook", &FrontCore::set_hook, "callable"_a.none())
        .def("connections", [](const FrontCore &f) { return f.front_->connections(); })
        .def("send", &FrontCore::send, "connection"_a, "callback"_a, "data"_a.none(), "error"_a.none(),
             "request_id"_a, "last"_a, "reason"_a, "count"_a)
        .def("disconnect",
             [](FrontCore &f, std::shared_ptr<ctpsim::Connection> c, int reason) { f.front_->disconnect(c, reason); },
             "connection"_a.none(), "reason"_a)
        .def("close", &FrontCore::close);
    for (PyMethodDef *def = kWaits; def->ml_name; ++def) {
        nb::object fn = nb::steal(PyCFunction_NewEx(def, nullptr, m.attr("__name__").ptr()));
        if (!fn.is_valid()) throw nb::python_error();
        m.attr(def->ml_name) = fn;
    }
}

}  // namespace ctpsim::binding
