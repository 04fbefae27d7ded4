// The Python face of Coro: a coroutine type implemented with the C API (am_send, send, throw, close).
#include "coro.h"

#include <cstring>

namespace velkor::trading {

namespace {

struct CoroObject {
    PyObject_HEAD
    Coro::handle_type frame;  // null once finished or closed
    PyObject* awaiting;       // the iterator the body currently awaits (strong) or null
    PyObject* qualname;
    PyObject* owner;          // kept alive while the body may run
    bool started;
    bool running;
};

PyTypeObject* coroutine_type = nullptr;

void finish(CoroObject* c) {
    if (c->frame) {
        auto frame = std::exchange(c->frame, {});
        frame.destroy();
    }
    Py_CLEAR(c->awaiting);
    Py_CLEAR(c->owner);
}

// obj.<attr> or null without an error when it has no such attribute; -1 on another error.
int optional_attr(PyObject* obj, const char* attr, PyObject** out) {
    *out = PyObject_GetAttrString(obj, attr);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// The iterator `await o` drives, as the interpreter finds it.
PyObject* awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o) || Py_IS_TYPE(o, coroutine_type)) return Py_NewRef(o);
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_as_async && type->tp_as_async->am_await) {
        PyObject* it = type->tp_as_async->am_await(o);
        if (!it) return nullptr;
        if (PyCoro_CheckExact(it)) {
            Py_DECREF(it);
            PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            return nullptr;
        }
        if (!PyIter_Check(it)) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
            Py_DECREF(it);
            return nullptr;
        }
        return it;
    }
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
    return nullptr;
}

// Sets the Python error for an exception that left the body (PEP 479 for StopIteration).
void restore_body_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (...) {
        nb::python_error e = current_python_error();
        if (e.matches(PyExc_StopIteration) || e.matches(PyExc_StopAsyncIteration)) {
            nb::object cause = nb::borrow(e.value());
            PyErr_SetString(PyExc_RuntimeError, e.matches(PyExc_StopIteration) ? "coroutine raised StopIteration"
                                                                                : "coroutine raised StopAsyncIteration");
            nb::python_error converted;
            PyException_SetCause(converted.value().ptr(), cause.inc_ref().ptr());
            PyException_SetContext(converted.value().ptr(), cause.release().ptr());
            converted.restore();
            return;
        }
        e.restore();
    }
}

// The value of the StopIteration now set (the return value of an iterator), or null on another error.
PyObject* fetch_return_value() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* value = PyObject_GetAttrString(exc, "value");
    Py_DECREF(exc);
    return value;
}

