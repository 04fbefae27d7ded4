"""Soak: a session against the simulated counter under a seeded random mix of orders, fills, faults and a day roll.

After every quiet point (the session has caught up with the counter) the test commits and checks that the
user's book never drifts from the counter's: positions, fills, order states, frozen and available lots, and the
identity of the objects the user holds.
"""

from __future__ import annotations

import asyncio
import math
import random

import pytest
from fakes import until
from test_login_e2e import counter, counter_positions, make_session, paced  # noqa: F401

# Symbols traded, their tick and a lot size the account can afford many times over.
SYMBOLS = {
    "SHFE.ag2412": 1.0,
    "SHFE.rb2501": 1.0,
    "INE.sc2412": 0.1,
    "DCE.m2501": 1.0,
    "CZCE.SR501": 1.0,
    "DCE.m2501-C-3000": 0.5,  # an option: its fills report the trade before the order
}
SPLIT = ("SHFE", "INE")
STATUS_BY_CTP = {"0": "FILLED", "1": "ALIVE", "3": "ALIVE", "5": "CANCELLED"}


def row_id(row) -> str:
    return f"{row['FrontID']}:{row['SessionID']}:{row['OrderRef'].strip()}"


def fill_key(row) -> tuple[str, str, str]:
    """A counter's trade row as the session keys it: exchange, trade number, side."""
    return row["ExchangeID"], row["TradeID"].strip(), "BUY" if row["Direction"] == "0" else "SELL"


