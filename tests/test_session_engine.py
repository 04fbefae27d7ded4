"""Trading: requests, login phase requests, funds scheduling and every step of tick."""

import pytest

from velkor.data import VelkorError

from fakes import make_session

IDENTITY = {"BrokerID": "9999", "InvestorID": "123456", "UserID": "123456"}


@pytest.fixture
def s(session):
    session._open_native()
    return session


class CountingRecovery:
    def __init__(self, raise_on_check=None):
        self.calls = []
        self.raise_on_check = raise_on_check

    def __getattr__(self, name):
        def call():
            self.calls.append(name)
            if name == "check" and self.raise_on_check:
                raise self.raise_on_check
        return call


@pytest.fixture
def rec(s):
    s.recovery = CountingRecovery()
    s.query_recovery = CountingRecovery()
    return s


# -- _request

def test_request_payload_order_and_ids(s):
    assert s._request("QryInstrument") == (1, 0)
    assert s._request("QryTradingAccount", {"CurrencyID": "CNY"}) == (2, 0)
    assert s._request("OrderInsert", {"UserID": "override", "A": 1}) == (3, 0)
    assert s._request("QryOrder", {}) == (4, 0)
    reqs = s.native.requests
    assert [(m, list(p.items()), i) for m, p, i in reqs] == [
        ("QryInstrument", list(IDENTITY.items()), 1),
        ("QryTradingAccount", list(IDENTITY.items()) + [("CurrencyID", "CNY")], 2),
        ("OrderInsert", [("BrokerID", "9999"), ("InvestorID", "123456"), ("UserID", "override"), ("A", 1)], 3),
        ("QryOrder", list(IDENTITY.items()), 4),
    ]
    assert s.request_id == 4


def test_request_returns_the_adapter_result_unchanged(s):
    s.native.results["OrderAction"] = [-3, "odd", None]
    assert s._request("OrderAction") == (1, -3)
    assert s._request("OrderAction") == (2, "odd")
    assert s._request("OrderAction") == (3, None)


def test_request_ids_survive_restarts(s):
    s._request("QryOrder")
    s._clear_cache("SYNCING")
    s._close_native()
    s._open_native()
    assert s._request("QryOrder") == (2, 0)


def test_request_errors_propagate_after_the_id_is_taken(s):
    s.native.results["QryOrder"] = BufferError("full")
    with pytest.raises(BufferError):
        s._request("QryOrder")
    assert s.request_id == 1


# -- _phase_request

def test_phase_request_success(s, clock):
    s.phase_data["old"] = 1
    old = s.phase_data
    clock.now = 1234.5
    assert s._phase_request("authenticate", "Authenticate", {"AppID": "a", "AuthCode": "b"}) is None
    assert (s.phase, s.phase_time, s.phase_id) == ("authenticate", 1234.5, 1)
    assert s.phase_data == {} and s.phase_data is not old
    assert s.native.requests[-1] == ("Authenticate", {**IDENTITY, "AppID": "a", "AuthCode": "b"}, 1)
    s._phase_request("settlement", "SettlementInfoConfirm")
    assert s.native.requests[-1] == ("SettlementInfoConfirm", IDENTITY, 2) and s.phase_id == 2


@pytest.mark.parametrize("code", [-1, -2, -3])
def test_phase_request_rejections_restart(s, code):
    s.native.results["UserLogin"] = code
    with pytest.raises(TimeoutError) as info:
        s._phase_request("login", "UserLogin", {"Password": "x"})
    assert info.value.args == ()
    assert s.phase == "login" and s.phase_id == 1


@pytest.mark.parametrize("phase,code,message", [
    ("authenticate", -4, "CTP 认证请求失败（错误码：-4）"),
    ("login", 7, "CTP 登录请求失败（错误码：7）"),
    ("settlement", 1, "CTP 结算单确认请求失败（错误码：1）"),
    ("custom", -9, "CTP custom请求失败（错误码：-9）"),
])
def test_phase_request_other_codes_are_fatal(s, phase, code, message):
    s.native.default = code
    with pytest.raises(VelkorError) as info:
        s._phase_request(phase, "X")
    assert str(info.value) == message


@pytest.mark.parametrize("phase,expected", [("ready", {"account"}), ("sync", set()), ("connecting", set()),
                                            ("login", set())])
