// The session's fallbacks (diagnostics.h): their names, their log lines, and `Trading.diagnostics`.
#include "diagnostics.h"

#include "log.h"

#include <string>
#include <utility>

namespace velkor::trading {

namespace {

struct Cause {
    const char* name;     // the key in Trading.diagnostics
    const char* message;  // the log line, %-style; the name follows it in brackets
};

// In the order of Fallback.
constexpr Cause causes[fallback_kinds] = {
    {"closing_walk.no_watcher",
     "closing lots of %s by full walk: no dict watcher id is free in this interpreter (tried again at most once "
     "a second)"},
    {"closing_walk.shared_record",
     "closing lots of %s by full walk: the order book or an order record is shared with another session"},
    {"closing_walk.irregular_record",
     "closing lots of %s by full walk: the order book or an order record is not a plain dict, or a key, a field "
     "or the symbol is not a plain text or int"},
    {"closing_walk.order_dependent",
     "closing lots of %s by full walk: yesterday's and unspecified closes are live together, so their sequence "
     "decides"},
    {"closing_walk.unusual_lots", "closing lots of %s by full walk: lots that are not plain ints within 2**60"},
    {"closing_walk.index_failed",
     "closing lots of %s by full walk: the closing-lot index could not be built (out of memory, or a dict watch "
     "refused)"},
    {"timed_pause.no_descriptor",
     "the adapter has no readiness descriptor: the run loop polls it every 0.01 s"},
    {"timed_pause.descriptor_refused",
     "the event loop refused to watch descriptor %s (%r): the run loop polls the adapter every 0.01 s"},
    {"timed_pause.descriptor_broken",
     "descriptor %s can no longer signal: the run loop polls the adapter every 0.01 s"},
    {"timed_pause.asyncio_replaced",
     "the module-level asyncio is replaced: the run loop sleeps 0.01 s per pause instead of waking on the "
     "adapter's descriptor"},
    {"timed_pause.clock_replaced",
     "the module-level time is replaced, so the session's clock is not the event loop's: the run loop wakes on "
     "the adapter's descriptor and besides every 0.01 s, not at the session's next deadline"},
    {"timed_pause.irregular_time",
     "the time-out, a time the session keeps or the clock's reading is not a plain int or float: the run loop "
     "wakes on the adapter's descriptor and besides every 0.01 s, not at the session's next deadline"},
};

nb::object diagnostics_view(nb::handle self) {
    Trading* t = trading_state(self);
    nb::dict counts;
    for (size_t i = 0; i < fallback_kinds; ++i)
        counts[causes[i].name] = nb::int_(t && t->diagnostics ? t->diagnostics->counts[i] : 0);
    PyObject* view = PyDictProxy_New(counts.ptr());
    if (!view) throw nb::python_error();
    return nb::steal(view);
}

MethodRegistration reg_diagnostics(Slot::diagnostics, [](TradingClass& cls) {
    cls.def_prop_ro("diagnostics", &diagnostics_view, nb::for_getter(nb::sig(doc::diagnostics_sig)),
                    nb::for_getter(doc::diagnostics));
});

}  // namespace

void report_fallback(nb::handle self, Fallback cause, const std::vector<nb::handle>& args) {
    Trading* t = trading_state(self);
    if (!t || !t->diagnostics) return;
    auto i = static_cast<size_t>(cause);
    ++t->diagnostics->counts[i];
    if (std::exchange(t->diagnostics->logged[i], true)) return;
    std::string format = causes[i].message;
    format += " [";
    format += causes[i].name;
    format += "]";
    nb::str name(causes[i].name);
    log::write(self, log::SESSION, log::WARNING, format.c_str(), args, {.fallback = name});
}

}  // namespace velkor::trading
