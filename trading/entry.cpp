// Order entry: `insert` guards the session state and the argument types and turns failures into
// results; `_insert` checks against the instrument, plans (closes on SHFE and INE split into
// close-yesterday and close-today parts), registers every order, then sends them in plan order.
// Neither suspends: the whole submission happens in one step of the awaiting task.
#include "coro.h"
#include "entry.h"
#include "log.h"

#include <cmath>
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

nb::object close_type(const char* flag) {
    switch (flag[0]) {
        case '3': return nb::str("TODAY");
        case '4': return nb::str("HISTORY");
        case '0': return nb::none();
        default: return nb::str("UNSPECIFIED");
    }
}

struct Planned {
    const char* offset;
    const char* flag;
    nb::object lots;
};

struct Registered {
    nb::object child;
    const char* flag;
};

nb::dict insert_payload(nb::handle exchange, nb::handle instrument, nb::handle child, nb::handle direction,
                        const char* flag, nb::handle limit_price) {
    nb::dict d;
    d[KEY("InstrumentID")] = instrument;
    d[KEY("ExchangeID")] = exchange;
    d[KEY("OrderRef")] = child[KEY("ref")];
    d[KEY("Direction")] = equals(direction, KEY("BUY")) ? KEY("0") : KEY("1");
    d[KEY("CombOffsetFlag")] = name(flag);
    d[KEY("CombHedgeFlag")] = KEY("1");
    d[KEY("OrderPriceType")] = KEY("2");
    d[KEY("LimitPrice")] = limit_price;
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
        nb::object words[] = {child[KEY("symbol")], child[KEY("direction")],
                              child[KEY("offset")], child[KEY("volume_original")]};
        args.insert(args.end(), std::begin(words), std::end(words));
        args.insert(args.end(), reason);
        std::string text = named ? "order %s (%s %s %s %s lots) " : "order (%s %s %s %s lots) ";
        text += format;
        log::write(self, log::ORDERS, log::WARNING, text.c_str(), args,
                   {.order_id = named ? nb::handle(order_id) : nb::handle()});
    });
}

}  // namespace