def test_schedule_account(s, phase, expected):
    s.phase = phase
    assert s._schedule_account() is None
    assert s.pending == expected


# -- tick: connection and login phases

@pytest.mark.parametrize("phase", ["connecting", "authenticate", "login", "settlement", "whatever"])
def test_tick_waiting_phases_time_out_strictly_after_timeout(rec, phase):
    s = rec
    s.phase, s.phase_time = phase, 100.0
    s.tick(105.0)  # exactly the time-out: still waiting
    s.tick(100.0 + 5 - 1e-9)
    with pytest.raises(TimeoutError) as info:
        s.tick(105.001)
    if phase == "connecting":
        assert info.value.args == ()
    else:
        assert str(info.value) == "CTP 连接或登录超时"
    assert s.native.requests == [] and s.recovery.calls == [] and s.query_recovery.calls == []


# -- tick: synchronisation

def test_sync_first_query_and_pacing(rec):
    s = rec
    s.phase, s.phase_time = "sync", 100.0
    s.tick(100.5)
    assert s.native.requests == [("QryInstrument", IDENTITY, 1)]
    assert s.inflight == {"id": 1, "kind": "instruments", "rows": [], "progress": 100.5, "revision": 0}
    assert list(s.inflight) == ["id", "kind", "rows", "progress", "revision"]
    assert s.last_query == 100.5 and s.phase_time == 100.5
    s.tick(101.0)  # in flight: nothing new
    assert len(s.native.requests) == 1
    # the dispatcher completes the step; a tick within 1 s of the last query sends nothing
    s.inflight, s.sync_index = None, 1
    s.tick(101.4)
    assert len(s.native.requests) == 1
    s.tick(101.5)
    assert s.native.requests[-1] == ("QryOrder", IDENTITY, 2) and s.inflight["kind"] == "orders"


@pytest.mark.parametrize("index,method", [(0, "QryInstrument"), (1, "QryOrder"), (2, "QryTrade"),
                                          (3, "QryInvestorPosition"), (4, "QryTrade"), (5, "QryTradingAccount")])
def test_sync_steps_send_their_query(rec, index, method):
    s = rec
    s.phase, s.phase_time, s.sync_index, s.revision = "sync", 100.0, index, 6
    s.tick(100.0)
    fields = {"CurrencyID": "CNY"} if method == "QryTradingAccount" else {}
    assert s.native.requests == [(method, {**IDENTITY, **fields}, 1)]
    assert s.inflight["kind"] == ("instruments", "orders", "trades_before", "positions", "trades_after",
                                  "account")[index]
    assert s.inflight["revision"] == 6


def test_sync_query_timeout_strictly_greater(rec):
    s = rec
    s.phase, s.phase_time, s.sync_index = "sync", 100.0, 3
    s.tick(100.0)
    s.tick(105.0)
    with pytest.raises(TimeoutError) as info:
        s.tick(105.5)
    assert str(info.value) == "CTP 持仓查询超时且无进展"


def test_sync_query_timeout_with_unknown_kind_uses_the_kind(rec):
    s = rec
    s.phase = "sync"
    s.inflight = {"id": 1, "kind": "mystery", "rows": [], "progress": 0.0, "revision": 0}
    with pytest.raises(TimeoutError, match="^CTP mystery查询超时且无进展$"):
        s.tick(10.0)


def test_sync_without_progress_times_out(rec):
    s = rec
    s.phase, s.phase_time, s.last_query = "sync", 100.0, 104.9
    s.tick(105.0)
    assert s.native.requests == []  # paced, not timed out
    with pytest.raises(TimeoutError) as info:
        s.tick(105.01)
    assert str(info.value) == "CTP 登录同步超时且无进展"


@pytest.mark.parametrize("code", [-2, -3])
def test_sync_flow_control_retries_two_seconds_later(rec, code):
    s = rec
    s.phase, s.phase_time, s.sync_index = "sync", 100.0, 2
    s.native.results["QryTrade"] = [code]
    s.tick(100.0)
    assert s.recovery.calls == ["fail"] and s.query_recovery.calls == []
    assert s.sync_index == 2 and s.inflight is None and s.last_query == 101.0
    s.tick(101.99)
    assert len(s.native.requests) == 1
    s.tick(102.0)
    assert [r[0] for r in s.native.requests] == ["QryTrade", "QryTrade"]
    assert s.inflight["kind"] == "trades_before" and s.inflight["id"] == 2


