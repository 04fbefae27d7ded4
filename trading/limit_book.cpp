// The counts of a session's pre-trade limits and the checks of insert (limit_rules.h).
#include "limit_rules.h"

#include "books.h"
#include "log.h"

#include <climits>
#include <cmath>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace velkor::trading::limits {

namespace {

constexpr double window = 1.0;  // seconds of the orders-per-second rule

// The rules in the order insert checks them: the name users set, the refusal's fixed text, and the
// words the log gives the count in.
enum Rule : uint8_t { order_volume, active_orders, orders_per_second, cancels, large_cancels, self_trade };
struct RuleText {
    const char* name;
    const char* refusal;
    const char* count;
};
constexpr RuleText rule_texts[] = {
    {"max_order_volume", "超过单笔报单手数上限，报单未提交", "lots asked: %s, limit %s"},
    {"max_active_orders", "超过未完成报单数量上限，报单未提交", "alive orders: %s and %s more asked, limit %s"},
    {"max_orders_per_second", "超过每秒报撤单笔数上限，报单未提交",
     "orders and cancels sent within the last second: %s and %s more asked, limit %s"},
    {"max_cancels_per_contract", "该合约当日撤单次数已达上限，报单未提交", "cancels today on %s: %s, limit %s"},
    {"max_large_cancels_per_contract", "该合约当日大额报单撤单次数已达上限，报单未提交",
     "cancels of orders of %s lots or more today on %s: %s, limit %s"},
    {"self_trade", "可能与本账户挂单自成交，报单未提交",
     "it could trade against the account's alive %s order at %s; self-trade refusals today: %s"},
};

bool on(long long limit) { return limit != Settings::off; }

// Per contract: the limit prices of the alive orders on each side (kept while self_trade is on) and
// the day's cancelled orders.
struct Contract {
    std::multiset<double> buys, sells;
    long long cancels = 0, large_cancels = 0;
};

// An alive order as the books hold it: its contract, its side, its limit price when known.
struct Alive {
    nb::object symbol;  // null when the child names none
    bool buy = false;
    bool priced = false;
    double price = 0;
};

// A text as an exact str (a subclass as a plain copy, so that hashing and comparing run no Python
// code); null for anything else.
nb::object exact_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    if (!PyUnicode_Check(value.ptr())) return nb::object();
    return checked(PyUnicode_FromObject(value.ptr()));
}

// Lots as a machine int; more than fits counts as the most there is.
long long lots_of(nb::handle value) {
    int overflow = 0;
    long long lots = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (lots == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : lots;
}

// Two prices that may be the same price on the tick grid, written two ways, count as one.
double slack(double price) { return 1e-9 * std::max(1.0, std::fabs(price)); }

// A refused ask: its rule and the values the log line gives for the rule's count.
struct Refused {
    Rule rule;
    std::vector<nb::object> count;
};

nb::object number(long long n) { return nb::int_(n); }

}  // namespace

class Book {
public:
    Book(nb::handle value, const Settings& rules) : value(nb::borrow(value)), rules(rules) {}

    nb::object value;  // the Limits the session was built with (it holds no reference: nothing to collect)
    const Settings rules;

    void follow_day(nb::handle self);
    void step(nb::handle self);
    std::optional<Refused> check(const Ask& ask, double price);
    void note(nb::handle self, nb::handle child, nb::handle limit_price = {});
    void count_cancel(nb::handle self, nb::handle id, nb::handle child, bool sent_here);
    void clear_alive();
    nb::object view();

    double now = 0;                // the monotonic time of the last check, which its orders were sent at
    std::deque<double> sent;       // monotonic times of the orders and cancels sent within the last second

private:
    Alive read_alive(nb::handle self, nb::handle child, nb::handle limit_price);
    void drop_alive(std::unordered_map<nb::object, Alive, TextHash, TextEq>::iterator it);
    std::multiset<double>* prices(const Alive& order);
    void warn_cancel(nb::handle self, nb::handle child, nb::handle symbol, const long long (&counts)[2], bool large,
                     bool sent_here);

    nb::object day;  // the trading day the cancels belong to
    std::unordered_map<nb::object, Contract, TextHash, TextEq> contracts;  // symbol -> its counts
    std::unordered_map<nb::object, Alive, TextHash, TextEq> alive;         // order id -> the order
    std::unordered_set<nb::object, TextHash, TextEq> cancelled;            // order ids counted today
    long long self_trade_refusals = 0;                                     // today's
};

