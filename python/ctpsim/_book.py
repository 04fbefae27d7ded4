"""The counter's books: accounts, positions by side and position date, orders, trades and funds."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, TypeAlias

from ._table import AccountConfig, Instrument

# A record as the front sends it: CTP field names to values.
Row: TypeAlias = dict[str, Any]

# CTP order status codes.
ALL_TRADED = "0"
PART_TRADED = "1"
NO_TRADE = "3"
CANCELED = "5"
UNKNOWN = "a"
RESTING = frozenset({PART_TRADED, NO_TRADE})

LONG = "long"
SHORT = "short"
POSI_DIRECTION = {LONG: "2", SHORT: "3"}


def _money(value: float) -> float:
    return round(value, 2) + 0.0


@dataclass
class Bucket:
    """One side of one contract: lots opened today and lots carried from earlier days, with their cost.

    Costs are sums of price * lots: today's lots at their open price, earlier lots at the settlement price of the
    last day roll. ``yd_start`` is the earlier-days position at the start of the trading day (CTP's YdPosition,
    which closing does not reduce). ``active_today`` is set once lots are opened today: SHFE and INE then report
    a today row even after those lots are closed again.
    """

    symbol: str
    side: str
    today: int = 0
    today_cost: float = 0.0
    yd: int = 0
    yd_cost: float = 0.0
    yd_start: int = 0
    active_today: bool = False

    @property
    def total(self) -> int:
        return self.today + self.yd

    def close(self, part: str, lots: int) -> float:
        """Takes ``lots`` from ``part`` ("today" or "yd"); returns the cost released."""
        held: int = getattr(self, part)
        cost: float = getattr(self, part + "_cost")
        released = cost * lots / held
        setattr(self, part, held - lots)
        setattr(self, part + "_cost", cost - released if held > lots else 0.0)
        return released


@dataclass
class OrderState:
    """One order at the counter, with the CTP codes it is reported with."""

    account: "AccountState"
    instrument: Instrument
    front_id: int
    session_id: int
    ref: str
    direction: str          # "0" buy, "1" sell
    offset: str             # first character of CombOffsetFlag
    comb_offset: str
    hedge: str
    price: float
    volume: int
    time_condition: str
    volume_condition: str
    trading_day: str
    insert_date: str
    insert_time: str
    sys_id: str = ""
    held: tuple[float, float] = (0.0, 0.0)   # frozen margin and commission it holds while resting
    traded: int = 0
    status: str = UNKNOWN
    submit_status: str = "0"
    status_msg: str = "报单已提交"

    def set_status(self, status: str, message: str, submit_status: str = "3") -> None:
        self.status, self.status_msg, self.submit_status = status, message, submit_status
        self.account.track(self)

    @property
    def order_id(self) -> str:
        """The client's identity of the order: front id, session id and order reference joined by ":"."""
        return f"{self.front_id}:{self.session_id}:{self.ref}"

    @property
    def left(self) -> int:
        return self.volume - self.traded

    @property
    def resting(self) -> bool:
        return self.status in RESTING

    @property
    def opening(self) -> bool:
        return self.offset == "0"

    @property
    def side(self) -> str:
        """The position side the order opens or closes."""
        buy = self.direction == "0"
        return (LONG if buy else SHORT) if self.opening else (SHORT if buy else LONG)

    def row(self, trading_day: str | None = None) -> Row:
        ins = self.instrument
        return {
            "TradingDay": trading_day or self.trading_day, "ExchangeID": ins.exchange,
            "InstrumentID": ins.instrument_id, "OrderSysID": self.sys_id, "OrderRef": self.ref,
            "FrontID": self.front_id, "SessionID": self.session_id, "Direction": self.direction,
            "CombOffsetFlag": self.comb_offset, "CombHedgeFlag": self.hedge, "LimitPrice": self.price,
            "VolumeTotalOriginal": self.volume, "VolumeTraded": self.traded, "VolumeTotal": self.left,
            "OrderStatus": self.status, "OrderSubmitStatus": self.submit_status, "StatusMsg": self.status_msg,
            "InsertDate": self.insert_date, "InsertTime": self.insert_time,
        }

    def extra(self) -> Row:
        cfg = self.account.config
        return {"BrokerID": cfg.broker_id, "InvestorID": cfg.user_id, "UserID": cfg.user_id,
                "OrderPriceType": "2", "TimeCondition": self.time_condition, "MinVolume": 1}


@dataclass
class TradeState:
    """One fill."""

    order: OrderState
    trade_id: str
    offset: str
    price: float
    volume: int
    trading_day: str
    trade_date: str
    trade_time: str

    def row(self) -> Row:
        o = self.order
        return {
            "TradingDay": self.trading_day, "ExchangeID": o.instrument.exchange,
            "InstrumentID": o.instrument.instrument_id, "OrderSysID": o.sys_id, "OrderRef": o.ref,
            "TradeID": self.trade_id, "Direction": o.direction, "OffsetFlag": self.offset, "HedgeFlag": o.hedge,
            "Price": self.price, "Volume": self.volume, "TradeDate": self.trade_date, "TradeTime": self.trade_time,
        }

    def extra(self) -> Row:
        cfg = self.order.account.config
        return {"BrokerID": cfg.broker_id, "InvestorID": cfg.user_id, "UserID": cfg.user_id}


