"""A simulated futures broker counter on a simulated front.

``Counter(front)`` answers every request that reaches ``front`` the way a broker's trading counter would: the
login chain, the five queries, order insertion and cancellation with exchange acknowledgements and fills, funds
and positions, and the day roll. Tests and demos steer the market with ``set_price`` and ``fill`` and call up
faults (dropped sessions, refused connections, error answers, silence, duplicate or stale returns).

Example::

    with Front() as front:
        counter = Counter(front)                      # one default account, the default instrument table
        handle = _kestro.create(front.address, path)  # the client logs in, queries and trades as with a broker
        counter.set_price("SHFE.ag2412", 7790.0)      # resting orders that the price reaches fill
        counter.funds(counter.accounts[0].user_id)    # what the counter holds, to compare with the client

All state changes take ``counter.lock``; the front calls the request handler on the requesting thread.
"""

from __future__ import annotations

import math
import threading
import time
from collections import deque
from datetime import datetime, timedelta, timezone
from typing import Any, Callable, Iterable, Mapping, Sequence

from ._book import (ALL_TRADED, CANCELED, NO_TRADE, PART_TRADED, AccountState, OrderState, Row, TradeState)
from .front import Connection, Front, Request
from ._table import COMBINATION, OPTIONS, AccountConfig, Instrument, default_instruments

__all__ = ["Counter", "AccountConfig", "Instrument", "default_instruments", "METHODS", "QUERIES"]

TZ = timezone(timedelta(hours=8))

QUERIES = {
    "QryInstrument": "OnRspQryInstrument",
    "QryOrder": "OnRspQryOrder",
    "QryTrade": "OnRspQryTrade",
    "QryInvestorPosition": "OnRspQryInvestorPosition",
    "QryTradingAccount": "OnRspQryTradingAccount",
}
METHODS = ("Authenticate", "UserLogin", "SettlementInfoConfirm", *QUERIES, "OrderInsert", "OrderAction")

ERR_INVALID_LOGIN = (3, "CTP:不合法的登录")
ERR_DUPLICATE_LOGIN = (5, "CTP:重复的登录")
ERR_NOT_LOGGED_IN = (6, "CTP:还没有登录")
ERR_INVESTOR = (13, "CTP:找不到投资者")
ERR_FIELD = (15, "CTP:报单字段有误")
ERR_PRICE = (15, "CTP:报单价格不是最小变动价位的整数倍")
ERR_VOLUME = (15, "CTP:报单数量超出限价委托数量范围")
ERR_COMBINATION = (15, "CTP:不支持组合合约报单")
ERR_INSTRUMENT = (16, "CTP:找不到合约")
ERR_DUPLICATE_ORDER = (22, "CTP:不允许重复报单")
ERR_ACTION_NOT_FOUND = (25, "CTP:撤单找不到相应报单")
ERR_ACTION_FINISHED = (26, "CTP:报单已全成交或已撤销，不能再撤")
ERR_CLOSE = (30, "CTP:平仓量超过持仓量")
ERR_FUNDS = (31, "CTP:资金不足")
ERR_NOT_CONFIRMED = (42, "CTP:结算结果未确认")
ERR_NOT_TRADING = (48, "CTP:合约当前不能交易")
ERR_CLOSE_TODAY = (50, "CTP:平今仓位不足")
ERR_CLOSE_YD = (51, "CTP:平昨仓位不足")
ERR_AUTH = (63, "CTP:客户端认证失败")
ERR_QUERY_NOT_READY = (90, "CTP:查询未就绪，请稍后重试")
ERR_ACTION_FLAG = (15, "CTP:不支持的撤单操作")

# What fail_next answers when a test gives no error of its own.
DEFAULT_FAULTS = {
    "Authenticate": ERR_AUTH, "UserLogin": ERR_INVALID_LOGIN, "SettlementInfoConfirm": ERR_NOT_LOGGED_IN,
    "OrderInsert": ERR_FIELD, "OrderAction": ERR_ACTION_NOT_FOUND,
    **{q: ERR_QUERY_NOT_READY for q in QUERIES},
}

FLOW_CONTROL = -3
# Places the exchanges right-align their order and trade numbers in (12 where not listed).
NUMBER_WIDTHS = {"DCE": 8, "CZCE": 8}
CLOSE_FLAGS = frozenset("123456")


def _text(fields: Mapping[str, Any], key: str) -> str:
    value = fields.get(key, b"")
    if isinstance(value, bytes):
        value = value.split(b"\0", 1)[0].decode("gb18030", "replace")
    return value if isinstance(value, str) else str(value)


def _number(fields: Mapping[str, Any], key: str, kind: type[int] | type[float]) -> Any:
    value = fields.get(key, 0)
    return value if isinstance(value, (int, float)) else kind(0)