void BookDelete::operator()(Book* book) const noexcept { delete book; }

// ---- the day and the second

// A new trading day starts the cancels and refusals from nothing; the alive orders stay what the
// books hold.
void Book::follow_day(nb::handle self) {
    nb::object today = get(self, KEY("day"));
    if (day.is_valid() && equals(day, today)) return;
    day = std::move(today);
    cancelled.clear();
    for (auto& [symbol, c] : contracts) c.cancels = c.large_cancels = 0;
    self_trade_refusals = 0;
}

// The day followed, the clock read, and the sends older than the window dropped: before a check or a
// cancel.
void Book::step(nb::handle self) {
    follow_day(self);
    now = monotonic(self);
    while (!sent.empty() && now - sent.front() >= window) sent.pop_front();
}

// ---- alive orders and cancels

std::multiset<double>* Book::prices(const Alive& order) {
    if (!rules.self_trade || !order.priced || !order.symbol.is_valid()) return nullptr;
    Contract& c = contracts[order.symbol];
    return order.buy ? &c.buys : &c.sells;
}

// An alive order's contract, side and price (the user order's, unless given). Reading may run Python
// code, which may come back to the book: the maps are touched only afterwards.
Alive Book::read_alive(nb::handle self, nb::handle child, nb::handle limit_price) {
    Alive order;
    order.symbol = exact_text(book::item(child, KEY("symbol")));
    order.buy = equals(book::item(child, KEY("direction")), KEY("BUY"));
    nb::object price = nb::borrow(limit_price);
    if (!price.is_valid()) {
        nb::object user_order = book::item_or(get(self, KEY("o")), book::item(child, KEY("parent")), nb::none());
        price = user_order.is_none() ? nb::none() : book::item_or(user_order, KEY("limit_price"), nb::none());
    }
    if ((PyFloat_Check(price.ptr()) || PyLong_Check(price.ptr())) && !PyBool_Check(price.ptr())) {
        order.price = PyFloat_AsDouble(price.ptr());
        if (order.price == -1.0 && PyErr_Occurred()) throw nb::python_error();
        order.priced = std::isfinite(order.price);
    }
    return order;
}

void Book::drop_alive(std::unordered_map<nb::object, Alive, TextHash, TextEq>::iterator it) {
    if (std::multiset<double>* side = prices(it->second)) {
        auto price = side->find(it->second.price);
        if (price != side->end()) side->erase(price);
    }
    alive.erase(it);
}

void Book::clear_alive() {
    alive.clear();
    for (auto& [symbol, c] : contracts) {
        c.buys.clear();
        c.sells.clear();
    }
}

// Alive: sent and not finished. A child that waits for its last fills is finished at the exchange.
void Book::note(nb::handle self, nb::handle child, nb::handle limit_price) {
    nb::object id = exact_text(book::item(child, KEY("order_id")));
    if (!id.is_valid()) return;
    nb::object status = book::item(child, KEY("status"));
    bool finishing = truthy(book::item_or(child, KEY("pending_finish"), Py_False));
    bool alive_now = !finishing && !book::is_final(status);
    if (alive_now && !alive.count(id)) {
        Alive order = read_alive(self, child, limit_price);
        auto [it, fresh] = alive.try_emplace(id, std::move(order));
        if (std::multiset<double>* side = fresh ? prices(it->second) : nullptr) side->insert(it->second.price);
    } else if (auto it = alive.find(id); !alive_now && it != alive.end()) {
        drop_alive(it);
    }
    if (equals(status, KEY("CANCELLED")) ||
        (finishing && equals(book::item_or(child, KEY("finish_status"), nb::none()), KEY("CANCELLED"))))
        count_cancel(self, id, child, false);
}

void Book::count_cancel(nb::handle self, nb::handle id, nb::handle child, bool sent_here) {
    nb::object symbol = exact_text(book::item(child, KEY("symbol")));
    if (!symbol.is_valid() || cancelled.count(id)) return;
    bool large = lots_of(book::item(child, KEY("volume_original"))) >= rules.large_order_volume;
    Contract& c = contracts[symbol];
    cancelled.insert(nb::borrow(id));
    ++c.cancels;
    if (large) ++c.large_cancels;
    const long long counts[2] = {c.cancels, c.large_cancels};
    warn_cancel(self, child, symbol, counts, large, sent_here);
}