@dataclass
class AccountState:
    """Everything the counter holds for one investor."""

    config: AccountConfig
    pre_balance: float
    deposit: float = 0.0
    withdraw: float = 0.0
    close_profit: float = 0.0
    commission: float = 0.0
    confirmed_day: str = ""
    max_ref: int = 0
    buckets: dict[tuple[str, str], Bucket] = field(default_factory=dict)
    orders: list[OrderState] = field(default_factory=list)
    trades: list[TradeState] = field(default_factory=list)
    working: dict[int, OrderState] = field(default_factory=dict)     # resting orders, oldest first
    # the same by symbol and direction ("0" buy, "1" sell), oldest first: what a new order may trade with
    working_sides: dict[tuple[str, str], dict[int, OrderState]] = field(default_factory=dict)
    # orders by exchange and trimmed exchange number
    by_sys_id: dict[tuple[str, str], OrderState] = field(default_factory=dict)
    frozen_margin: float = 0.0
    frozen_commission: float = 0.0

    def track(self, order: OrderState) -> None:
        """Keeps the indexes and frozen money in step with an order whose status or volume changed."""
        ins = order.instrument
        side = self.working_sides.setdefault((ins.symbol, order.direction), {})
        if order.resting:
            self.working[id(order)] = order
            side[id(order)] = order
            margin = ins.margin(order.price * order.left) if order.opening else 0.0
            held = (margin, ins.commission * order.left)
        else:
            self.working.pop(id(order), None)
            side.pop(id(order), None)
            held = (0.0, 0.0)
        if self.working:
            self.frozen_margin += held[0] - order.held[0]
            self.frozen_commission += held[1] - order.held[1]
        else:
            self.frozen_margin = self.frozen_commission = 0.0
        order.held = held
        if order.sys_id:
            self.by_sys_id[(ins.exchange, order.sys_id.strip())] = order

    def bucket(self, symbol: str, side: str) -> Bucket:
        key = (symbol, side)
        found = self.buckets.get(key)
        if found is None:
            found = self.buckets[key] = Bucket(symbol, side)
        return found

    # --- closable lots -------------------------------------------------------------------------------------

    def frozen(self, ins: Instrument, side: str) -> tuple[int, int]:
        """(earlier, today) lots of a side held by resting closing orders.

        On SHFE and INE a close-today order holds today's lots and every other close earlier lots; elsewhere a
        close holds earlier lots first, then today's.
        """
        b = self.buckets.get((ins.symbol, side))
        if b is None:
            return 0, 0
        yd = today = 0
        for o in self.working.values():
            if o.instrument.symbol != ins.symbol or o.opening or o.side != side:
                continue
            if ins.split:
                if o.offset == "3":
                    today += o.left
                else:
                    yd += o.left
            else:
                used = min(o.left, max(b.yd - yd, 0))
                yd += used
                today += o.left - used
        return yd, today

    def closable(self, ins: Instrument, side: str) -> tuple[int, int]:
        """(earlier, today) lots of a side free to close."""
        b = self.buckets.get((ins.symbol, side))
        if b is None:
            return 0, 0
        yd, today = self.frozen(ins, side)
        return b.yd - yd, b.today - today

    # --- fills ---------------------------------------------------------------------------------------------

    def apply_fill(self, order: OrderState, volume: int, price: float) -> None:
        """Moves positions and money by one fill of ``order``."""
        ins = order.instrument
        b = self.bucket(ins.symbol, order.side)
        if order.opening:
            b.active_today = True
            b.today += volume
            b.today_cost += price * volume
        else:
            if ins.split:
                parts = [("today", volume)] if order.offset == "3" else [("yd", volume)]
            else:
                from_yd = min(volume, b.yd)
                parts = [("yd", from_yd), ("today", volume - from_yd)]
            sign = 1 if order.side == LONG else -1
            for part, lots in parts:
                if lots:
                    released = b.close(part, lots)
                    self.close_profit += sign * (price * lots - released) * ins.volume_multiple
        self.commission += ins.commission * volume
        order.traded += volume

    # --- funds ---------------------------------------------------------------------------------------------

    def funds(self, instruments: dict[str, Instrument], prices: dict[str, float], trading_day: str) -> Row:
        """The CNY trading-account row, with positions marked to ``prices``."""
        margin = profit = 0.0
        for b in self.buckets.values():
            ins = instruments[b.symbol]
            margin += self.use_margin(b, ins)
            profit += self.position_profit(b, ins, prices[b.symbol])
        frozen_margin, frozen_commission = self.frozen_margin, self.frozen_commission
        balance = self.pre_balance + self.deposit - self.withdraw + self.close_profit + profit - self.commission
        available = balance - margin - frozen_margin - frozen_commission
        return {
            "AccountID": self.config.user_id, "CurrencyID": "CNY", "TradingDay": trading_day,
            "Balance": _money(balance), "Available": _money(available), "CurrMargin": _money(margin),
            "FrozenMargin": _money(frozen_margin), "Commission": _money(self.commission),
            "FrozenCommission": _money(frozen_commission), "CloseProfit": _money(self.close_profit),
            "PositionProfit": _money(profit), "Deposit": _money(self.deposit), "Withdraw": _money(self.withdraw),
        }

    @staticmethod
    def use_margin(b: Bucket, ins: Instrument, part: str | None = None) -> float:
        return ins.margin(b.today_cost + b.yd_cost if part is None else getattr(b, part + "_cost"))

    @staticmethod
    def position_profit(b: Bucket, ins: Instrument, price: float, part: str | None = None) -> float:
        if part is None:
            lots, cost = b.total, b.today_cost + b.yd_cost
        else:
            lots, cost = getattr(b, part), getattr(b, part + "_cost")
        sign = 1 if b.side == LONG else -1
        return sign * (price * lots - cost) * ins.volume_multiple

    def margin_needed(self, ins: Instrument, price: float, volume: int) -> float:
        """Money an opening order of ``volume`` lots at ``price`` holds: margin and commission."""
        return ins.margin(price * volume) + ins.commission * volume

    # --- day roll ------------------------------------------------------------------------------------------

    def roll(self, instruments: dict[str, Instrument], prices: dict[str, float], trading_day: str) -> None:
        """Closes the day: funds carried at the settlement prices, today's lots become earlier lots."""
        self.pre_balance = self.funds(instruments, prices, trading_day)["Balance"]
        self.deposit = self.withdraw = self.close_profit = self.commission = 0.0
        for key, b in list(self.buckets.items()):
            lots = b.total
            if not lots:
                del self.buckets[key]
                continue
            b.yd, b.yd_cost, b.yd_start = lots, prices[b.symbol] * lots, lots
            b.today, b.today_cost, b.active_today = 0, 0.0, False
        self.orders.clear()
        self.working.clear()
        self.working_sides.clear()
        self.by_sys_id.clear()
        self.frozen_margin = self.frozen_commission = 0.0
        self.trades.clear()
        self.max_ref = 0

    def position_rows(self, instruments: dict[str, Instrument], prices: dict[str, float],
                      trading_day: str) -> list[Row]:
        """Position rows as the counter reports them: SHFE and INE one row per position date, elsewhere one row."""
        rows: list[Row] = []
        for (symbol, side), b in self.buckets.items():
            ins = instruments[symbol]
            yd_frozen, today_frozen = self.frozen(ins, side)
            # A long position is held by sell closes (ShortFrozen), a short one by buy closes (LongFrozen).
            frozen_key = "ShortFrozen" if side == LONG else "LongFrozen"
            base = {"TradingDay": trading_day, "ExchangeID": ins.exchange, "InstrumentID": ins.instrument_id,
                    "HedgeFlag": "1", "PosiDirection": POSI_DIRECTION[side]}
            price = prices[symbol]
            parts: list[tuple[str, str | None, int, int, int, int]]
            if ins.split:
                parts = []
                if b.today or b.active_today:
                    parts.append(("1", "today", b.today, b.today, 0, today_frozen))
                if b.yd or b.yd_start:
                    parts.append(("2", "yd", b.yd, 0, b.yd_start, yd_frozen))
            else:
                parts = [("1", None, b.total, b.today, b.yd_start, yd_frozen + today_frozen)]
            for date, part, lots, today, yd_start, frozen in parts:
                row = dict(base, PositionDate=date, Position=lots, TodayPosition=today, YdPosition=yd_start,
                           LongFrozen=0, ShortFrozen=0)
                row[frozen_key] = frozen
                row["PositionProfit"] = _money(self.position_profit(b, ins, price, part))
                row["UseMargin"] = _money(self.use_margin(b, ins, part))
                rows.append(row)
        return rows

    def holdings(self) -> dict[str, dict[str, int]]:
        """Lots per symbol in the session's terms: pos_long, pos_long_today, pos_long_his and the short ones."""
        out: dict[str, dict[str, int]] = {}
        for (symbol, side), b in self.buckets.items():
            rec = out.setdefault(symbol, {k: 0 for k in (
                "pos_long", "pos_long_today", "pos_long_his", "pos_short", "pos_short_today", "pos_short_his")})
            rec["pos_" + side] = b.total
            rec["pos_" + side + "_today"] = b.today
            rec["pos_" + side + "_his"] = b.yd
        return out
