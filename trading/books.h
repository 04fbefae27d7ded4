// The session's books: order tracking (orders.cpp), trade intake (trades.cpp) and position
// accounting with the order roll-up (positions.cpp). All state lives in the session's plain
// dicts; these functions read and write them with the semantics of the equivalent Python.
#pragma once

#include "session.h"

#include <cstring>

namespace velkor::trading {

// Order tracking.
nb::object by_ref(nb::handle self, nb::handle ref);
bool is_spec_order(nb::handle row);
bool is_spec_trade(nb::handle row);
nb::object child_of(nb::handle self, nb::handle row);
void apply_order(nb::handle self, nb::handle row, nb::handle query_revision);

// Trade intake.
nb::object trade_id(nb::handle self, nb::handle row);
bool apply_trade(nb::handle self, nb::handle row, bool update_position);

// Position accounting and order roll-up.
void apply_position_trade(nb::handle self, nb::handle row);
nb::tuple free_parts(nb::handle self, nb::handle symbol, nb::handle side);
// updated: None or a time stamp in ms; symbol: None for every record.
void recompute_frozen(nb::handle self, nb::handle updated, nb::handle symbol);
// child: None for every child order.
void aggregate(nb::handle self, nb::handle child);

namespace book {

// An interned str, created once per use site: VELKOR_KEY("symbol").
#define VELKOR_KEY(text)                                                  \
    ([]() -> nb::handle {                                                 \
        static PyObject* interned = PyUnicode_InternFromString(text);     \
        return interned;                                                  \
    }())

// d[k]: KeyError when absent.
inline nb::object item(nb::handle d, nb::handle k) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), k.ptr());
        if (v) return nb::borrow(v);
        if (!PyErr_Occurred()) {
            nb::object key = nb::make_tuple(k);  // as dict.__getitem__ reports it
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        }
        throw nb::python_error();
    }
    PyObject* v = PyObject_GetItem(d.ptr(), k.ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

// d[k], borrowed from an exact dict (valid until Python code runs or d changes), else held in
// `keep`. KeyError when absent.
[[gnu::noinline]] inline PyObject* field_held(nb::handle d, nb::handle k, nb::object& keep) {
    keep = item(d, k);
    return keep.ptr();
}
[[gnu::always_inline]] inline PyObject* field(nb::handle d, nb::handle k, nb::object& keep) {
    if (PyDict_CheckExact(d.ptr())) {
        if (PyObject* v = PyDict_GetItemWithError(d.ptr(), k.ptr())) return v;
    }
    return field_held(d, k, keep);
}

// d.get(k, fallback).
inline nb::object item_or(nb::handle d, nb::handle k, nb::handle fallback) {
    if (PyDict_Check(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), k.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return nb::getattr(d, VELKOR_KEY("get"))(k, fallback);
}

// k in d
inline bool contains(nb::handle d, nb::handle k) {
    int r = PySequence_Contains(d.ptr(), k.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// d[k] = v.
inline void put(nb::handle d, nb::handle k, nb::handle v) {
    if (PyObject_SetItem(d.ptr(), k.ptr(), v.ptr()) != 0) throw nb::python_error();
}

// x.strip(); a plain text is stripped here, as str.strip() does it (itself when nothing to strip).
inline nb::object stripped(nb::handle h) {
    PyObject* s = h.ptr();
    if (!PyUnicode_CheckExact(s)) return nb::getattr(h, VELKOR_KEY("strip"))();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), i = 0, j = n;
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    while (i < j && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    while (j > i && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, j - 1))) --j;
    if (i == 0 && j == n) return nb::borrow(h);
    PyObject* part = PyUnicode_Substring(s, i, j);
    if (!part) throw nb::python_error();
    return nb::steal(part);
}

// row.get(key, "").strip()
inline nb::object stripped_field(nb::handle row, nb::handle key) {
    return stripped(item_or(row, key, VELKOR_KEY("")));
}

// The symbol of a CTP row: ExchangeID + "." + InstrumentID. Interned: the records of one symbol
// then share one text object, which makes the scans by symbol cheap.
inline nb::object symbol_of(nb::handle row) {
    nb::str exchange(item(row, VELKOR_KEY("ExchangeID")));
    nb::str instrument(item(row, VELKOR_KEY("InstrumentID")));
    PyObject* symbol = (exchange + VELKOR_KEY(".") + instrument).release().ptr();
    if (PyUnicode_CheckExact(symbol)) PyUnicode_InternInPlace(&symbol);
    return nb::steal(symbol);
}

// "BUY" when the row's Direction is "0", else "SELL".
inline nb::handle direction_of(nb::handle row) {
    return item_or(row, VELKOR_KEY("Direction"), nb::none()).equal(VELKOR_KEY("0")) ? VELKOR_KEY("BUY")
                                                                                   : VELKOR_KEY("SELL");
}

// min(a, b) and max(a, b) as the builtins pick them.
inline nb::object smaller(nb::handle a, nb::handle b) { return nb::borrow(b < a ? b : a); }
inline nb::object larger(nb::handle a, nb::handle b) { return nb::borrow(b > a ? b : a); }

// a == b for anything but two texts; holds both while user code may run.
[[gnu::noinline]] inline bool same_slow(PyObject* x, PyObject* y) {
    if ((x == Py_None && PyUnicode_CheckExact(y)) || (y == Py_None && PyUnicode_CheckExact(x))) return false;
    nb::object hx = nb::borrow(x), hy = nb::borrow(y);
    return equals(hx, hy);
}

// a == b. Two exact texts are compared here without running any Python code: length, kind and
// cached hashes settle a mismatch, the characters a match. None never equals a text.
[[gnu::always_inline]] inline bool same(nb::handle a, nb::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    if (!PyUnicode_CheckExact(x) || !PyUnicode_CheckExact(y)) return same_slow(x, y);
    Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    unsigned kind = PyUnicode_KIND(x);
    if (n != PyUnicode_GET_LENGTH(y) || kind != PyUnicode_KIND(y)) return false;
    Py_hash_t hx = ((PyASCIIObject*)x)->hash, hy = ((PyASCIIObject*)y)->hash;
    if (hx != -1 && hy != -1 && hx != hy) return false;
    return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), (size_t)n * kind) == 0;
}

// The three final order states.
[[gnu::always_inline]] inline bool is_final_state(nb::handle status) {
    return same(status, VELKOR_KEY("FILLED")) || same(status, VELKOR_KEY("CANCELLED")) ||
           same(status, VELKOR_KEY("REJECTED"));
}
[[gnu::always_inline]] inline bool is_final(nb::handle status) {
    if (PyUnicode_CheckExact(status.ptr())) return is_final_state(status);
    // Held while its comparisons may run Python code.
    nb::object held = nb::borrow(status);
    return is_final_state(held);
}

// int(time.time() * 1000), through the module-level name `time`.
inline nb::object wall_ms() {
    nb::object clock = global(VELKOR_KEY("time"));
    nb::object seconds = nb::steal(PyObject_CallMethodNoArgs(clock.ptr(), VELKOR_KEY("time").ptr()));
    if (!seconds.is_valid()) throw nb::python_error();
    nb::object now = seconds * nb::int_(1000);
    PyObject* ms = PyNumber_Long(now.ptr());
    if (!ms) throw nb::python_error();
    return nb::steal(ms);
}

[[noreturn]] inline void buffer_error(std::string_view message) { raise(nb::handle(PyExc_BufferError), message); }

}  // namespace book
}  // namespace velkor::trading
