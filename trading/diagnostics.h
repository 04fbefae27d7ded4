// The session's fallbacks: every switch to a slower or weaker path is counted on the session and
// logged the first time its cause occurs in that session, as one WARNING on "velkor.trading" that
// names the account and ends with the counter's name. Python reads the counts as the read-only
// mapping `Trading.diagnostics`, by the names in diagnostics.cpp.
#pragma once

#include "session.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velkor::trading {

enum class Fallback : uint8_t {
    // The closing-lot index (book_index.h) hands an answer to the full walk over the child orders:
    // counted per answer.
    walk_no_watcher,        // no dict watcher id was free for the index (the registration is retried)
    walk_shared_record,     // the order book or an order record is followed by another session's index
    walk_irregular_record,  // not a plain dict, or a key, field or symbol that is not a plain text or int
    walk_order_dependent,   // yesterday's and unspecified closes live together: their sequence decides
    walk_unusual_lots,      // lots that are not plain ints within 2**60
    walk_index_failed,      // the index could not be built: memory ran out, or a dict watch was refused
    // The run loop (wake.h) pauses by time instead of waking on the adapter's descriptor: counted per
    // adapter that it pauses for by time.
    pause_no_descriptor,       // the adapter has no fileno(), or it returns None or a negative number, or fails
    pause_descriptor_refused,  // the event loop cannot watch the descriptor (add_reader refused it)
    pause_descriptor_broken,   // the descriptor reached its end or failed: it can no longer signal
    pause_asyncio_replaced,    // the module-level `asyncio` is not the asyncio module
    pause_clock_replaced,      // the module-level `time` is not the time module: no pause to a deadline
    pause_irregular_time,      // the time-out, a time the session keeps or the clock's reading is not a plain
                               // int or float: no pause to a deadline either
};
inline constexpr size_t fallback_kinds = 12;

struct Diagnostics {
    std::array<unsigned long long, fallback_kinds> counts{};
    std::array<bool, fallback_kinds> logged{};
};

// Counts one `cause` on the session `self` and logs it if it is the first of its cause there; `args`
// fill the %-placeholders of the cause's message. Nothing for an object that is not a ready session.
void report_fallback(nb::handle self, Fallback cause, const std::vector<nb::handle>& args = {});

}  // namespace velkor::trading
