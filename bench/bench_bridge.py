"""Native bridge figures: queueing on the API thread, conversion in poll, end to end, memory of a full queue."""

import gc
import os
import tempfile
import threading
import time

import ctpsim
from velkor import _kestro

BURST = 32768
ORDER = {
    "TradingDay": b"20241231", "ExchangeID": b"SHFE", "InstrumentID": b"ag2412", "OrderSysID": b"      123456",
    "OrderRef": b"000000000017", "FrontID": 3, "SessionID": 123456789, "Direction": b"0", "CombOffsetFlag": b"0",
    "CombHedgeFlag": b"1", "LimitPrice": 7531.0, "VolumeTotalOriginal": 5, "VolumeTraded": 2, "VolumeTotal": 3,
    "OrderStatus": b"1", "OrderSubmitStatus": b"3", "StatusMsg": "部分成交还在队列中".encode("gb18030"),
    "InsertDate": b"20241231", "InsertTime": b"21:00:01",
}
TRADE = {
    "TradingDay": b"20241231", "ExchangeID": b"SHFE", "InstrumentID": b"ag2412", "OrderSysID": b"      123456",
    "OrderRef": b"000000000017", "TradeID": b"     9876543", "Direction": b"0", "OffsetFlag": b"0",
    "HedgeFlag": b"1", "Price": 7531.0, "Volume": 2, "TradeDate": b"20241231", "TradeTime": b"21:00:02",
}
INSTRUMENT = {
    "ExchangeID": b"SHFE", "InstrumentID": b"ag2412", "ProductClass": b"1", "IsTrading": 1, "PriceTick": 1.0,
    "MinLimitOrderVolume": 1, "MaxLimitOrderVolume": 500,
}
CASES = [("FrontConnected", "OnFrontConnected", None), ("RtnOrder", "OnRtnOrder", ORDER),
         ("RtnTrade", "OnRtnTrade", TRADE), ("RspQryInstrument", "OnRspQryInstrument", INSTRUMENT)]


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def threads():
    return set(os.listdir("/proc/self/task"))


def cpu_ns(tids):
    """CPU time of the given threads (Linux per-thread CPU clocks)."""
    return sum(time.clock_gettime_ns(((~int(tid)) << 3) | 6) for tid in tids)


class Session:
    def __init__(self, front, directory):
        before = threads()
        self.handle = _kestro.create(front.address, directory)
        self.conn = front.wait_connection()
        front.flush()
        _kestro.poll(self.handle)
        self.api_threads = threads() - before  # the API's own thread(s)

    def close(self):
        _kestro.close(self.handle)


def api_cpu_per_event(front, s, callback, data, runs=5):
    """Least CPU time per callback on the API's thread for a burst, delivery included."""
    results = []
    for _ in range(runs):
        start = cpu_ns(s.api_threads)
        front.burst(s.conn, callback, data, BURST)
        time.sleep(0.3)  # a waiting flush would be woken by every callback: let the burst run alone
        front.flush()
        results.append((cpu_ns(s.api_threads) - start) / BURST / 1e3)
        _kestro.poll(s.handle)
    return min(results)


def main():
    directory = os.fsencode(tempfile.mkdtemp(prefix="velkor-bench-")) + os.sep.encode()
    print("(CPU times per thread; the machine is shared, so wall-clock figures vary with its load)")
    with ctpsim.Front() as front:
        s = Session(front, directory)

        queued = api_cpu_per_event(front, s, "OnRtnOrder", ORDER)
        baseline = api_cpu_per_event(front, s, "OnHeartBeatWarning", None)
        print(f"queue OnRtnOrder on the API thread: {queued - baseline:.3f} us/event CPU "
              f"({queued:.3f} us with the simulated front's delivery, {baseline:.3f} us for a callback the bridge "
              f"ignores; burst of {BURST}; goal <= 0.5 us)")

        for name, callback, data in CASES:
            figures = []
            for pending, runs in ((1024, 30), (BURST, 5)):
                costs = []
                for _ in range(runs):
                    front.burst(s.conn, callback, data, pending)
                    front.flush()
                    start = time.thread_time_ns()
                    events = _kestro.poll(s.handle)
                    costs.append((time.thread_time_ns() - start) / len(events) / 1e3)
                    assert len(events) == pending and events[0]["name"] == name
                    del events
                figures.append(f"{min(costs):.3f} us/record CPU with {pending} pending")
            goal = " (goal <= 2 us)" if name == "RtnOrder" else " (no goal)"
            print(f"convert {name} in poll: {', '.join(figures)}{goal}")

        total, chunk = 16 * BURST, 4096
        received = 0

        def produce():
            sent = 0
            while sent < total:
                if sent - received > BURST - 2 * chunk:  # keep the queue below its capacity
                    time.sleep(0.0005)
                    continue
                front.burst(s.conn, "OnRtnOrder", ORDER, chunk)
                sent += chunk

        sender = threading.Thread(target=produce)
        start = time.perf_counter()
        sender.start()
        while received < total:
            received += len(_kestro.poll(s.handle))
        elapsed = time.perf_counter() - start
        sender.join()
        print(f"end to end burst + poll of OnRtnOrder: {total / elapsed / 1e6:.3f} M events/s wall clock "
              f"({total} events in {elapsed:.3f} s; no goal)")
        s.close()

        gc.collect()
        s = Session(front, directory)
        before = rss_kib()
        front.burst(s.conn, "OnRtnOrder", ORDER, BURST)
        front.flush()
        pending = rss_kib()
        events = _kestro.poll(s.handle)
        converted = rss_kib()
        print(f"memory with {BURST} order returns pending: {(pending - before) / 1024:.1f} MiB "
              f"({(pending - before) * 1024 / BURST:.0f} bytes/event); as records after poll: "
              f"{(converted - before) / 1024:.1f} MiB (no goal)")
        del events
        s.close()


if __name__ == "__main__":
    main()
