// Pre-trade limits: the rules a session keeps before anything is sent (`Limits`), and the counts its
// checks read.
//
// The counts follow what the session already sees of every order: order tracking, the trade intake
// and a refused insertion hand each child order whose status moved to `order_changed`; `insert` hands
// the orders it sent to `order_sent` and `cancel` each cancel it sent to `cancel_sent`. The book
// keeps, per contract, the limit prices of the alive orders on each side and the day's cancelled
// orders, so that a check reads a few numbers and never walks the orders. Every function here does
// nothing for a session without limits: one null check.
//
// A cancel counts once per order and trading day: the order's id is remembered when this session
// sends a cancel for it and when the broker reports it cancelled (live, or in the order query of a
// later synchronisation), so a cancel that succeeded is not counted again when the query shows its
// order, and a cancel that failed because the order filled first still counts.
#pragma once

#include "session.h"

#include <vector>

namespace velkor::trading::limits {

// The rules of a Limits value (limits.cpp); `off` switches a rule off.
struct Settings {
    static constexpr long long off = -1;
    long long max_order_volume = off;                // lots in one insert, before a close is split
    long long max_active_orders = off;               // orders of the account alive at once
    long long max_orders_per_second = off;           // orders and cancels sent within any one second
    long long max_cancels_per_contract = off;        // cancelled orders per contract and trading day
    long long max_large_cancels_per_contract = off;  // the same, of orders of large_order_volume lots or more
    long long large_order_volume = 300;
    bool self_trade = false;                         // refuse orders that could trade against the account's own
};

// The rules of `value` when it is a Limits, else null.
const Settings* settings_of(nb::handle value);
// The rules of a Limits as a dict by setting name (Limits(**it) makes the same rules); None for None.
nb::object settings_by_name(nb::handle value);

// The book of a session's limits; null for a session without them.
inline Book* book_of(nb::handle self) {
    Trading* t = trading_state(self);
    return t ? t->limits.get() : nullptr;
}

// A new book for the session's `limits` argument: null for None, TypeError for anything but a Limits.
std::unique_ptr<Book, BookDelete> make_book(nb::handle limits);

// What one insert asks for: its arguments and the lots of every order it would send.
struct Ask {
    nb::handle symbol, direction, offset, volume, limit_price;
    std::vector<nb::handle> lots;
};

// The fixed text of the refusal when `ask` breaks a rule (and the refusal logged), else null.
const char* refusal(nb::handle self, Book& book, const Ask& ask);

// An order `insert` sent (or may have sent) at `limit_price`: it is alive and was sent in this second.
void order_sent(nb::handle self, nb::handle child, nb::handle limit_price);

// A cancel `cancel` sent (or may have sent) for `child`: counted for its contract and this second.
void cancel_sent(nb::handle self, nb::handle child);

// `child` may have moved: alive, finished or cancelled.
void order_changed(nb::handle self, nb::handle child);

// The child orders were dropped (the session's books were reset): none is alive any more. The day's
// cancels stay: the next synchronisation reports the same orders again.
void books_cleared(nb::handle self);

}  // namespace velkor::trading::limits
