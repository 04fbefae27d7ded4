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


class Session:
    def __init__(self, front, directory):
        self.handle = _kestro.create(front.address, directory)
        self.conn = front.wait_connection()
        front.flush()
        _kestro.poll(self.handle)

    def close(self):
        _kestro.close(self.handle)


def best(runs):
    return min(runs)


def main():
    directory = os.fsencode(tempfile.mkdtemp(prefix="velkor-bench-")) + os.sep.encode()
    with ctpsim.Front() as front:
        s = Session(front, directory)

        queue_runs = []
        for _ in range(5):
            start = time.perf_counter()
            front.burst(s.conn, "OnRtnOrder", ORDER, BURST)
            front.flush()
            queue_runs.append((time.perf_counter() - start) / BURST)
            _kestro.poll(s.handle)
        print(f"queue OnRtnOrder on the API thread: {best(queue_runs) * 1e6:.3f} us/event "
              f"(burst of {BURST}, includes the simulated front's own delivery; goal <= 0.5 us)")

        for name, callback, data in CASES:
            runs = []
            for _ in range(5):
                front.burst(s.conn, callback, data, BURST)
                front.flush()
                gc.disable()
                start = time.perf_counter()
                events = _kestro.poll(s.handle)
                runs.append((time.perf_counter() - start) / len(events))
                gc.enable()
                assert len(events) == BURST and events[0]["name"] == name
                del events
            goal = " (goal <= 2 us)" if name == "RtnOrder" else ""
            print(f"convert {name} in poll: {best(runs) * 1e6:.3f} us/record{goal}")

        total = 10 * BURST
        received = 0
        start = time.perf_counter()

        def produce():
            for _ in range(total // 4096):
                front.burst(s.conn, "OnRtnOrder", ORDER, 4096)

        sender = threading.Thread(target=produce)
        sender.start()
        while received < total:
            received += len(_kestro.poll(s.handle))
        elapsed = time.perf_counter() - start
        sender.join()
        print(f"end to end burst + poll of OnRtnOrder: {total / elapsed / 1e6:.3f} M events/s "
              f"({total} events, {elapsed:.3f} s)")
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
              f"{(converted - before) / 1024:.1f} MiB")
        del events
        s.close()


if __name__ == "__main__":
    main()
