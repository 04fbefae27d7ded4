// Order entry: `insert` guards the session state and the argument types and turns failures into
// results; `_insert` takes five steps: check (the session, the instrument, the price), plan (closes
// on SHFE and INE split into close-yesterday and close-today parts), register every order, send them
// in plan order, settle (the book and the user orders follow). Neither suspends: the whole
// submission happens in one step of the awaiting task.
#include "coro.h"
#include "entry.h"
#include "journal.h"
#include "limit_rules.h"
#include "log.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace velkor::trading::entry {

namespace {

constexpr const char* NOT_READY = "交易账户未就绪，报单未提交";
constexpr const char* INVALID = "报单参数无效或可平持仓不足，未提交";

bool session_ready(nb::handle self) {
    return equals(get(self, KEY("phase")), KEY("ready")) &&
           equals(get(self, KEY("session_status")), KEY("READY")) &&
           !truthy(get(self, KEY("reset_pending")));
}

// The kinds that `insert` answers with the generic rejection.
bool handled_by_insert(nb::python_error& e) {
    return e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError) || e.matches(PyExc_OverflowError) ||
           e.matches(PyExc_BufferError) || e.matches(PyExc_KeyError);
}

bool one_of(nb::handle value, nb::handle a, nb::handle b) {
    return equals(value, a) || equals(value, b);
}

// The text before and after the first "." of a symbol.
std::pair<nb::object, nb::object> split_symbol(nb::handle symbol) {
    nb::object parts = split(symbol, 1);
    return {parts[0], parts[1]};
}

