// The run loop's pause and the watch of the adapter's readiness descriptor.
#include "wake.h"

#include "coro.h"
#include "diagnostics.h"
#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>

#if !defined(_WIN32)
#include <poll.h>
#include <unistd.h>
#endif

namespace velkor::trading {

namespace {

// Slots of the state list: the watched adapter (also while it has no descriptor), the loop and
// descriptor of the reader, the future and timer of the pause in progress, why the pauses run on time
// alone, or plain besides the descriptor for an irregular time (a Fallback, as an int), a descriptor
// the reader found broken, until the next follow() reports it, and True while the session's clock is
// not the loop's (the adapter's pauses are then plain; False once it is again). The list keeps the
// adapter, and so its descriptor, alive while a reader is registered.
enum : Py_ssize_t { ADAPTER, LOOP, FD, WAITER, TIMER, TIMED, BROKEN, CLOCK, SLOTS };

// A pause lasts until the session's next deadline and a little past it, so that the tick after it finds
// the deadline passed; never shorter than the plain pause, nor longer than the longest.
constexpr double plain_pause = 0.01, longest_pause = 1.0, past_deadline = 0.001;

double pause_length(double deadline, double now) {
    double seconds = deadline - now + past_deadline;
    if (!(seconds > plain_pause)) return plain_pause;  // NaN too
    if (seconds <= longest_pause) return seconds;
    // More than one pause to go: the last one no shorter than the plain pause, so that it too ends just
    // past the deadline.
    return std::min(seconds - plain_pause, longest_pause);
}

PyObject* slot(nb::handle state, Py_ssize_t i) { return PyList_GET_ITEM(state.ptr(), i); }

void put(nb::handle state, Py_ssize_t i, nb::handle value) {
    PyObject* old = PyList_GET_ITEM(state.ptr(), i);
    PyList_SET_ITEM(state.ptr(), i, Py_NewRef(value.ptr()));
    Py_DECREF(old);
}

// The asyncio module itself: a replaced module-level `asyncio` gets plain sleeps.
PyObject* real_asyncio() {
    static PyObject* module = nb::module_::import_("asyncio").release().ptr();  // for the life of the process
    return module;
}

// The time module itself, whose monotonic() the loop's timers run on too: with another module-level
// `time` the session's deadlines say nothing about the loop's time.
PyObject* real_time() {
    static PyObject* module = nb::module_::import_("time").release().ptr();  // for the life of the process
    return module;
}

// Resets a readable descriptor by reading it: 1 when it was signalled, 0 when it was not, -1 when it
// can no longer signal (end of file or an error).
int reset(int fd) {
#if defined(_WIN32)
    (void)fd;
    return -1;
#else
    pollfd ready{fd, POLLIN, 0};
    int n;
    while ((n = ::poll(&ready, 1, 0)) < 0 && errno == EINTR) {
    }
    if (n < 0 || (ready.revents & POLLNVAL)) return -1;
    if (!(ready.revents & (POLLIN | POLLHUP | POLLERR))) return 0;  // never blocks on a blocking descriptor
    std::uint64_t count;
    ssize_t got;
    while ((got = ::read(fd, &count, sizeof count)) < 0 && errno == EINTR) {
    }
    if (got > 0) return 1;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
#endif
}

// The adapter's readiness descriptor; -1 when it offers none: no fileno(), or one that returns None or a
// negative number, or fails (a closed file's ValueError). The descriptor only makes the loop quicker, so
// none of these may restart the connection or end the session.
int descriptor_of(nb::handle native) {
    try {
        nb::object fileno = nb::getattr(native, "fileno", nb::none());
        nb::object fd = fileno.is_none() ? nb::none() : fileno();
        if (fd.is_none()) return -1;
        int descriptor = PyObject_AsFileDescriptor(fd.ptr());
        if (descriptor < 0) throw nb::python_error();
        return descriptor;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return -1;
    }
}

// Ends a pause that has not ended yet.
void finish(nb::handle waiter) {
    if (waiter.is_none() || truthy(waiter.attr(name("done"))())) return;
    waiter.attr(name("set_result"))(nb::none());
}

void drop_reader(nb::handle state) {
    PyObject* loop = slot(state, LOOP);
    PyObject* fd = slot(state, FD);
    if (loop != Py_None && fd != Py_None) nb::handle(loop).attr("remove_reader")(nb::handle(fd));
    put(state, LOOP, nb::none());
    put(state, FD, nb::none());
}

// The reader: runs on the loop whenever the descriptor is readable.
PyObject* on_signal(PyObject*, PyObject* state) {
    try {
        if (!PyList_CheckExact(state) || PyList_GET_SIZE(state) != SLOTS || slot(state, FD) == Py_None)
            Py_RETURN_NONE;
        int signalled = reset(PyLong_AsLong(slot(state, FD)));
        if (signalled < 0) {  // a broken descriptor: the pauses run on time alone
            nb::object fd = nb::borrow(slot(state, FD));
            drop_reader(state);
            put(state, BROKEN, fd);
        }
        if (signalled != 0) finish(nb::borrow(slot(state, WAITER)));
        Py_RETURN_NONE;
    } catch (...) {
        current_python_error().restore();
        return nullptr;
    }
}

// The timer of a pause.
PyObject* on_timeout(PyObject*, PyObject* waiter) {
    try {
        finish(waiter);
        Py_RETURN_NONE;
    } catch (...) {
        current_python_error().restore();
        return nullptr;
    }
}

PyMethodDef on_signal_def = {"on_signal", on_signal, METH_O, nullptr};
PyMethodDef on_timeout_def = {"on_timeout", on_timeout, METH_O, nullptr};

nb::handle function(PyMethodDef* def) {
    PyObject* f = PyCFunction_New(def, nullptr);
    if (!f) throw nb::python_error();
    return f;  // made once, kept for the life of the process
}

nb::handle signal_function() {
    static nb::handle f = function(&on_signal_def);
    return f;
}

nb::handle timeout_function() {
    static nb::handle f = function(&on_timeout_def);
    return f;
}

}  // namespace

nb::list Wake::state() {
    nb::list state;
    for (Py_ssize_t i = 0; i < SLOTS; ++i) state.append(nb::none());
    return state;
}

void Wake::follow(nb::handle self) {
    session_ = self;
    nb::object native = get(self, "native");
    if (global("asyncio").ptr() != real_asyncio()) {
        if (!timed_for(Fallback::pause_asyncio_replaced)) {
            stop();
            time_pauses(Fallback::pause_asyncio_replaced);
        }
        return;
    }
    if (slot(state_, ADAPTER) == native.ptr()) {
        report_broken();
        if (slot(state_, FD) != Py_None && !hands_out_watched(native)) {  // a new descriptor, or none
            drop_reader(state_);
            watch(native);
        }
    } else {
        stop();
        if (native.is_none()) return;
        watch(native);
        put(state_, ADAPTER, native);
    }
    // The session's clock is the loop's while the module-level `time` is the time module: a replacement is
    // reported once per adapter, and the pauses stretch again once the time module is back.
    if (slot(state_, FD) == Py_None) return;
    bool replaced = global("time").ptr() != real_time();
    PyObject* clock = slot(state_, CLOCK);
    if (replaced == (clock == Py_True)) return;
    if (replaced && clock == Py_None) report_fallback(session_, Fallback::pause_clock_replaced);
    put(state_, CLOCK, replaced ? Py_True : Py_False);
}

void Wake::watch(nb::handle native) {
    int descriptor = descriptor_of(native);
    if (descriptor < 0) return time_pauses(Fallback::pause_no_descriptor);
    nb::object loop = nb::handle(real_asyncio()).attr("get_running_loop")();
    try {
        loop.attr("add_reader")(descriptor, signal_function(), state_);
    } catch (nb::python_error& e) {
        // A loop without readers, or a descriptor its poller refuses (a regular file, no room left):
        // timed pauses. An OSError here must not restart the connection, or it would every time.
        if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_OSError)) throw;
        return time_pauses(Fallback::pause_descriptor_refused, {nb::int_(descriptor), e.value()});
    }
    put(state_, LOOP, loop);
    put(state_, FD, nb::int_(descriptor));
}

