"""Throughput of the simulated front: callback delivery, scripted sends and requests through the bridge."""

import os
import tempfile
import time

from ctpsim import Front, _front

try:
    from velkor import _kestro
except ImportError:
    _kestro = None

ORDER = {"TradingDay": "20241202", "ExchangeID": "SHFE", "InstrumentID": "ag2412", "OrderSysID": "  1234",
         "OrderRef": "12", "FrontID": 1, "SessionID": 7, "Direction": "0", "CombOffsetFlag": "0",
         "CombHedgeFlag": "1", "LimitPrice": 5678.0, "VolumeTotalOriginal": 3, "VolumeTotal": 3,
         "OrderStatus": "3", "StatusMsg": "未成交"}


def report(label, value, unit, goal):
    print(f"{label:<52} {value:>12,.1f} {unit:<14} goal {goal}")


def main():
    flow = os.fsencode(tempfile.mkdtemp(prefix="velkor-bench-")) + b"/"
    with Front() as front:
        client = _front.Client(flow, front.address)
        conn = front.wait_connection()
        front.flush()

        n = 200_000
        start = time.perf_counter()
        front.burst(conn, "OnRtnOrder", ORDER, n)
        front.flush(60)
        elapsed = time.perf_counter() - start
        client.events()
        report("burst to a native SPI", n / elapsed, "callbacks/s", ">= 500,000")

        n = 20_000
        start = time.perf_counter()
        for _ in range(n):
            front.send(conn, "OnRtnOrder", ORDER)
        front.flush(60)
        elapsed = time.perf_counter() - start
        client.events()
        report("send() with 15 fields, delivered", elapsed / n * 1e6, "us/callback", "<= 30")

        record = bytes(_front.RECORDS["CThostFtdcQryOrderField"][0])
        n = 20_000
        start = time.perf_counter()
        for i in range(n):
            client.request("QryOrder", record, i)
        elapsed = time.perf_counter() - start
        report("request recorded by the front, no handler", elapsed / n * 1e6, "us/request", "<= 20")
        client.release()

        if _kestro is None:
            return
        handle = _kestro.create(front.address, flow)
        conn = front.wait_connection()
        front.handler = lambda r: 0
        front.requests.clear()
        n = 20_000
        start = time.perf_counter()
        for i in range(n):
            _kestro.request(handle, "QryOrder", {"BrokerID": "9999", "InvestorID": "007"}, i)
        elapsed = time.perf_counter() - start
        report("bridge request through a Python handler", elapsed / n * 1e6, "us/request", "<= 30")

        n = 30_000
        start = time.perf_counter()
        front.burst(conn, "OnRtnOrder", ORDER, n)
        front.flush(60)
        elapsed = time.perf_counter() - start
        report("burst into the bridge's queue", n / elapsed, "callbacks/s", ">= 500,000")
        _kestro.poll(handle)
        _kestro.close(handle)


if __name__ == "__main__":
    main()