// `_insert`: raises on a failed check, otherwise returns one TradingResult per planned order.
nb::object insert_checked(nb::handle self, nb::handle symbol, nb::handle direction, nb::handle offset,
                          nb::handle volume, nb::handle limit_price) {
    if (!session_ready(self)) raise_velkor("交易账户尚未 READY，请调用 wait_update 等待同步完成");

    nb::object instrument = item_or(get(self, KEY("instruments")), symbol, nb::none());
    if (instrument.is_none() || !truthy(item_or(instrument, KEY("IsTrading"), nb::none())))
        raise(PyExc_ValueError, "合约不存在、不受支持或当前不可交易");

    nb::object tick = instrument[KEY("PriceTick")];
    if (tick > nb::int_(0) && !on_tick_grid(limit_price, tick))
        raise(PyExc_ValueError, "limit_price 不符合合约最小变动价位");

    auto [exchange, instrument_id] = split_symbol(symbol);
    std::vector<Planned> plan;
    bool closing = !equals(offset, KEY("OPEN"));
    bool sell = equals(direction, KEY("SELL"));
    if (!closing) {
        plan.push_back({"OPEN", "0", nb::borrow(volume)});
    } else {
        nb::object parts = free_parts(self, symbol, sell ? KEY("long") : KEY("short"));
        nb::object history = parts[0], today = parts[1];
        nb::object free = nb::steal(PyNumber_Add(history.ptr(), today.ptr()));
        if (!free.is_valid()) throw nb::python_error();
        if (volume > free) raise(PyExc_ValueError, "本地参考可平持仓数量不足");
        if (one_of(exchange, KEY("SHFE"), KEY("INE"))) {
            // Earlier days' lots first, the rest from today.
            nb::object yesterday = history < volume ? history : nb::borrow(volume);
            if (yesterday.not_equal(nb::int_(0))) plan.push_back({"CLOSE_YESTERDAY", "4", yesterday});
            if (volume > yesterday) {
                nb::object rest = nb::steal(PyNumber_Subtract(volume.ptr(), yesterday.ptr()));
                if (!rest.is_valid()) throw nb::python_error();
                plan.push_back({"CLOSE_TODAY", "3", rest});
            }
        } else {
            plan.push_back({"CLOSE", "1", nb::borrow(volume)});
        }
    }

    nb::object minimum = instrument[KEY("MinLimitOrderVolume")];
    nb::object maximum = instrument[KEY("MaxLimitOrderVolume")];
    for (const Planned& entry : plan) {
        if (!(minimum <= entry.lots && entry.lots <= maximum))
            raise(PyExc_ValueError, "单笔委托数量超出合约限价委托范围");
    }

    // An inconsistent book refuses every order, opening ones too (the side a close was planned from
    // is already known to be consistent).
    if (!closing || !sell) free_parts(self, symbol, KEY("long"));
    if (!closing || sell) free_parts(self, symbol, KEY("short"));

    // Register every planned order before the first one is sent.
    nb::object o = get(self, KEY("o")), native_orders = get(self, KEY("native_orders"));
    nb::object ref_orders = get(self, KEY("ref_orders"));
    nb::object local_order_id = global(KEY("local_order_id"));
    std::vector<Registered> registered;
    for (const Planned& entry : plan) {
        nb::object order_ref = nb::steal(PyNumber_Add(get(self, KEY("order_ref")).ptr(), nb::int_(1).ptr()));
        if (!order_ref.is_valid()) throw nb::python_error();
        set(self, KEY("order_ref"), order_ref);
        nb::str ref(order_ref);
        nb::object front = get(self, KEY("front")), session = get(self, KEY("session"));
        nb::object order_id = local_order_id(front, session, ref);

        nb::dict order;
        order[KEY("order_id")] = order_id;
        order[KEY("order_sys_id")] = nb::none();
        order[KEY("symbol")] = symbol;
        order[KEY("direction")] = direction;
        order[KEY("offset")] = name(entry.offset);
        order[KEY("limit_price")] = limit_price;
        order[KEY("volume_original")] = entry.lots;
        order[KEY("volume_traded")] = 0;
        order[KEY("volume_left")] = entry.lots;
        order[KEY("status")] = KEY("PENDING");
        order[KEY("status_msg")] = KEY("");
        order[KEY("cancel_pending")] = false;
        order[KEY("cancel_error")] = nb::none();
        order[KEY("insert_time")] = book::wall_ms();

        nb::dict child;
        child[KEY("order_id")] = order_id;
        child[KEY("parent")] = order_id;
        child[KEY("symbol")] = symbol;
        child[KEY("direction")] = direction;
        child[KEY("offset")] = name(entry.offset);
        child[KEY("exchange_order_id")] = KEY("");
        child[KEY("close_type")] = close_type(entry.flag);
        child[KEY("volume_original")] = entry.lots;
        child[KEY("volume_traded")] = 0;
        child[KEY("volume_left")] = entry.lots;
        child[KEY("status")] = KEY("PENDING");
        child[KEY("is_confirmed")] = false;
        child[KEY("status_msg")] = KEY("");
        child[KEY("cancel_pending")] = false;
        child[KEY("cancel_error")] = nb::none();
        child[KEY("ref")] = ref;
        child[KEY("front")] = front;
        child[KEY("session")] = session;
        child[KEY("cancel_request_id")] = nb::none();
        child[KEY("pending_finish")] = false;
        child[KEY("expected_traded")] = 0;
        child[KEY("finish_status")] = nb::none();
        child[KEY("finish_msg")] = KEY("");

        o[order_id] = order;
        native_orders[order_id] = child;
        ref_orders[nb::make_tuple(front, session, ref)] = order_id;
        registered.push_back({std::move(child), entry.flag});
    }

    // Send in plan order; the first failure stops the rest, which are withdrawn unsent.
    nb::list results;
    bool failed = false;
    nb::handle insert_method = KEY("OrderInsert");
    for (size_t i = 0; i < registered.size(); ++i) {
        Registered& entry = registered[i];
        nb::object& child = entry.child;
        const char* message = "";
        if (failed) {
            message = "未发送：前一笔委托提交失败";
        } else {
            try {
                nb::object next = nb::steal(PyNumber_Add(get(self, KEY("request_id")).ptr(), nb::int_(1).ptr()));
                if (!next.is_valid()) throw nb::python_error();
                child[KEY("request_id")] = next;
                nb::dict payload =
                    insert_payload(exchange, instrument_id, child, direction, entry.flag, limit_price);
                nb::object sent = request(self, insert_method, payload);
                child[KEY("request_id")] = sent[0];
                if (sent[1].not_equal(nb::int_(0))) {
                    message = "报单未提交";
                    log_unsent(self, child, false, "not sent: CTP result %s (%s)",
                               {sent[1], nb::str(log::request_result(sent[1]))});
                }
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

    // The orders have left: a book that fails to recompute now must not turn the answers into
    // rejections (insert would report every order as refused). Order tracking meets the same book
    // on the next return and recovers from there.
    try {
        recompute_frozen(self, nb::none(), symbol);
        for (Registered& entry : registered) {
            if (contains(native_orders, entry.child[KEY("order_id")])) aggregate(self, entry.child);
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
    return results;
}

// `insert`: never raises for a bad argument or an unready session; answers with a rejection instead.
nb::object insert_guarded(nb::handle self, nb::handle symbol, nb::handle direction, nb::handle offset,
                          nb::handle volume, nb::handle limit_price) {
    if (!session_ready(self)) {
        nb::list out;
        out.append(trading_result(KEY("REJECTED"), nb::none(), NOT_READY));
        return out;
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
    nb::list out;
    out.append(trading_result(KEY("REJECTED"), nb::none(), INVALID));
    return out;
}

// Coroutine bodies that never suspend: the work happens on the first send, as an `async def` would.
static Coro insert_body(nb::handle self, nb::object symbol, nb::object direction, nb::object offset,
                        nb::object volume, nb::object limit_price) {
    co_return insert_guarded(self, symbol, direction, offset, volume, limit_price);
}

static Coro insert_checked_body(nb::handle self, nb::object symbol, nb::object direction, nb::object offset,
                                nb::object volume, nb::object limit_price) {
    co_return insert_checked(self, symbol, direction, offset, volume, limit_price);
}

static MethodRegistration reg_insert(Slot::insert, [](TradingClass& cls) {
    cls.def(
        "insert",
        [](nb::handle self, nb::object symbol, nb::object direction, nb::object offset, nb::object volume,
           nb::object limit_price) {
            return make_coroutine(insert_body(self, symbol, direction, offset, volume, limit_price),
                                  "Trading.insert", self);
        },
        nb::arg("symbol").none(), nb::arg("direction").none(), nb::arg("offset").none(), nb::arg("volume").none(), nb::arg("limit_price").none(),
        nb::sig(doc::insert_sig), doc::insert);
});

static MethodRegistration reg_insert_(Slot::insert_, [](TradingClass& cls) {
    cls.def(
        "_insert",
        [](nb::handle self, nb::object symbol, nb::object direction, nb::object offset, nb::object volume,
           nb::object limit_price) {
            return make_coroutine(insert_checked_body(self, symbol, direction, offset, volume, limit_price),
                                  "Trading._insert", self);
        },
        nb::arg("symbol").none(), nb::arg("direction").none(), nb::arg("offset").none(), nb::arg("volume").none(), nb::arg("limit_price").none());
});

}  // namespace velkor::trading::entry