@pytest.mark.parametrize("code,step,label", [(-1, 0, "合约"), (5, 4, "复查成交"), (1, 5, "资金")])
def test_sync_other_submission_failures_restart(rec, code, step, label):
    s = rec
    s.phase, s.phase_time, s.sync_index = "sync", 100.0, step
    s.native.default = code
    with pytest.raises(TimeoutError) as info:
        s.tick(100.0)
    assert str(info.value) == f"CTP {label}查询提交失败（错误码：{code}）"
    assert s.last_query == 100.0 and s.inflight is None


def test_sync_does_not_check_the_query_recovery(rec):
    s = rec
    s.phase, s.phase_time, s.pending = "sync", 100.0, {"account"}
    s.tick(100.0)
    assert s.query_recovery.calls == []


# -- tick: ready

def test_ready_funds_refresh_every_five_seconds(rec):
    s = rec
    s.phase, s.last_account_refresh, s.last_query = "ready", 100.0, 100.0
    s.tick(104.99)
    assert s.pending == set() and s.native.requests == []
    s.tick(105.0)
    assert s.native.requests == [("QryTradingAccount", {**IDENTITY, "CurrencyID": "CNY"}, 1)]
    assert s.pending == set() and s.inflight["kind"] == "account" and s.phase_time == 105.0
    assert s.query_recovery.calls == []  # nothing was pending or in flight when each tick began


def test_ready_pending_account_is_sent_after_pacing(rec):
    s = rec
    s.phase, s.last_account_refresh, s.last_query = "ready", 200.0, 200.0
    s._schedule_account()
    s.tick(200.5)
    assert s.native.requests == [] and s.pending == {"account"} and s.query_recovery.calls == ["check"]
    s.tick(201.0)
    assert [r[0] for r in s.native.requests] == ["QryTradingAccount"] and s.pending == set()


def test_ready_with_nothing_pending_sends_nothing(rec):
    s = rec
    s.phase, s.last_account_refresh = "ready", 200.0
    s.tick(201.0)
    assert s.native.requests == [] and s.query_recovery.calls == [] and s.recovery.calls == []


def test_ready_query_timeout_requeues_without_raising(rec):
    s = rec
    s.phase, s.last_account_refresh = "ready", 100.0
    s.inflight = {"id": 9, "kind": "account", "rows": [], "progress": 100.0, "revision": 0}
    s.last_query = 100.0
    s.tick(105.0)
    assert s.inflight is not None and s.query_recovery.calls == ["check"]
    s.tick(105.5)
    assert s.inflight is None and s.pending == {"account"}
    assert s.query_recovery.calls == ["check", "check", "fail"]
    assert s.native.requests == []  # returned after the time-out
    s.tick(105.6)
    assert [r[0] for r in s.native.requests] == ["QryTradingAccount"] and s.pending == set()


@pytest.mark.parametrize("code", [-2, -3])
def test_ready_flow_control_keeps_account_pending(rec, code):
    s = rec
    s.phase, s.last_account_refresh, s.pending = "ready", 300.0, {"account"}
    s.native.results["QryTradingAccount"] = [code]
    s.tick(301.0)
    assert s.query_recovery.calls == ["check", "fail"] and s.recovery.calls == []
    assert s.pending == {"account"} and s.inflight is None and s.last_query == 302.0
    s.tick(302.9)
    assert len(s.native.requests) == 1
    s.tick(303.0)
    assert len(s.native.requests) == 2 and s.pending == set()


def test_ready_query_recovery_check_raising_propagates(rec):
    s = rec
    s.phase, s.pending = "ready", {"account"}
    s.query_recovery = CountingRecovery(raise_on_check=VelkorError("账户查询连续失败 3 次，已停止重试"))
    with pytest.raises(VelkorError):
        s.tick(1.0)
    assert s.native.requests == []


def test_tick_accepts_int_times(rec):
    s = rec
    s.phase, s.phase_time = "sync", 0
    s.last_query = 0
    s.tick(1)
    assert s.inflight["progress"] == 1 and type(s.last_query) is int