def _day(text: str) -> datetime:
    """A trading day "YYYYMMDD" as a date; ValueError for anything else."""
    if not (isinstance(text, str) and len(text) == 8 and text.isascii() and text.isdigit()):
        raise ValueError(f"trading day must be YYYYMMDD: {text!r}")
    return datetime.strptime(text, "%Y%m%d")


def _money_amount(amount: float) -> float:
    amount = float(amount)
    if not (math.isfinite(amount) and amount >= 0):
        raise ValueError("amount must be finite and not negative")
    return amount


def _next_weekday(day: datetime) -> datetime:
    day += timedelta(days=1)
    while day.weekday() >= 5:
        day += timedelta(days=1)
    return day


def default_trading_day(now: float) -> str:
    """The trading day at wall time ``now``: the night session from 18:00 belongs to the next working day."""
    local = datetime.fromtimestamp(now, TZ)
    day = local.replace(hour=0, minute=0, second=0, microsecond=0)
    if local.hour >= 18 or day.weekday() >= 5:
        day = _next_weekday(day)
    return day.strftime("%Y%m%d")


class _Session:
    """One API connection's state at the counter: authenticated account, login and query pacing."""

    def __init__(self, conn: Connection):
        self.conn = conn
        self.account: AccountState | None = None
        self.session_id: int | None = None
        self.max_ref = 0
        self.last_query: float | None = None


class _Rejected(Exception):
    def __init__(self, error: tuple[int, str]):
        super().__init__(error)
        self.error = error


