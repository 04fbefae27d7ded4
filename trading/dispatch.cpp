// Event dispatch: what each callback record of the bridge means for the session.
#include "limit_rules.h"
#include "log.h"
#include "sync.h"

namespace velkor::trading {

namespace {

constexpr size_t LIVE_TRADE_LIMIT = 32768;

// Error codes after which the front wants the request again later (flow control, not ready yet).
bool is_retryable(nb::handle code) { return equals(code, nb::int_(90)) || equals(code, nb::int_(154)); }

// The first child of native_orders whose `key` equals rid, or None.
nb::object child_by_request(nb::handle self, nb::handle key, nb::handle rid) {
    nb::object found = nb::none();
    for (nb::handle child : get(self, "native_orders").attr("values")())
        if (found.is_none() && equals(item_or(child, key, nb::none()), rid)) found = nb::borrow(child);
    return found;
}

// One answer of the login handshake (authenticate, login, settlement confirmation).
void login_phase(nb::handle self, nb::handle callback, nb::handle data, nb::handle rid, nb::handle last,
                 nb::handle code, nb::handle message) {
    if (!equals(rid, get(self, "phase_id"))) return;
    if (truthy(code)) {
        nb::object phase = get(self, "phase");
        if (is_retryable(code)) {
            log::write(self, log::SESSION, log::WARNING, "%s answered with ErrorID %s, %s: front busy, reconnecting",
                       {log::phase_name(phase), code, message},
                       {.error_id = code, .error_msg = message});
            raise(PyExc_TimeoutError);
        }
        log::write(self, log::SESSION, log::WARNING, "%s refused by the broker: ErrorID %s, %s",
                   {log::phase_name(phase), code, message},
                   {.error_id = code, .error_msg = message});
        nb::object label = item_or(global("PHASE_LABELS"), phase, phase);
        raise_velkor(KEY("CTP ") + label + KEY("失败（错误码：") + nb::str(code) + KEY("）：") + message);
    }
    nb::object merged = get(self, "phase_data");
    merged.attr("update")(data);
    if (!truthy(last)) return;

    if (equals(callback, KEY("RspAuthenticate"))) {
        log::write(self, log::SESSION, log::INFO, "authenticated; logging in", {});
        nb::dict payload;
        put(payload, KEY("Password"), get(self, "config").attr("password"));
        phase_request(self, KEY("login"), KEY("UserLogin"), payload);
    } else if (equals(callback, KEY("RspUserLogin"))) {
        nb::object day = item(merged, KEY("TradingDay"));
        set(self, "day", day);
        put(get(self, "a"), KEY("trading_day"), day);
        set(self, "front", item(merged, KEY("FrontID")));
        set(self, "session", item(merged, KEY("SessionID")));
        nb::object ref = stripped(item_or(merged, KEY("MaxOrderRef"), KEY("0")));
        set(self, "order_ref", truthy(ref) ? checked(PyNumber_Long(ref.ptr())) : nb::int_(0));
        log::write(self, log::SESSION, log::INFO,
                   "logged in: trading day %s, front id %s, session id %s, last order reference %s; "
                   "confirming the settlement",
                   {day, get(self, "front"), get(self, "session"), get(self, "order_ref")});
        phase_request(self, KEY("settlement"), KEY("SettlementInfoConfirm"), nb::none());
        trading::touch(self);
    } else {
        log::write(self, log::SESSION, log::INFO, "settlement confirmed; synchronising the account", {});
        set(self, "phase", KEY("sync"));
        set(self, "phase_time", nb::float_(monotonic(self)));
        set(self, "sync_index", nb::int_(0));
    }
}

// An error callback that names only a request id: find whose request it was.
void rsp_error(nb::handle self, nb::handle rid, nb::handle error, nb::handle code, nb::handle message) {
    if (truthy(rid)) {
        nb::handle redirect;
        for (nb::handle child : get(self, "native_orders").attr("values")()) {
            if (redirect.is_valid()) continue;
            if (equals(item_or(child, KEY("request_id"), nb::none()), rid))
                redirect = KEY("RspOrderInsert");
            else if (equals(item_or(child, KEY("cancel_request_id"), nb::none()), rid))
                redirect = KEY("RspOrderAction");
        }
        if (redirect.is_valid()) {
            nb::dict again;
            put(again, KEY("name"), redirect);
            put(again, KEY("request_id"), rid);
            put(again, KEY("error"), error);
            event(self, again);
            return;
        }
    }
    // A report without an error code on the query in flight is no failure of that query.
    nb::object inflight = get(self, "inflight");
    if (!inflight.is_none() && equals(item(inflight, KEY("id")), rid) && truthy(code)) {
        query_error(self, code, message);
        return;
    }
    if (!truthy(code)) return;
    if (equals(rid, get(self, "phase_id"))) {
        log::write(self, log::SESSION, log::WARNING, "error answer to the %s request: ErrorID %s, %s",
                   {log::phase_name(get(self, "phase")), code, message},
                   {.error_id = code, .error_msg = message});
        raise_velkor(KEY("CTP 会话错误（错误码：") + nb::str(code) + KEY("）：") + message);
    }
    log::write(self, log::SESSION, log::WARNING,
               "error answer to request %s, which is no request in flight: ErrorID %s, %s; reconnecting",
               {rid, code, message},
               {.error_id = code, .error_msg = message});
    raise(PyExc_TimeoutError, KEY("收到无法归属请求的 CTP 错误（错误码：") + nb::str(code) + KEY("）"));
}

// One slice of a query answer.
void query_slice(nb::handle self, nb::handle data, nb::handle rid, nb::handle last, nb::handle code,
                 nb::handle message) {
    nb::object query = get(self, "inflight");
    if (query.is_none() || !equals(item(query, KEY("id")), rid)) return;
    put(query, KEY("progress"), nb::float_(monotonic(self)));
    if (truthy(code)) {
        query_error(self, code, message);
        return;
    }
    if (truthy(data)) item(query, KEY("rows")).attr("append")(data);
    if (truthy(last)) {
        set(self, "inflight", nb::none());
        complete(self, query);
    }
}

void rtn_trade(nb::handle self, nb::handle raw) {
    if (!is_spec_trade(raw)) return;
    if (truthy(get(self, "position_ready"))) {
        apply_trade(self, raw, true);
        return;
    }
    nb::object data = with_exchange(self, raw);
    nb::object fill = trade_key(data);
    nb::object buffer = get(self, "live_trade_buffer");
    if (contains(buffer, fill)) return;
    if (nb::len(buffer) >= LIVE_TRADE_LIMIT) book::buffer_error("登录期间的成交回报暂存队列已满");
    put(buffer, fill, data);
}

void insert_rejected(nb::handle self, nb::handle callback, nb::handle data, nb::handle rid, nb::handle code,
                     nb::handle message) {
    nb::object child = by_ref(self, item_or(data, KEY("OrderRef"), nb::none()));
    if (child.is_none() && truthy(rid)) child = child_by_request(self, KEY("request_id"), rid);
    if (!truthy(child)) {
        log::write(self, log::ORDERS, log::DEBUG, "%s for no order of this session (OrderRef %r): ErrorID %s, %s",
                   {callback, item_or(data, KEY("OrderRef"), nb::none()), code, message},
                   {.error_id = code, .error_msg = message});
        return;
    }
    log::guarded([&] {
        // The front answers a refused order twice (the answer and the error return): one warning.
        bool repeated = equals(item_or(child, KEY("status"), nb::none()), KEY("REJECTED"));
        nb::object order_id = item_or(child, KEY("order_id"), nb::none());
        log::write(self, log::ORDERS, repeated ? log::DEBUG : log::WARNING,
                   "order %s (%s %s %s %s lots) refused by the broker (%s): ErrorID %s, %s",
                   {order_id, item_or(child, KEY("symbol"), nb::none()),
                    item_or(child, KEY("direction"), nb::none()), item_or(child, KEY("offset"), nb::none()),
                    item_or(child, KEY("volume_original"), nb::none()), callback, code, message},
                   {.order_id = order_id, .error_id = code, .error_msg = message});
    });
    put(child, KEY("status"), KEY("REJECTED"));
    put(child, KEY("is_confirmed"), Py_True);
    put(child, KEY("status_msg"), KEY("报单被拒绝"));
    put(child, KEY("pending_finish"), Py_False);
    put(child, KEY("expected_traded"), item(child, KEY("volume_traded")));
    put(child, KEY("cancel_pending"), Py_False);
    put(child, KEY("cancel_error"), nb::none());
    limits::order_changed(self, child);
    recompute_frozen(self, nb::none(), item(child, KEY("symbol")));
    aggregate(self, child);
    trading::schedule_account(self);
    trading::touch(self);
}

// The child that a refused cancellation names: by exchange order number, by the cancellation's request
// id, then by the order's CTP identity.
nb::object cancelled_child(nb::handle self, nb::handle data, nb::handle rid) {
    nb::object native_orders = get(self, "native_orders");
    nb::object system = order_key(with_exchange(self, data));
    if (!system.is_none()) {
        nb::object key = item_or(get(self, "system_orders"), system, nb::none());
        nb::object child = key.is_none() ? nb::none() : item_or(native_orders, key, nb::none());
        if (!child.is_none()) return child;
    }
    if (truthy(rid)) {
        nb::object child = child_by_request(self, KEY("cancel_request_id"), rid);
        if (!child.is_none()) return child;
    }
    nb::object ref = item_or(data, KEY("OrderRef"), nb::none());
    if (!truthy(ref)) return nb::none();
    nb::object refkey = nb::make_tuple(item_or(data, KEY("FrontID"), nb::none()),
                                       item_or(data, KEY("SessionID"), nb::none()), nb::str(ref));
    nb::object key = item_or(get(self, "ref_orders"), refkey, nb::none());
    return key.is_none() ? nb::none() : item_or(native_orders, key, nb::none());
}

void action_rejected(nb::handle self, nb::handle callback, nb::handle data, nb::handle rid, nb::handle code,
                     nb::handle message) {
    nb::object child = cancelled_child(self, data, rid);
    nb::object cancel_id = child.is_none() ? nb::none() : item_or(child, KEY("cancel_request_id"), nb::none());
    if (child.is_none() || (truthy(rid) && !equals(cancel_id, rid)) ||
        !truthy(item_or(child, KEY("cancel_pending"), Py_False)) || cancel_id.is_none()) {
        log::write(self, log::ORDERS, log::DEBUG, "%s for no cancel in flight (OrderSysID %r): ErrorID %s, %s",
                   {callback, item_or(data, KEY("OrderSysID"), nb::none()), code, message},
                   {.error_id = code, .error_msg = message});
        return;
    }
    log::guarded([&] {
        nb::object order_id = item_or(child, KEY("order_id"), nb::none());
        log::write(self, log::ORDERS, log::WARNING, "cancel of order %s refused by the broker (%s): ErrorID %s, %s",
                   {order_id, callback, code, message}, {.order_id = order_id, .error_id = code, .error_msg = message});
    });
    put(child, KEY("cancel_pending"), Py_False);
    put(child, KEY("cancel_error"), KEY("撤单被拒绝"));
    aggregate(self, child);
    trading::touch(self);
}

// callback.startswith("RspQry")
bool is_query_answer(nb::handle callback) {
    if (!PyUnicode_Check(callback.ptr())) return false;
    Py_ssize_t r = PyUnicode_Tailmatch(callback.ptr(), KEY("RspQry").ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// Order and trade returns count from the settlement confirmation on.
bool following(nb::handle self) {
    nb::object phase = get(self, "phase");
    return equals(phase, KEY("sync")) || equals(phase, KEY("ready"));
}

// One order or trade return at DEBUG, as the front sent it.
void log_return(nb::handle self, bool order, nb::handle data) {
    if (!PyDict_Check(data.ptr())) return;
    log::guarded([&] {
        auto field = [&](const char* key) { return item_or(data, name(key), nb::none()); };
        if (order)
            log::write(self, log::ORDERS, log::DEBUG,
                       "order return: %s.%s ref %r sys %r status %r, traded %s of %s at %s, %s",
                       {field("ExchangeID"), field("InstrumentID"), field("OrderRef"), field("OrderSysID"),
                        field("OrderStatus"), field("VolumeTraded"), field("VolumeTotalOriginal"),
                        field("LimitPrice"), field("StatusMsg")});
        else
            log::write(self, log::ORDERS, log::DEBUG, "trade return: %s.%s trade %r order %r, %s lots at %s",
                       {field("ExchangeID"), field("InstrumentID"), field("TradeID"), field("OrderSysID"),
                        field("Volume"), field("Price")});
    });
}

}  // namespace

void event(nb::handle self, nb::handle record) {
    nb::object callback = item(record, KEY("name"));
    nb::object data = item_or(record, KEY("data"), nb::none());
    if (!truthy(data)) data = nb::dict();
    nb::object rid = item_or(record, KEY("request_id"), nb::int_(0));
    nb::object last = item_or(record, KEY("last"), Py_True);
    nb::object error = item_or(record, KEY("error"), nb::none());
    if (!truthy(error)) error = nb::dict();
    nb::object code = item_or(error, KEY("ErrorID"), nb::int_(0));
    nb::object message = item_or(error, KEY("ErrorMsg"), KEY(""));

    if (equals(callback, KEY("FrontConnected"))) {
        trading::clear_cache(self, "SYNCING");
        nb::object config = get(self, "config");
        log::write(self, log::SESSION, log::INFO, "front %s connected; authenticating",
                   {nb::getattr(config, "front_url", nb::none())});
        nb::dict payload;
        put(payload, KEY("AppID"), config.attr("app_id"));
        put(payload, KEY("AuthCode"), config.attr("auth_code"));
        phase_request(self, KEY("authenticate"), KEY("Authenticate"), payload);
    } else if (equals(callback, KEY("FrontDisconnected"))) {
        nb::object reason = item_or(record, KEY("reason"), nb::none());
        nb::object code_text = PyLong_Check(reason.ptr()) ? nb::object(nb::str("{:#06x}").format(reason)) : reason;
        log::write(self, log::SESSION, log::WARNING, "front disconnected: reason %s (%s); waiting for it to reconnect",
                   {code_text, nb::str(log::disconnect_reason(reason))});
        set(self, "phase", KEY("connecting"));
        set(self, "phase_time", nb::float_(monotonic(self)));
        trading::clear_cache(self, "DISCONNECTED");
        retry_fail(self, "recovery");
    } else if (equals(callback, KEY("RspAuthenticate")) || equals(callback, KEY("RspUserLogin")) ||
               equals(callback, KEY("RspSettlementInfoConfirm"))) {
        login_phase(self, callback, data, rid, last, code, message);
    } else if (equals(callback, KEY("RspError"))) {
        rsp_error(self, rid, error, code, message);
    } else if (is_query_answer(callback)) {
        query_slice(self, data, rid, last, code, message);
    } else if (equals(callback, KEY("RtnOrder"))) {
        if (log::enabled(log::ORDERS, log::DEBUG)) log_return(self, true, data);
        if (following(self) && is_spec_order(data)) apply_order(self, data, nb::none());
    } else if (equals(callback, KEY("RtnTrade"))) {
        if (log::enabled(log::ORDERS, log::DEBUG)) log_return(self, false, data);
        if (following(self)) rtn_trade(self, data);
    } else if (equals(callback, KEY("RspOrderInsert")) || equals(callback, KEY("ErrRtnOrderInsert"))) {
        if (truthy(code)) insert_rejected(self, callback, data, rid, code, message);
    } else if (equals(callback, KEY("RspOrderAction")) || equals(callback, KEY("ErrRtnOrderAction"))) {
        if (truthy(code)) action_rejected(self, callback, data, rid, code, message);
    }
}

void query_error(nb::handle self, nb::handle code, nb::handle message) {
    nb::object query = get(self, "inflight");
    set(self, "inflight", nb::none());
    nb::object kind = item(query, KEY("kind"));
    if (is_retryable(code)) {
        log::write(self, log::SESSION, log::WARNING, "%s query answered with ErrorID %s, %s: flow control, retrying",
                   {log::query_name(kind), code, message},
                   {.error_id = code, .error_msg = message});
        bool ready = equals(get(self, "phase"), KEY("ready"));
        retry_fail(self, ready ? "query_recovery" : "recovery");
        set(self, "last_query", nb::float_(monotonic(self) + 1.0));
        if (ready) get(self, "pending").attr("add")(kind);
        return;
    }
    log::write(self, log::SESSION, log::WARNING, "%s query refused by the broker: ErrorID %s, %s",
               {log::query_name(kind), code, message}, {.error_id = code, .error_msg = message});
    nb::object label = item_or(global("QUERY_LABELS"), kind, kind);
    raise_velkor(KEY("CTP ") + label + KEY("查询失败（错误码：") + nb::str(code) + KEY("）：") + message);
}

static MethodRegistration reg_event(Slot::event, [](TradingClass& cls) {
    cls.def("event", [](nb::handle self, nb::handle record) { event(self, record); },
            nb::arg("event").none(), nb::sig(doc::event_sig), doc::event);
});

static MethodRegistration reg_query_error(Slot::query_error, [](TradingClass& cls) {
    cls.def("_query_error", [](nb::handle self, nb::handle code, nb::handle message) { query_error(self, code, message); },
            nb::arg("code").none(), nb::arg("message").none());
});

}  // namespace velkor::trading
