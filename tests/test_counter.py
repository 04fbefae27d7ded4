"""The simulated broker counter, driven through the native bridge like a client would drive a broker."""

import os
import tempfile
import threading
import time

import pytest

from ctpsim.counter import AccountConfig, Counter, default_trading_day

# Builds against a vendor SDK leave the bridge's simulated front out.
_kestro = pytest.importorskip("velkor._kestro")
Front = getattr(pytest.importorskip("ctpsim"), "Front", None)
if Front is None:
    pytest.skip("the simulated front is not built", allow_module_level=True)

DAY = "20241202"


class Client:
    """One API instance on the bridge, with the plumbing a test needs: numbered requests and event waits."""

    def __init__(self, front, account: AccountConfig, directory):
        self.front = front
        self.account = account
        path = tempfile.mkdtemp(dir=directory) + os.sep
        self.handle = _kestro.create(front.address, path.encode())
        self.rid = 0
        self.ref = 0
        self.log = []           # every event polled, in order

    def request(self, method, **fields):
        self.rid += 1
        return self.rid, _kestro.request(self.handle, method, fields, self.rid)

    def poll(self):
        self.front.flush()
        events = _kestro.poll(self.handle)
        self.log += events
        return events

    def call(self, method, **fields):
        """Sends a request that must be accepted; returns its request id and every event it caused."""
        rid, result = self.request(method, **fields)
        assert result == 0
        return rid, self.poll()

    def wait(self, name, timeout=5.0):
        """Polls until an event called ``name`` arrives; returns the events up to and including it."""
        seen = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            events = _kestro.poll(self.handle)
            self.log += events
            seen += events
            if any(e["name"] == name for e in seen):
                return seen
            time.sleep(0.002)
        raise AssertionError(f"no {name} within {timeout} s; got {[e['name'] for e in seen]}")

    def ids(self, **extra):
        a = self.account
        return {"BrokerID": a.broker_id, "InvestorID": a.user_id, "UserID": a.user_id, **extra}

    def login_steps(self):
        a = self.account
        return [("Authenticate", {"BrokerID": a.broker_id, "UserID": a.user_id, "AppID": a.app_id,
                                  "AuthCode": a.auth_code}),
                ("UserLogin", {"BrokerID": a.broker_id, "UserID": a.user_id, "Password": a.password}),
                ("SettlementInfoConfirm", {"BrokerID": a.broker_id, "InvestorID": a.user_id})]

    def login(self):
        """The login chain; returns the login answer's data."""
        self.wait("FrontConnected")
        answers = {}
        for method, fields in self.login_steps():
            _, (event,) = self.call(method, **fields)
            assert event["error"]["ErrorID"] == 0, event
            answers[method] = event["data"]
        self.session_id = answers["UserLogin"]["SessionID"]
        return answers["UserLogin"]

    def insert(self, symbol, direction, offset, volume, price, ref=None, **overrides):
        """An order as the trading session sends it; returns the events it caused."""
        exchange, instrument = symbol.split(".", 1)
        self.ref = self.ref + 1 if ref is None else ref
        fields = self.ids(InstrumentID=instrument, ExchangeID=exchange, OrderRef=str(self.ref), Direction=direction,
                          CombOffsetFlag=offset, CombHedgeFlag="1", OrderPriceType="2", LimitPrice=price,
                          VolumeTotalOriginal=volume, TimeCondition="3", VolumeCondition="1", MinVolume=1,
                          ContingentCondition="1", ForceCloseReason="0", IsAutoSuspend=0, UserForceClose=0)
        fields.update(overrides)
        return self.call("OrderInsert", **fields)[1]

    def cancel(self, symbol, sys_id):
        exchange, instrument = symbol.split(".", 1)
        return self.call("OrderAction", **self.ids(ExchangeID=exchange, InstrumentID=instrument, OrderSysID=sys_id,
                                                     ActionFlag="0"))

    def query(self, method, **fields):
        rid, events = self.call(method, **self.ids(**fields))
        return rid, events

    def close(self):
        _kestro.close(self.handle)


def names(events):
    return [e["name"] for e in events]


def rows(events):
    return [e["data"] for e in events if e["data"] is not None]


@pytest.fixture
def counter(front):
    c = Counter(front, trading_day=DAY, query_interval=0)
    yield c
    c.close()
    assert c.errors == []


@pytest.fixture
def connect(front, counter, tmp_path):
    clients = []

    def make(account=None, login=True):
        c = Client(front, account or counter.accounts[0], tmp_path)
        clients.append(c)
        if login:
            c.login()
        return c

    yield make
    for c in clients:
        c.close()


@pytest.fixture
def client(connect):
    return connect()


@pytest.mark.parametrize("local, day", [
    ("2024-12-04 10:00", "20241204"),     # Wednesday day session
    ("2024-12-04 21:00", "20241205"),     # Wednesday night session trades for Thursday
    ("2024-12-06 21:00", "20241209"),     # Friday night trades for Monday
    ("2024-12-07 10:00", "20241209"),     # Saturday
    ("2024-12-08 23:59", "20241209"),
])
def test_the_default_trading_day_follows_the_exchange_clock(local, day):
    from datetime import datetime, timedelta, timezone
    moment = datetime.strptime(local, "%Y-%m-%d %H:%M").replace(tzinfo=timezone(timedelta(hours=8)))
    assert default_trading_day(moment.timestamp()) == day


@pytest.mark.parametrize("day", ["2024-12-02", "20240230", "2024120"])
def test_a_counter_starts_on_a_real_trading_day(front, day):
    with pytest.raises(ValueError):
        Counter(front, trading_day=day)


# --- login chain -----------------------------------------------------------------------------------------------


