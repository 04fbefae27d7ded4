"""Helpers of the dispatch and synchronisation tests: a recording retry control and a scripted login."""

from __future__ import annotations

from fakes import Recording, front_connected, record, row

DAY = "20240102"
FRONT, SESSION = 3, 77


def watch_recovery(s):
    """Replaces both retry controls of `s` with recorders and returns them."""
    s.recovery, s.query_recovery = Recording(), Recording()
    return s.recovery, s.query_recovery


def answer(s, name, data=None, **kw):
    """An answer to the login request in flight."""
    kw.setdefault("request_id", s.phase_id)
    s.event(record(name, data, **kw))


def log_in(s, day=DAY, front=FRONT, session=SESSION, max_ref="100"):
    """Drives `s` from a fresh adapter to phase "sync" with the login answers of a front."""
    if s.native is None:
        s._open_native()
    s.event(front_connected())
    answer(s, "RspAuthenticate", {"BrokerID": "9999", "UserID": "123456", "AppID": "client_app"})
    answer(s, "RspUserLogin", row("login", TradingDay=day, FrontID=front, SessionID=session, MaxOrderRef=max_ref))
    answer(s, "RspSettlementInfoConfirm", {"BrokerID": "9999", "InvestorID": "123456"})
    assert s.phase == "sync"


def send_query(s, clock):
    """Lets the session send its next query (at least one second after the last) and returns it."""
    clock.advance(1.0)
    s.tick(clock.now)
    assert s.inflight is not None
    return s.inflight


QRY_NAMES = {"instruments": "RspQryInstrument", "orders": "RspQryOrder", "trades_before": "RspQryTrade",
             "positions": "RspQryInvestorPosition", "trades_after": "RspQryTrade", "account": "RspQryTradingAccount"}


def run_step(s, clock, rows, kind=None):
    """Sends the current query and answers it with `rows` (one slice each, the last one marked)."""
    query = send_query(s, clock)
    if kind is not None:
        assert query["kind"] == kind
    name = QRY_NAMES[query["kind"]]
    if not rows:
        s.event(record(name, None, request_id=query["id"], last=True))
    for i, data in enumerate(rows):
        s.event(record(name, data, request_id=query["id"], last=i == len(rows) - 1))


def instrument(symbol, product="1", tick=1.0):
    exchange, code = symbol.split(".")
    return row("instrument", ExchangeID=exchange, InstrumentID=code, ProductClass=product, IsTrading=1,
               PriceTick=tick, MinLimitOrderVolume=1, MaxLimitOrderVolume=100)


def order_row(symbol, ref, sys_id="", status="3", volume=5, traded=0, direction="0", offset="0", hedge="1",
              front=FRONT, session=SESSION, submit="3", day=DAY):
    exchange, code = symbol.split(".")
    return row("order", TradingDay=day, ExchangeID=exchange, InstrumentID=code, OrderSysID=sys_id,
               OrderRef=str(ref), FrontID=front, SessionID=session, Direction=direction, CombOffsetFlag=offset,
               CombHedgeFlag=hedge, LimitPrice=100.0, VolumeTotalOriginal=volume, VolumeTraded=traded,
               VolumeTotal=volume - traded, OrderStatus=status, OrderSubmitStatus=submit,
               InsertDate=day, InsertTime="09:30:00")


def trade_row(symbol, trade_id, sys_id, volume=1, direction="0", offset="0", hedge="1", day=DAY):
    exchange, code = symbol.split(".")
    return row("trade", TradingDay=day, ExchangeID=exchange, InstrumentID=code, OrderSysID=sys_id, TradeID=trade_id,
               Direction=direction, OffsetFlag=offset, HedgeFlag=hedge, Price=100.0, Volume=volume, TradeDate=day,
               TradeTime="09:31:00")


def position_row(symbol, direction="2", total=0, today=0, date="1", hedge="1", day=DAY):
    exchange, code = symbol.split(".")
    return row("position", TradingDay=day, ExchangeID=exchange, InstrumentID=code, HedgeFlag=hedge,
               PosiDirection=direction, PositionDate=date, Position=total, TodayPosition=today, YdPosition=0)


def account_row(account="123456", currency="CNY", day=DAY, balance=1000.0, available=800.0):
    return row("account", AccountID=account, CurrencyID=currency, TradingDay=day, Balance=balance,
               Available=available, CurrMargin=200.0, FrozenMargin=0.0, Commission=1.5, FrozenCommission=0.0,
               CloseProfit=0.0, PositionProfit=3.0, Deposit=0.0, Withdraw=0.0)
