// Event dispatch: what each callback record of the bridge means for the session.
#include "sync.h"

namespace velkor::trading {

namespace {

constexpr Py_ssize_t LIVE_TRADE_LIMIT = 32768;

bool is_retryable(nb::handle code) {
    return py::eq(code, nb::int_(90)) || py::eq(code, nb::int_(154));
}

[[noreturn]] void raise_timeout() {
    PyErr_SetNone(PyExc_TimeoutError);
    py::fail();
}

[[noreturn]] void raise_with(PyObject* type, nb::handle text) {
    PyErr_SetObject(type, text.ptr());
    py::fail();
}

// The first child of native_orders whose `key` equals rid, or None.
nb::object child_by_request(nb::handle self, const char* key, nb::handle rid) {
    nb::object found = nb::none();
    py::each(get(self, "native_orders").attr("values")(), [&](nb::object child) {
        if (found.is_none() && py::eq(py::get(child, key), rid)) found = child;
    });
    return found;
}

// One answer of the login handshake (authenticate, login, settlement confirmation).
void login_phase(nb::handle self, nb::handle name, nb::handle data, nb::handle rid, nb::handle last,
                 nb::handle code, nb::handle message) {
    if (!py::eq(rid, get(self, "phase_id"))) return;
    if (py::truthy(code)) {
        if (is_retryable(code)) raise_timeout();
        nb::object phase = get(self, "phase");
        nb::object label = py::get(global("PHASE_LABELS"), phase, phase);
        raise_velkor_text(py::concat({nb::str("CTP "), label, nb::str("失败（错误码："), py::str(code),
                                      nb::str("）："), message}));
    }
    nb::object merged = get(self, "phase_data");
    merged.attr("update")(data);
    if (!py::truthy(last)) return;

    if (py::eq(name, "RspAuthenticate")) {
        nb::dict payload;
        payload["Password"] = get(self, "config").attr("password");
        peer::phase_request(self, "login", "UserLogin", payload);
    } else if (py::eq(name, "RspUserLogin")) {
        nb::object day = py::item(merged, "TradingDay");
        set(self, "day", day);
        py::store(get(self, "a"), "trading_day", day);
        set(self, "front", py::item(merged, "FrontID"));
        set(self, "session", py::item(merged, "SessionID"));
        nb::object ref = py::stripped(py::get(merged, "MaxOrderRef", nb::str("0")));
        set(self, "order_ref", py::truthy(ref) ? py::steal_or_fail(PyNumber_Long(ref.ptr())) : nb::int_(0));
        peer::phase_request(self, "settlement", "SettlementInfoConfirm");
        peer::touch(self);
    } else {
        set(self, "phase", nb::str("sync"));
        set(self, "phase_time", nb::float_(monotonic()));
        set(self, "sync_index", nb::int_(0));
    }
}

// An error callback that names only a request id: find whose request it was.
void rsp_error(nb::handle self, nb::handle rid, nb::handle error, nb::handle code, nb::handle message) {
    bool has_rid = py::truthy(rid);
    if (has_rid) {
        const char* redirect = nullptr;
        py::each(get(self, "native_orders").attr("values")(), [&](nb::object child) {
            if (redirect) return;
            if (py::eq(py::get(child, "request_id"), rid))
                redirect = "RspOrderInsert";
            else if (py::eq(py::get(child, "cancel_request_id"), rid))
                redirect = "RspOrderAction";
        });
        if (redirect) {
            nb::dict again;
            again["name"] = nb::str(redirect);
            again["request_id"] = rid;
            again["error"] = error;
            event(self, again);
            return;
        }
    }
    // A report without an error code on the query in flight is no failure of that query.
    nb::object inflight = get(self, "inflight");
    if (!inflight.is_none() && py::eq(py::item(inflight, "id"), rid) && py::truthy(code)) {
        query_error(self, code, message);
        return;
    }
    if (!py::truthy(code)) return;
    if (py::eq(rid, get(self, "phase_id")))
        raise_velkor_text(py::concat({nb::str("CTP 会话错误（错误码："), py::str(code), nb::str("）："), message}));
    raise_with(PyExc_TimeoutError,
               py::concat({nb::str("收到无法归属请求的 CTP 错误（错误码："), py::str(code), nb::str("）")}));
}

// One slice of a query answer.
void query_slice(nb::handle self, nb::handle data, nb::handle rid, nb::handle last, nb::handle code,
                 nb::handle message) {
    nb::object query = get(self, "inflight");
    if (query.is_none() || !py::eq(py::item(query, "id"), rid)) return;
    py::store(query, "progress", nb::float_(monotonic()));
    if (py::truthy(code)) {
        query_error(self, code, message);
        return;
    }
    if (py::truthy(data)) py::item(query, "rows").attr("append")(data);
    if (py::truthy(last)) {
        set(self, "inflight", nb::none());
        complete(self, query);
    }
}

void rtn_trade(nb::handle self, nb::handle data) {
    if (!peer::is_spec_trade(self, data)) return;
    nb::object tid = peer::trade_id(self, data);
    if (py::truthy(get(self, "position_ready"))) {
        peer::trade(self, data, true);
        return;
    }
    nb::object buffer = get(self, "live_trade_buffer");
    if (py::contains(buffer, tid)) return;
    if (py::len(buffer) >= LIVE_TRADE_LIMIT) raise(nb::handle(PyExc_BufferError), "登录期间的成交回报暂存队列已满");
    py::store(buffer, tid, data);
}

void insert_rejected(nb::handle self, nb::handle data, nb::handle rid) {
    nb::object child = peer::by_ref(self, py::get(data, "OrderRef"));
    if (child.is_none() && py::truthy(rid)) child = child_by_request(self, "request_id", rid);
    if (!py::truthy(child)) return;
    py::store(child, "status", nb::str("REJECTED"));
    py::store(child, "is_confirmed", nb::bool_(true));
    py::store(child, "status_msg", nb::str("报单被拒绝"));
    py::store(child, "pending_finish", nb::bool_(false));
    py::store(child, "expected_traded", py::item(child, "volume_traded"));
    py::store(child, "cancel_pending", nb::bool_(false));
    py::store(child, "cancel_error", nb::none());
    peer::recompute_frozen_symbol(self, py::item(child, "symbol"));
    peer::aggregate(self, child);
    peer::schedule_account(self);
    peer::touch(self);
}

void action_rejected(nb::handle self, nb::handle data, nb::handle rid) {
    nb::object native_orders = get(self, "native_orders");
    nb::object child = nb::none();
    nb::object system = py::stripped(py::get(data, "OrderSysID", nb::str("")));
    if (py::truthy(system)) {
        nb::object key = py::get(get(self, "system_orders"), system, nb::none());
        if (!key.is_none()) child = py::get(native_orders, key, nb::none());
    }
    bool has_rid = py::truthy(rid);
    if (child.is_none() && has_rid) child = child_by_request(self, "cancel_request_id", rid);
    if (child.is_none()) {
        nb::object ref = py::get(data, "OrderRef");
        if (py::truthy(ref)) {
            nb::object refkey = nb::make_tuple(py::get(data, "FrontID"), py::get(data, "SessionID"), py::str(ref));
            nb::object key = py::get(get(self, "ref_orders"), refkey, nb::none());
            if (!key.is_none()) child = py::get(native_orders, key, nb::none());
        }
    }
    if (child.is_none()) return;
    nb::object cancel_id = py::get(child, "cancel_request_id");
    if (has_rid && !py::eq(cancel_id, rid)) return;
    if (!py::truthy(py::get(child, "cancel_pending")) || cancel_id.is_none()) return;
    py::store(child, "cancel_pending", nb::bool_(false));
    py::store(child, "cancel_error", nb::str("撤单被拒绝"));
    peer::aggregate(self, child);
    peer::touch(self);
}

bool following(nb::handle self) {
    nb::object phase = get(self, "phase");
    return py::eq(phase, "sync") || py::eq(phase, "ready");
}

}  // namespace

void raise_velkor_text(nb::handle text) { raise_with(global("VelkorError").ptr(), text); }

void event(nb::handle self, nb::handle record) {
    nb::object name = py::item(record, "name");
    nb::object data = py::get(record, "data");
    if (!py::truthy(data)) data = nb::dict();
    nb::object rid = py::get(record, "request_id", nb::int_(0));
    nb::object last = py::get(record, "last", nb::bool_(true));
    nb::object error = py::get(record, "error");
    if (!py::truthy(error)) error = nb::dict();
    nb::object code = py::get(error, "ErrorID", nb::int_(0));
    nb::object message = py::get(error, "ErrorMsg", nb::str(""));

    if (py::eq(name, "FrontConnected")) {
        peer::clear_cache(self, "SYNCING");
        nb::object config = get(self, "config");
        nb::dict payload;
        payload["AppID"] = config.attr("app_id");
        payload["AuthCode"] = config.attr("auth_code");
        peer::phase_request(self, "authenticate", "Authenticate", payload);
    } else if (py::eq(name, "FrontDisconnected")) {
        set(self, "phase", nb::str("connecting"));
        set(self, "phase_time", nb::float_(monotonic()));
        peer::clear_cache(self, "DISCONNECTED");
        get(self, "recovery").attr("fail")();
    } else if (py::eq(name, "RspAuthenticate") || py::eq(name, "RspUserLogin") ||
               py::eq(name, "RspSettlementInfoConfirm")) {
        login_phase(self, name, data, rid, last, code, message);
    } else if (py::eq(name, "RspError")) {
        rsp_error(self, rid, error, code, message);
    } else if (PyUnicode_Check(name.ptr()) && py::truthy(name.attr("startswith")(nb::str("RspQry")))) {
        query_slice(self, data, rid, last, code, message);
    } else if (py::eq(name, "RtnOrder")) {
        if (following(self) && peer::is_spec_order(self, data)) peer::order(self, data);
    } else if (py::eq(name, "RtnTrade")) {
        if (following(self)) rtn_trade(self, data);
    } else if (py::eq(name, "RspOrderInsert") || py::eq(name, "ErrRtnOrderInsert")) {
        if (py::truthy(code)) insert_rejected(self, data, rid);
    } else if (py::eq(name, "RspOrderAction") || py::eq(name, "ErrRtnOrderAction")) {
        if (py::truthy(code)) action_rejected(self, data, rid);
    }
}

void query_error(nb::handle self, nb::handle code, nb::handle message) {
    nb::object query = get(self, "inflight");
    set(self, "inflight", nb::none());
    nb::object kind = py::item(query, "kind");
    if (is_retryable(code)) {
        bool ready = py::eq(get(self, "phase"), "ready");
        get(self, ready ? "query_recovery" : "recovery").attr("fail")();
        set(self, "last_query", nb::float_(monotonic() + 1.0));
        if (ready) get(self, "pending").attr("add")(kind);
        return;
    }
    nb::object label = py::get(global("QUERY_LABELS"), kind, kind);
    raise_velkor_text(py::concat({nb::str("CTP "), label, nb::str("查询失败（错误码："), py::str(code),
                                  nb::str("）："), message}));
}

static MethodRegistration reg_event(Slot::event, [](TradingClass& cls) {
    cls.def("event", [](nb::handle self, nb::handle record) { event(self, record); }, nb::arg("event"));
});

static MethodRegistration reg_query_error(Slot::query_error, [](TradingClass& cls) {
    cls.def("_query_error", [](nb::handle self, nb::handle code, nb::handle message) { query_error(self, code, message); },
            nb::arg("code"), nb::arg("message"));
});

}  // namespace velkor::trading