def test_login_chain_answers_and_gives_each_login_a_new_session(counter, connect):
    first = connect()
    second = connect()
    a = counter.accounts[0]
    third = connect(login=False)
    third.wait("FrontConnected")
    (auth,) = third.call("Authenticate", BrokerID=a.broker_id, UserID=a.user_id, AppID=a.app_id,
                         AuthCode=a.auth_code)[1]
    assert auth["name"] == "RspAuthenticate" and auth["last"] and auth["request_id"] == 1
    assert auth["data"] == {"BrokerID": a.broker_id, "UserID": a.user_id, "AppID": a.app_id}
    rid, (login,) = third.call("UserLogin", BrokerID=a.broker_id, UserID=a.user_id, Password=a.password)
    assert (login["name"], login["request_id"], login["error"]) == ("RspUserLogin", rid, {"ErrorID": 0, "ErrorMsg": ""})
    data = login["data"]
    assert data["TradingDay"] == DAY and data["FrontID"] == counter.front_id
    assert data["MaxOrderRef"].strip().isdigit()
    _, (confirm,) = third.call("SettlementInfoConfirm", BrokerID=a.broker_id, InvestorID=a.user_id)
    assert confirm["name"] == "RspSettlementInfoConfirm"
    assert confirm["data"] == {"BrokerID": a.broker_id, "InvestorID": a.user_id}
    sessions = [s["session_id"] for s in counter.sessions()]
    assert len(sessions) == 3 and len(set(sessions)) == 3 and data["SessionID"] in sessions


def test_a_second_login_on_one_connection_is_refused(counter, client):
    a = counter.accounts[0]
    _, (login,) = client.call("UserLogin", BrokerID=a.broker_id, UserID=a.user_id, Password=a.password)
    assert login["error"]["ErrorID"] == 5
    assert [s["session_id"] for s in counter.sessions()] == [client.session_id]


def test_max_order_ref_continues_the_account_references_of_the_day(connect):
    first = connect()
    first.insert("SHFE.ag2412", "0", "0", 1, 7000.0, ref=41)
    assert connect(login=False).login()["MaxOrderRef"] == "41"


@pytest.mark.parametrize("field, method, callback, code", [
    ("app_id", "Authenticate", "RspAuthenticate", 63),
    ("auth_code", "Authenticate", "RspAuthenticate", 63),
    ("user_id", "Authenticate", "RspAuthenticate", 63),
    ("password", "UserLogin", "RspUserLogin", 3),
])
def test_wrong_credentials_get_an_error_with_a_chinese_message(counter, connect, field, method, callback, code):
    c = connect(login=False)
    c.wait("FrontConnected")
    a = counter.accounts[0]
    creds = {"broker_id": a.broker_id, "user_id": a.user_id, "app_id": a.app_id, "auth_code": a.auth_code,
             "password": a.password, field: "wrong"}
    _, events = c.call("Authenticate", BrokerID=creds["broker_id"], UserID=creds["user_id"], AppID=creds["app_id"],
                       AuthCode=creds["auth_code"])
    if method == "UserLogin":
        assert events[0]["error"]["ErrorID"] == 0
        _, events = c.call("UserLogin", BrokerID=a.broker_id, UserID=a.user_id, Password=creds["password"])
    (event,) = events
    assert event["name"] == callback and event["error"]["ErrorID"] == code
    assert any("\u4e00" <= ch <= "\u9fff" for ch in event["error"]["ErrorMsg"])
    assert counter.sessions() == []


def test_login_before_authentication_and_trading_before_login_are_refused(counter, connect):
    c = connect(login=False)
    c.wait("FrontConnected")
    a = counter.accounts[0]
    _, (login,) = c.call("UserLogin", BrokerID=a.broker_id, UserID=a.user_id, Password=a.password)
    assert login["error"]["ErrorID"] == 63
    _, (query,) = c.query("QryTradingAccount", CurrencyID="CNY")
    assert (query["name"], query["data"], query["error"]["ErrorID"]) == ("RspQryTradingAccount", None, 6)
    assert names(c.insert("SHFE.ag2412", "0", "0", 1, 7800.0)) == ["RspOrderInsert", "ErrRtnOrderInsert"]


def test_orders_wait_for_the_settlement_confirmation(counter, connect):
    c = connect(login=False)
    c.wait("FrontConnected")
    a = counter.accounts[0]
    c.call("Authenticate", BrokerID=a.broker_id, UserID=a.user_id, AppID=a.app_id, AuthCode=a.auth_code)
    c.call("UserLogin", BrokerID=a.broker_id, UserID=a.user_id, Password=a.password)
    rsp, err = c.insert("SHFE.ag2412", "0", "0", 1, 7800.0)
    assert rsp["error"] == err["error"] == {"ErrorID": 42, "ErrorMsg": "CTP:结算结果未确认"}


def test_a_released_client_no_longer_counts_as_a_session(counter, connect):
    gone, stays = connect(), connect()
    gone.close()
    stays.insert("DCE.m2501", "0", "0", 1, 3100.0)
    assert [s["session_id"] for s in counter.sessions()] == [stays.session_id]


def test_several_accounts_are_kept_apart(front, tmp_path):
    accounts = [AccountConfig(user_id="A1", balance=500_000.0), AccountConfig(broker_id="8080", user_id="B2")]
    counter = Counter(front, accounts, trading_day=DAY, query_interval=0)
    a, b = Client(front, accounts[0], tmp_path), Client(front, accounts[1], tmp_path)
    try:
        a.login()
        b.login()
        a.insert("DCE.m2501", "0", "0", 2, 3100.0)
        assert counter.positions("A1")["DCE.m2501"]["pos_long"] == 2
        assert counter.positions("B2") == {}
        assert b.poll() == []                      # no returns of another account's orders
        (row,) = rows(b.query("QryTradingAccount", CurrencyID="CNY")[1])
        assert (row["AccountID"], row["Balance"]) == ("B2", 1_000_000.0)
        assert counter.funds("A1")["Balance"] == pytest.approx(500_000.0 - 3.0)
    finally:
        a.close()
        b.close()
        counter.close()
    assert counter.errors == []


# --- queries ---------------------------------------------------------------------------------------------------