// Whether limit_price lies on the grid of `tick`: limit_price / tick within 1e-07 of an integer.
bool on_tick_grid(nb::handle limit_price, nb::handle tick) {
    nb::object quotient = nb::steal(PyNumber_TrueDivide(limit_price.ptr(), tick.ptr()));
    if (!quotient.is_valid()) throw nb::python_error();
    double q = PyFloat_AsDouble(quotient.ptr());
    if (q == -1.0 && PyErr_Occurred()) throw nb::python_error();
    // round() of a non-finite quotient fails as it would in Python.
    if (std::isnan(q)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(q)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    double nearest = std::nearbyint(q);
    return q == nearest || std::fabs(q - nearest) <= 1e-07;
}

// The decimals a tick is written with: 1 for 0.1 and 2.5, 3 for 0.005, 0 for 10.
int tick_decimals(double tick) {
    static double last_tick = 0.0;  // the same few ticks come again and again
    static int last_decimals = 0;
    if (tick == last_tick) return last_decimals;
    char* text = PyOS_double_to_string(tick, 'r', 0, 0, nullptr);
    if (!text) throw nb::python_error();
    std::string_view digits(text);
    int exponent = 0;
    if (size_t e = digits.find_first_of("eE"); e != std::string_view::npos) {
        exponent = std::atoi(text + e + 1);
        digits = digits.substr(0, e);
    }
    size_t dot = digits.find('.');
    int decimals = (dot == std::string_view::npos ? 0 : int(digits.size() - dot - 1)) - exponent;
    PyMem_Free(text);
    last_tick = tick;
    last_decimals = std::clamp(decimals, 0, 17);
    return last_decimals;
}

// The price an order on the grid of `tick` is sent with: the nearest multiple of the tick, as the decimal
// text of the tick's precision reads (5000.50000004 on a grid of 0.5 is 5000.5, 0.1 + 0.2 on one of 0.1 is 0.3);
// a price that is that multiple already goes as it was passed.
nb::object grid_price(nb::handle limit_price, nb::handle tick) {
    double price = PyFloat_AsDouble(limit_price.ptr()), step = PyFloat_AsDouble(tick.ptr());
    if ((price == -1.0 || step == -1.0) && PyErr_Occurred()) throw nb::python_error();
    double multiple = std::nearbyint(price / step) * step;
    char* text = PyOS_double_to_string(multiple, 'f', tick_decimals(step), 0, nullptr);
    if (!text) throw nb::python_error();
    double sent = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (sent == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return sent == price ? nb::borrow(limit_price) : nb::float_(sent);
}

// What every order of one insert shares: the caller's arguments and the symbol's two parts.
struct Insert {
    nb::handle symbol, direction, offset, volume, limit_price;
    nb::object exchange, instrument_id;
};

// One order of the plan: its offset, its CTP offset flag and its lots.
struct Planned {
    const char* offset;
    const char* flag;
    nb::object lots;
};

// A planned order once registered: its child record and its CTP offset flag.
struct Registered {
    nb::object child;
    const char* flag;
};

// The registered orders of one insert, and the session's child orders as registration found them.
struct Registration {
    nb::object native_orders;
    std::vector<Registered> orders;
};

nb::dict insert_payload(const Insert& in, nb::handle child, const char* flag) {
    nb::dict d;
    d[KEY("InstrumentID")] = in.instrument_id;
    d[KEY("ExchangeID")] = in.exchange;
    d[KEY("OrderRef")] = child[KEY("ref")];
    d[KEY("Direction")] = equals(in.direction, KEY("BUY")) ? KEY("0") : KEY("1");
    d[KEY("CombOffsetFlag")] = name(flag);
    d[KEY("CombHedgeFlag")] = KEY("1");
    d[KEY("OrderPriceType")] = KEY("2");
    d[KEY("LimitPrice")] = in.limit_price;
    d[KEY("VolumeTotalOriginal")] = child[KEY("volume_original")];
    d[KEY("TimeCondition")] = KEY("3");
    d[KEY("VolumeCondition")] = KEY("1");
    d[KEY("MinVolume")] = 1;
    d[KEY("ContingentCondition")] = KEY("1");
    d[KEY("ForceCloseReason")] = KEY("0");
    d[KEY("IsAutoSuspend")] = 0;
    d[KEY("UserForceClose")] = 0;
    return d;
}

// Removes an order that was not sent: its child, its user order and its reference.
void withdraw(nb::handle self, nb::handle child) {
    nb::object order_id = child[KEY("order_id")];
    get(self, KEY("native_orders")).attr("pop")(order_id, nb::none());
    get(self, KEY("o")).attr("pop")(order_id, nb::none());
    nb::object key = nb::make_tuple(child[KEY("front")], child[KEY("session")], child[KEY("ref")]);
    get(self, KEY("ref_orders")).attr("pop")(key, nb::none());
}

// Why an order did not leave, or may not have: the user's result carries a fixed text, the log the
// reason. The record names the order by its id only when the user got that id (an UNKNOWN result).
void log_unsent(nb::handle self, nb::handle child, bool named, const char* format,
                std::initializer_list<nb::handle> reason) {
    log::guarded([&] {
        nb::object order_id = child[KEY("order_id")];
        std::vector<nb::handle> args;
        if (named) args.push_back(order_id);
        nb::object words[] = {child[KEY("symbol")], child[KEY("direction")], child[KEY("offset")],
                              child[KEY("volume_original")]};
        args.insert(args.end(), std::begin(words), std::end(words));
        args.insert(args.end(), reason);
        std::string text = named ? "order %s (%s %s %s %s lots) " : "order (%s %s %s %s lots) ";
        text += format;
        log::write(self, log::ORDERS, log::WARNING, text.c_str(), args,
                   {.order_id = named ? nb::handle(order_id) : nb::handle()});
    });
}

// Check: the session is ready, the instrument trades and the price lies on its grid. Returns the
// instrument's record; `price` becomes the price to send (the grid price where the tick is known).
nb::object check_order(nb::handle self, nb::handle symbol, nb::handle limit_price, nb::object& price) {
    if (!session_ready(self)) raise_velkor("交易账户尚未 READY，请调用 wait_update 等待同步完成");
    nb::object instrument = item_or(get(self, KEY("instruments")), symbol, nb::none());
    if (instrument.is_none() || !truthy(item_or(instrument, KEY("IsTrading"), nb::none())))
        raise(PyExc_ValueError, "合约不存在、不受支持或当前不可交易");
    nb::object tick = instrument[KEY("PriceTick")];
    price = nb::borrow(limit_price);
    if (tick > nb::int_(0)) {
        if (!on_tick_grid(limit_price, tick)) raise(PyExc_ValueError, "limit_price 不符合合约最小变动价位");
        price = grid_price(limit_price, tick);
    }
    return instrument;
}

// Plan: one order, or for a close on SHFE and INE up to two, earlier days' lots first and the rest
// from today; a close needs that many free lots, and every order a volume the instrument takes.
std::vector<Planned> plan_orders(nb::handle self, const Insert& in, nb::handle instrument, bool closing, bool sell) {
    std::vector<Planned> plan;
    if (!closing) {
        plan.push_back({"OPEN", "0", nb::borrow(in.volume)});
    } else {
        nb::object parts = free_parts(self, in.symbol, sell ? KEY("long") : KEY("short"));
        nb::object history = parts[0], today = parts[1];
        if (in.volume > history + today) raise(PyExc_ValueError, "本地参考可平持仓数量不足");
        if (one_of(in.exchange, KEY("SHFE"), KEY("INE"))) {
            nb::object yesterday = history < in.volume ? history : nb::borrow(in.volume);
            if (yesterday.not_equal(nb::int_(0))) plan.push_back({"CLOSE_YESTERDAY", "4", yesterday});
            if (in.volume > yesterday) plan.push_back({"CLOSE_TODAY", "3", in.volume - yesterday});
        } else {
            plan.push_back({"CLOSE", "1", nb::borrow(in.volume)});
        }
    }
    nb::object minimum = instrument[KEY("MinLimitOrderVolume")];
    nb::object maximum = instrument[KEY("MaxLimitOrderVolume")];
    for (const Planned& part : plan) {
        if (!(minimum <= part.lots && part.lots <= maximum)) raise(PyExc_ValueError, "单笔委托数量超出合约限价委托范围");
    }
    // An inconsistent book refuses every order, opening ones too (the side a close was planned from
    // is already known to be consistent).
    if (!closing || !sell) free_parts(self, in.symbol, KEY("long"));
    if (!closing || sell) free_parts(self, in.symbol, KEY("short"));
    return plan;
}

// Register: every planned order, with its user order, child and reference, before the first is sent.
Registration register_orders(nb::handle self, const Insert& in, const std::vector<Planned>& plan) {
    nb::object o = get(self, KEY("o")), native_orders = get(self, KEY("native_orders"));
    nb::object ref_orders = get(self, KEY("ref_orders"));
    nb::object local_order_id = global(KEY("local_order_id"));
    Registration registered{native_orders, {}};
    for (const Planned& part : plan) {
        nb::object order_ref = get(self, KEY("order_ref")) + nb::int_(1);
        set(self, KEY("order_ref"), order_ref);
        nb::str ref(order_ref);
        nb::object front = get(self, KEY("front")), session = get(self, KEY("session"));
        nb::object order_id = local_order_id(front, session, ref);
        nb::object insert_time = book::wall_ms(self);
        auto [order, child] = new_order_records({.order_id = order_id,
                                                 .order_sys_id = nb::none(),
                                                 .symbol = in.symbol,
                                                 .direction = in.direction,
                                                 .offset = name(part.offset),
                                                 .limit_price = in.limit_price,
                                                 .volume = part.lots,
                                                 .insert_time = insert_time,
                                                 .exchange_order_id = KEY(""),
                                                 .close_type = book::close_type_of(name(part.flag)),
                                                 .ref = ref,
                                                 .front = front,
                                                 .session = session});
        o[order_id] = order;
        native_orders[order_id] = child;
        ref_orders[nb::make_tuple(front, session, ref)] = order_id;
        registered.orders.push_back({std::move(child), part.flag});
    }
    return registered;
}

// Sends one registered order: "" once it left, else the text of its rejection. Raises when sending
// failed.
const char* send_order(nb::handle self, const Insert& in, const Registered& order) {
    const nb::object& child = order.child;
    child[KEY("request_id")] = get(self, KEY("request_id")) + nb::int_(1);
    nb::object sent = request(self, KEY("OrderInsert"), insert_payload(in, child, order.flag));
    child[KEY("request_id")] = sent[0];
    if (sent[1].not_equal(nb::int_(0))) {
        log_unsent(self, child, false, "not sent: CTP result %s (%s)",
                   {sent[1], nb::str(log::request_result(sent[1]))});
        return "报单未提交";
    }
    return "";
}

// Send: in plan order, one result per order; the first failure stops the rest, which are withdrawn
// unsent.
nb::list send_orders(nb::handle self, const Insert& in, const std::vector<Registered>& registered) {
    nb::list results;
    bool failed = false;
    for (size_t i = 0; i < registered.size(); ++i) {
        const nb::object& child = registered[i].child;
        const char* message = "未发送：前一笔委托提交失败";
        if (!failed) {
            try {
                message = send_order(self, in, registered[i]);
            } catch (nb::python_error& e) {
                if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError)) {
                    message = "报单参数无效，未提交";
                    log_unsent(self, child, false, "not sent: the request cannot carry a value: %r", {e.value()});
                } else if (e.matches(PyExc_Exception)) {
                    // The request may have left: keep the records whole, the front's answer finds them.
                    log_unsent(self, child, true, "may have left: sending failed with %r; the broker's answer "
                               "settles it", {e.value()});
                    const char* unknown = "报单提交结果不明，等待柜台回报";
                    child[KEY("status_msg")] = unknown;
                    results.append(trading_result(KEY("UNKNOWN"), child[KEY("order_id")], unknown));
                    failed = true;
                    continue;
                } else {
                    // Leaving altogether (KeyboardInterrupt and the like): the orders after this one
                    // were never sent and must not linger as pending closes.
                    for (size_t j = i + 1; j < registered.size(); ++j) withdraw(self, registered[j].child);
                    throw;
                }
            }
        }
        if (*message) {
            withdraw(self, child);
            results.append(trading_result(KEY("REJECTED"), nb::none(), message));
            failed = true;
        } else {
            results.append(trading_result(KEY("SUBMITTED"), child[KEY("order_id")]));
        }
    }
    return results;
}

