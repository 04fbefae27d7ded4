// The session's log: what the broker said (ErrorID, ErrorMsg) and how the connection lives, through the
// standard logging package, reached as the module-level name `logging` when used. Users keep the fixed
// texts of the results and of `error`; the log carries the reasons behind them.
//
// Loggers: "velkor.trading" (connection, login, synchronisation, restarts, the end of a session) and its
// child "velkor.trading.orders" (refused orders and cancels; every order and trade return at DEBUG). Every
// record names the account as "[broker/user]" in front of its message and as the record attributes
// `broker_id` and `user_id`; records of a broker's error answer also carry `error_id` and `error_msg`, and
// those about one order its `order_id`. Credentials never reach the log.
#pragma once

#include "session.h"

#include <vector>

namespace velkor::trading::log {

enum Level : int { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

enum Channel : int { SESSION = 0, ORDERS = 1 };

// Logger.isEnabledFor(level) of the channel's logger. Cheap enough for every order return: the logger
// object is reused while the module-level `logging` stays the same object.
bool enabled(Channel channel, int level);

// Record attributes beyond the account: the order a record concerns, the broker's ErrorID and ErrorMsg,
// an exception to attach with its traceback, the name of a fallback's counter (diagnostics.h) and the
// pre-trade rule a record is about (limit_rules.h). Unset handles are left out.
struct Extra {
    nb::handle order_id = {};
    nb::handle error_id = {};
    nb::handle error_msg = {};
    nb::handle exc_info = {};
    nb::handle fallback = {};
    nb::handle limit = {};
};

// logger.log(level, "[%s/%s] " + format, broker_id, user_id, *args, extra={...}), `format` in the
// %-style of logging, formatted only by a handler that takes the record. A failure of logging itself
// never reaches the session: it goes to sys.unraisablehook.
void write(nb::handle self, Channel channel, int level, const char* format, const std::vector<nb::handle>& args,
           const Extra& extra = {});

// Runs `build`, which gathers what a record needs and writes it; a failure while gathering (an odd value
// in the session's state) goes to sys.unraisablehook like a failure of logging itself.
template <class Build>
void guarded(Build&& build) {
    try {
        build();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        e.discard_as_unraisable("velkor.trading logging");
    }
}

// What CTP's disconnection reason codes mean ("network read failed" for 0x1001), "unknown reason" else.
const char* disconnect_reason(nb::handle code);

// A CTP request result in words: "network failure" (-1), "flow control" (-2, -3), "refused" else.
const char* request_result(nb::handle result);

// The English name of a login phase ("authentication") or of a query step ("funds"); the name itself
// when it is none of them.
nb::object phase_name(nb::handle phase);
nb::object query_name(nb::handle kind);

}  // namespace velkor::trading::log
