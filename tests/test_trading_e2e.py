"""Trading end to end: the real run loop over the bridge and the simulated counter, on a fast clock.

Orders go in through `insert` and `cancel`, the counter fills and refuses them, and after each commit the
user's objects must agree with the counter.
"""

from __future__ import annotations

import logging

from fakes import until
from test_login_e2e import counter, counter_positions, make_session, paced, picture  # noqa: F401

from velkor.ledgerlet import TradingResult


DIRECTIONS = {"0": "BUY", "1": "SELL"}
OFFSETS = {"0": "OPEN", "1": "CLOSE", "3": "CLOSE_TODAY", "4": "CLOSE_YESTERDAY"}
STATUSES = {"0": "FILLED", "1": "ALIVE", "3": "ALIVE", "5": "CANCELLED"}


class Trader:
    """A session with its user-side picture: starts, commits and compares with the counter."""

    def __init__(self, front, counter, limits=None):  # noqa: F811
        self.counter = counter
        self.s = make_session(front, counter.accounts[0], limits=limits)

    async def __aenter__(self):
        self.s.start()
        await until(lambda: self.s.session_status == "READY")
        self.commit()
        return self

    async def __aexit__(self, *exc):
        await self.s.close()

    def commit(self) -> dict:
        changes = {}
        self.s.commit(changes)
        return changes

    async def insert(self, *args):
        return await self.s.insert(*args)

    def child(self, order_id):
        return self.s.native_orders[order_id]

    async def until_child(self, order_id, **want):
        await until(lambda: all(self.child(order_id).get(k) == v for k, v in want.items()))

    async def until_working(self, order_id):
        """Waits for a resting order that can be cancelled: the first return carries no exchange
        order number yet, a later one does."""
        await self.until_child(order_id, status="ALIVE")
        await until(lambda: self.child(order_id)["exchange_order_id"].strip())

    async def settled(self):
        """Waits until the session knows every order and fill the counter has, then commits."""
        await until(lambda: len(self.s.t) == len(self.counter.trades())
                    and all(c["status"] != "PENDING" for c in self.s.native_orders.values()))
        self.commit()

    def assert_books_match(self):
        """Orders, fills and positions the user sees are the counter's, field for field."""
        self.assert_positions_match()
        rows = {f"{r['FrontID']}:{r['SessionID']}:{r['OrderRef']}": r for r in self.counter.orders()}
        assert set(self.s.orders) == set(rows)
        for order_id, r in rows.items():
            o = self.s.orders[order_id]
            assert (o.symbol, o.order_sys_id, o.direction, o.offset, o.limit_price, o.volume_original,
                    o.volume_traded, o.volume_left, o.status) == (
                f"{r['ExchangeID']}.{r['InstrumentID']}", r["OrderSysID"].strip(), DIRECTIONS[r["Direction"]],
                OFFSETS[r["CombOffsetFlag"]], r["LimitPrice"], r["VolumeTotalOriginal"], r["VolumeTraded"],
                r["VolumeTotal"], STATUSES[r["OrderStatus"]]), order_id
        fills = sorted((x.symbol, x.trade_id, x.order_sys_id, x.direction, x.offset, x.price, x.volume)
                       for x in self.s.trades)
        assert fills == sorted((f"{r['ExchangeID']}.{r['InstrumentID']}", r["TradeID"].strip(), r["OrderSysID"].strip(),
                                DIRECTIONS[r["Direction"]], OFFSETS[r["OffsetFlag"]], r["Price"], r["Volume"])
                               for r in self.counter.trades())

    def assert_positions_match(self):
        held = counter_positions(self.counter)
        assert picture(self.s)[0] == held
        for symbol, h in held.items():
            pos = self.s.positions[symbol]
            assert (pos.pos_long, pos.pos_long_today, pos.pos_short, pos.pos_short_today) == (
                h["pos_long"], h["pos_long_today"], h["pos_short"], h["pos_short_today"])


async def test_open_partial_fill_full_fill(front, counter, paced):  # noqa: F811
    async with Trader(front, counter) as t:
        [r] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 5, 7700.0)  # below the market: rests
        assert r.status == "SUBMITTED"
        await t.until_child(r.order_id, status="ALIVE")
        # The first return carries no exchange order number yet; wait for the one that does.
        await until(lambda: t.child(r.order_id)["exchange_order_id"].strip())
        t.commit()
        order = t.s.orders[r.order_id]
        assert (order.status, order.volume_left, order.order_sys_id) == ("ALIVE", 5, t.child(r.order_id)[
            "exchange_order_id"].strip())

        t.counter.fill(r.order_id, 2)
        await t.until_child(r.order_id, volume_traded=2)
        await t.settled()
        assert (order.status, order.volume_traded, order.volume_left) == ("ALIVE", 2, 3)
        t.assert_positions_match()
        assert [x.volume for x in t.s.trades] == [2]

        t.counter.fill(r.order_id)
        await t.until_child(r.order_id, status="FILLED")
        await t.settled()
        assert t.s.orders[r.order_id] is order and (order.status, order.volume_left) == ("FILLED", 0)
        assert [x.volume for x in t.s.trades] == [2, 3]
        t.assert_positions_match()
        assert t.s.positions["SHFE.ag2412"].pos_long == 5