// One step: send `arg`, or throw `exc` (an exception instance), into the coroutine.
PySendResult drive(CoroObject* c, PyObject* arg, PyObject* exc, PyObject** out) {
    *out = nullptr;
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!c->frame) {
        if (exc)
            PyErr_SetRaisedException(Py_NewRef(exc));
        else
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    auto& promise = c->frame.promise();
    if (!c->started) {
        if (exc) {  // thrown in before the body ran: the body never runs
            finish(c);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
    }
    c->running = true;
    nb::object keep = nb::borrow((PyObject*)c);

    // Deliver to the iterator being awaited, as `await` does.
    if (c->awaiting) {
        PyObject* it = c->awaiting;
        PyObject* res = nullptr;
        PySendResult status = PYGEN_ERROR;
        bool to_body = false;  // the exception goes straight to the body
        if (!exc) {
            status = PyIter_Send(it, arg, &res);
        } else if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            PyObject* close = nullptr;
            if (optional_attr(it, "close", &close) < 0) {
                status = PYGEN_ERROR;
            } else {
                PyObject* r = close ? PyObject_CallNoArgs(close) : Py_NewRef(Py_None);
                Py_XDECREF(close);
                if (r) {
                    Py_DECREF(r);
                    to_body = true;
                }
            }
        } else {
            PyObject* thrower = nullptr;
            if (optional_attr(it, "throw", &thrower) < 0) {
                status = PYGEN_ERROR;
            } else if (!thrower) {
                to_body = true;
            } else {
                res = PyObject_CallOneArg(thrower, exc);
                Py_DECREF(thrower);
                if (res) {
                    status = PYGEN_NEXT;
                } else if ((res = fetch_return_value())) {
                    status = PYGEN_RETURN;
                }
            }
        }
        if (!to_body && status == PYGEN_NEXT) {
            c->running = false;
            *out = res;
            return PYGEN_NEXT;
        }
        Py_CLEAR(c->awaiting);
        if (to_body) {
            PyErr_SetRaisedException(Py_NewRef(exc));
            promise.thrown = std::make_exception_ptr(nb::python_error());
        } else if (status == PYGEN_RETURN) {
            promise.sent = nb::steal(res);
        } else {
            promise.thrown = std::make_exception_ptr(nb::python_error());
        }
    } else if (exc) {
        PyErr_SetRaisedException(Py_NewRef(exc));
        promise.thrown = std::make_exception_ptr(nb::python_error());
    } else if (c->started) {
        promise.sent = nb::borrow(arg);
    }
    c->started = true;

    // Run the body until it awaits something that suspends, or ends.
    for (;;) {
        c->frame.resume();
        if (c->frame.done()) {
            std::exception_ptr error = std::exchange(promise.error, nullptr);
            nb::object result = std::exchange(promise.result, nb::object());
            finish(c);
            c->running = false;
            if (error) {
                restore_body_error(error);
                return PYGEN_ERROR;
            }
            *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        nb::object awaitable = std::exchange(promise.awaiting, nb::object());
        PyObject* it = awaitable_iter(awaitable.ptr());
        if (!it) {
            promise.thrown = std::make_exception_ptr(nb::python_error());
            continue;
        }
        PyObject* res = nullptr;
        PySendResult status = PyIter_Send(it, Py_None, &res);
        if (status == PYGEN_NEXT) {
            c->awaiting = it;
            c->running = false;
            *out = res;
            return PYGEN_NEXT;
        }
        Py_DECREF(it);
        if (status == PYGEN_RETURN)
            promise.sent = nb::steal(res);
        else
            promise.thrown = std::make_exception_ptr(nb::python_error());
    }
}

// send/__next__ report the return value as StopIteration(value).
PyObject* as_iteration(PySendResult status, PyObject* result) {
    if (status != PYGEN_RETURN) return result;
    if (result == Py_None) {
        Py_DECREF(result);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
    Py_DECREF(result);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return drive((CoroObject*)self, arg, nullptr, result);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result;
    PySendResult status = drive((CoroObject*)self, Py_None, nullptr, &result);
    return as_iteration(status, result);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult status = drive((CoroObject*)self, arg, nullptr, &result);
    return as_iteration(status, result);
}

// throw(exc) or the older throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(type);
    } else if (PyExceptionClass_Check(type)) {
        if (PyObject_TypeCheck(value, (PyTypeObject*)type))
            exc = Py_NewRef(value);
        else if (value == Py_None)
            exc = PyObject_CallNoArgs(type);
        else if (PyTuple_Check(value))
            exc = PyObject_Call(type, value, nullptr);
        else
            exc = PyObject_CallOneArg(type, value);
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException", type);
            Py_DECREF(exc);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (tb != Py_None) PyException_SetTraceback(exc, tb);
    PyObject* result;
    PySendResult status = drive((CoroObject*)self, nullptr, exc, &result);
    Py_DECREF(exc);
    return as_iteration(status, result);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    auto* c = (CoroObject*)self;
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (!c->frame || !c->started) {
        finish(c);
        Py_RETURN_NONE;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return nullptr;
    PyObject* result;
    PySendResult status = drive(c, nullptr, exc, &result);
    Py_DECREF(exc);
    if (status == PYGEN_NEXT) {
        Py_DECREF(result);
        finish(c);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = (CoroObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->awaiting);
    Py_VISIT(c->owner);
    return 0;
}

int coro_clear(PyObject* self) {
    auto* c = (CoroObject*)self;
    if (!c->running) finish(c);  // unreachable: the body can never run again
    return 0;
}

void coro_dealloc(PyObject* self) {
    auto* c = (CoroObject*)self;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    finish(c);
    Py_CLEAR(c->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* coro_get_qualname(PyObject* self, void*) { return Py_NewRef(((CoroObject*)self)->qualname); }

PyObject* coro_get_name(PyObject* self, void*) {
    PyObject* q = ((CoroObject*)self)->qualname;
    Py_ssize_t dot = PyUnicode_FindChar(q, '.', 0, PyUnicode_GetLength(q), -1);
    if (dot < -1) return nullptr;
    return dot < 0 ? Py_NewRef(q) : PyUnicode_Substring(q, dot + 1, PyUnicode_GetLength(q));
}

PyObject* coro_get_running(PyObject* self, void*) { return PyBool_FromLong(((CoroObject*)self)->running); }

PyObject* coro_get_await(PyObject* self, void*) {
    PyObject* it = ((CoroObject*)self)->awaiting;
    return Py_NewRef(it ? it : Py_None);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", ((CoroObject*)self)->qualname, self);
}

PyMethodDef coro_methods[] = {
    {"send", (PyCFunction)coro_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)(void))coro_throw, METH_FASTCALL, nullptr},
    {"close", (PyCFunction)coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* wrap(Coro::handle_type frame, const char* qualname, nb::handle owner) {
    auto* c = PyObject_GC_New(CoroObject, coroutine_type);
    if (!c) {
        frame.destroy();
        throw nb::python_error();
    }
    c->frame = frame;
    c->awaiting = nullptr;
    c->qualname = PyUnicode_FromString(qualname);
    c->owner = owner.is_valid() ? Py_NewRef(owner.ptr()) : nullptr;
    c->started = false;
    c->running = false;
    if (!c->qualname) {
        Py_DECREF(c);
        throw nb::python_error();
    }
    PyObject_GC_Track(c);
    return (PyObject*)c;
}

}  // namespace

nb::object make_coroutine(Coro body, const char* qualname, nb::handle owner) {
    return nb::steal(wrap(body.release(), qualname, owner));
}

void register_coroutine_type(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)coro_dealloc},
        {Py_tp_traverse, (void*)coro_traverse},
        {Py_tp_clear, (void*)coro_clear},
        {Py_tp_repr, (void*)coro_repr},
        {Py_tp_iter, (void*)PyObject_SelfIter},
        {Py_tp_iternext, (void*)coro_iternext},
        {Py_tp_methods, coro_methods},
        {Py_tp_getset, coro_getset},
        {Py_am_await, (void*)coro_await},
        {Py_am_send, (void*)coro_am_send},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "velkor.trading.coroutine", sizeof(CoroObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
    if (!type) throw nb::python_error();
    coroutine_type = (PyTypeObject*)type;  // one reference kept for the life of the process
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(nb::handle(type));
}

}  // namespace velkor::trading