def test_instrument_query_answers_one_row_per_callback(counter, client):
    rid, events = client.query("QryInstrument")
    assert names(events) == ["RspQryInstrument"] * len(counter.instruments)
    assert [e["request_id"] for e in events] == [rid] * len(events)
    assert [e["last"] for e in events] == [False] * (len(events) - 1) + [True]
    table = {e["data"]["ExchangeID"] + "." + e["data"]["InstrumentID"]: e["data"] for e in events}
    assert {s.split(".")[0] for s in table} >= {"SHFE", "INE", "DCE", "CZCE", "CFFEX", "GFEX"}
    assert {r["ProductClass"] for r in table.values()} >= {"1", "2", "3"}
    ag = table["SHFE.ag2412"]
    assert (ag["PriceTick"], ag["MinLimitOrderVolume"], ag["MaxLimitOrderVolume"], ag["IsTrading"]) == (1.0, 1, 500, 1)
    assert table["SHFE.rb2410"]["IsTrading"] == 0


@pytest.mark.parametrize("fields, expected", [
    ({"InstrumentID": "IF2412"}, ["CFFEX.IF2412"]),
    ({"ExchangeID": "GFEX"}, ["GFEX.si2501", "GFEX.lc2501"]),
    ({"InstrumentID": "nothing"}, []),
])
def test_instrument_query_filters(client, fields, expected):
    events = client.call("QryInstrument", **fields)[1]
    assert [r["ExchangeID"] + "." + r["InstrumentID"] for r in rows(events)] == expected
    assert events[-1]["last"]


@pytest.mark.parametrize("method, callback", [
    ("QryOrder", "RspQryOrder"), ("QryTrade", "RspQryTrade"), ("QryInvestorPosition", "RspQryInvestorPosition"),
])
def test_a_query_without_rows_answers_a_null_record(client, method, callback):
    rid, events = client.query(method)
    assert events == [{"name": callback, "data": None, "error": {"ErrorID": 0, "ErrorMsg": ""},
                       "request_id": rid, "last": True}]


def test_queries_are_paced_per_session(front, connect, tmp_path):
    now = [100.0]
    counter = Counter(front, trading_day=DAY, clock=lambda: now[0])
    try:
        a, b = connect(counter.accounts[0]), connect(counter.accounts[0])
        assert a.query("QryOrder")[1]
        assert a.request("QryTrade", **a.ids())[1] == -3
        assert a.poll() == []
        assert b.request("QryTrade", **b.ids())[1] == 0       # another session has its own pace
        now[0] += 0.999
        assert a.request("QryTradingAccount", **a.ids())[1] == -3
        now[0] += 0.001
        assert names(a.query("QryTradingAccount")[1]) == ["RspQryTradingAccount"]
        counter.query_interval = 0
        assert names(a.query("QryTradingAccount")[1]) == ["RspQryTradingAccount"]
    finally:
        counter.close()


def test_account_query_answers_one_cny_row_as_the_counter_holds_it(counter, client):
    client.insert("SHFE.ag2412", "0", "0", 2, 7800.0)
    (row,) = rows(client.query("QryTradingAccount", CurrencyID="CNY")[1])
    assert row == counter.funds()
    assert row["AccountID"] == counter.accounts[0].user_id and row["TradingDay"] == DAY
    assert rows(client.query("QryTradingAccount", CurrencyID="USD")[1]) == []


def test_order_and_trade_queries_report_the_day(counter, client):
    client.insert("DCE.m2501", "0", "0", 2, 3100.0)
    client.insert("DCE.m2501", "1", "0", 1, 3200.0)
    orders = rows(client.query("QryOrder")[1])
    assert orders == counter.orders()
    assert [(o["OrderStatus"], o["VolumeTraded"]) for o in orders] == [("0", 2), ("3", 0)]
    trades = rows(client.query("QryTrade")[1])
    assert trades == counter.trades() and len(trades) == 1
    assert rows(client.query("QryOrder", OrderSysID=orders[1]["OrderSysID"].strip())[1]) == orders[1:]
    assert rows(client.query("QryTrade", InstrumentID="ag2412")[1]) == []


# --- order life cycle ------------------------------------------------------------------------------------------


def test_a_resting_order_is_acknowledged_twice_then_fills_in_parts_and_is_cancelled(counter, client):
    first, second = client.insert("SHFE.ag2412", "0", "0", 5, 7790.0)
    assert names([first, second]) == ["RtnOrder", "RtnOrder"]
    a, b = first["data"], second["data"]
    assert (a["OrderSysID"], a["OrderSubmitStatus"], a["OrderStatus"]) == ("", "0", "a")
    assert b["OrderSysID"].strip() and (b["OrderSubmitStatus"], b["OrderStatus"]) == ("3", "3")
    assert (b["VolumeTotalOriginal"], b["VolumeTraded"], b["VolumeTotal"]) == (5, 0, 5)
    assert (b["FrontID"], b["SessionID"], b["OrderRef"]) == (
        counter.front_id, counter.sessions()[0]["session_id"], "1")
    assert b["TradingDay"] == DAY and b["CombHedgeFlag"] == "1" and b["LimitPrice"] == 7790.0

    order_id = f"{b['FrontID']}:{b['SessionID']}:{b['OrderRef']}"
    counter.fill(order_id, 2)
    order, trade = client.poll()
    assert (order["name"], trade["name"]) == ("RtnOrder", "RtnTrade")
    assert (order["data"]["OrderStatus"], order["data"]["VolumeTraded"], order["data"]["VolumeTotal"]) == ("1", 2, 3)
    t = trade["data"]
    assert (t["OrderSysID"], t["OrderRef"], t["Volume"], t["Price"], t["OffsetFlag"]) == (
        b["OrderSysID"], "1", 2, 7790.0, "0")
    assert t["TradeID"].strip() and t["TradingDay"] == DAY

    counter.fill(b["OrderSysID"], 1, price=7780.0)
    order, trade = client.poll()
    assert order["data"]["VolumeTraded"] == 3 and trade["data"]["Price"] == 7780.0
    assert trade["data"]["TradeID"] != t["TradeID"]

    rid, (cancelled,) = client.cancel("SHFE.ag2412", b["OrderSysID"])
    assert cancelled["name"] == "RtnOrder"
    assert (cancelled["data"]["OrderStatus"], cancelled["data"]["VolumeTraded"]) == ("5", 3)
    assert counter.positions()["SHFE.ag2412"]["pos_long_today"] == 3

    rid, (rsp, err) = client.cancel("SHFE.ag2412", b["OrderSysID"])
    assert (rsp["name"], rsp["request_id"], err["name"]) == ("RspOrderAction", rid, "ErrRtnOrderAction")
    assert rsp["error"]["ErrorID"] == err["error"]["ErrorID"] == 26
    assert err["data"]["OrderSysID"] == b["OrderSysID"] and err["data"]["ExchangeID"] == "SHFE"