async def test_split_closes_take_earlier_days_first_and_plain_closes_elsewhere(front, counter, paced):  # noqa: F811
    # Yesterday's lots: opened, then the day rolls before the session logs in.
    async with Trader(front, counter) as t:
        for symbol, price in [("SHFE.ag2412", 7800.0), ("INE.sc2412", 540.0), ("DCE.m2501", 3100.0)]:
            [r] = await t.insert(symbol, "BUY", "OPEN", 3, price)
            await t.until_child(r.order_id, status="FILLED")
    counter.settle()
    async with Trader(front, counter) as t:
        t.assert_positions_match()
        assert t.s.positions["SHFE.ag2412"].pos_long_today == 0
        for symbol, price in [("SHFE.ag2412", 7800.0), ("INE.sc2412", 540.0), ("DCE.m2501", 3100.0)]:
            [r] = await t.insert(symbol, "BUY", "OPEN", 2, price)  # and two of today
            await t.until_child(r.order_id, status="FILLED")
        await t.settled()
        t.assert_positions_match()

        for symbol, price in [("SHFE.ag2412", 7800.0), ("INE.sc2412", 540.0)]:
            results = await t.insert(symbol, "SELL", "CLOSE", 4, price)
            assert [r.status for r in results] == ["SUBMITTED", "SUBMITTED"]
            assert [(t.s.o[r.order_id]["offset"], t.s.o[r.order_id]["volume_original"]) for r in results] == [
                ("CLOSE_YESTERDAY", 3), ("CLOSE_TODAY", 1)]
            for r in results:
                await t.until_child(r.order_id, status="FILLED")
            await t.settled()
            t.assert_positions_match()
            pos = t.s.positions[symbol]
            assert (pos.pos_long, pos.pos_long_today) == (1, 1)

        [r] = await t.insert("DCE.m2501", "SELL", "CLOSE", 4, 3100.0)
        assert t.s.o[r.order_id]["offset"] == "CLOSE"
        await t.until_child(r.order_id, status="FILLED")
        await t.settled()
        t.assert_positions_match()
        assert counter.positions()["DCE.m2501"]["pos_long"] == 1
        # nothing left to close beyond what is held
        assert await t.insert("DCE.m2501", "SELL", "CLOSE", 2, 3100.0) == [
            TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交")]


async def test_resting_order_cancelled(front, counter, paced):  # noqa: F811
    async with Trader(front, counter) as t:
        [r] = await t.insert("SHFE.rb2501", "SELL", "OPEN", 2, 3600.0)  # above the market: rests
        await t.until_working(r.order_id)
        assert t.s.cancel(r.order_id) == [TradingResult("SUBMITTED", r.order_id)]
        t.commit()
        order = t.s.orders[r.order_id]
        assert order.cancel_pending is True
        assert t.s.cancel(r.order_id) == []  # in flight
        await t.until_child(r.order_id, status="CANCELLED")
        changes = t.commit()
        assert (order.status, order.cancel_pending, order.volume_left) == ("CANCELLED", False, 2)
        assert {"status", "cancel_pending"} <= changes[id(order)]
        assert t.s.cancel(r.order_id) == []
        t.assert_positions_match()


async def test_cancel_refused_by_the_counter(front, counter, paced):  # noqa: F811
    async with Trader(front, counter) as t:
        [r] = await t.insert("SHFE.rb2501", "BUY", "OPEN", 1, 3300.0)
        await t.until_working(r.order_id)
        counter.fail_next("OrderAction")
        assert t.s.cancel(r.order_id)[0].status == "SUBMITTED"
        await t.until_child(r.order_id, cancel_pending=False)
        t.commit()
        order = t.s.orders[r.order_id]
        assert (order.status, order.cancel_error, order.cancel_pending) == ("ALIVE", "撤单被拒绝", False)
        # may be tried again, and this time it goes through
        assert t.s.cancel(r.order_id)[0].status == "SUBMITTED"
        await t.until_child(r.order_id, status="CANCELLED")
        t.commit()
        assert (order.status, order.cancel_error) == ("CANCELLED", None)


async def test_insert_refused_by_the_counter_for_funds(front, counter, paced):  # noqa: F811
    async with Trader(front, counter) as t:
        [r] = await t.insert("SHFE.cu2412", "BUY", "OPEN", 300, 76000.0)
        assert r.status == "SUBMITTED"  # the refusal comes back from the counter
        await t.until_child(r.order_id, status="REJECTED")
        t.commit()
        order = t.s.orders[r.order_id]
        assert (order.status, order.status_msg, order.volume_traded) == ("REJECTED", "报单被拒绝", 0)
        assert "SHFE.cu2412" not in counter_positions(counter) and t.s.cancel(r.order_id) == []


async def test_disconnect_with_live_orders_keeps_the_users_objects(front, counter, paced):  # noqa: F811
    async with Trader(front, counter) as t:
        [filled] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 2, 7800.0)
        [resting] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7000.0)
        await t.until_working(resting.order_id)
        await t.settled()
        orders = dict(t.s.orders)
        trades = list(t.s.trades)
        position = t.s.positions["SHFE.ag2412"]

        counter.drop_sessions()
        await until(lambda: t.s.session_status == "DISCONNECTED")
        assert t.commit() == {}  # only the status moves while disconnected
        assert t.s.published_status == "DISCONNECTED" and orders[resting.order_id].status == "ALIVE"
        [refused] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7000.0)
        assert refused == TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")

        await until(lambda: t.s.session_status == "READY")
        await t.settled()
        assert dict(t.s.orders) == orders and all(t.s.orders[k] is v for k, v in orders.items())
        assert t.s.trades == trades and all(a is b for a, b in zip(t.s.trades, trades))
        assert t.s.positions["SHFE.ag2412"] is position and position.pos_long == 2
        # the order entered before the disconnect can still be cancelled
        assert t.s.cancel(resting.order_id)[0].status == "SUBMITTED"
        await t.until_child(resting.order_id, status="CANCELLED")
        t.commit()
        assert orders[resting.order_id].status == "CANCELLED"


