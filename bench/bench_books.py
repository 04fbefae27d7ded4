"""Cost of one order return and one trade return in a book of 1,000 child orders and 1,000 fills."""

import time

from velkor.ledgerlet import CtpAccount, empty_position
from velkor.trading import Trading

DAY = "20240102"
CHILDREN = 1000
ORDER_GOAL_US = 50.0
TRADE_GOAL_US = 100.0


def order_row(ref, sys_id, symbol, *, direction="0", offset="0", original=10, status="3", traded=0):
    exchange, instrument = symbol.split(".")
    return {"TradingDay": DAY, "ExchangeID": exchange, "InstrumentID": instrument, "OrderSysID": sys_id,
            "OrderRef": str(ref), "FrontID": 2, "SessionID": 5, "Direction": direction,
            "CombOffsetFlag": offset, "CombHedgeFlag": "1", "LimitPrice": 5000.0,
            "VolumeTotalOriginal": original, "VolumeTraded": traded, "VolumeTotal": original - traded,
            "OrderStatus": status, "OrderSubmitStatus": "3", "StatusMsg": "", "InsertDate": DAY,
            "InsertTime": "09:30:00"}


def trade_row(tid, sys_id, symbol, volume, *, direction="0", offset="0"):
    exchange, instrument = symbol.split(".")
    return {"TradingDay": DAY, "ExchangeID": exchange, "InstrumentID": instrument, "OrderSysID": sys_id,
            "OrderRef": "", "TradeID": tid, "Direction": direction, "OffsetFlag": offset, "HedgeFlag": "1",
            "Price": 5000.0, "Volume": volume, "TradeDate": DAY, "TradeTime": "09:31:00"}


def build_book(symbols):
    """1,000 children over `symbols`: 700 filled (one fill each, 300 more fills on live ones), 300 live,
    half of the live ones closing; positions established."""
    s = Trading(CtpAccount("9999", "1", "x", "tcp://127.0.0.1:1", "app", "auth"), 5.0, {},
                native_factory=lambda config, directory: None)
    s.day, s.front, s.session, s.phase, s.position_ready = DAY, 1, 7, "ready", True
    for symbol in symbols:
        rec = empty_position(symbol, 1)
        rec.update(pos_long=100_000, pos_long_his=50_000, pos_long_today=50_000,
                   pos_short=100_000, pos_short_his=50_000, pos_short_today=50_000)
        s.p[symbol] = rec
    s._recompute_frozen(1)
    fills = 0
    for i in range(CHILDREN):
        symbol = symbols[i % len(symbols)]
        live = i % 10 >= 7
        closing = live and i % 2 == 0
        kw = dict(direction="1" if closing else "0", offset="1" if closing else "0")
        s._order(order_row(i, f"S{i}", symbol, **kw))
        s._trade(trade_row(f"T{i}", f"S{i}", symbol, 10 if not live else 1, **kw), update_position=True)
        fills += 1
        if not live:
            s._order(order_row(i, f"S{i}", symbol, status="0", traded=10, **kw))
    assert len(s.native_orders) == CHILDREN and len(s.t) == fills == CHILDREN
    s.pending.clear()
    return s


def per_call_us(fn, count, repeats=5):
    """CPU time per call, best of `repeats` runs (the machine is shared: wall time is noisy)."""
    figures = []
    for _ in range(repeats):
        start = time.process_time()
        for i in range(count):
            fn(i)
        figures.append((time.process_time() - start) / count * 1e6)
    return min(figures)


def run(label, symbols):
    s = build_book(symbols)
    symbol = symbols[0]
    # The live closing child 8 changes with every return (its ordered volume alternates), so each return
    # does the full follow-up work: frozen volumes of its symbol over every child, roll-up, touch.
    changing = lambda i: s._order(order_row(8, "S8", symbol, direction="1", offset="1", original=10 + i % 2))
    same = lambda i: s._order(order_row(9, "S9", symbols[9 % len(symbols)], original=10))
    # Open fills into the live opening child 7, each a new fill that moves the position.
    s.native_orders["2:5:7"]["volume_original"] = 10**9
    serial = iter(range(10**9))
    fill = lambda i: s._trade(trade_row(f"N{next(serial)}", "S7", symbols[7 % len(symbols)], 1),
                              update_position=True)
    order_us = per_call_us(changing, 2000)
    same_us = per_call_us(same, 2000)
    trade_us = per_call_us(fill, 1000, repeats=3)
    print(f"{label}:")
    print(f"  order return, child changed:   {order_us:7.1f} us   (goal <= {ORDER_GOAL_US:.0f} us)")
    print(f"  order return, nothing changed: {same_us:7.1f} us   (goal <= {ORDER_GOAL_US:.0f} us)")
    print(f"  trade return, position moved:  {trade_us:7.1f} us   (goal <= {TRADE_GOAL_US:.0f} us)")


if __name__ == "__main__":
    run("1,000 children and 1,000 fills over 10 symbols", [f"SHFE.ag24{m:02d}" for m in range(1, 11)])
    run("1,000 children and 1,000 fills on one symbol", ["SHFE.ag2412"])