@pytest.mark.parametrize("volume", [0, 3, 1.0, True])
def test_fill_takes_one_to_the_lots_left_of_a_working_order(counter, client, volume):
    sys_id = client.insert("DCE.m2501", "0", "0", 2, 3000.0)[-1]["data"]["OrderSysID"]
    with pytest.raises(ValueError):
        counter.fill(sys_id, volume)
    counter.fill(sys_id)
    with pytest.raises(ValueError):
        counter.fill(sys_id, 1)
    with pytest.raises(KeyError):
        counter.fill("nothing")
    assert [t["Volume"] for t in counter.trades()] == [2]


@pytest.mark.parametrize("price", [float("nan"), float("inf"), -float("inf")])
def test_a_fill_needs_a_finite_price(counter, client, price):
    sys_id = client.insert("DCE.m2501", "0", "0", 1, 3000.0)[-1]["data"]["OrderSysID"]
    with pytest.raises(ValueError):
        counter.fill(sys_id, price=price)
    assert counter.trades() == [] and counter.funds()["FrozenMargin"] == 3000.0


def test_insert_and_trade_times_come_from_the_wall_clock(front, tmp_path):
    counter = Counter(front, trading_day=DAY, query_interval=0, wall_clock=lambda: 1733189400.0)
    c = Client(front, counter.accounts[0], tmp_path)
    try:
        c.login()
        order, trade = c.insert("DCE.m2501", "0", "0", 1, 3100.0)[2:]
        assert (order["data"]["InsertDate"], order["data"]["InsertTime"]) == ("20241203", "09:30:00")
        assert (trade["data"]["TradeDate"], trade["data"]["TradeTime"]) == ("20241203", "09:30:00")
    finally:
        c.close()
        counter.close()


def test_cancelling_an_unknown_order_answers_an_error(client):
    rid, (rsp, err) = client.cancel("SHFE.ag2412", "999999")
    assert (rsp["name"], err["name"]) == ("RspOrderAction", "ErrRtnOrderAction")
    assert rsp["error"]["ErrorID"] == err["error"]["ErrorID"] == 25


def test_a_marketable_order_fills_at_once_at_the_current_price(counter, client):
    events = client.insert("CZCE.SR501", "0", "0", 4, 5950.0)
    assert names(events) == ["RtnOrder", "RtnOrder", "RtnOrder", "RtnTrade"]
    assert (events[2]["data"]["OrderStatus"], events[2]["data"]["VolumeTraded"]) == ("0", 4)
    assert (events[3]["data"]["Price"], events[3]["data"]["Volume"]) == (5900.0, 4)


def test_an_option_reports_the_trade_before_the_order(client):
    events = client.insert("DCE.m2501-C-3000", "0", "0", 1, 130.0)
    assert names(events) == ["RtnOrder", "RtnOrder", "RtnTrade", "RtnOrder"]
    assert events[3]["data"]["OrderStatus"] == "0"


def test_set_price_fills_the_resting_orders_it_reaches(counter, client):
    buy_low = client.insert("DCE.i2501", "0", "0", 1, 770.0)[-1]["data"]
    buy_lower = client.insert("DCE.i2501", "0", "0", 1, 760.0)[-1]["data"]
    sell_high = client.insert("DCE.i2501", "1", "0", 1, 790.0)[-1]["data"]
    counter.set_price("DCE.i2501", 770.0)
    events = client.poll()
    assert names(events) == ["RtnOrder", "RtnTrade"]
    assert events[1]["data"]["OrderSysID"] == buy_low["OrderSysID"] and events[1]["data"]["Price"] == 770.0
    counter.set_price("DCE.i2501", 795.0)
    events = client.poll()
    assert [e["data"]["OrderSysID"] for e in events if e["name"] == "RtnTrade"] == [sell_high["OrderSysID"]]
    assert {o["OrderSysID"]: o["OrderStatus"] for o in counter.orders()}[buy_lower["OrderSysID"]] == "3"


@pytest.mark.parametrize("symbol, price, error", [
    ("SHFE.ag2412", float("nan"), ValueError), ("SHFE.ag2412", float("inf"), ValueError),
    ("SHFE.xx0000", 1.0, KeyError),
])
def test_set_price_refuses_what_no_market_quotes(counter, symbol, price, error):
    with pytest.raises(error):
        counter.set_price(symbol, price)
    assert counter.price("SHFE.ag2412") == 7800.0


@pytest.mark.parametrize("call", [
    lambda c: c.deposit(float("nan")), lambda c: c.withdraw(float("inf")), lambda c: c.deposit(-1.0),
    lambda c: c.duplicate_next_trade(-1), lambda c: c.duplicate_next_trade(1.5),
    lambda c: c.settle("2024-12-03"), lambda c: c.settle("20241332"),
], ids=["deposit-nan", "withdraw-inf", "deposit-negative", "duplicates-negative", "duplicates-float",
        "settle-dashes", "settle-no-date"])
def test_steering_calls_refuse_values_that_would_corrupt_the_books(counter, client, call):
    before = counter.funds()
    with pytest.raises((ValueError, TypeError)):
        call(counter)
    assert counter.funds() == before and counter.trading_day == DAY
    events = client.insert("DCE.m2501", "0", "0", 1, 3100.0)
    assert names(events).count("RtnTrade") == 1


def test_an_immediate_or_cancel_order_that_cannot_fill_is_cancelled(client):
    events = client.insert("DCE.m2501", "0", "0", 1, 3000.0, TimeCondition="1")
    assert [e["data"]["OrderStatus"] for e in events] == ["a", "3", "5"]


def test_fills_reach_every_session_of_the_account(counter, connect):
    a, b = connect(), connect()
    a.insert("CFFEX.IF2412", "0", "0", 1, 3900.0)
    seen = b.poll()
    assert names(seen) == ["RtnOrder"] * 3 + ["RtnTrade"]
    assert seen[0]["data"]["SessionID"] == a.session_id != b.session_id