class Counter:
    """A simulated broker counter answering every API connected to ``front``.

    ``accounts``: account configurations (default: one ``AccountConfig()``). ``instruments``: the contract
    table (default: ``default_instruments()``). ``trading_day``: "YYYYMMDD" (default: from the wall clock, the
    night session counting for the next working day). ``front_id``: the FrontID logins report.
    ``query_interval``: a session's queries must be this many seconds apart, or they return -3 unanswered
    (0 disables the limit). ``clock``: the monotonic clock of the query pacing; ``wall_clock``: the epoch-seconds
    clock of insert and trade times. ``trade_first``: product classes whose fills report the trade before the
    order (default options; futures report the order first). ``numbers_per_exchange``: each exchange numbers its
    orders and trades in sequences of its own, so that one number occurs on several exchanges on one day, as it
    does for real (False: numbers unique across exchanges). ``self_trades``: a new order that reaches a resting
    order of the same account on the other side trades with it, one trade number reported on both sides (False:
    orders trade only with the market). The counter never sleeps.
    """

    def __init__(self, front: Front, accounts: Iterable[AccountConfig] | None = None,
                 instruments: Iterable[Instrument] | None = None, *, trading_day: str | None = None,
                 front_id: int = 1, query_interval: float = 1.0, clock: Callable[[], float] = time.monotonic,
                 wall_clock: Callable[[], float] = time.time, first_session_id: int = 711655425,
                 trade_first: Iterable[str] = (OPTIONS,), numbers_per_exchange: bool = True,
                 self_trades: bool = True):
        self.lock = threading.RLock()
        self.front = front
        self.front_id = front_id
        self.query_interval = query_interval
        self.clock = clock
        self.wall_clock = wall_clock
        self.trade_first = frozenset(trade_first)
        self.numbers_per_exchange = numbers_per_exchange
        self.self_trades = self_trades
        self.trading_day = default_trading_day(wall_clock()) if trading_day is None else trading_day
        _day(self.trading_day)
        self.instruments: dict[str, Instrument] = {}
        self.prices: dict[str, float] = {}
        for ins in (default_instruments() if instruments is None else instruments):
            self.add_instrument(ins)
        self._accounts: dict[tuple[str, str], AccountState] = {}
        for cfg in ([AccountConfig()] if accounts is None else accounts):
            self.add_account(cfg)
        self.errors: list[BaseException] = []
        self._sessions: dict[int, _Session] = {}
        self._next_session_id = first_session_id
        self._sequences: dict[tuple[str, str], int] = {}
        self._faults: dict[str, deque[tuple[str, Any]]] = {}
        self._muted: set[str] = set()
        self._duplicate_trades = 0
        self._lean: set[str] = set()
        self._timer: threading.Timer | None = None
        front.handler = self._handle

    # --- configuration -------------------------------------------------------------------------------------

    def add_instrument(self, instrument: Instrument) -> None:
        """Adds or replaces a contract; its ``price`` becomes the current price."""
        with self.lock:
            self.instruments[instrument.symbol] = instrument
            self.prices[instrument.symbol] = instrument.price

    def add_account(self, config: AccountConfig) -> AccountState:
        """Opens an account with ``config.balance`` as its static balance."""
        with self.lock:
            state = AccountState(config, float(config.balance))
            self._accounts[(config.broker_id, config.user_id)] = state
            return state

    @property
    def accounts(self) -> list[AccountConfig]:
        """The configurations of every account, in the order they were added."""
        with self.lock:
            return [a.config for a in self._accounts.values()]

    def close(self) -> None:
        """Detaches from the front: later requests are no longer answered."""
        with self.lock:
            if self.front.handler == self._handle:
                self.front.handler = None
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None

    def __enter__(self) -> "Counter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- reading state -------------------------------------------------------------------------------------

    def account(self, user_id: str | None = None, broker_id: str | None = None) -> AccountState:
        """The live book of an account (the first one when ``user_id`` is None). Read it under ``lock``."""
        with self.lock:
            for (broker, user), state in self._accounts.items():
                if (user_id is None or user == user_id) and (broker_id is None or broker == broker_id):
                    return state
            raise KeyError(user_id)

    def funds(self, user_id: str | None = None) -> Row:
        """The trading-account row the counter would answer now (CTP field names)."""
        with self.lock:
            return self.account(user_id).funds(self.instruments, self.prices, self.trading_day)

    def positions(self, user_id: str | None = None) -> dict[str, dict[str, int]]:
        """Lots by symbol: pos_long, pos_long_today, pos_long_his and the same for short."""
        with self.lock:
            return self.account(user_id).holdings()

    def position_rows(self, user_id: str | None = None) -> list[Row]:
        """The position rows the counter would answer now."""
        with self.lock:
            return self.account(user_id).position_rows(self.instruments, self.prices, self.trading_day)

    def orders(self, user_id: str | None = None) -> list[Row]:
        """The order rows of the trading day, oldest first."""
        with self.lock:
            return [o.row() for o in self.account(user_id).orders]

    def trades(self, user_id: str | None = None) -> list[Row]:
        """The trade rows of the trading day, oldest first."""
        with self.lock:
            return [t.row() for t in self.account(user_id).trades]

    def order(self, key: str | OrderState, exchange: str | None = None) -> OrderState:
        """An order by exchange order number (blanks ignored) or by "front:session:ref".

        An exchange order number names one order only together with its exchange: ``exchange`` picks it; without
        one, a number that several exchanges gave out today raises KeyError.
        """
        with self.lock:
            if isinstance(key, OrderState):
                return key
            key = str(key).strip()
            found = [o for acct in self._accounts.values() for o in acct.orders
                     if (o.sys_id.strip() == key or o.order_id == key)
                     and (exchange is None or o.instrument.exchange == exchange)]
            if len({o.instrument.exchange for o in found}) > 1:
                raise KeyError(f"{key} names orders on several exchanges: give the exchange")
            if not found:
                raise KeyError(key)
            return found[0]

    def sessions(self) -> list[dict[str, Any]]:
        """The logged-in sessions: connection id, user id, FrontID and SessionID."""
        with self.lock:
            return [{"connection": s.conn.id, "user_id": s.account.config.user_id, "front_id": self.front_id,
                     "session_id": s.session_id} for s in self._sessions.values()
                    if s.account is not None and s.session_id is not None and s.conn.connected]

    # --- market --------------------------------------------------------------------------------------------

    def price(self, symbol: str) -> float:
        """The current price of a symbol ("EXCHANGE.instrument")."""
        with self.lock:
            return self.prices[symbol]

    def set_price(self, symbol: str, price: float) -> None:
        """Moves the current price; resting orders that it reaches fill completely at their limit price."""
        price = float(price)
        if not math.isfinite(price):
            raise ValueError("price must be finite")
        with self.lock:
            if symbol not in self.instruments:
                raise KeyError(symbol)
            self.prices[symbol] = price
            for acct in self._accounts.values():
                for o in list(acct.working.values()):
                    if o.instrument.symbol == symbol and o.resting and self._marketable(o, price):
                        self._fill(o, o.left, o.price)

    def fill(self, order: str | OrderState, volume: int | None = None, price: float | None = None, *,
             exchange: str | None = None) -> None:
        """Fills ``volume`` lots (default: all that is left) of a resting order at ``price`` (default: its limit).

        ``order`` is an exchange order number (on ``exchange`` when given, see ``order``), a "front:session:ref" id
        or an order of ``account().orders``.
        """
        with self.lock:
            o = self.order(order, exchange)
            if not o.resting:
                raise ValueError("order is not working")
            volume = o.left if volume is None else volume
            if type(volume) is not int or not 1 <= volume <= o.left:
                raise ValueError("fill volume must be 1 to the lots left")
            price = o.price if price is None else float(price)
            if not math.isfinite(price):
                raise ValueError("price must be finite")
            self._fill(o, volume, price)

    def deposit(self, amount: float, user_id: str | None = None) -> None:
        """Pays money into an account (the first one when ``user_id`` is None)."""
        with self.lock:
            self.account(user_id).deposit += _money_amount(amount)

    def withdraw(self, amount: float, user_id: str | None = None) -> None:
        """Takes money out of an account (the first one when ``user_id`` is None)."""
        with self.lock:
            self.account(user_id).withdraw += _money_amount(amount)

    def settle(self, trading_day: str | None = None) -> str:
        """Day roll: marks every account to the current prices, turns today's lots into earlier lots, drops the
        day's orders and trades and starts the next trading day (the next working day unless given), whose order
        and trade numbers start again from the first.

        Sessions stay connected: their later answers carry the new TradingDay, as after a real night roll.
        """
        with self.lock:
            if trading_day is None:
                trading_day = _next_weekday(_day(self.trading_day)).strftime("%Y%m%d")
            _day(trading_day)
            for acct in self._accounts.values():
                acct.roll(self.instruments, self.prices, self.trading_day)
            self._sequences.clear()                   # the exchanges number anew each trading day
            self.trading_day = trading_day
            return trading_day

    # --- faults --------------------------------------------------------------------------------------------

    def drop_sessions(self, reason: int = 0x1001) -> None:
        """Drops every connection (``OnFrontDisconnected``); the APIs reconnect while the front accepts."""
        with self.lock:
            self._sessions.clear()
        self.front.disconnect(None, reason)

    def refuse_connections(self, seconds: float | None = None) -> None:
        """Refuses new connections, until ``accept_connections`` or for ``seconds`` of real time."""
        with self.lock:
            self.front.accepting = False
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None
            if seconds is not None:
                self._timer = threading.Timer(seconds, self.accept_connections)
                self._timer.daemon = True
                self._timer.start()

    def accept_connections(self) -> None:
        """Lets APIs connect again."""
        with self.lock:
            self.front.accepting = True

    def fail_next(self, method: str, error: tuple[int, str] | None = None, *, result: int | None = None) -> None:
        """The next request of ``method`` is answered with ``error`` (a default error of the method when None),
        or, when ``result`` is given, returns that code and is not answered at all."""
        self._check_method(method)
        self._arm(method, ("result", result) if result is not None else ("error", error or DEFAULT_FAULTS[method]))

    def rsp_error_next(self, method: str, error: tuple[int, str] = ERR_NOT_LOGGED_IN) -> None:
        """The next request of ``method`` is answered by ``OnRspError`` with ``error`` and its request id."""
        self._arm(method, ("rsp_error", error))

    def mute(self, method: str) -> None:
        """Requests of ``method`` return 0 and are neither processed nor answered, until ``unmute``."""
        self._check_method(method)
        with self.lock:
            self._muted.add(method)

    def unmute(self, method: str | None = None) -> None:
        """Answers ``method`` again (every method when None)."""
        with self.lock:
            if method is None:
                self._muted.clear()
            else:
                self._muted.discard(method)

    def duplicate_next_trade(self, count: int = 1) -> None:
        """The next ``count`` trade returns are each sent twice."""
        if type(count) is not int or count < 0:
            raise ValueError("count must be an int, 0 or more")
        with self.lock:
            self._duplicate_trades += count

    def send_stale_order_return(self, user_id: str | None = None, trading_day: str | None = None) -> Row:
        """Sends the sessions of an account a return of its latest order stamped with another trading day
        (the previous working day when None); with no order yet, of a made-up finished order. Returns the row."""
        with self.lock:
            acct = self.account(user_id)
            day = trading_day or self._previous_day()
            if acct.orders:
                row = acct.orders[-1].row(day)
            else:
                ins = next(iter(self.instruments.values()))
                row = {"TradingDay": day, "ExchangeID": ins.exchange, "InstrumentID": ins.instrument_id,
                       "OrderSysID": f"{1:>12}", "OrderRef": "1", "FrontID": self.front_id, "SessionID": 1,
                       "Direction": "0", "CombOffsetFlag": "0", "CombHedgeFlag": "1", "LimitPrice": ins.price,
                       "VolumeTotalOriginal": 1, "VolumeTraded": 0, "VolumeTotal": 1, "OrderStatus": CANCELED,
                       "OrderSubmitStatus": "3", "StatusMsg": "已撤单", "InsertDate": day, "InsertTime": "09:00:00"}
            self._broadcast(acct, "OnRtnOrder", row)
            return row

    def _previous_day(self) -> str:
        day = _day(self.trading_day) - timedelta(days=1)
        while day.weekday() >= 5:
            day -= timedelta(days=1)
        return day.strftime("%Y%m%d")

    def _check_method(self, method: str) -> None:
        if method not in METHODS:
            raise ValueError(f"unknown request name: {method!r}")

    def _arm(self, method: str, fault: tuple[str, Any]) -> None:
        self._check_method(method)
        with self.lock:
            self._faults.setdefault(method, deque()).append(fault)

    # --- sending -------------------------------------------------------------------------------------------

    def _send(self, conn: Connection, callback: str, data: Row | None, extra: Row | None = None,
              error: tuple[int, str] | None = None,
              request_id: int = 0, last: bool = True) -> None:
        """Sends one callback. ``extra`` fields go along when the front's record has them."""
        if not conn.connected:
            return
        if data is not None and extra and callback not in self._lean:
            try:
                self.front.send(conn, callback, {**data, **extra}, error, request_id, last)
                return
            except KeyError:
                self._lean.add(callback)
        self.front.send(conn, callback, data, error, request_id, last)

    def _broadcast(self, acct: AccountState, callback: str, data: Row, extra: Row | None = None) -> None:
        """Private-topic returns reach every logged-in session of the account."""
        for key, s in list(self._sessions.items()):
            if s.conn.released:
                del self._sessions[key]
            elif s.account is acct and s.session_id is not None:
                self._send(s.conn, callback, data, extra)

    def _rows(self, req: Request, callback: str, rows: Sequence[tuple[Row, Row | None]]) -> None:
        if not rows:
            self._send(req.connection, callback, None, request_id=req.request_id)
            return
        for i, (row, extra) in enumerate(rows):
            self._send(req.connection, callback, row, extra, request_id=req.request_id, last=i == len(rows) - 1)

    def _answer_error(self, req: Request, error: tuple[int, str]) -> None:
        conn, rid, f = req.connection, req.request_id, req.fields
        method = req.method
        if method == "Authenticate":
            data = {"BrokerID": _text(f, "BrokerID"), "UserID": _text(f, "UserID"), "AppID": _text(f, "AppID")}
            self._send(conn, "OnRspAuthenticate", data, None, error, rid)
        elif method == "UserLogin":
            self._send(conn, "OnRspUserLogin", {}, None, error, rid)
        elif method == "SettlementInfoConfirm":
            data = {"BrokerID": _text(f, "BrokerID"), "InvestorID": _text(f, "InvestorID")}
            self._send(conn, "OnRspSettlementInfoConfirm", data, None, error, rid)
        elif method in QUERIES:
            self._send(conn, QUERIES[method], None, None, error, rid)
        elif method == "OrderInsert":
            self._send(conn, "OnRspOrderInsert", dict(f), None, error, rid)
            self._send(conn, "OnErrRtnOrderInsert", dict(f), None, error)
        elif method == "OrderAction":
            self._send(conn, "OnRspOrderAction", dict(f), None, error, rid)
            data = {k: _text(f, k) for k in ("InstrumentID", "ExchangeID", "OrderSysID")}
            self._send(conn, "OnErrRtnOrderAction", data, None, error)

    # --- request handling ----------------------------------------------------------------------------------

    def _handle(self, req: Request) -> int:
        with self.lock:
            try:
                return self._dispatch(req)
            except Exception as exc:  # a fault of the counter itself: kept for the test to see
                self.errors.append(exc)
                return -1

    def _dispatch(self, req: Request) -> int:
        method = req.method
        if method in self._muted:
            return 0
        session = self._sessions.get(req.connection.id)
        if method in QUERIES and self.query_interval > 0:
            now = self.clock()
            if session is not None and session.last_query is not None \
                    and now - session.last_query < self.query_interval:
                return FLOW_CONTROL
        faults = self._faults.get(method)
        if faults:
            kind, value = faults.popleft()
            if kind == "result":
                result: int = value
                return result
            if kind == "rsp_error":
                self._send(req.connection, "OnRspError", None, None, value, req.request_id)
            else:
                self._answer_error(req, value)
            if method in QUERIES:
                self._paced(session)
            return 0
        handler = getattr(self, "_on_" + method, None)
        if handler is None:
            return 0
        try:
            handler(req, session)
        except _Rejected as rejected:
            self._answer_error(req, rejected.error)
        return 0

    def _paced(self, session: _Session | None) -> None:
        if session is not None:
            session.last_query = self.clock()

    def _logged_in(self, session: _Session | None, fields: Mapping[str, Any]) -> AccountState:
        if session is None or session.session_id is None or session.account is None:
            raise _Rejected(ERR_NOT_LOGGED_IN)
        acct = session.account
        broker, investor = _text(fields, "BrokerID"), _text(fields, "InvestorID")
        if broker and broker != acct.config.broker_id or investor and investor != acct.config.user_id:
            raise _Rejected(ERR_INVESTOR)
        return acct

    def _on_Authenticate(self, req: Request, session: _Session | None) -> None:
        f = req.fields
        broker, user = _text(f, "BrokerID"), _text(f, "UserID")
        acct = self._accounts.get((broker, user))
        # A new authentication starts the connection's session afresh (the API reconnected).
        session = self._sessions[req.connection.id] = _Session(req.connection)
        if acct is None or _text(f, "AppID") != acct.config.app_id or _text(f, "AuthCode") != acct.config.auth_code:
            raise _Rejected(ERR_AUTH)
        session.account = acct
        data = {"BrokerID": broker, "UserID": user, "AppID": _text(f, "AppID")}
        self._send(req.connection, "OnRspAuthenticate", data, {"AppType": "1"}, request_id=req.request_id)

    def _on_UserLogin(self, req: Request, session: _Session | None) -> None:
        f = req.fields
        if session is None or session.account is None:
            raise _Rejected(ERR_AUTH)
        if session.session_id is not None:
            raise _Rejected(ERR_DUPLICATE_LOGIN)
        cfg = session.account.config
        if (_text(f, "BrokerID"), _text(f, "UserID")) != (cfg.broker_id, cfg.user_id) \
                or _text(f, "Password") != cfg.password:
            raise _Rejected(ERR_INVALID_LOGIN)
        session.session_id = self._next_session_id
        self._next_session_id += 1
        session.max_ref = session.account.max_ref
        _, clock = self._stamp()
        data = {"TradingDay": self.trading_day, "FrontID": self.front_id, "SessionID": session.session_id,
                "MaxOrderRef": str(session.max_ref)}
        extra = {"LoginTime": clock, "BrokerID": cfg.broker_id, "UserID": cfg.user_id, "SystemName": "TradingHosting",
                 "ExchangeTime": clock, "SHFETime": clock}
        self._send(req.connection, "OnRspUserLogin", data, extra, request_id=req.request_id)

    def _on_SettlementInfoConfirm(self, req: Request, session: _Session | None) -> None:
        acct = self._logged_in(session, req.fields)
        acct.confirmed_day = self.trading_day
        date, clock = self._stamp()
        data = {"BrokerID": acct.config.broker_id, "InvestorID": acct.config.user_id}
        extra = {"ConfirmDate": date, "ConfirmTime": clock, "CurrencyID": "CNY"}
        self._send(req.connection, "OnRspSettlementInfoConfirm", data, extra, request_id=req.request_id)

    # --- queries -------------------------------------------------------------------------------------------

    def _query_account(self, req: Request, session: _Session | None) -> AccountState:
        acct = self._logged_in(session, req.fields)
        self._paced(session)
        return acct

    def _on_QryInstrument(self, req: Request, session: _Session | None) -> None:
        if session is None or session.session_id is None:
            raise _Rejected(ERR_NOT_LOGGED_IN)
        self._paced(session)
        exchange, iid = _text(req.fields, "ExchangeID"), _text(req.fields, "InstrumentID")
        rows = []
        for ins in self.instruments.values():
            if exchange and ins.exchange != exchange or iid and ins.instrument_id != iid:
                continue
            row = {"ExchangeID": ins.exchange, "InstrumentID": ins.instrument_id, "ProductClass": ins.product_class,
                   "IsTrading": int(ins.trading), "PriceTick": ins.price_tick,
                   "MinLimitOrderVolume": ins.min_volume, "MaxLimitOrderVolume": ins.max_volume}
            extra = {"InstrumentName": ins.name, "ProductID": ins.product_id, "VolumeMultiple": ins.volume_multiple,
                     "MaxMarketOrderVolume": ins.max_volume, "MinMarketOrderVolume": ins.min_volume}
            rows.append((row, extra))
        self._rows(req, "OnRspQryInstrument", rows)

    def _matches(self, fields: Mapping[str, Any], exchange: str, instrument_id: str) -> bool:
        want_ex, want_id = _text(fields, "ExchangeID"), _text(fields, "InstrumentID")
        return (not want_ex or want_ex == exchange) and (not want_id or want_id == instrument_id)

    def _on_QryOrder(self, req: Request, session: _Session | None) -> None:
        acct = self._query_account(req, session)
        sys_id = _text(req.fields, "OrderSysID").strip()
        rows = [(o.row(), o.extra()) for o in acct.orders
                if self._matches(req.fields, o.instrument.exchange, o.instrument.instrument_id)
                and (not sys_id or o.sys_id.strip() == sys_id)]
        self._rows(req, "OnRspQryOrder", rows)

    def _on_QryTrade(self, req: Request, session: _Session | None) -> None:
        acct = self._query_account(req, session)
        rows = [(t.row(), t.extra()) for t in acct.trades
                if self._matches(req.fields, t.order.instrument.exchange, t.order.instrument.instrument_id)]
        self._rows(req, "OnRspQryTrade", rows)

    def _on_QryInvestorPosition(self, req: Request, session: _Session | None) -> None:
        acct = self._query_account(req, session)
        cfg = acct.config
        rows = [(row, {"BrokerID": cfg.broker_id, "InvestorID": cfg.user_id})
                for row in acct.position_rows(self.instruments, self.prices, self.trading_day)
                if self._matches(req.fields, row["ExchangeID"], row["InstrumentID"])]
        self._rows(req, "OnRspQryInvestorPosition", rows)

    def _on_QryTradingAccount(self, req: Request, session: _Session | None) -> None:
        acct = self._query_account(req, session)
        currency = _text(req.fields, "CurrencyID")
        rows = []
        if currency in ("", "CNY"):
            row = acct.funds(self.instruments, self.prices, self.trading_day)
            extra = {"BrokerID": acct.config.broker_id, "PreBalance": acct.pre_balance}
            rows.append((row, extra))
        self._rows(req, "OnRspQryTradingAccount", rows)

    # --- orders --------------------------------------------------------------------------------------------

    def _on_OrderInsert(self, req: Request, session: _Session | None) -> None:
        f = req.fields
        acct = self._logged_in(session, f)
        assert session is not None and session.session_id is not None  # _logged_in refuses them
        if acct.confirmed_day != self.trading_day:
            raise _Rejected(ERR_NOT_CONFIRMED)
        # The reference comes back in the returns exactly as the client wrote it; its number must grow.
        ref_text = _text(f, "OrderRef")
        digits = ref_text.strip()
        if not digits:
            ref = session.max_ref + 1
            ref_text = str(ref)
        elif not (digits.isascii() and digits.isdigit()):
            raise _Rejected(ERR_FIELD)
        else:
            ref = int(digits)
            if ref <= session.max_ref:
                raise _Rejected(ERR_DUPLICATE_ORDER)
        ins = self._instrument(_text(f, "ExchangeID"), _text(f, "InstrumentID"))
        if ins.product_class == COMBINATION:
            raise _Rejected(ERR_COMBINATION)
        if not ins.trading:
            raise _Rejected(ERR_NOT_TRADING)
        direction, comb_offset = _text(f, "Direction"), _text(f, "CombOffsetFlag")
        offset, hedge = comb_offset[:1], _text(f, "CombHedgeFlag")[:1]
        time_condition, volume_condition = _text(f, "TimeCondition"), _text(f, "VolumeCondition")
        if (direction not in ("0", "1") or offset not in ("0", *CLOSE_FLAGS) or hedge != "1"
                or _text(f, "OrderPriceType") != "2" or time_condition not in ("1", "3")
                or volume_condition not in ("1", "3")):
            raise _Rejected(ERR_FIELD)
        price = _number(f, "LimitPrice", float)
        if not (price > 0 and price < 1e100) or not ins.on_grid(price):
            raise _Rejected(ERR_PRICE)
        volume = _number(f, "VolumeTotalOriginal", int)
        if not ins.min_volume <= volume <= ins.max_volume:
            raise _Rejected(ERR_VOLUME)
        date, clock = self._stamp()
        order = OrderState(acct, ins, self.front_id, session.session_id, ref_text, direction, offset,
                           comb_offset, hedge, float(price), int(volume), time_condition, volume_condition,
                           self.trading_day, date, clock)
        if order.opening:
            funds = acct.funds(self.instruments, self.prices, self.trading_day)
            if acct.margin_needed(ins, price, volume) > funds["Available"] + 1e-6:
                raise _Rejected(ERR_FUNDS)
        else:
            self._check_closable(acct, order)
        session.max_ref = ref
        acct.max_ref = max(acct.max_ref, ref)
        acct.orders.append(order)
        self._order_return(order)                     # accepted by the counter, not yet at the exchange
        order.sys_id = self._sequence("order", ins.exchange)
        order.set_status(NO_TRADE, "未成交")
        self._order_return(order)
        market = self.prices[ins.symbol]
        # The account's own resting orders stand in the book ahead of the market's.
        for resting in self._crossing(order) if self.self_trades else []:
            if order.left:
                self._self_trade(order, resting)
        if order.left and self._marketable(order, market):
            self._fill(order, order.left, market)
        elif order.left and time_condition == "1":
            self._cancel(order)

    def _check_closable(self, acct: AccountState, order: OrderState) -> None:
        ins = order.instrument
        yd, today = acct.closable(ins, order.side)
        if ins.split:
            if order.offset == "3":
                if order.volume > today:
                    raise _Rejected(ERR_CLOSE_TODAY)
            elif order.volume > yd:
                raise _Rejected(ERR_CLOSE_YD)
        elif order.volume > yd + today:
            raise _Rejected(ERR_CLOSE)

    def _instrument(self, exchange: str, instrument_id: str) -> Instrument:
        for ins in self.instruments.values():
            if ins.instrument_id == instrument_id and (not exchange or ins.exchange == exchange):
                return ins
        raise _Rejected(ERR_INSTRUMENT)

    def _on_OrderAction(self, req: Request, session: _Session | None) -> None:
        f = req.fields
        acct = self._logged_in(session, f)
        if _text(f, "ActionFlag") != "0":
            raise _Rejected(ERR_ACTION_FLAG)
        exchange, sys_id = _text(f, "ExchangeID"), _text(f, "OrderSysID").strip()
        ref = _text(f, "OrderRef").strip()
        front_id, session_id = _number(f, "FrontID", int), _number(f, "SessionID", int)
        if sys_id:
            # An exchange order number names an order only on its exchange.
            found = acct.by_sys_id.get((exchange, sys_id))
        else:
            number = int(ref) if ref.isascii() and ref.isdigit() else None
            found = next((o for o in acct.orders if number is not None and (o.front_id, o.session_id, int(o.ref))
                          == (front_id, session_id, number)), None)
        if found is None:
            raise _Rejected(ERR_ACTION_NOT_FOUND)
        if not found.resting:
            raise _Rejected(ERR_ACTION_FINISHED)
        self._cancel(found)

    # --- order life cycle ----------------------------------------------------------------------------------

    @staticmethod
    def _crossing(order: OrderState) -> list[OrderState]:
        """The account's resting orders on the other side that ``order`` reaches, in the exchange's matching order:
        best price first, then oldest first."""
        other = order.account.working_sides.get((order.instrument.symbol, "1" if order.direction == "0" else "0"))
        reached = [o for o in (other or {}).values()
                   if (o.price <= order.price if order.direction == "0" else o.price >= order.price)]
        reached.sort(key=lambda o: o.price if order.direction == "0" else -o.price)  # stable: time priority
        return reached

    def _self_trade(self, order: OrderState, resting: OrderState) -> None:
        """``order`` trades with a resting order of its own account at the resting order's price: one match, one
        trade number, a trade return for each side (the resting side first)."""
        volume = min(order.left, resting.left)
        trade_id = self._sequence("trade", order.instrument.exchange)
        for side in (resting, order):
            self._fill(side, volume, resting.price, trade_id)

    @staticmethod
    def _marketable(order: OrderState, price: float) -> bool:
        return price <= order.price if order.direction == "0" else price >= order.price

    def _order_return(self, order: OrderState) -> None:
        self._broadcast(order.account, "OnRtnOrder", order.row(), order.extra())

    def _cancel(self, order: OrderState) -> None:
        order.set_status(CANCELED, "已撤单")
        self._order_return(order)

    def _fill(self, order: OrderState, volume: int, price: float, trade_id: str | None = None) -> None:
        acct = order.account
        acct.apply_fill(order, volume, price)
        if order.left:
            order.set_status(PART_TRADED, "部分成交还在队列中")
        else:
            order.set_status(ALL_TRADED, "全部成交")
        date, clock = self._stamp()
        if trade_id is None:
            trade_id = self._sequence("trade", order.instrument.exchange)
        trade = TradeState(order, trade_id, order.offset, price, volume,
                           self.trading_day, date, clock)
        acct.trades.append(trade)
        copies = 1
        if self._duplicate_trades:
            self._duplicate_trades -= 1
            copies = 2
        if order.instrument.product_class in self.trade_first:
            for _ in range(copies):
                self._broadcast(acct, "OnRtnTrade", trade.row(), trade.extra())
            self._order_return(order)
        else:
            self._order_return(order)
            for _ in range(copies):
                self._broadcast(acct, "OnRtnTrade", trade.row(), trade.extra())

    def _sequence(self, kind: str, exchange: str) -> str:
        """The next order or trade number of ``exchange``, right-aligned as that exchange sends them.

        Each exchange numbers on its own, so the first orders of a day on two exchanges share a number; with
        ``numbers_per_exchange`` off, one sequence serves every exchange.
        """
        key = (kind, exchange if self.numbers_per_exchange else "")
        n = self._sequences.get(key, 0) + 1
        self._sequences[key] = n
        width = NUMBER_WIDTHS.get(exchange, 12) if self.numbers_per_exchange else 12
        return f"{n + (100000 if kind == 'order' else 500000):>{width}}"

    def _stamp(self) -> tuple[str, str]:
        now = datetime.fromtimestamp(self.wall_clock(), TZ)
        return now.strftime("%Y%m%d"), now.strftime("%H:%M:%S")