// Settle: the book and the user orders follow the registered orders, and the account query is due
// once any order left.
void settle_orders(nb::handle self, const Insert& in, const Registration& registered, nb::handle results) {
    // The orders have left: a book that fails to recompute now must not turn the answers into
    // rejections (insert would report every order as refused). Order tracking meets the same book
    // on the next return and recovers from there.
    try {
        recompute_frozen(self, nb::none(), in.symbol);
        for (const Registered& order : registered.orders) {
            if (contains(registered.native_orders, order.child[KEY("order_id")])) aggregate(self, order.child);
        }
    } catch (nb::python_error& e) {
        if (!handled_by_insert(e)) throw;
    }
    bool submitted = false;
    for (nb::handle r : results) {
        if (r.attr("status").not_equal(KEY("REJECTED"))) submitted = true;
    }
    if (submitted) {
        schedule_account(self);
        touch(self);
    }
}

// Pre-trade limits, when the session has them: the text of the refusal when the plan breaks a rule.
const char* limits_refusal(nb::handle self, const Insert& in, const std::vector<Planned>& plan) {
    limits::Book* book = limits::book_of(self);
    if (!book) return nullptr;
    limits::Ask ask{in.symbol, in.direction, in.offset, in.volume, in.limit_price, {}};
    for (const Planned& part : plan) ask.lots.push_back(part.lots);
    return limits::refusal(self, *book, ask);
}

