"""The counter's funds over a trading day and its roll, order references and manual fills."""

import pytest

from ctpsim.counter import Counter

from test_counter import DAY, names, rows  # noqa: F401
from test_counter import client, connect, counter, front  # noqa: F401

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


@pytest.mark.parametrize("price", [float("nan"), float("inf"), -float("inf")])
def test_a_fill_needs_a_finite_price(counter, client, price):
    sys_id = client.insert("DCE.m2501", "0", "0", 1, 3000.0)[-1]["data"]["OrderSysID"]
    with pytest.raises(ValueError):
        counter.fill(sys_id, price=price)
    assert counter.trades() == [] and counter.funds()["FrozenMargin"] == 3000.0


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


@pytest.mark.parametrize("day", ["2024-12-02", "20240230", "2024120"])
def test_a_counter_starts_on_a_real_trading_day(front, day):
    with pytest.raises(ValueError):
        Counter(front, trading_day=day)


@pytest.mark.parametrize("symbol, side, close, frozen_key, date", [
    ("DCE.m2501", "0", "1", "ShortFrozen", "1"),      # a long held by a resting sell close
    ("DCE.m2501", "1", "3", "LongFrozen", "1"),       # a short held by a resting buy close, any flag
    ("SHFE.ag2412", "0", "3", "ShortFrozen", "1"),    # today's lots held by a close-today
    ("INE.sc2412", "1", "1", "LongFrozen", "2"),      # earlier lots held by a plain close
])
def test_resting_closes_hold_lots_until_cancelled(counter, client, symbol, side, close, frozen_key, date):
    price = counter.price(symbol)
    client.insert(symbol, side, "0", 3, price)
    if date == "2":
        counter.settle(DAY)
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