// Whether the adapter still hands out the descriptor being watched. One that makes another (a reconnection
// inside it) is watched on that one from this pass on, else its signals would reach nobody.
bool Wake::hands_out_watched(nb::handle native) {
    return descriptor_of(native) == PyLong_AsLong(slot(state_, FD));
}

bool Wake::timed_for(Fallback cause) const {
    PyObject* timed = slot(state_, TIMED);
    return timed != Py_None && PyLong_AsLong(timed) == static_cast<long>(cause);
}

void Wake::time_pauses(Fallback cause, const std::vector<nb::handle>& args) {
    put(state_, TIMED, nb::int_(static_cast<int>(cause)));
    report_fallback(session_, cause, args);
}

void Wake::report_broken() {
    nb::object fd = nb::borrow(slot(state_, BROKEN));
    if (fd.is_none()) return;
    put(state_, BROKEN, nb::none());
    time_pauses(Fallback::pause_descriptor_broken, {fd});
}

nb::object Wake::pause(nb::handle now) {
    if (slot(state_, FD) == Py_None) return global("asyncio").attr(name("sleep"))(plain_pause);
    Trading* t = session_.is_valid() ? trading_state(session_) : nullptr;
    // Stretched to the next deadline on the loop's clock, unless a retry control's check is due at once.
    bool stretched = t && !t->retry_failed && slot(state_, CLOCK) != Py_True && now.is_valid();
    double from = 0.0, seconds = plain_pause;
    if (stretched) {
        double deadline = PyFloat_CheckExact(now.ptr()) ? next_deadline(session_) : NAN;
        stretched = !std::isnan(deadline);
        if (stretched) {
            from = PyFloat_AS_DOUBLE(now.ptr());
            seconds = pause_length(deadline, from);
        } else if (!timed_for(Fallback::pause_irregular_time)) {
            time_pauses(Fallback::pause_irregular_time);
        }
    }
    nb::handle loop = slot(state_, LOOP);
    nb::object waiter = loop.attr(name("create_future"))();
    put(state_, WAITER, waiter);
    put(state_, TIMER, loop.attr(name("call_later"))(seconds, timeout_function(), waiter));
    if (stretched) {
        t->pause_state = nb::borrow(state_);
        t->pause_now = from;
        t->pause_until = from + seconds;
    }
    return waiter;
}

