// The session's books: order tracking (orders.cpp), trade intake (trades.cpp) and position
// accounting with the order roll-up (positions.cpp). All state lives in the session's plain
// dicts; these functions read and write them with the semantics of the equivalent Python.
#pragma once

#include "journal.h"
#include "session.h"

#include <utility>

namespace velkor::trading {

// Order tracking.

// What the user order and the child order of a new order start from.
struct NewOrder {
    nb::handle order_id, order_sys_id, symbol, direction, offset, limit_price;
    nb::handle volume;  // volume_original and volume_left
    nb::handle insert_time, exchange_order_id, close_type, ref, front, session;
};
// The user order and the child order of a new order, PENDING with nothing traded: one builder for
// the orders this session sends and those first seen in a row from the front, so that both have
// the same keys in the same order (records keep the order of their keys; users see it).
std::pair<nb::dict, nb::dict> new_order_records(const NewOrder& o);

nb::object by_ref(nb::handle self, nb::handle ref);
bool is_spec_order(nb::handle row);
bool is_spec_trade(nb::handle row);
nb::object child_of(nb::handle self, nb::handle row);
void apply_order(nb::handle self, nb::handle row, nb::handle query_revision);

// Exchanges number orders and trades each on their own: an order is known by (exchange, OrderSysID), a fill
// by (exchange, TradeID, direction), which also tells the two sides of a self-trade apart. Trimmed texts;
// the direction is "BUY" or "SELL".
// An order row's key, or None while the row has no exchange order number.
nb::object order_key(nb::handle row);
// The row itself, or, when it leaves ExchangeID empty (some counters' query rows, option trade returns), a
// copy naming the exchange that lists its instrument in the instrument table (when exactly one does).
nb::object with_exchange(nb::handle self, nb::handle row);

// A part of an order or fill key, borrowed from the key.
inline nb::handle key_part(nb::handle key, Py_ssize_t i) { return PyTuple_GET_ITEM(key.ptr(), i); }

// Trade intake.
// A trade row's key; BufferError without a TradeID.
nb::object trade_key(nb::handle row);
bool apply_trade(nb::handle self, nb::handle row, bool update_position);

// Position accounting and order roll-up.
void apply_position_trade(nb::handle self, nb::handle row);
nb::tuple free_parts(nb::handle self, nb::handle symbol, nb::handle side);
// updated: None or a time stamp in ms; symbol: None for every record.
void recompute_frozen(nb::handle self, nb::handle updated, nb::handle symbol);
// child: None for every child order.
void aggregate(nb::handle self, nb::handle child);

namespace book {

// KEY("symbol"): an interned str, created once per use site (KEY is the short name of VELKOR_KEY).
#define VELKOR_KEY(text)                                                  \
    ([]() -> nb::handle {                                                 \
        static PyObject* interned = PyUnicode_InternFromString(text);     \
        return interned;                                                  \
    }())
#define KEY(text) VELKOR_KEY(text)

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
    return nb::getattr(d, KEY("get"))(k, fallback);
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
    if (!PyUnicode_CheckExact(s)) return nb::getattr(h, KEY("strip"))();
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
    return stripped(item_or(row, key, KEY("")));
}

// The symbol of a CTP row: ExchangeID + "." + InstrumentID. Interned: the records of one symbol
// then share one text object, which makes the scans by symbol cheap.
inline nb::object symbol_of(nb::handle row) {
    nb::str exchange(item(row, KEY("ExchangeID")));
    nb::str instrument(item(row, KEY("InstrumentID")));
    PyObject* symbol = (exchange + KEY(".") + instrument).release().ptr();
    if (PyUnicode_CheckExact(symbol)) PyUnicode_InternInPlace(&symbol);
    return nb::steal(symbol);
}

// "BUY" when the row's Direction is "0", else "SELL".
inline nb::handle direction_of(nb::handle row) {
    return equals(item_or(row, KEY("Direction"), nb::none()), KEY("0")) ? KEY("BUY") : KEY("SELL");
}

// min(a, b) and max(a, b) as the builtins pick them.
inline nb::object smaller(nb::handle a, nb::handle b) { return nb::borrow(b < a ? b : a); }
inline nb::object larger(nb::handle a, nb::handle b) { return nb::borrow(b > a ? b : a); }

// The close type of a CTP offset flag (only its first character counts): "TODAY", "HISTORY", None
// for an opening order, "UNSPECIFIED" else.
inline nb::handle close_type_of(nb::handle offset_flag) {
    nb::str flag(offset_flag);
    if (PyUnicode_GET_LENGTH(flag.ptr()) == 0) return KEY("UNSPECIFIED");
    switch (PyUnicode_READ_CHAR(flag.ptr(), 0)) {
        case '0': return nb::none();
        case '3': return KEY("TODAY");
        case '4': return KEY("HISTORY");
        default: return KEY("UNSPECIFIED");
    }
}

// The three final order states.
[[gnu::always_inline]] inline bool is_final_state(nb::handle status) {
    return equals(status, KEY("FILLED")) || equals(status, KEY("CANCELLED")) || equals(status, KEY("REJECTED"));
}
[[gnu::always_inline]] inline bool is_final(nb::handle status) {
    if (PyUnicode_CheckExact(status.ptr())) return is_final_state(status);
    // Held while its comparisons may run Python code.
    nb::object held = nb::borrow(status);
    return is_final_state(held);
}

// A row's "TradingDay", when it has one, must be the session's trading day; otherwise
// TimeoutError(message), and the session starts over.
inline void check_day(nb::handle self, nb::handle row, const char* message) {
    nb::object day = item_or(row, KEY("TradingDay"), nb::none());
    if (truthy(day) && day.not_equal(get(self, KEY("day")))) raise(PyExc_TimeoutError, message);
}

// int(time.time() * 1000), through the module-level name `time`; recorded in the session's journal.
inline nb::object wall_ms(nb::handle self) {
    nb::object clock = global(KEY("time"));
    nb::object seconds = nb::steal(PyObject_CallMethodNoArgs(clock.ptr(), KEY("time").ptr()));
    if (!seconds.is_valid()) throw nb::python_error();
    nb::object now = seconds * nb::int_(1000);
    PyObject* ms = PyNumber_Long(now.ptr());
    if (!ms) throw nb::python_error();
    if (journal::Journal* j = journal::of(self)) j->wall(ms);
    return nb::steal(ms);
}

[[noreturn]] inline void buffer_error(std::string_view message) { raise(nb::handle(PyExc_BufferError), message); }

}  // namespace book
}  // namespace velkor::trading