// A cancel this session sends at or past a contract's limit is logged; one reported by the broker
// only when it reaches the limit, so that a synchronisation far past it says so once. `counts`: the
// contract's cancels and large cancels, copied (logging runs Python code, which may come back here).
void Book::warn_cancel(nb::handle self, nb::handle child, nb::handle symbol, const long long (&counts)[2],
                       bool large, bool sent_here) {
    for (Rule rule : {cancels, large_cancels}) {
        long long limit = rule == cancels ? rules.max_cancels_per_contract : rules.max_large_cancels_per_contract;
        long long count = counts[rule == cancels ? 0 : 1];
        if (!on(limit) || (rule == large_cancels && !large) || (sent_here ? count < limit : count != limit)) continue;
        log::guarded([&] {
            nb::object order_id = book::item(child, KEY("order_id"));
            std::string format = sent_here ? "cancel of order %s sent: " : "order %s cancelled: ";
            std::vector<nb::object> args{order_id};
            if (rule == large_cancels) {
                format += "cancels of orders of %s lots or more today on %s: %s, limit %s; new orders of that size "
                          "on it are refused";
                args.push_back(number(rules.large_order_volume));
            } else {
                format += "cancels today on %s: %s, limit %s; new orders on it are refused";
            }
            args.push_back(nb::borrow(symbol));
            args.push_back(number(count));
            args.push_back(number(limit));
            nb::str name(rule_texts[rule].name);
            log::write(self, log::ORDERS, log::WARNING, format.c_str(), {args.begin(), args.end()},
                       {.order_id = order_id, .limit = name});
        });
    }
}

// ---- the checks

// What the ask says is read first (it may run Python code, which may come back to the book), the
// counts after; the counts are copied before the refusal's values are made.
std::optional<Refused> Book::check(const Ask& ask, double price) {
    const Settings& r = rules;
    auto parts = static_cast<long long>(ask.lots.size());
    long long volume = lots_of(ask.volume);
    bool large = false;
    for (nb::handle lots : ask.lots) large = large || lots_of(lots) >= r.large_order_volume;
    bool buy = equals(ask.direction, KEY("BUY"));
    nb::object symbol = exact_text(ask.symbol);
    if (on(r.max_order_volume) && volume > r.max_order_volume)
        return Refused{order_volume, {nb::borrow(ask.volume), number(r.max_order_volume)}};
    auto live = static_cast<long long>(alive.size());
    if (on(r.max_active_orders) && live + parts > r.max_active_orders)
        return Refused{active_orders, {number(live), number(parts), number(r.max_active_orders)}};
    auto recent = static_cast<long long>(sent.size());
    if (on(r.max_orders_per_second) && recent + parts > r.max_orders_per_second)
        return Refused{orders_per_second, {number(recent), number(parts), number(r.max_orders_per_second)}};

    auto found = symbol.is_valid() ? contracts.find(symbol) : contracts.end();
    const Contract* c = found == contracts.end() ? nullptr : &found->second;
    long long cancelled_here = c ? c->cancels : 0, large_here = c ? c->large_cancels : 0;
    const std::multiset<double>* opposite = c ? (buy ? &c->sells : &c->buys) : nullptr;
    bool crossing = false;
    double best = 0;
    if (r.self_trade && opposite && !opposite->empty()) {
        best = buy ? *opposite->begin() : *opposite->rbegin();
        crossing = buy ? price >= best - slack(best) : price <= best + slack(best);
    }
    if (on(r.max_cancels_per_contract) && cancelled_here >= r.max_cancels_per_contract)
        return Refused{cancels, {nb::borrow(ask.symbol), number(cancelled_here), number(r.max_cancels_per_contract)}};
    if (large && on(r.max_large_cancels_per_contract) && large_here >= r.max_large_cancels_per_contract)
        return Refused{large_cancels, {number(r.large_order_volume), nb::borrow(ask.symbol), number(large_here),
                                       number(r.max_large_cancels_per_contract)}};
    if (!crossing) return std::nullopt;
    long long refusals = ++self_trade_refusals;
    return Refused{self_trade, {nb::borrow(buy ? KEY("SELL") : KEY("BUY")), nb::float_(best), number(refusals)}};
}