@pytest.mark.parametrize("symbol, direction, offset, volume, price, overrides, code", [
    ("SHFE.zz2412", "0", "0", 1, 100.0, {}, 16),                      # unknown instrument
    ("DCE.ag2412", "0", "0", 1, 7800.0, {}, 16),                      # wrong exchange
    ("SHFE.rb2410", "0", "0", 1, 3400.0, {}, 48),                     # halted
    ("SHFE.au2412", "0", "0", 1, 620.01, {}, 15),                     # off the 0.02 tick grid
    ("SHFE.ag2412", "0", "0", 501, 7800.0, {}, 15),                   # above the maximum volume
    ("SHFE.ag2412", "0", "0", 0, 7800.0, {}, 15),
    ("SHFE.ag2412", "0", "0", 1, 0.0, {}, 15),
    ("SHFE.ag2412", "2", "0", 1, 7800.0, {}, 15),                     # no such direction
    ("SHFE.ag2412", "0", "0", 1, 7800.0, {"CombHedgeFlag": "3"}, 15),
    ("SHFE.ag2412", "0", "0", 1, 7800.0, {"OrderPriceType": "1"}, 15),
    ("DCE.SP m2501&m2505", "0", "0", 1, 10.0, {}, 15),
    ("CFFEX.IF2412", "0", "0", 20, 3900.0, {}, 31),                   # 2.8 million of margin
    ("SHFE.ag2412", "1", "1", 1, 7800.0, {}, 51),                     # nothing to close
    ("DCE.m2501", "1", "1", 1, 3100.0, {}, 30),
    ("SHFE.ag2412", "1", "3", 1, 7800.0, {}, 50),
    ("SHFE.ag2412", "0", "0", 1, 7800.0, {"OrderRef": "abc"}, 15),
], ids=lambda v: str(v) if not isinstance(v, dict) else "-".join(v) or "plain")
def test_rejected_orders_answer_both_error_callbacks(counter, client, symbol, direction, offset, volume, price,
                                                   overrides, code):
    rsp, err = client.insert(symbol, direction, offset, volume, price, **overrides)
    assert (rsp["name"], err["name"]) == ("RspOrderInsert", "ErrRtnOrderInsert")
    assert rsp["request_id"] == client.rid and err["request_id"] == 0
    assert rsp["error"] == err["error"] and rsp["error"]["ErrorID"] == code
    assert rsp["error"]["ErrorMsg"].startswith("CTP:")
    assert rsp["data"]["OrderRef"] == err["data"]["OrderRef"] == overrides.get("OrderRef", str(client.ref))
    assert counter.orders() == [] and counter.trades() == []


def test_an_order_reference_may_not_repeat_in_a_session(client):
    client.insert("DCE.m2501", "0", "0", 1, 3000.0, ref=5)
    rsp, err = client.insert("DCE.m2501", "0", "0", 1, 3000.0, ref=5)
    assert rsp["error"]["ErrorID"] == 22
    assert client.insert("DCE.m2501", "0", "0", 1, 3000.0, ref=4)[0]["error"]["ErrorID"] == 22
    assert names(client.insert("DCE.m2501", "0", "0", 1, 3000.0, ref=9)) == ["RtnOrder", "RtnOrder"]


@pytest.mark.parametrize("sent", ["7", "       7", "0007"])
def test_order_returns_carry_the_reference_as_sent(counter, client, sent):
    events = client.insert("DCE.m2501", "0", "0", 1, 3000.0, OrderRef=sent)
    assert [e["data"]["OrderRef"] for e in events] == [sent, sent]
    rid, (cancelled,) = client.cancel("DCE.m2501", events[-1]["data"]["OrderSysID"])
    assert (cancelled["data"]["OrderStatus"], cancelled["data"]["OrderRef"]) == ("5", sent)
    # the number counts: a later reference must be higher
    assert client.insert("DCE.m2501", "0", "0", 1, 3000.0, OrderRef="7")[0]["error"]["ErrorID"] == 22


@pytest.mark.parametrize("ref", ["１", "٣", "-1", "1.5"])
def test_an_order_reference_must_be_plain_digits(client, ref):
    rsp, err = client.insert("DCE.m2501", "0", "0", 1, 3000.0, OrderRef=ref)
    assert (rsp["name"], err["name"]) == ("RspOrderInsert", "ErrRtnOrderInsert")
    assert rsp["error"]["ErrorID"] == 15


# --- close rules -----------------------------------------------------------------------------------------------


def hold(counter, client, symbol, yd, today, direction="0"):
    """Builds a position of ``yd`` earlier and ``today`` today lots at the current price."""
    price = counter.price(symbol)
    if yd:
        client.insert(symbol, direction, "0", yd, price)
        counter.settle(DAY)                   # keeps the day so the session stays valid
    if today:
        client.insert(symbol, direction, "0", today, price)
    client.poll()


@pytest.mark.parametrize("symbol", ["SHFE.ag2412", "INE.sc2412"])
def test_split_exchanges_close_today_and_earlier_lots_separately(counter, client, symbol):
    hold(counter, client, symbol, 3, 2)
    price = counter.price(symbol)
    assert client.insert(symbol, "1", "3", 3, price)[0]["error"]["ErrorID"] == 50
    assert client.insert(symbol, "1", "4", 4, price)[0]["error"]["ErrorID"] == 51
    assert client.insert(symbol, "1", "1", 4, price)[0]["error"]["ErrorID"] == 51   # a plain close takes earlier
    high = price + 100 * counter.instruments[symbol].price_tick
    client.insert(symbol, "1", "4", 2, high)                   # rests and holds 2 earlier lots
    assert client.insert(symbol, "1", "1", 2, high)[0]["error"]["ErrorID"] == 51
    assert client.insert(symbol, "1", "1", 1, price)[-1]["data"]["OffsetFlag"] == "1"
    assert client.insert(symbol, "1", "3", 2, price)[-1]["data"]["OffsetFlag"] == "3"
    assert counter.positions()[symbol] == {"pos_long": 2, "pos_long_today": 0, "pos_long_his": 2,
                                           "pos_short": 0, "pos_short_today": 0, "pos_short_his": 0}
    today, history = sorted(rows(client.query("QryInvestorPosition", InstrumentID=symbol.split(".")[1])[1]),
                            key=lambda r: r["PositionDate"])
    assert (today["PositionDate"], today["Position"], today["TodayPosition"]) == ("1", 0, 0)
    assert (history["PositionDate"], history["Position"], history["YdPosition"]) == ("2", 2, 3)
    assert history["ShortFrozen"] == 2 and history["PosiDirection"] == "2" and history["HedgeFlag"] == "1"