async def test_day_roll_seen_by_a_reconnecting_session(front, counter, paced):  # noqa: F811
    async with Trader(front, counter) as t:
        [r] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 2, 7800.0)
        await t.until_child(r.order_id, status="FILLED")
        await t.settled()
        order, [trade] = t.s.orders[r.order_id], t.s.trades
        position = t.s.positions["SHFE.ag2412"]

        new_day = counter.settle()
        counter.drop_sessions()
        await until(lambda: t.s.session_status != "READY")
        await until(lambda: t.s.session_status == "READY" and t.s.day == new_day)
        changes = t.commit()
        assert len(t.s.orders) == 0 and t.s.trades == [] and t.s.trade_views == {}
        assert "__members__" in changes[id(t.s.orders)] and "__members__" in changes[id(t.s.trades)]
        assert id(order) not in t.s.objects and id(trade) not in t.s.objects
        assert order.status == "FILLED" and trade.volume == 2  # what the user holds keeps its last values
        assert t.s.positions["SHFE.ag2412"] is position
        assert (position.pos_long, position.pos_long_today) == (2, 0)
        t.assert_positions_match()
        # yesterday's lots close as such on SHFE
        [r] = await t.insert("SHFE.ag2412", "SELL", "CLOSE", 2, 7800.0)
        assert t.s.o[r.order_id]["offset"] == "CLOSE_YESTERDAY"
        await t.until_child(r.order_id, status="FILLED")
        await t.settled()
        t.assert_positions_match()
        assert position.pos_long == 0


async def test_numbers_shared_by_two_exchanges_and_a_self_trade_through_a_reconnection(front, counter, paced,
                                                                                        caplog):  # noqa: F811
    caplog.set_level(logging.WARNING, logger="velkor.trading")
    async with Trader(front, counter) as t:
        # Each exchange numbers its orders and trades on its own: the first ones of SHFE and DCE share numbers.
        [shfe] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7800.0)
        [dce] = await t.insert("DCE.m2501", "BUY", "OPEN", 2, 3100.0)
        [shfe_rest] = await t.insert("SHFE.ag2412", "SELL", "OPEN", 1, 7810.0)   # rests
        [dce_rest] = await t.insert("DCE.m2501", "SELL", "OPEN", 3, 3110.0)      # rests
        [cross] = await t.insert("DCE.m2501", "BUY", "OPEN", 1, 3110.0)          # trades with dce_rest
        for r in (shfe_rest, dce_rest):
            await t.until_working(r.order_id)
        await t.settled()
        number = t.s.orders[shfe.order_id].order_sys_id
        assert t.s.orders[dce.order_id].order_sys_id == number
        assert t.s.orders[shfe_rest.order_id].order_sys_id == t.s.orders[dce_rest.order_id].order_sys_id
        assert len({x.trade_id for x in t.s.trades}) < len(t.s.trades) == 4
        t.assert_books_match()

        # A cancel names its order by exchange and number: SHFE's, while DCE's with that number works on.
        assert t.s.cancel(shfe_rest.order_id)[0].status == "SUBMITTED"
        await t.until_child(shfe_rest.order_id, status="CANCELLED")
        await t.settled()
        assert t.s.orders[dce_rest.order_id].status == "ALIVE" and t.s.orders[cross.order_id].status == "FILLED"
        t.assert_books_match()

        counter.drop_sessions()   # a new login rebuilds the book from the queries
        await until(lambda: t.s.session_status != "READY")
        await until(lambda: t.s.session_status == "READY")
        await t.settled()
        t.assert_books_match()
    [warning] = [r.getMessage() for r in caplog.records if "self-trade" in r.getMessage()]
    assert f"{dce_rest.order_id} (SELL) and {cross.order_id} (BUY)" in warning