class Soak:
    """One session, the counter it trades with, and what the user has seen so far."""

    def __init__(self, front, counter, rng):  # noqa: F811
        self.counter = counter
        self.rng = rng
        self.s = make_session(front, counter.accounts[0])
        self.held_orders = {}     # order id -> Order object seen at a commit
        self.held_trades = {}     # trade id -> Trade object seen at a commit
        self.held_positions = {}  # symbol -> Position object seen at a commit
        self.log = []             # the actions applied, for the failure message
        self.self_trades = set()     # (day, exchange, trade number) of the matches of two own orders seen
        self.shared_numbers = set()  # (day, trade number) given out by more than one exchange

    # --- waiting -------------------------------------------------------------------------------------------

    def caught_up(self) -> bool:
        s, c = self.s, self.counter
        if s.session_status != "READY":
            return False
        if set(s.t) != {fill_key(t) for t in c.trades()}:
            return False
        rows = {row_id(r): r for r in c.orders()}
        for oid, child in s.native_orders.items():
            if child["cancel_pending"] or child["status"] == "PENDING":
                return False
            r = rows.get(oid)
            if r is None:
                if child["status"] != "REJECTED":
                    return False
            elif (child["status"], child["volume_traded"]) != (STATUS_BY_CTP[r["OrderStatus"]], r["VolumeTraded"]):
                return False
        return set(rows) <= set(s.native_orders)

    async def quiet(self):
        try:
            await until(self.caught_up)
        except AssertionError:
            raise AssertionError(f"the session did not catch up with the counter after {self.log}") from None
        changes = {}
        self.s.commit(changes)
        self.check()

    # --- invariants ----------------------------------------------------------------------------------------

    def check(self):
        s, c = self.s, self.counter
        assert s.error is None and not s.task.done(), self.log
        assert s.published_status == "READY"

        held = counter_positions(c)
        for symbol, h in held.items():
            pos = s.positions[symbol]
            assert (pos.pos_long, pos.pos_long_today, pos.pos_short, pos.pos_short_today) == (
                h["pos_long"], h["pos_long_today"], h["pos_short"], h["pos_short_today"]), (symbol, self.log)
            rec = s.p[symbol]
            assert (rec["pos_long_his"], rec["pos_short_his"], rec["pos"]) == (
                h["pos_long_his"], h["pos_short_his"], h["pos_long"] - h["pos_short"]), (symbol, self.log)
        for symbol, pos in s.positions.items():
            if symbol not in held:
                assert (pos.pos_long, pos.pos_short) in ((0, 0), (None, None)), (symbol, self.log)

        # frozen and available lots: the session's book against the counter's closable lots
        acct = c.account()
        for symbol, rec in s.p.items():
            if rec["pos_long"] is None:
                continue
            ins = c.instruments[symbol]
            for side in ("long", "short"):
                total, frozen, available = rec["pos_" + side], rec["frozen_" + side], rec["available_" + side]
                assert available == total - frozen and 0 <= available <= total, (symbol, side, rec, self.log)
                with c.lock:
                    assert available == sum(acct.closable(ins, side)), (symbol, side, rec, self.log)
            pos = s.positions.get(symbol)
            if pos is not None:
                assert (pos.available_long, pos.available_short) == (rec["available_long"], rec["available_short"])

        # every counter fill once, in the private and the published list
        counter_trades = {fill_key(t): t for t in c.trades()}
        assert set(s.t) == set(counter_trades)
        published = [(x.symbol.split(".")[0], x.trade_id, x.direction) for x in s.trades]
        assert len(published) == len(set(published)) and set(published) == set(counter_trades), self.log
        sides, exchanges = {}, {}
        for exchange, tid, _ in counter_trades:
            sides[exchange, tid] = sides.get((exchange, tid), 0) + 1
            exchanges.setdefault(tid, set()).add(exchange)
        self.self_trades |= {(c.trading_day, *match) for match, n in sides.items() if n == 2}
        self.shared_numbers |= {(c.trading_day, tid) for tid, seen in exchanges.items() if len(seen) > 1}
        for key, rec in s.t.items():
            row = counter_trades[key]
            assert (rec["trade_id"], rec["order_sys_id"], rec["price"], rec["volume"]) == (
                row["TradeID"].strip(), row["OrderSysID"].strip(), row["Price"], row["Volume"]), (key, self.log)
            assert s.trade_views[key].volume == rec["volume"]

        # fills per order (an order is its exchange's number), order states against the counter
        fills = {}
        for rec in s.t.values():
            order_key = (rec["symbol"].split(".")[0], rec["order_sys_id"])
            fills[order_key] = fills.get(order_key, 0) + rec["volume"]
        rows = {row_id(r): r for r in c.orders()}
        for oid, order in s.o.items():
            child = s.native_orders[oid]
            sys_id = child["exchange_order_id"].strip()
            order_key = (child["symbol"].split(".")[0], sys_id)
            assert fills.get(order_key, 0) == order["volume_traded"] if sys_id else order["volume_traded"] == 0
            assert order["volume_traded"] + order["volume_left"] == order["volume_original"]
            if order["status"] == "FILLED":
                assert order["volume_traded"] == order["volume_original"], (oid, order, self.log)
            r = rows.get(oid)
            if r is not None:
                assert (order["status"], order["volume_traded"], order["volume_left"]) == (
                    STATUS_BY_CTP[r["OrderStatus"]], r["VolumeTraded"], r["VolumeTotal"]), (oid, self.log)
            else:
                assert order["status"] == "REJECTED"
            pub = s.orders[oid]
            assert (pub.status, pub.volume_traded, pub.volume_left) == (
                order["status"], order["volume_traded"], order["volume_left"])

        # the user's objects keep their identity: every order and fill of the day stays the object first seen
        assert set(rows) <= set(s.orders), self.log
        for oid, obj in self.held_orders.items():
            if oid in rows or oid in s.orders:
                assert s.orders[oid] is obj, (oid, self.log)
        for tid, obj in self.held_trades.items():
            assert s.trade_views[tid] is obj, (tid, self.log)
        for symbol, obj in self.held_positions.items():
            assert s.positions[symbol] is obj, (symbol, self.log)
        self.held_orders.update(s.orders.items())
        self.held_trades.update(s.trade_views)
        self.held_positions.update(s.positions.items())

    # --- actions -------------------------------------------------------------------------------------------

    def price(self, symbol, ticks):
        tick = SYMBOLS[symbol]
        return round((self.counter.price(symbol) + ticks * tick) / tick) * tick

    def resting_orders(self):
        return [o for o in self.counter.account().orders if o.resting]

    async def insert(self, symbol, direction, offset, volume, price):
        self.log.append(("insert", symbol, direction, offset, volume, price))
        results = await self.s.insert(symbol, direction, offset, volume, price)
        self.log.append(("result", *[(r.status, r.message) for r in results]))
        assert results and all(r.status in ("SUBMITTED", "REJECTED") for r in results), (results, self.log)
        for r in results:
            if r.status == "REJECTED":
                assert r.order_id is None and r.message
        return results

    async def open(self):
        rng = self.rng
        symbol = rng.choice(list(SYMBOLS))
        direction = rng.choice(["BUY", "SELL"])
        marketable = rng.random() < 0.6
        ticks = rng.randint(0, 3) if marketable else rng.randint(2, 8)
        sign = 1 if (direction == "BUY") == marketable else -1
        await self.insert(symbol, direction, "OPEN", rng.randint(1, 4), self.price(symbol, sign * ticks))

    async def cross(self, symbol=None):
        """An opening order at the price of a resting order of the account on the other side: the two trade with
        each other (a self-trade), one trade number on both sides. With `symbol`, on that contract."""
        resting = [o for o in self.resting_orders() if o.instrument.symbol == symbol or not symbol and
                   o.instrument.symbol in SYMBOLS]
        if not resting:  # one to cross first
            symbol, direction = symbol or self.rng.choice(list(SYMBOLS)), self.rng.choice(["BUY", "SELL"])
            ticks = self.rng.randint(2, 6) * (-1 if direction == "BUY" else 1)
            await self.insert(symbol, direction, "OPEN", self.rng.randint(1, 3), self.price(symbol, ticks))
            resting = [o for o in self.resting_orders() if o.instrument.symbol == symbol]
            if not resting:
                return
        o = self.rng.choice(resting)
        direction = "SELL" if o.direction == "0" else "BUY"
        await self.insert(o.instrument.symbol, direction, "OPEN", self.rng.randint(1, o.left + 1), o.price)

    async def close(self):
        rng = self.rng
        held = [(sym, side, h["pos_" + side]) for sym, h in counter_positions(self.counter).items()
                for side in ("long", "short") if h["pos_" + side]]
        if not held:
            return await self.open()
        symbol, side, lots = rng.choice(held)
        direction = "SELL" if side == "long" else "BUY"
        volume = rng.randint(1, lots + 1)  # sometimes more than is free: refused locally
        marketable = rng.random() < 0.6
        ticks = rng.randint(0, 2) if marketable else rng.randint(2, 6)
        sign = 1 if (direction == "BUY") == marketable else -1
        synced = self.caught_up()
        ins = self.counter.instruments[symbol]
        with self.counter.lock:
            yd, today = self.counter.account().closable(ins, side)
        results = await self.insert(symbol, direction, "CLOSE", volume, self.price(symbol, sign * ticks))
        if not synced:
            return
        # caught up with the counter, the session plans from the same free lots the counter holds
        if volume > yd + today:
            assert [r.status for r in results] == ["REJECTED"], (symbol, side, volume, yd, today, self.log)
            return
        if ins.split:
            plan = [(o, n) for o, n in [("CLOSE_YESTERDAY", min(volume, yd)),
                                        ("CLOSE_TODAY", volume - min(volume, yd))] if n]
        else:
            plan = [("CLOSE", volume)]
        assert [r.status for r in results] == ["SUBMITTED"] * len(plan), (results, self.log)
        assert [(self.s.o[r.order_id]["offset"], self.s.o[r.order_id]["volume_original"]) for r in results] == plan

    async def invalid(self):
        rng = self.rng
        symbol = rng.choice(list(SYMBOLS))
        case = rng.choice(["tick", "volume", "direction", "offset", "symbol", "halted", "nan", "huge",
                           "CLOSE_TODAY", "CLOSE_YESTERDAY"])
        args = [symbol, "BUY", "OPEN", 1, self.price(symbol, -5)]
        if case == "tick":
            args[4] += SYMBOLS[symbol] / 2
        elif case == "volume":
            args[3] = rng.choice([0, -1, 100000])
        elif case == "direction":
            args[1] = "HOLD"
        elif case == "offset":
            args[2] = "CLOSE_SOMETIME"
        elif case.startswith("CLOSE"):  # the session picks today's or earlier lots itself
            args[1:3] = rng.choice(["BUY", "SELL"]), case
        elif case == "symbol":
            args[0] = "SHFE.zz9999"
        elif case == "halted":
            args[0], args[4] = "SHFE.rb2410", 3300.0
        elif case == "nan":
            args[4] = math.nan
        else:
            args[4] = 1e300
        results = await self.insert(*args)
        assert [r.status for r in results] == ["REJECTED"], (case, results)

    async def cancel(self):
        # chosen from the counter's book, so that the sequence does not depend on how far the session has got;
        # now and then a finished order, which has nothing left to cancel
        live = self.resting_orders() if self.rng.random() < 0.8 else self.counter.account().orders
        if not live:
            return
        oid = self.rng.choice(live).order_id
        self.log.append(("cancel", oid))
        results = self.s.cancel(oid)
        assert all(r.status in ("SUBMITTED", "REJECTED") for r in results), results

    def move_price(self):
        resting = self.resting_orders()
        if resting and self.rng.random() < 0.7:
            o = self.rng.choice(resting)
            symbol, price = o.instrument.symbol, o.price
        else:
            symbol = self.rng.choice(list(SYMBOLS))
            price = self.price(symbol, self.rng.randint(-3, 3))
        self.log.append(("price", symbol, price))
        self.counter.set_price(symbol, price)

    def partial_fill(self):
        resting = [o for o in self.resting_orders() if o.left > 1]
        if not resting:
            return self.move_price()
        o = self.rng.choice(resting)
        lots = self.rng.randint(1, o.left - 1)
        self.log.append(("fill", o.order_id, lots))
        self.counter.fill(o, lots)

    async def duplicate(self):
        self.log.append(("duplicate",))
        self.counter.duplicate_next_trade()
        if self.resting_orders() and self.rng.random() < 0.5:
            self.partial_fill() if self.rng.random() < 0.5 else self.move_price()
        else:
            await self.open()

    async def drop(self):
        self.log.append(("drop",))
        self.counter.drop_sessions()
        await until(lambda: self.s.session_status != "READY")

    async def sync_fill(self):
        """Drops the connection and moves the market while the new login synchronises."""
        await self.drop()
        step = self.rng.randint(0, 5)
        await until(lambda: self.s.phase == "sync" and self.s.sync_index >= step or self.s.phase == "ready")
        self.log.append(("at sync step", self.s.phase, self.s.sync_index))
        self.partial_fill() if self.rng.random() < 0.5 else self.move_price()

    async def refused(self):
        """The counter refuses the next insertion or cancellation, by an error answer or by flow control."""
        method = self.rng.choice(["OrderInsert", "OrderAction", "QryTradingAccount"])
        flow, code = self.rng.random() < 0.5, self.rng.choice([-2, -3])
        # an open that the session refuses itself would leave the fault armed for a later insertion
        armed = method != "OrderInsert" or (self.s.session_status == "READY" and not self.s.reset_pending)
        self.log.append(("refuse", method, flow, armed))
        if armed and flow:
            self.counter.fail_next(method, result=code)
        elif armed and method != "QryTradingAccount":
            self.counter.fail_next(method)
        if method == "OrderInsert":
            await self.open()
        elif method == "OrderAction":
            await self.cancel()

    def burst(self):
        """Several fills of one order in a row, before the session polls any of them."""
        resting = [o for o in self.resting_orders() if o.left > 1]
        if not resting:
            return self.move_price()
        o = self.rng.choice(resting)
        while o.left > 1 and self.rng.random() < 0.8:
            lots = self.rng.randint(1, o.left - 1)
            self.log.append(("fill", o.order_id, lots))
            self.counter.fill(o, lots)

    def stale(self):
        """An order return of another trading day: the session logs in again."""
        self.log.append(("stale",))
        self.counter.send_stale_order_return()

    async def silent(self):
        """A synchronisation query goes unanswered until the session gives up on it and logs in again."""
        query = self.rng.choice(["QryOrder", "QryTrade", "QryInvestorPosition", "QryTradingAccount"])
        self.log.append(("mute", query))
        self.counter.mute(query)
        await self.drop()
        first = self.s.native
        await until(lambda: self.s.native is not first and self.s.native is not None)
        self.counter.unmute()

    async def day_roll(self):
        self.log.append(("settle",))
        day = self.counter.settle()
        if self.rng.random() < 0.5:  # else the session notices the new day in a later answer
            self.counter.drop_sessions()
            await until(lambda: self.s.session_status != "READY")
        await until(lambda: self.s.session_status == "READY" and self.s.day == day)
        # yesterday's orders and fills leave the user's maps; positions stay the same objects
        self.held_orders.clear()
        self.held_trades.clear()


