// The trading session: shared declarations of the files in trading/.
//
// A session's state is its instance __dict__ (the class is bound with nb::dynamic_attr): the plain
// dicts, sets, lists and scalars that Python code reads and assigns as ordinary attributes. The C++
// side keeps only what it derives from them and checks against them before use (book_index.h).
// Each concern file binds its methods through a MethodRegistration; the module binds them in the
// class's definition order (Slot).
#pragma once

#include "docs.h"

#include <nanobind/nanobind.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace nb = nanobind;

namespace velkor::trading {

class ClosingIndex;
struct Diagnostics;
namespace limits {
class Book;
struct BookDelete {
    void operator()(Book* book) const noexcept;
};
}  // namespace limits
namespace journal {
class Journal;
struct JournalDelete {
    void operator()(Journal* j) const noexcept;
};
}  // namespace journal

// Deletes a closing-lot index where its type is complete (book_index.cpp).
struct ClosingIndexDelete {
    void operator()(ClosingIndex* index) const noexcept;
};

// The C++ side of a session (session.cpp).
struct Trading {
    Trading();
    ~Trading();
    std::unique_ptr<ClosingIndex, ClosingIndexDelete> closing;  // lots held by live closing orders, built on first use
    std::unique_ptr<Diagnostics> diagnostics;                   // the fallbacks taken (diagnostics.h)
    std::unique_ptr<limits::Book, limits::BookDelete> limits;  // pre-trade limits and their counts (limit_rules.h)
    bool closed = false;  // close() has run: start() does nothing from then on
    std::unordered_set<std::string> self_trades;  // "exchange trade-number" of the day's self-trades logged
    std::string self_trade_day;                   // the trading day of those
    // The exchanges the instrument table names, for rows that leave ExchangeID empty (trades.cpp); taken from
    // the table `exchanges_table` (held, so its address is never reused) when it held `exchanges_size` entries.
    std::vector<std::string> exchanges;
    nb::object exchanges_table;
    Py_ssize_t exchanges_size = -1;
    std::unique_ptr<journal::Journal, journal::JournalDelete> journal;  // null without `journal=` (journal.h)
    // The run loop's pause to a deadline in progress (wake.cpp): the run's wake state (its future and
    // timer), the `now` of the tick before it and when it ends, on the session's clock. A call between
    // passes that moves the deadline earlier ends it sooner (shorten_pause).
    nb::object pause_state;
    double pause_now = 0.0, pause_until = 0.0;
    bool retry_failed = false;  // the current pass told a retry control of a failure (retry_fail)
};
using TradingClass = nb::class_<Trading>;

// The C++ side of `self`; null for an object that is not a ready session (the methods take any self).
Trading* trading_state(nb::handle self);

// The methods of Trading, in definition order.
enum class Slot : int {
    init, position_view, start, open_native, close_native, clear_cache, touch, status,
    request, phase_request, schedule_account, run, event, query_error, tick, deadline,
    complete, complete_account, positions, by_ref, is_spec_order, is_spec_trade, child, order,
    trade_key, trade, apply_position_trade, free_parts, recompute_frozen, aggregate,
    insert, insert_, cancel, update_view, map_view, commit, close,
    diagnostics, journal_clock,
    limits, limit_counts,
};

// A file-scope `static MethodRegistration reg(Slot::order, [](TradingClass& cls) { cls.def(...); });`
// binds that file's methods when the module is initialised. Name every parameter with
// `nb::arg("name").none()`: nanobind refuses None for an nb::handle parameter otherwise, where Python
// would accept it.
struct MethodRegistration {
    MethodRegistration(Slot slot, void (*bind)(TradingClass&));
    Slot slot;
    void (*bind)(TradingClass&);
    MethodRegistration* next;
};

// The module object of velkor.trading (valid once the module is initialised).
nb::module_& module();

// A module-level name, looked up when used, as Python code would (tests may substitute
// `time`, `asyncio` or `mkdtemp`); by its text or by its interned key (name(), KEY).
nb::object global(nb::handle key);
nb::object global(const char* name);

// time.monotonic() through the module-level name `time`.
double monotonic();
// The same reading for the session `self`, recorded in its journal when it keeps one: the session's
// decisions read the clock only through this, now_object() and wall_ms(self).
double monotonic(nb::handle self);
// time.monotonic() as the object the clock returned, recorded likewise.
nb::object now_object(nb::handle self);

// An interned Python string for an attribute or key name (cached for the life of the process).
nb::handle name(std::string_view text);

// ---- Python's operators and builtins, as the session's C++ writes them
//
// bool(x) is truthy(x) and a == b is equals(a, b). The other operators are nanobind's, on handles:
// a.not_equal(b), a < b, a <= b, a > b, a >= b, a + b, a - b (text joins too); str(x) is nb::str(x),
// len(x) is nb::len(x) and `for x in xs` a range-for over a handle. Each raises nb::python_error
// where Python raises; raise(...) below raises on purpose.

// `o` (a new reference) held, or the Python error in flight raised when it is null.
inline nb::object checked(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// bool(x)
inline bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// a == b for anything but two exact texts; holds both while user code may run.
[[gnu::noinline]] inline bool equals_slow(PyObject* x, PyObject* y) {
    if ((x == Py_None && PyUnicode_CheckExact(y)) || (y == Py_None && PyUnicode_CheckExact(x))) return false;
    nb::object hx = nb::borrow(x), hy = nb::borrow(y);
    int r = PyObject_RichCompareBool(hx.ptr(), hy.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// a == b. Two exact texts are compared here without running any Python code: length, kind and
// cached hashes settle a mismatch, the characters a match. Inline, because the scans over the
// books compare every child's texts this way; anything else takes the call out of line.
[[gnu::always_inline]] inline bool equals(nb::handle a, nb::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    if (!PyUnicode_CheckExact(x) || !PyUnicode_CheckExact(y)) return equals_slow(x, y);
    Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    unsigned kind = PyUnicode_KIND(x);
    if (n != PyUnicode_GET_LENGTH(y) || kind != PyUnicode_KIND(y)) return false;
    Py_hash_t hx = ((PyASCIIObject*)x)->hash, hy = ((PyASCIIObject*)y)->hash;
    if (hx != -1 && hy != -1 && hx != hy) return false;
    return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), (size_t)n * kind) == 0;
}
inline bool equals(nb::handle a, const char* text) { return equals(a, name(text)); }

// Exact texts by content, as a dict tells its keys apart: hash and equality for C++ maps keyed by
// texts (a text's hash is cached, and comparing two runs no Python code).
struct TextHash {
    using is_transparent = void;
    size_t operator()(nb::handle s) const noexcept { return static_cast<size_t>(PyObject_Hash(s.ptr())); }
};
struct TextEq {
    using is_transparent = void;
    bool operator()(nb::handle a, nb::handle b) const noexcept { return equals(a, b); }
};

// id(x)
inline nb::object identity(nb::handle x) { return checked(PyLong_FromVoidPtr(x.ptr())); }

// raise type(message), raise type(message) with a message object, and a bare `raise type`
// (type: a Python exception class).
[[noreturn]] void raise(nb::handle type, std::string_view message);
[[noreturn]] void raise(nb::handle type, nb::handle message);
[[noreturn]] void raise(nb::handle type);
// Raise VelkorError(message) with the module-level VelkorError.
[[noreturn]] void raise_velkor(std::string_view message);
[[noreturn]] void raise_velkor(nb::handle message);

// The Python exception of a C++ exception in flight (call inside a catch block): a python_error as
// it is, nanobind's builtin exceptions as their Python types, anything else as RuntimeError.
nb::python_error current_python_error();

// Session attributes, by an interned name. A name the class does not define is the instance dict's
// entry, read and written there directly, as the generic attribute access does it; anything else,
// and a missing attribute's error, takes the full attribute access.
inline PyObject** plain_attrs(PyObject* self, nb::handle key, bool writing) {
    PyTypeObject* type = Py_TYPE(self);
    if (writing ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr)
        return nullptr;
    if (_PyType_Lookup(type, key.ptr())) return nullptr;
    PyObject** dict = _PyObject_GetDictPtr(self);
    return dict && *dict && PyDict_CheckExact(*dict) ? dict : nullptr;
}
inline nb::object get(nb::handle self, nb::handle key) {
    if (PyObject** dict = plain_attrs(self.ptr(), key, false)) {
        if (PyObject* value = PyDict_GetItemWithError(*dict, key.ptr())) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyObject* value = PyObject_GetAttr(self.ptr(), key.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}
inline void set(nb::handle self, nb::handle key, nb::handle value) {
    PyObject** dict = plain_attrs(self.ptr(), key, true);
    if (dict ? PyDict_SetItem(*dict, key.ptr(), value.ptr()) : PyObject_SetAttr(self.ptr(), key.ptr(), value.ptr()))
        throw nb::python_error();
}
inline nb::object get(nb::handle self, const char* attr) { return get(self, name(attr)); }
inline void set(nb::handle self, const char* attr, nb::handle value) { set(self, name(attr), value); }

// wake.cpp: ends the run loop's pause sooner when the session's next deadline now comes before its end.
void shorten_pause(nb::handle self);

// Binds the class Native (native.cpp).
void bind_native(nb::module_& m);
// Binds the class Limits (limits.cpp).
void bind_limits(nb::module_& m);

// ---- the session core, for the other concern files

// lifecycle.cpp
void open_native(nb::handle self);
void close_native(nb::handle self);
void clear_cache(nb::handle self, nb::handle status);
void clear_cache(nb::handle self, const char* status);
void touch(nb::handle self);
void set_status(nb::handle self, nb::handle value);
void set_status(nb::handle self, const char* value);
// objects[id(obj)] = obj: `obj` into the user's registry of published objects (`objects`).
void register_object(nb::handle objects, nb::handle obj);

// engine.cpp
// _request(method, fields): the (request id, result) tuple; `fields` may be None.
nb::tuple request(nb::handle self, nb::handle method, nb::handle fields);
nb::tuple request(nb::handle self, const char* method, nb::handle fields);
void phase_request(nb::handle self, nb::handle phase, nb::handle method, nb::handle data);
void schedule_account(nb::handle self);
void tick(nb::handle self, nb::handle now);
// The earliest time, on the session's monotonic clock, at which tick() may act on the state as it is
// (raise, put the funds query into `pending`, send a query): -inf when it may act at once, +inf when
// time alone never makes it act, NaN when a value it reads is no plain int or float.
double next_deadline(nb::handle self);
// fail() on the retry control `control` ("recovery" or "query_recovery"); its check() decides at the
// next pass, which therefore comes after the plain pause.
void retry_fail(nb::handle self, const char* control);
// run(): the session's run loop as a coroutine.
nb::object run(nb::handle self);

}  // namespace velkor::trading
