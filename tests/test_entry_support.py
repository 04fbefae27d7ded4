"""Builders shared by the order entry, cancellation and publication tests (no tests of its own).

A "ready" session is put straight into the state a finished login leaves behind, over the fake
adapter, so that entry, cancellation and commit can be driven without replaying the login.
"""

from __future__ import annotations

from fakes import make_session

from velkor.ledgerlet import empty_position

FRONT, SESSION = 3, 12345
BASELINE_MS = 1_700_000_000_000


def instrument(symbol: str, tick=1.0, trading=1, min_volume=1, max_volume=500) -> dict:
    exchange, instrument_id = symbol.split(".", 1)
    return {"ExchangeID": exchange, "InstrumentID": instrument_id, "ProductClass": "1", "IsTrading": trading,
            "PriceTick": tick, "MinLimitOrderVolume": min_volume, "MaxLimitOrderVolume": max_volume}


def holding(symbol: str, long_his=0, long_today=0, short_his=0, short_today=0) -> dict:
    """A private position record with the given history and today lots, nothing frozen."""
    rec = empty_position(symbol, BASELINE_MS)
    rec.update(pos_long=long_his + long_today, pos_long_his=long_his, pos_long_today=long_today,
               pos_short=short_his + short_today, pos_short_his=short_his, pos_short_today=short_today,
               pos=long_his + long_today - short_his - short_today,
               available_long=long_his + long_today, available_short=short_his + short_today)
    return rec


def ready_session(*symbols, order_ref=100, limits=None, **instrument_args):
    """A READY session (phase "ready", nothing pending to publish) with an open fake adapter."""
    s = make_session(timeout=5.0, limits=limits)
    s._open_native()
    s.phase = "ready"
    s.session_status = "READY"
    s.reset_pending = False
    s.front, s.session, s.order_ref = FRONT, SESSION, order_ref
    s.day = "20240102"
    s.position_ready = True
    s.published_position_time = BASELINE_MS
    for symbol in symbols or ("SHFE.ag2412",):
        s.instruments[symbol] = instrument(symbol, **instrument_args)
    s.dirty = False
    s.changed.clear()
    return s


def now(awaitable):
    """Runs a coroutine that must finish without suspending and returns its value."""
    try:
        awaitable.send(None)
    except StopIteration as stop:
        return stop.value
    finally:
        awaitable.close()
    raise AssertionError("the coroutine suspended")


def insert(s, symbol="SHFE.ag2412", direction="BUY", offset="OPEN", volume=1, limit_price=5000.0):
    return now(s.insert(symbol, direction, offset, volume, limit_price))


def confirm(s, order_id, exchange_order_id="  1001", status="ALIVE"):
    """What an order return does to a child that the front accepted (as order tracking would)."""
    child = s.native_orders[order_id]
    child.update(exchange_order_id=exchange_order_id, is_confirmed=True, status=status)
    s.o[order_id].update(status=status, order_sys_id=exchange_order_id.strip() or None)
    return child


def sent(s, method):
    """The payloads of every `method` request, in order."""
    return [payload for name, payload, _ in s.native.requests if name == method]