@pytest.mark.parametrize("offset", ["1", "3", "4"])
def test_other_exchanges_close_earlier_lots_first(counter, client, offset):
    hold(counter, client, "DCE.m2501", 2, 3, direction="1")
    assert client.insert("DCE.m2501", "0", offset, 6, 3200.0)[0]["error"]["ErrorID"] == 30
    client.insert("DCE.m2501", "0", offset, 3, 3200.0)
    assert counter.positions()["DCE.m2501"] == {"pos_long": 0, "pos_long_today": 0, "pos_long_his": 0,
                                                "pos_short": 2, "pos_short_today": 2, "pos_short_his": 0}
    (row,) = rows(client.query("QryInvestorPosition")[1])
    assert (row["PosiDirection"], row["PositionDate"], row["Position"], row["TodayPosition"], row["YdPosition"]) \
        == ("3", "1", 2, 2, 2)


@pytest.mark.parametrize("symbol, side, close, frozen_key, date", [
    ("DCE.m2501", "0", "1", "ShortFrozen", "1"),      # a long held by a resting sell close
    ("DCE.m2501", "1", "3", "LongFrozen", "1"),       # a short held by a resting buy close, any flag
    ("SHFE.ag2412", "0", "3", "ShortFrozen", "1"),    # today's lots held by a close-today
    ("INE.sc2412", "1", "1", "LongFrozen", "2"),      # earlier lots held by a plain close
])
def test_resting_closes_hold_lots_until_cancelled(counter, client, symbol, side, close, frozen_key, date):
    hold(counter, client, symbol, *((3, 0) if date == "2" else (0, 3)), direction=side)
    price = counter.price(symbol)
    tick = counter.instruments[symbol].price_tick
    away = price + 50 * tick if side == "0" else price - 50 * tick     # out of the market: rests
    other = "1" if side == "0" else "0"
    sys_id = client.insert(symbol, other, close, 2, away)[-1]["data"]["OrderSysID"]
    (row,) = [r for r in rows(client.query("QryInvestorPosition")[1]) if r["PositionDate"] == date]
    assert (row[frozen_key], row["LongFrozen"] + row["ShortFrozen"], row["Position"]) == (2, 2, 3)
    rsp = client.insert(symbol, other, close, 2, away)[0]
    assert rsp["name"] == "RspOrderInsert" and rsp["error"]["ErrorID"] in (30, 50, 51)
    client.cancel(symbol, sys_id)
    assert names(client.insert(symbol, other, close, 3, away)) == ["RtnOrder", "RtnOrder"]


# --- funds -----------------------------------------------------------------------------------------------------


def test_funds_follow_margin_commission_and_profit(counter, client):
    ag = counter.instruments["SHFE.ag2412"]
    start = counter.funds()["Balance"]
    client.insert("SHFE.ag2412", "0", "0", 2, 7800.0)                 # fills at 7800
    client.insert("SHFE.ag2412", "0", "0", 1, 7700.0)                 # rests
    f = counter.funds()
    margin = 7800.0 * 2 * 15 * ag.margin_rate
    frozen = 7700.0 * 15 * ag.margin_rate
    assert f["CurrMargin"] == pytest.approx(margin)
    assert f["FrozenMargin"] == pytest.approx(frozen)
    assert f["FrozenCommission"] == pytest.approx(ag.commission)
    assert f["Commission"] == pytest.approx(2 * ag.commission)
    assert f["Balance"] == pytest.approx(start - 2 * ag.commission)
    assert f["Available"] == pytest.approx(f["Balance"] - margin - frozen - ag.commission)

    counter.set_price("SHFE.ag2412", 7850.0)
    assert counter.funds()["PositionProfit"] == pytest.approx(2 * 50 * 15)
    client.insert("SHFE.ag2412", "1", "3", 1, 7850.0)                 # close one today lot at 7850
    f = counter.funds()
    assert f["CloseProfit"] == pytest.approx(50 * 15)
    assert f["PositionProfit"] == pytest.approx(50 * 15)
    assert f["Commission"] == pytest.approx(3 * ag.commission)
    assert f["CurrMargin"] == pytest.approx(7800.0 * 15 * ag.margin_rate)
    assert f["Balance"] == pytest.approx(start + 100 * 15 - 3 * ag.commission)
    (row,) = rows(client.query("QryTradingAccount")[1])
    assert row == f
    position = {r["PositionDate"]: r for r in rows(client.query("QryInvestorPosition")[1])}["1"]
    assert position["UseMargin"] == pytest.approx(f["CurrMargin"])
    assert position["PositionProfit"] == pytest.approx(f["PositionProfit"])


CU = "SHFE.cu2412"      # 5 per lot, 10% margin, 12 commission per lot, opens at 76000


def account_row(client):
    (row,) = rows(client.query("QryTradingAccount")[1])
    return row