// The orders that left, or may have (every result but a rejection, one per registered order), count
// for the limits. As in settle_orders, a record that fails to read now must not turn the answers into
// rejections.
void count_sent(nb::handle self, const Insert& in, const Registration& registered, nb::handle results) {
    if (!limits::book_of(self)) return;
    try {
        for (size_t i = 0; i < registered.orders.size(); ++i)
            if (!equals(results[i].attr(KEY("status")), KEY("REJECTED")))
                limits::order_sent(self, registered.orders[i].child, in.limit_price);
    } catch (nb::python_error& e) {
        if (!handled_by_insert(e)) throw;
    }
}

}  // namespace

// `_insert`: raises on a failed check, otherwise returns one TradingResult per planned order.
nb::object insert_checked(nb::handle self, nb::handle symbol, nb::handle direction, nb::handle offset,
                          nb::handle volume, nb::handle limit_price) {
    nb::object price;
    nb::object instrument = check_order(self, symbol, limit_price, price);
    auto [exchange, instrument_id] = split_symbol(symbol);
    Insert in{symbol, direction, offset, volume, price, std::move(exchange), std::move(instrument_id)};
    bool closing = !equals(offset, KEY("OPEN"));
    bool sell = equals(direction, KEY("SELL"));
    std::vector<Planned> plan = plan_orders(self, in, instrument, closing, sell);
    if (const char* refused = limits_refusal(self, in, plan)) return one_result(KEY("REJECTED"), nb::none(), refused);
    Registration registered = register_orders(self, in, plan);
    nb::list results = send_orders(self, in, registered.orders);
    count_sent(self, in, registered, results);
    settle_orders(self, in, registered, results);
    return results;
}