# Action and weight; reconnections cost the most run time and come least often.
ACTIONS = [("open", 6), ("close", 6), ("cross", 2), ("invalid", 2), ("cancel", 3), ("move_price", 4), ("partial_fill", 3),
           ("burst", 2), ("duplicate", 2), ("refused", 1), ("drop", 1), ("sync_fill", 1), ("stale", 0.5),
           ("silent", 0.5)]


async def update_wait(session, commits):
    """The user's update wait: commits whenever the session reports a change, in every state."""
    while True:
        await session.changed.wait()
        session.commit({})
        commits.append(session.published_status)


async def soak(front, counter, seed, steps, roll_at, user_loop):  # noqa: F811
    counter.deposit(9_000_000.0)  # every lot size above stays affordable many times over
    rng = random.Random(seed)
    k = Soak(front, counter, rng)
    k.s.start()
    commits = []
    user = asyncio.create_task(update_wait(k.s, commits)) if user_loop else None
    try:
        await until(lambda: k.s.session_status == "READY")
        await k.quiet()
        names = [n for n, _ in ACTIONS]
        weights = [w for _, w in ACTIONS]
        for step in range(steps):
            if step == roll_at:
                await k.day_roll()
                await k.quiet()
            for name in rng.choices(names, weights, k=rng.randint(1, 3)):
                result = getattr(k, name)()
                if hasattr(result, "__await__"):
                    await result
            await k.quiet()
            assert user is None or not user.done(), user.exception()
        # Whether the mix made a self-trade and a trade number shared by two exchanges depends on how far the
        # session had come when each action ran: crosses on two exchanges make sure of both.
        for symbol in ("SHFE.ag2412", "DCE.m2501", "SHFE.ag2412", "DCE.m2501"):
            if k.self_trades and k.shared_numbers:
                break
            await k.cross(symbol)
            await k.quiet()
        assert user is None or len(set(commits)) > 1  # the user committed while synchronising too
        return k
    finally:
        if user is not None:
            user.cancel()
        await k.s.close()


@pytest.mark.parametrize("seed", range(1, 7))
async def test_soak_book_never_drifts(front, counter, paced, seed):  # noqa: F811
    # odd seeds commit only at quiet points, even seeds also on every change as a live update wait does
    k = await soak(front, counter, seed, steps=40, roll_at=random.Random(seed).randint(5, 35),
                   user_loop=seed % 2 == 0)
    submitted = [a for a in k.log if a[0] == "result" and a[1][0] == "SUBMITTED"]
    assert submitted and ("settle",) in k.log  # the run traded and rolled the day
    assert k.self_trades and k.shared_numbers  # both sides of own matches, one number on several exchanges