def test_funds_through_a_partial_close_a_mark_and_a_day_roll(counter, client):
    client.insert(CU, "0", "0", 3, 76000.0)                     # 3 long at 76000, 36 commission
    counter.set_price(CU, 76200.0)
    client.insert(CU, "1", "3", 1, 76200.0)                     # close one today lot: +1000, 12 commission
    counter.set_price(CU, 76500.0)                              # 2 lots marked: +5000
    f = account_row(client)
    assert (f["CloseProfit"], f["PositionProfit"], f["Commission"], f["CurrMargin"]) == (1000.0, 5000.0, 48.0,
                                                                                         76000.0)
    assert (f["Balance"], f["Available"]) == (1_005_952.0, 929_952.0)

    counter.settle()                                            # settles at 76500: earlier lots cost 76500
    f = counter.funds()
    assert (f["Balance"], f["Available"], f["CurrMargin"], f["PositionProfit"]) == (1_005_952.0, 929_452.0,
                                                                                   76500.0, 0.0)
    client.call("SettlementInfoConfirm", **client.ids())
    counter.set_price(CU, 76300.0)
    client.insert(CU, "1", "1", 1, 76300.0)                     # a plain close takes an earlier lot: -1000
    f = account_row(client)
    assert (f["CloseProfit"], f["PositionProfit"], f["Commission"], f["CurrMargin"]) == (-1000.0, -1000.0, 12.0,
                                                                                         38250.0)
    assert (f["Balance"], f["Available"]) == (1_003_940.0, 965_690.0)
    # Closing earlier lots opens no today row; the earlier row keeps the start-of-day figure.
    (row,) = rows(client.query("QryInvestorPosition")[1])
    assert (row["PositionDate"], row["Position"], row["YdPosition"], row["TodayPosition"]) == ("2", 1, 2, 0)
    assert (row["UseMargin"], row["PositionProfit"]) == (38250.0, -1000.0)


def test_an_opening_order_needs_the_money(front, tmp_path):
    account = AccountConfig(balance=100_000.0)
    counter = Counter(front, [account], trading_day=DAY, query_interval=0)
    c = Client(front, account, tmp_path)
    try:
        c.login()
        # 3900 * 300 * 0.12 = 140400 of margin per lot
        assert c.insert("CFFEX.IF2412", "0", "0", 1, 3900.0)[0]["error"]["ErrorID"] == 31
        counter.deposit(50_000.0)
        assert names(c.insert("CFFEX.IF2412", "0", "0", 1, 3800.0)) == ["RtnOrder", "RtnOrder"]
        assert counter.funds()["Deposit"] == 50_000.0
    finally:
        c.close()
        counter.close()


def test_frozen_money_follows_the_lots_left_of_a_resting_opening_order(counter, client):
    ag = counter.instruments["SHFE.ag2412"]                     # 15 per lot, 12% margin, 1.5 per lot
    sys_id = client.insert("SHFE.ag2412", "1", "0", 3, 7900.0)[-1]["data"]["OrderSysID"]
    per_lot = 7900.0 * 15 * ag.margin_rate
    assert (counter.funds()["FrozenMargin"], counter.funds()["FrozenCommission"]) == (3 * per_lot, 4.5)
    counter.fill(sys_id, 1)
    f = counter.funds()
    assert (f["FrozenMargin"], f["FrozenCommission"], f["CurrMargin"], f["Commission"]) == (
        2 * per_lot, 3.0, per_lot, 1.5)
    client.cancel("SHFE.ag2412", sys_id)
    f = counter.funds()
    assert (f["FrozenMargin"], f["FrozenCommission"]) == (0.0, 0.0)
    assert f["Available"] == pytest.approx(f["Balance"] - per_lot)


# --- day roll --------------------------------------------------------------------------------------------------


def test_settle_carries_positions_and_funds_into_a_new_trading_day(counter, client, connect):
    client.insert("SHFE.cu2412", "0", "0", 2, 76000.0)
    client.insert("SHFE.cu2412", "0", "0", 1, 75000.0)                # rests: expires with the day
    counter.set_price("SHFE.cu2412", 76500.0)
    balance = counter.funds()["Balance"]
    assert counter.settle() == "20241203"
    assert counter.orders() == [] and counter.trades() == []
    f = counter.funds()
    assert (f["Balance"], f["PositionProfit"], f["CloseProfit"], f["Commission"], f["FrozenMargin"]) == (
        balance, 0.0, 0.0, 0.0, 0.0)
    assert f["TradingDay"] == "20241203"
    assert counter.positions()["SHFE.cu2412"]["pos_long_his"] == 2

    fresh = connect()
    (row,) = rows(fresh.query("QryInvestorPosition")[1])
    assert (row["TradingDay"], row["PositionDate"], row["Position"], row["YdPosition"]) == ("20241203", "2", 2, 2)
    assert rows(fresh.query("QryOrder")[1]) == []
    # the old session still gets answers, now stamped with the new trading day
    (old,) = rows(client.query("QryTradingAccount")[1])
    assert old["TradingDay"] == "20241203"


def test_settle_skips_the_weekend_and_asks_for_a_new_confirmation(counter, connect):
    counter.trading_day = "20241206"
    assert counter.settle() == "20241209"
    c = connect(login=False)
    c.wait("FrontConnected")
    a = counter.accounts[0]
    c.call("Authenticate", BrokerID=a.broker_id, UserID=a.user_id, AppID=a.app_id, AuthCode=a.auth_code)
    _, (login,) = c.call("UserLogin", BrokerID=a.broker_id, UserID=a.user_id, Password=a.password)
    assert login["data"]["TradingDay"] == "20241209"
    assert c.insert("DCE.m2501", "0", "0", 1, 3100.0)[0]["error"]["ErrorID"] == 42


# --- numbering per exchange and self-trades ----------------------------------------------------------------------


@pytest.fixture
def world(front, tmp_path, request):
    """A counter as it starts (numbering per exchange, matching the account's own orders), or with the options of
    an indirect parameter, and one client logged in."""
    c = Counter(front, trading_day=DAY, query_interval=0, **getattr(request, "param", {}))
    client = Client(front, c.accounts[0], tmp_path)
    client.login()
    yield c, client
    client.close()
    c.close()
    assert c.errors == []


@pytest.mark.parametrize("world", [{"numbers_per_exchange": True}, {"numbers_per_exchange": False}],
                         indirect=True, ids=["per_exchange", "one_sequence"])
