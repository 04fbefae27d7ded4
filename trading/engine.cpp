// Trading: requests, login phase requests, the run loop and its tick (time-outs and query pacing).
#include "coro.h"
#include "journal.h"
#include "log.h"
#include "sync.h"
#include "wake.h"

#include <algorithm>
#include <cmath>

namespace velkor::trading {

namespace {

bool in_codes(nb::handle result, std::initializer_list<int> codes) {
    for (int code : codes)
        if (equals(result, nb::int_(code))) return true;
    return false;
}

bool restart_error(const nb::python_error& e) {
    return e.matches(PyExc_TimeoutError) || e.matches(PyExc_BufferError) || e.matches(PyExc_ConnectionError) ||
           e.matches(PyExc_OSError);
}

nb::object sleep(double seconds) { return global("asyncio").attr("sleep")(seconds); }

// native.poll(), recorded in the journal with what it returned or raised.
nb::object poll(nb::handle self) {
    journal::Journal* j = journal::of(self);
    if (!j) return get(self, "native").attr("poll")();
    try {
        nb::object records = get(self, "native").attr("poll")();
        j->poll(records, {});
        return records;
    } catch (nb::python_error& e) {
        j->poll({}, e.value());
        throw;
    }
}

// The journal's view of the run loop: its start, each resumption after a pause, and each batch handed
// to the writer before a pause.
void journal_mark(nb::handle self, void (journal::Journal::*mark)()) {
    if (journal::Journal* j = journal::of(self)) (j->*mark)();
}

void journal_handoff(nb::handle self) {
    if (journal::Journal* j = journal::of(self)) j->handoff(self);
}

// One guarded pass of the run loop: open the adapter, check the retry control, dispatch, tick, and
// watch the adapter for the next pause. Returns the `now` of its tick.
nb::object pass(nb::handle self, Wake& wake) {
    if (Trading* t = trading_state(self)) t->retry_failed = false;
    if (get(self, "native").is_none()) open_native(self);
    if (!equals(get(self, "session_status"), "READY")) get(self, "recovery").attr("check")();
    nb::object records = poll(self);
    for (nb::handle record : records) event(self, record);
    nb::object now = now_object(self);
    tick(self, now);
    wake.follow(self);
    return now;
}

// Why the connection starts over: the front unreachable for the whole time-out, data from the front
// that cannot be followed (BufferError: a warning), or the error that asked for it (the warnings
// before it carry what the broker said).
void log_restart(nb::handle self, nb::python_error& e) {
    log::guarded([&] {
        nb::object phase = get(self, "phase");
        if (e.matches(PyExc_BufferError))
            log::write(self, log::SESSION, log::WARNING,
                       "data from the front cannot be followed during %s: %s; reconnecting in 1 s to synchronise "
                       "again",
                       {log::phase_name(phase), nb::str(e.value())});
        else if (equals(phase, "connecting") && e.matches(PyExc_TimeoutError) && !truthy(e.value().attr("args")))
            log::write(self, log::SESSION, log::INFO, "no connection to front %s for %s s; connecting again in 1 s",
                       {nb::getattr(get(self, "config"), "front_url", nb::none()), get(self, "timeout")});
        else
            log::write(self, log::SESSION, log::INFO, "reconnecting in 1 s after %r during %s",
                       {e.value(), log::phase_name(phase)});
    });
}

Coro run_body(nb::handle self, nb::handle wake_state) {
    journal_mark(self, &journal::Journal::run);
    get(self, "recovery").attr("begin")();
    Wake wake(wake_state);
    try {
        for (;;) {
            bool restart = false;
            nb::object now;
            try {
                now = pass(self, wake);
            } catch (...) {
                nb::python_error e = current_python_error();
                if (!restart_error(e)) throw e;
                restart = true;
                log_restart(self, e);
            }
            if (restart) {
                retry_fail(self, "recovery");
                clear_cache(self, "SYNCING");
                set(self, "phase", nb::str("connecting"));
                set(self, "phase_time", now_object(self));
                wake.stop();
                close_native(self);
                journal_handoff(self);
                co_await sleep(1.0);
                journal_mark(self, &journal::Journal::resume);
                // The next adapter gets the whole time-out to connect, not what the pause left of it.
                set(self, "phase_time", now_object(self));
            }
            journal_handoff(self);
            // Until the adapter has something, or the session's next deadline.
            co_await wake.pause(now);
            journal_mark(self, &journal::Journal::resume);
            wake.settle();
        }
    } catch (...) {
        wake.stop();
        nb::python_error e = current_python_error();
        if (!e.matches(PyExc_Exception)) throw e;  // cancellation and other base exceptions go on
        // A refusal by the broker or a retry control that gave up is told by its text; anything else
        // is a fault worth its traceback.
        bool expected = PyObject_IsInstance(e.value().ptr(), global("VelkorError").ptr()) == 1;
        PyErr_Clear();
        log::write(self, log::SESSION, log::ERROR, "session ended with status ERROR: %r", {e.value()},
                   {.exc_info = expected ? nb::handle() : nb::handle(e.value())});
        nb::object error = global("VelkorError")("交易连接不可用，请检查账户配置或稍后重新连接。");
        set(self, "error", error);
        clear_cache(self, "ERROR");
        if (journal::Journal* j = journal::of(self)) {
            j->run_end(e.value());
            j->handoff(self);
        }
    }
    co_return nb::none();
}

}  // namespace

nb::tuple request(nb::handle self, nb::handle method, nb::handle fields) {
    nb::object request_id = get(self, "request_id") + nb::int_(1);
    set(self, "request_id", request_id);
    nb::object config = get(self, "config");
    nb::dict payload;
    payload["BrokerID"] = config.attr("broker_id");
    payload["InvestorID"] = config.attr("user_id");
    payload["UserID"] = config.attr("user_id");
    if (fields.is_valid() && truthy(fields)) {
        if (PyDict_Check(fields.ptr())) {
            if (PyDict_Update(payload.ptr(), fields.ptr()) != 0) throw nb::python_error();
        } else {
            payload.attr("update")(fields);
        }
    }
    journal::Journal* j = journal::of(self);
    if (!j) return nb::make_tuple(request_id, get(self, "native").attr("request")(method, payload, request_id));
    nb::object result;
    try {
        result = get(self, "native").attr("request")(method, payload, request_id);
    } catch (nb::python_error& e) {
        j->request(method, payload, request_id, {}, e.value());
        throw;
    }
    j->request(method, payload, request_id, result, {});
    return nb::make_tuple(request_id, result);
}

nb::tuple request(nb::handle self, const char* method, nb::handle fields) {
    return request(self, nb::str(method), fields);
}

void phase_request(nb::handle self, nb::handle phase, nb::handle method, nb::handle data) {
    set(self, "phase", phase);
    set(self, "phase_time", now_object(self));
    set(self, "phase_data", nb::dict());
    nb::tuple sent = request(self, method, data);
    set(self, "phase_id", sent[0]);
    nb::object result = sent[1];
    bool lost = in_codes(result, {-1, -2, -3});
    if (lost || !equals(result, nb::int_(0)))
        log::write(self, log::SESSION, log::WARNING, "%s request not sent: CTP result %s (%s)",
                   {log::phase_name(phase), result, nb::str(log::request_result(result))});
    if (lost) raise(PyExc_TimeoutError);
    if (!equals(result, nb::int_(0))) {
        nb::object label = global("PHASE_LABELS").attr("get")(phase, phase);
        raise_velkor(nb::str("CTP ") + label + nb::str("请求失败（错误码：") + nb::str(result) + nb::str("）"));
    }
}

void schedule_account(nb::handle self) {
    if (!equals(get(self, "phase"), "ready")) return;
    get(self, "pending").attr("add")("account");
    shorten_pause(self);  // called between passes (an order sent): the funds query may be due sooner
}

void retry_fail(nb::handle self, const char* control) {
    get(self, control).attr("fail")();
    if (Trading* t = trading_state(self)) t->retry_failed = true;
}

namespace {

// The query in flight, unanswered for the time-out: asked again once READY, the end of the login
// before.
void query_timeout(nb::handle self, nb::handle now, nb::handle inflight, nb::handle timeout, bool ready) {
    if (!(now - inflight["progress"] > timeout)) return;
    nb::object kind = inflight["kind"];
    if (!ready) {
        nb::object label = global("QUERY_LABELS").attr("get")(kind, kind);
        raise(PyExc_TimeoutError, nb::str("CTP ") + label + nb::str("查询超时且无进展"));
    }
    log::write(self, log::SESSION, log::WARNING, "%s query unanswered for %s s; asking again",
               {log::query_name(kind), timeout});
    retry_fail(self, "query_recovery");
    get(self, "pending").attr("add")(kind);
    set(self, "inflight", nb::none());
}

// Pacing: one query a second at most, and once READY the funds every 5 s. The step due now, the
// next one of the synchronisation or a pending one; null when none is.
nb::object due_query(nb::handle self, nb::handle now, bool ready, bool sync) {
    if (ready && now - get(self, "last_account_refresh") >= nb::int_(5)) get(self, "pending").attr("add")("account");
    if (now - get(self, "last_query") < nb::int_(1)) return nb::object();
    if (sync) return global("SYNC_STEPS")[get(self, "sync_index")];
    if (!truthy(get(self, "pending"))) return nb::object();
    return nb::str("account");
}

// The next query: sent and recorded as the query in flight; flow control tries again in 2 s.
void send_query(nb::handle self, nb::handle now, nb::handle step, bool ready) {
    nb::object fields = nb::none();
    if (equals(step, "account")) {
        nb::dict currency;
        currency["CurrencyID"] = "CNY";
        fields = currency;
    }
    nb::tuple sent = request(self, global("QUERY")[step], fields);
    set(self, "last_query", now);
    nb::object result = sent[1];
    if (in_codes(result, {-2, -3})) {
        log::write(self, log::SESSION, log::WARNING, "%s query not sent: CTP result %s (%s); next try in 2 s",
                   {log::query_name(step), result, nb::str(log::request_result(result))});
        retry_fail(self, ready ? "query_recovery" : "recovery");
        set(self, "last_query", now + nb::int_(1));
        return;
    }
    if (!equals(result, nb::int_(0))) {
        nb::object label = global("QUERY_LABELS")[step];
        raise(PyExc_TimeoutError, nb::str("CTP ") + label + nb::str("查询提交失败（错误码：") + nb::str(result) + nb::str("）"));
    }
    get(self, "pending").attr("discard")(step);
    set(self, "phase_time", now);
    nb::dict record;
    record["id"] = sent[0];
    record["kind"] = step;
    record["rows"] = nb::list();
    record["progress"] = now;
    record["revision"] = get(self, "revision");
    set(self, "inflight", record);
}

}  // namespace

// Time-outs first (connecting, the login steps, the synchronisation, the query in flight), then the
// pacing of the queries, then the next query.
void tick(nb::handle self, nb::handle now) {
    nb::object phase = get(self, "phase");
    bool ready = equals(phase, "ready");
    if (ready && (!get(self, "inflight").is_none() || truthy(get(self, "pending"))))
        get(self, "query_recovery").attr("check")();

    nb::object timeout = get(self, "timeout");
    if (equals(phase, "connecting")) {
        if (now - get(self, "phase_time") > timeout) raise(PyExc_TimeoutError);
        return;
    }
    bool sync = equals(phase, "sync");
    if (!ready && !sync) {
        if (now - get(self, "phase_time") > timeout) raise(PyExc_TimeoutError, "CTP 连接或登录超时");
        return;
    }
    nb::object inflight = get(self, "inflight");
    if (!inflight.is_none()) return query_timeout(self, now, inflight, timeout, ready);
    if (sync && now - get(self, "phase_time") > timeout) raise(PyExc_TimeoutError, "CTP 登录同步超时且无进展");

    nb::object step = due_query(self, now, ready, sync);
    if (step.is_valid()) send_query(self, now, step, ready);
}

namespace {

// A session time or the time-out as a double; false for anything but a plain int or float.
bool seconds(nb::handle value, double& out) {
    if (PyFloat_CheckExact(value.ptr())) {
        out = PyFloat_AS_DOUBLE(value.ptr());
        return true;
    }
    if (!PyLong_CheckExact(value.ptr())) return false;
    out = PyLong_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // too large for a double
        return false;
    }
    return true;
}

constexpr double at_once = -INFINITY;
constexpr double never = INFINITY;
constexpr double irregular = NAN;  // a value tick() may treat in its own way: no deadline can be told

// When `now - since > limit` first holds (a time-out): never when either is NaN.
double after(double since, double limit) {
    double d = since + limit;
    return std::isnan(d) ? never : d;
}

// When `now - since >= span` first holds (the funds refresh): never when `since` is NaN.
double from(double since, double span) { return std::isnan(since) ? never : since + span; }

// When `now - last_query < 1` first fails (the pacing): at once when `last_query` is NaN.
double paced(double last_query) { return std::isnan(last_query) ? at_once : last_query + 1.0; }

}  // namespace