// The counts are copied out before any Python object is made (making one may run Python code, which
// may come back to the book).
nb::object Book::view() {
    struct Row {
        nb::object symbol;
        long long cancels, large_cancels;
    };
    std::vector<Row> rows;
    for (auto& [symbol, c] : contracts)
        if (c.cancels) rows.push_back({symbol, c.cancels, c.large_cancels});
    long long counted[3] = {(long long)alive.size(), (long long)sent.size(), self_trade_refusals};
    nb::list by_cancels, by_large;
    for (const Row& row : rows) {
        by_cancels.append(nb::make_tuple(row.symbol, row.cancels));
        if (row.large_cancels) by_large.append(nb::make_tuple(row.symbol, row.large_cancels));
    }
    auto proxy = [](nb::handle mapping) { return checked(PyDictProxy_New(mapping.ptr())); };
    auto sorted = [&](nb::list& items) {
        if (PyList_Sort(items.ptr()) < 0) throw nb::python_error();
        nb::dict by_symbol;
        for (nb::handle pair : items) by_symbol[pair[0]] = pair[1];
        return proxy(by_symbol);
    };
    nb::dict counts;
    counts["active_orders"] = nb::int_(counted[0]);
    counts["orders_last_second"] = nb::int_(counted[1]);
    counts["self_trade_refusals"] = nb::int_(counted[2]);
    counts["cancels"] = sorted(by_cancels);
    counts["large_cancels"] = sorted(by_large);
    return proxy(counts);
}

// ---- what the session's files call

std::unique_ptr<Book, BookDelete> make_book(nb::handle limits) {
    if (limits.is_none()) return nullptr;
    const Settings* rules = settings_of(limits);
    if (!rules)
        raise(PyExc_TypeError,
              std::string("limits 必须是 velkor.trading.Limits 或 None，不能是 ") + Py_TYPE(limits.ptr())->tp_name);
    return std::unique_ptr<Book, BookDelete>(new Book(limits, *rules));
}

const char* refusal(nb::handle self, Book& book, const Ask& ask) {
    double price = PyFloat_AsDouble(ask.limit_price.ptr());
    if (price == -1.0 && PyErr_Occurred()) throw nb::python_error();
    book.step(self);
    std::optional<Refused> refused = book.check(ask, price);
    if (!refused) return nullptr;
    log::guarded([&] {
        const RuleText& text = rule_texts[refused->rule];
        std::string format = std::string("order %s %s %s %s lots at %s refused by limit %s: ") + text.count;
        nb::str name(text.name);
        std::vector<nb::handle> args{ask.symbol, ask.direction, ask.offset, ask.volume, ask.limit_price, name};
        args.insert(args.end(), refused->count.begin(), refused->count.end());
        log::write(self, log::ORDERS, log::WARNING, format.c_str(), args, {.limit = name});
    });
    return rule_texts[refused->rule].refusal;
}

void order_sent(nb::handle self, nb::handle child, nb::handle limit_price) {
    Book* book = book_of(self);
    if (!book) return;
    book->sent.push_back(book->now);
    book->note(self, child, limit_price);
}

void cancel_sent(nb::handle self, nb::handle child) {
    Book* book = book_of(self);
    if (!book) return;
    book->step(self);
    book->sent.push_back(book->now);
    nb::object id = exact_text(book::item(child, KEY("order_id")));
    if (id.is_valid()) book->count_cancel(self, id, child, true);
}

void order_changed(nb::handle self, nb::handle child) {
    Book* book = book_of(self);
    if (!book) return;
    book->follow_day(self);
    book->note(self, child);
}

void books_cleared(nb::handle self) {
    if (Book* book = book_of(self)) book->clear_alive();
}

namespace {

MethodRegistration reg_limits(Slot::limits, [](TradingClass& cls) {
    cls.def_prop_ro("limits", [](nb::handle self) -> nb::object {
        Book* book = book_of(self);
        return book ? book->value : nb::none();
    }, nb::for_getter(nb::sig(doc::limits_sig)), nb::for_getter(doc::limits_prop));
});

MethodRegistration reg_limit_counts(Slot::limit_counts, [](TradingClass& cls) {
    cls.def_prop_ro("limit_counts", [](nb::handle self) -> nb::object {
        Book* book = book_of(self);
        if (!book) return nb::none();
        book->follow_day(self);
        return book->view();
    }, nb::for_getter(nb::sig(doc::limit_counts_sig)), nb::for_getter(doc::limit_counts));
});

}  // namespace

}  // namespace velkor::trading::limits