// `insert`: never raises for a bad argument or an unready session; answers with a rejection instead.
nb::object insert_guarded(nb::handle self, nb::handle symbol, nb::handle direction, nb::handle offset,
                          nb::handle volume, nb::handle limit_price) {
    if (!session_ready(self)) {
        return one_result(KEY("REJECTED"), nb::none(), NOT_READY);
    }
    try {
        global(KEY("check_symbol"))(symbol);
        if (!one_of(direction, KEY("BUY"), KEY("SELL")) ||
            !one_of(offset, KEY("OPEN"), KEY("CLOSE")))
            raise(PyExc_ValueError);
        if (!PyLong_CheckExact(volume.ptr()) || volume < nb::int_(1) ||
            volume > nb::int_(2147483647))
            raise(PyExc_ValueError);
        if (PyBool_Check(limit_price.ptr()) || global(KEY("finite"))(limit_price).is_none() ||
            limit_price <= nb::int_(0))
            raise(PyExc_ValueError);
        return insert_checked(self, symbol, direction, offset, volume, limit_price);
    } catch (nb::python_error& e) {
        if (!handled_by_insert(e)) throw;
    }
    return one_result(KEY("REJECTED"), nb::none(), INVALID);
}

using InsertStep = nb::object (*)(nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle);

// The coroutine of `insert` or `_insert`: it never suspends, the work happens on the first send, as
// an `async def` would.
static Coro insert_body(InsertStep step, nb::handle self, nb::object symbol, nb::object direction,
                        nb::object offset, nb::object volume, nb::object limit_price) {
    co_return step(self, symbol, direction, offset, volume, limit_price);
}

constexpr char insert_qualname[] = "Trading.insert";
constexpr char insert_checked_qualname[] = "Trading._insert";

template <InsertStep step, const char* qualname>
static nb::object insert_coroutine(nb::handle self, nb::object symbol, nb::object direction, nb::object offset,
                                   nb::object volume, nb::object limit_price) {
    return make_coroutine(insert_body(step, self, symbol, direction, offset, volume, limit_price), qualname, self);
}

// `insert` with its arguments and results in the session's journal.
static nb::object insert_recorded(nb::handle self, nb::handle symbol, nb::handle direction, nb::handle offset,
                                  nb::handle volume, nb::handle limit_price) {
    return journal::recorded(
        self, journal::INSERT, journal::INSERT_RESULT,
        [&] { return nb::make_tuple(symbol, direction, offset, volume, limit_price); },
        [&] { return insert_guarded(self, symbol, direction, offset, volume, limit_price); });
}

static MethodRegistration reg_insert(Slot::insert, [](TradingClass& cls) {
    cls.def("insert", &insert_coroutine<insert_recorded, insert_qualname>, nb::arg("symbol").none(),
            nb::arg("direction").none(), nb::arg("offset").none(), nb::arg("volume").none(),
            nb::arg("limit_price").none(), nb::sig(doc::insert_sig), doc::insert);
});

static MethodRegistration reg_insert_(Slot::insert_, [](TradingClass& cls) {
    cls.def("_insert", &insert_coroutine<insert_checked, insert_checked_qualname>, nb::arg("symbol").none(),
            nb::arg("direction").none(), nb::arg("offset").none(), nb::arg("volume").none(),
            nb::arg("limit_price").none());
});

}  // namespace velkor::trading::entry