// Step by step as tick() decides; NaN (irregular) when a value it reads is not a plain int or float. The
// retry controls' checks are the run loop's (retry_fail).
double next_deadline(nb::handle self) {
    nb::object phase = get(self, "phase");
    bool ready = equals(phase, "ready"), sync = equals(phase, "sync");
    double timeout, since;
    if (!seconds(get(self, "timeout"), timeout)) return irregular;
    if (!ready && !sync)  // connecting, or a login step
        return seconds(get(self, "phase_time"), since) ? after(since, timeout) : irregular;
    nb::object inflight = get(self, "inflight");
    if (!inflight.is_none()) {
        PyObject* progress = PyDict_CheckExact(inflight.ptr()) ? PyDict_GetItemString(inflight.ptr(), "progress")
                                                                : nullptr;
        return progress && seconds(progress, since) ? after(since, timeout) : irregular;
    }
    double last_query;
    if (!seconds(get(self, "last_query"), last_query)) return irregular;
    if (sync) {
        if (!seconds(get(self, "phase_time"), since)) return irregular;
        return std::min(after(since, timeout), paced(last_query));
    }
    nb::object pending = get(self, "pending");
    if (!PySet_CheckExact(pending.ptr()) && !PyFrozenSet_CheckExact(pending.ptr())) return irregular;
    double refreshed;
    if (!seconds(get(self, "last_account_refresh"), refreshed)) return irregular;
    int scheduled = PySet_Contains(pending.ptr(), name("account").ptr());
    if (scheduled < 0) throw nb::python_error();
    double refresh = scheduled ? never : from(refreshed, 5.0);
    return PySet_GET_SIZE(pending.ptr()) ? std::min(refresh, paced(last_query)) : refresh;
}