void Wake::settle() {
    if (Trading* t = session_.is_valid() ? trading_state(session_) : nullptr) t->pause_state.reset();
    nb::handle timer = slot(state_, TIMER);
    if (!timer.is_none()) timer.attr(name("cancel"))();
    put(state_, TIMER, nb::none());
    put(state_, WAITER, nb::none());
}

// The timer moves as much earlier as the pause got shorter: its loop time tells where it stands, and no
// clock is read. A deadline due at once gets the plain pause from the call, as every pass had before:
// what the call started (an order's acknowledgement) comes first.
void shorten_pause(nb::handle self) {
    Trading* t = trading_state(self);
    if (!t || !t->pause_state.is_valid()) return;
    double deadline;
    try {
        deadline = next_deadline(self);
    } catch (nb::python_error&) {
        deadline = -INFINITY;  // the next pass meets the same error and decides
    }
    double length = t->pause_until - t->pause_now;
    double shorter = pause_length(deadline, t->pause_now);
    nb::object state = t->pause_state;
    nb::handle timer = slot(state, TIMER);
    if (!(shorter < length) || timer.is_none()) return;
    try {
        double end = nb::cast<double>(timer.attr("when")()) - (length - shorter);
        nb::handle loop = slot(state, LOOP), waiter = slot(state, WAITER);
        nb::object moved = shorter > plain_pause ? loop.attr("call_at")(end, timeout_function(), waiter)
                                                 : loop.attr("call_later")(plain_pause, timeout_function(), waiter);
        timer.attr(name("cancel"))();
        put(state, TIMER, moved);
        t->pause_until = t->pause_now + shorter;
    } catch (nb::python_error& e) {
        // A loop that takes no timer (closed): the pause keeps its end. The caller's order has left, so
        // this must not reach it.
        if (!e.matches(PyExc_Exception)) throw;
        log::guarded([&] {
            log::write(self, log::SESSION, log::WARNING,
                       "the run loop's pause could not be shortened for the funds query: %r", {e.value()});
        });
    }
}

void Wake::stop() noexcept {
    // Each step on its own: a timer that cannot be cancelled must not keep the reader registered.
    auto quietly = [](auto&& step) noexcept {
        try {
            step();
        } catch (...) {
            current_python_error().discard_as_unraisable("stopping the trading session's wake-up");
        }
    };
    quietly([&] {
        if (session_.is_valid()) report_broken();
    });
    quietly([&] { settle(); });
    quietly([&] { drop_reader(state_); });
    for (Py_ssize_t i = 0; i < SLOTS; ++i) put(state_, i, nb::none());
}

Wake::~Wake() {
    if (!abandoned() || !session_.is_valid()) return;
    stop();
    try {
        if (get(session_, "native").is_none()) return;  // dropped in the pause before a new connection
        log::write(session_, log::SESSION, log::WARNING,
                   "the run loop was dropped while it waited: its reader is removed and its adapter closed", {});
        close_native(session_);
    } catch (...) {
        current_python_error().discard_as_unraisable("releasing a dropped run loop of the trading session");
    }
}

}  // namespace velkor::trading