def test_each_exchange_numbers_its_orders_and_trades_on_its_own(world):
    counter, client = world
    per_exchange = counter.numbers_per_exchange
    shfe = [e["data"] for e in client.insert("SHFE.ag2412", "0", "0", 1, 7800.0)]
    dce = [e["data"] for e in client.insert("DCE.m2501", "0", "0", 1, 3100.0)]
    numbers = [(rows[-2]["OrderSysID"], rows[-1]["TradeID"]) for rows in (shfe, dce)]
    trimmed = [(o.strip(), t.strip()) for o, t in numbers]
    assert (trimmed[0] == trimmed[1]) is per_exchange
    assert trimmed[0][0] != trimmed[0][1]                      # orders and trades are numbered apart
    if per_exchange:
        assert [len(o) for o, _ in numbers] == [12, 8]          # each exchange pads to its own width
        with pytest.raises(KeyError):
            counter.order(trimmed[0][0])                       # one number, two exchanges
        assert counter.order(numbers[1][0], exchange="DCE").instrument.exchange == "DCE"
    second = client.insert("SHFE.ag2412", "0", "0", 1, 7800.0)[-1]["data"]["TradeID"]
    assert second.strip() != trimmed[0][1]


def test_the_exchanges_number_anew_each_trading_day(world):
    counter, client = world
    first = client.insert("SHFE.ag2412", "0", "0", 1, 7800.0)
    counter.settle()
    method, fields = client.login_steps()[-1]
    client.call(method, **fields)                               # the new day's settlement confirmation
    again = client.insert("SHFE.ag2412", "0", "0", 1, 7800.0)
    assert [(events[-2]["data"]["OrderSysID"], events[-1]["data"]["TradeID"]) for events in (first, again)] == [
        (f"{100001:>12}", f"{500001:>12}")] * 2


def test_a_cancel_names_its_order_by_exchange_and_number(world):
    counter, client = world
    shfe = client.insert("SHFE.ag2412", "0", "0", 1, 7700.0)[-1]["data"]
    dce = client.insert("DCE.m2501", "0", "0", 1, 3000.0)[-1]["data"]
    assert shfe["OrderSysID"].strip() == dce["OrderSysID"].strip()
    _, (rsp, err) = client.cancel("CZCE.SR501", dce["OrderSysID"])     # no such order on CZCE
    assert rsp["error"]["ErrorID"] == err["error"]["ErrorID"] == 25
    _, (cancelled,) = client.cancel("DCE.m2501", dce["OrderSysID"].strip())
    assert (cancelled["data"]["ExchangeID"], cancelled["data"]["OrderStatus"]) == ("DCE", "5")
    assert [o["OrderStatus"] for o in counter.orders()] == ["3", "5"]
    counter.fill(shfe["OrderSysID"], exchange="SHFE")
    assert [(t["ExchangeID"], t["Volume"]) for t in counter.trades()] == [("SHFE", 1)]


def self_trade_returns(events):
    return [(e["data"]["TradeID"], e["data"]["OrderSysID"], e["data"]["Direction"], e["data"]["Volume"],
             e["data"]["Price"]) for e in events if e["name"] == "RtnTrade"]


@pytest.mark.parametrize("resting_side, new_side, new_price", [
    ("1", "0", 7810.0),   # a buy reaching the account's resting sell
    ("0", "1", 7790.0),   # a sell reaching the account's resting buy
])
def test_a_new_order_trades_with_the_accounts_resting_order_it_reaches(world, resting_side, new_side, new_price):
    counter, client = world
    rest_price = 7805.0 if resting_side == "1" else 7792.0
    counter.set_price("SHFE.ag2412", 7800.0)
    resting = client.insert("SHFE.ag2412", resting_side, "0", 2, rest_price)[-1]["data"]
    # 3 lots against 2 resting: the third lot trades with the market, which a price that reaches a resting order
    # of the other side always reaches too.
    events = client.insert("SHFE.ag2412", new_side, "0", 3, new_price)
    new = events[0]["data"]
    trades = self_trade_returns(events)
    new_sys = events[1]["data"]["OrderSysID"]
    (tid, *_), _ = trades[:2]
    assert trades[:2] == [(tid, resting["OrderSysID"], resting_side, 2, rest_price),
                          (tid, new_sys, new_side, 2, rest_price)]
    assert len(trades) == 3 and trades[2][0] != tid and trades[2][3] == 1 and trades[2][4] == 7800.0
    assert new["OrderRef"] == "2"
    rows = counter.trades()
    assert [r["TradeID"] for r in rows] == [tid, tid, trades[2][0]]
    assert counter.positions()["SHFE.ag2412"] == {
        "pos_long": 3 if new_side == "0" else 2, "pos_long_today": 3 if new_side == "0" else 2, "pos_long_his": 0,
        "pos_short": 2 if new_side == "0" else 3, "pos_short_today": 2 if new_side == "0" else 3,
        "pos_short_his": 0}


def test_own_orders_match_best_price_first_then_oldest(world):
    counter, client = world
    placed = [client.insert("DCE.m2501", "1", "0", 1, price)[-1]["data"]["OrderSysID"]
              for price in (3120.0, 3110.0, 3110.0, 3130.0)]
    events = client.insert("DCE.m2501", "0", "0", 3, 3120.0)
    resting = [t for t in self_trade_returns(events) if t[2] == "1"]
    assert [(t[1], t[4]) for t in resting] == [(placed[1], 3110.0), (placed[2], 3110.0), (placed[0], 3120.0)]
    assert [o["OrderStatus"] for o in counter.orders()] == ["0", "0", "0", "3", "0"]


@pytest.mark.parametrize("world", [{"self_trades": False}], indirect=True)
def test_without_self_trades_crossing_orders_only_meet_the_market(world):
    counter, client = world
    client.insert("DCE.m2501", "1", "0", 1, 3120.0)
    client.insert("DCE.m2501", "0", "0", 1, 3120.0)
    assert [(t["Direction"], t["Price"]) for t in counter.trades()] == [("0", 3100.0)]
    assert [o["OrderStatus"] for o in counter.orders()] == ["3", "0"]


def test_another_accounts_resting_order_is_not_matched(front, tmp_path):
    counter = Counter(front, [AccountConfig(), AccountConfig(user_id="10086002")], trading_day=DAY,
                      query_interval=0)
    one, two = (Client(front, a, tmp_path) for a in counter.accounts)
    try:
        one.login()
        two.login()
        one.insert("DCE.m2501", "1", "0", 1, 3120.0)
        two.insert("DCE.m2501", "0", "0", 1, 3120.0)
        assert counter.trades("10086001") == [] and [t["Price"] for t in counter.trades("10086002")] == [3100.0]
    finally:
        one.close()
        two.close()
        counter.close()