nb::object run(nb::handle self) {
    nb::list wake_state = Wake::state();
    return make_coroutine(run_body(self, wake_state), "Trading.run", nb::make_tuple(self, wake_state));
}

namespace {

MethodRegistration reg_request(Slot::request, [](TradingClass& cls) {
    cls.def("_request", [](nb::handle self, nb::handle method, nb::handle fields) { return request(self, method, fields); },
            nb::arg("method").none(), nb::arg("fields").none() = nb::none());
});
MethodRegistration reg_phase_request(Slot::phase_request, [](TradingClass& cls) {
    cls.def("_phase_request",
            [](nb::handle self, nb::handle phase, nb::handle method, nb::handle data) {
                phase_request(self, phase, method, data);
            },
            nb::arg("phase").none(), nb::arg("method").none(), nb::arg("data").none() = nb::none());
});
MethodRegistration reg_schedule_account(Slot::schedule_account, [](TradingClass& cls) {
    cls.def("_schedule_account", [](nb::handle self) { schedule_account(self); });
});
MethodRegistration reg_run(Slot::run, [](TradingClass& cls) {
    cls.def("run", [](nb::handle self) { return run(self); }, nb::sig(doc::run_sig), doc::run);
});
MethodRegistration reg_tick(Slot::tick, [](TradingClass& cls) {
    cls.def("tick", [](nb::handle self, nb::handle now) { tick(self, now); }, nb::arg("now").none(),
            nb::sig(doc::tick_sig), doc::tick);
});
MethodRegistration reg_deadline(Slot::deadline, [](TradingClass& cls) {
    cls.def("_deadline", [](nb::handle self) {
        double deadline = next_deadline(self);
        return std::isnan(deadline) ? at_once : deadline;  // tick() acts at once on what it fails on
    });
});

}  // namespace

}  // namespace velkor::trading
