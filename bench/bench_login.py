"""Login of a session against the simulated counter on the real clock: 200 instruments, 500 orders,
500 trades and 50 positions. Wall time from start() to "READY" next to the floor that query pacing
imposes (five 1 s gaps between the six queries), and the CPU time the session spent on the way."""

import asyncio
import os
import tempfile
import threading
import time

from ctpsim import Front
from ctpsim.counter import Counter, Instrument
from velkor import _kestro, trading
from velkor.ledgerlet import CtpAccount
from velkor.trading import Trading

DAY = "20241202"
INSTRUMENTS = 200
TRADED_SYMBOLS = 50
ORDERS = 500
PACING_FLOOR = 5.0
WALL_GOAL_OVER_FLOOR = 0.5
CPU_GOAL = 0.100
EXCHANGES = ("SHFE", "INE", "DCE", "CZCE", "CFFEX", "GFEX")


def instruments():
    return [Instrument(EXCHANGES[i % len(EXCHANGES)], f"b{i:03d}2501", 1.0, 10, 1000.0) for i in range(INSTRUMENTS)]


def seed(front, counter, directory):
    """Another client of the account sends 500 one-lot buy orders that fill at once, over 50 symbols."""
    account = counter.accounts[0]
    handle = _kestro.create(front.address, (tempfile.mkdtemp(dir=directory) + os.sep).encode())
    ids = {"BrokerID": account.broker_id, "InvestorID": account.user_id, "UserID": account.user_id}

    def send(rid, method, **fields):
        assert _kestro.request(handle, method, {**ids, **fields}, rid) == 0
        front.flush()

    deadline = time.monotonic() + 5
    while not front.connections and time.monotonic() < deadline:
        time.sleep(0.01)
    send(1, "Authenticate", AppID=account.app_id, AuthCode=account.auth_code)
    send(2, "UserLogin", Password=account.password)
    send(3, "SettlementInfoConfirm")
    symbols = [ins.symbol for ins in instruments()[:TRADED_SYMBOLS]]
    for n in range(ORDERS):
        exchange, instrument = symbols[n % TRADED_SYMBOLS].split(".")
        send(4 + n, "OrderInsert", InstrumentID=instrument, ExchangeID=exchange, OrderRef=str(n + 1), Direction="0",
             CombOffsetFlag="0", CombHedgeFlag="1", OrderPriceType="2", LimitPrice=1000.0, VolumeTotalOriginal=1,
             TimeCondition="3", VolumeCondition="1", MinVolume=1, ContingentCondition="1", ForceCloseReason="0",
             IsAutoSuspend=0, UserForceClose=0)
    _kestro.close(handle)
    assert len(counter.orders()) == ORDERS and len(counter.trades()) == ORDERS
    assert len(counter.position_rows()) == TRADED_SYMBOLS


async def login(front, counter):
    account = counter.accounts[0]
    config = CtpAccount(account.broker_id, account.user_id, account.password, front.address, account.app_id,
                        account.auth_code)
    session = Trading(config, 30.0, {})

    # The counter answers inside the session's request calls, on this thread: its time is not the session's.
    counter_cpu = 0.0
    answer = front.handler

    def timed(request):
        nonlocal counter_cpu
        start = time.thread_time()
        try:
            return answer(request)
        finally:
            counter_cpu += time.thread_time() - start

    front.handler = timed
    cpu0, wall0 = time.thread_time(), time.perf_counter()
    session.start()
    while session.session_status != "READY":
        # Woken by the session's changes only, so that waiting costs this thread next to nothing.
        changed = asyncio.ensure_future(session.changed.wait())
        await asyncio.wait([changed, session.task], return_when=asyncio.FIRST_COMPLETED)
        if session.task.done():
            raise RuntimeError(f"login failed: {session.error!r}")
        session.changed.clear()
    wall = time.perf_counter() - wall0
    cpu = time.thread_time() - cpu0 - counter_cpu
    assert len(session.t) == ORDERS and len(session.native_orders) == ORDERS
    assert sum(1 for r in session.p.values() if r["pos_long"]) == TRADED_SYMBOLS
    await session.close()
    front.handler = answer
    queries = sum(1 for r in front.requests if r.method.startswith("Qry"))
    return wall, cpu, counter_cpu, queries


async def idle_loop_cpu(seconds):
    """CPU time of a bare asyncio loop that pauses 0.01 s per pass, as the session's run loop does."""

    async def passes():
        while True:
            await asyncio.sleep(0.01)

    task = asyncio.ensure_future(passes())
    start = time.thread_time()
    await asyncio.sleep(seconds)
    spent = time.thread_time() - start
    task.cancel()
    return spent


def main():
    assert threading.current_thread() is threading.main_thread()
    with tempfile.TemporaryDirectory() as directory, Front() as front:
        front.retry_interval = 0.01
        counter = Counter(front, instruments=instruments(), trading_day=DAY)
        seed(front, counter, directory)
        # The session's flow-file folder goes with the rest of this run's files.
        trading.mkdtemp = lambda suffix=None, prefix=None, dir=None: tempfile.mkdtemp(suffix, prefix, directory)
        wall, cpu, counter_cpu, queries = asyncio.run(login(front, counter))
        idle = asyncio.run(idle_loop_cpu(wall))
        counter.close()
    print(f"login to READY, {INSTRUMENTS} instruments, {ORDERS} orders, {ORDERS} trades, {TRADED_SYMBOLS} positions")
    print(f"  wall time          {wall:7.3f} s   (pacing floor {PACING_FLOOR:.1f} s; goal <= "
          f"{PACING_FLOOR + WALL_GOAL_OVER_FLOOR:.1f} s, over floor {wall - PACING_FLOOR:+.3f} s)")
    print(f"  queries sent       {queries:7d}     (6 without flow-control rejections; each rejection costs 2 s)")
    print(f"  session CPU time   {cpu * 1000:7.1f} ms  (goal <= {CPU_GOAL * 1000:.0f} ms; "
          f"counter's answers excluded: {counter_cpu * 1000:.1f} ms)")
    print(f"    of which a bare asyncio loop pausing 0.01 s for as long costs {idle * 1000:.1f} ms; "
          f"the login's own work {(cpu - idle) * 1000:.1f} ms")


if __name__ == "__main__":
    main()
