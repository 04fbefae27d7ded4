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

// The held references of the body running on this thread (for Held), and whether the frame being
// destroyed on this thread is abandoned. A body resumed from a destructor has its own.
thread_local std::vector<const nb::object*>* running_held = nullptr;
thread_local bool abandoning = false;

bool interpreter_ending() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() || !nb::is_alive();
#else
    return _Py_IsFinalizing() || !nb::is_alive();
#endif
}

void finish(CoroObject* c) {
    if (c->frame) {
        auto frame = std::exchange(c->frame, {});
        bool outer = std::exchange(abandoning, !frame.done());
        frame.destroy();
        abandoning = outer;
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

// ---- One step of the coroutine (send, or throw an exception instance into it), in stages: whether
// it may run at all, what the awaited iterator makes of what comes in, and the body's run up to its
// next suspension or its end.

// The refusals before anything runs; false with the error set when the step does not run.
bool step_allowed(CoroObject* c, PyObject* arg, PyObject* exc) {
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    if (!c->frame) {
        if (exc)
            PyErr_SetRaisedException(Py_NewRef(exc));
        else
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    if (!c->started) {
        if (exc) {  // thrown in before the body ran: the body never runs
            finish(c);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return false;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return false;
        }
    }
    return true;
}

// The exception `exc`, to be raised at the body's co_await.
void throw_at_await(Coro::promise_type& promise, PyObject* exc) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    promise.thrown = std::make_exception_ptr(nb::python_error());
}

// What `await` does with a value or exception that comes into a coroutine suspended on the iterator
// `it`: the value is sent, GeneratorExit closes the iterator, another exception is thrown into it.
// PYGEN_NEXT: it yielded *res; PYGEN_RETURN: it returned *res; PYGEN_ERROR: it raised (the error is
// set), or, with *to_body, the exception goes to the body as it is.
PySendResult pass_to_awaited(PyObject* it, PyObject* arg, PyObject* exc, PyObject** res, bool* to_body) {
    *res = nullptr;
    *to_body = false;
    if (!exc) return PyIter_Send(it, arg, res);
    bool closing = PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit);
    PyObject* method = nullptr;
    if (optional_attr(it, closing ? "close" : "throw", &method) < 0) return PYGEN_ERROR;
    if (!method) {  // nothing to close, or no way to throw into it
        *to_body = true;
        return PYGEN_ERROR;
    }
    PyObject* r = closing ? PyObject_CallNoArgs(method) : PyObject_CallOneArg(method, exc);
    Py_DECREF(method);
    if (closing) {  // closed: GeneratorExit goes on to the body
        if (!r) return PYGEN_ERROR;
        Py_DECREF(r);
        *to_body = true;
        return PYGEN_ERROR;
    }
    if ((*res = r)) return PYGEN_NEXT;
    return (*res = fetch_return_value()) ? PYGEN_RETURN : PYGEN_ERROR;
}

// Hands what comes in to the iterator being awaited, or else to the body. True when that iterator
// yielded (*out): the step ends there. Otherwise what the body's co_await gives is in the promise.
bool deliver(CoroObject* c, PyObject* arg, PyObject* exc, PyObject** out) {
    auto& promise = c->frame.promise();
    if (!c->awaiting) {
        if (exc)
            throw_at_await(promise, exc);
        else if (c->started)
            promise.sent = nb::borrow(arg);
        return false;
    }
    PyObject* res;
    bool to_body;
    PySendResult status = pass_to_awaited(c->awaiting, arg, exc, &res, &to_body);
    if (!to_body && status == PYGEN_NEXT) {
        *out = res;
        return true;
    }
    Py_CLEAR(c->awaiting);
    if (to_body)
        throw_at_await(promise, exc);
    else if (status == PYGEN_RETURN)
        promise.sent = nb::steal(res);
    else
        promise.thrown = std::make_exception_ptr(nb::python_error());
    return false;
}

// Begins iterating what the body awaits, as `await` does. True when it yielded (*out): the step ends
// there. False when it finished at once: its value or exception is in the promise for the body.
bool start_awaiting(CoroObject* c, nb::handle awaitable, PyObject** out) {
    auto& promise = c->frame.promise();
    PyObject* it = awaitable_iter(awaitable.ptr());
    if (!it) {
        promise.thrown = std::make_exception_ptr(nb::python_error());
        return false;
    }
    PyObject* res = nullptr;
    PySendResult status = PyIter_Send(it, Py_None, &res);
    if (status == PYGEN_NEXT) {
        c->awaiting = it;
        *out = res;
        return true;
    }
    Py_DECREF(it);
    if (status == PYGEN_RETURN)
        promise.sent = nb::steal(res);
    else
        promise.thrown = std::make_exception_ptr(nb::python_error());
    return false;
}

// The body has ended: its return value, or its exception as the Python error.
PySendResult body_result(CoroObject* c, PyObject** out) {
    auto& promise = c->frame.promise();
    std::exception_ptr error = std::exchange(promise.error, nullptr);
    nb::object result = std::exchange(promise.result, nb::object());
    finish(c);
    if (error) {
        restore_body_error(error);
        return PYGEN_ERROR;
    }
    *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Runs the body until it awaits something that suspends, or ends.
PySendResult run_body(CoroObject* c, PyObject** out) {
    auto& promise = c->frame.promise();
    for (;;) {
        auto* outer_held = std::exchange(running_held, &promise.held);
        bool outer_abandoning = std::exchange(abandoning, false);
        c->frame.resume();
        running_held = outer_held;
        abandoning = outer_abandoning;
        if (c->frame.done()) return body_result(c, out);
        nb::object awaitable = std::exchange(promise.awaiting, nb::object());
        if (start_awaiting(c, awaitable, out)) return PYGEN_NEXT;
    }
}

// One step: send `arg`, or throw `exc` (an exception instance), into the coroutine.
PySendResult drive(CoroObject* c, PyObject* arg, PyObject* exc, PyObject** out) {
    *out = nullptr;
    if (!step_allowed(c, arg, exc)) return PYGEN_ERROR;
    c->running = true;
    nb::object keep = nb::borrow((PyObject*)c);
    PySendResult status = PYGEN_NEXT;
    if (!deliver(c, arg, exc, out)) {
        c->started = true;
        status = run_body(c, out);
    }
    c->running = false;
    return status;
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

// Every reference the object owns, the frame's included: what the promise holds between the stages of
// a step, the nb::object parameters and the Held locals.
int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = (CoroObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->awaiting);
    Py_VISIT(c->owner);
    if (c->frame) {
        auto& promise = c->frame.promise();
        Py_VISIT(promise.awaiting.ptr());
        Py_VISIT(promise.sent.ptr());
        Py_VISIT(promise.result.ptr());
        for (const nb::object* held : promise.held) Py_VISIT(held->ptr());
    }
    return 0;
}

int coro_clear(PyObject* self) {
    auto* c = (CoroObject*)self;
    if (!c->running) finish(c);  // unreachable: the body can never run again
    return 0;
}

// Dropped or collected while the body may still run: the frame is destroyed, its destructors running
// as long as everything they may use is still intact (before the collector clears anything of a
// cycle, and before this object's own references go).
void coro_finalize(PyObject* self) {
    auto* c = (CoroObject*)self;
    if (!c->frame || c->running) return;
    PyObject* raised = PyErr_GetRaisedException();
    finish(c);
    PyErr_SetRaisedException(raised);
}

void coro_dealloc(PyObject* self) {
    auto* c = (CoroObject*)self;
    PyTypeObject* type = Py_TYPE(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // brought back to life by the finaliser
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

Held::Held(nb::object value) : nb::object(std::move(value)), list_(running_held) {
    if (list_) list_->push_back(this);
}

Held::~Held() {
    if (!list_) return;
    for (size_t i = list_->size(); i-- > 0;) {
        if ((*list_)[i] == this) {
            list_->erase(list_->begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
}

bool abandoned() noexcept { return abandoning && !interpreter_ending(); }

nb::object make_coroutine(Coro body, const char* qualname, nb::handle owner) {
    return nb::steal(wrap(body.release(), qualname, owner));
}

void register_coroutine_type(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)coro_dealloc},
        {Py_tp_traverse, (void*)coro_traverse},
        {Py_tp_clear, (void*)coro_clear},
        {Py_tp_finalize, (void*)coro_finalize},
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
