"""python -m velkor.journal show|replay|verify FILE

    show FILE [--since TIME] [--until TIME] [--kind K ...] [--order ORDER_ID]
        one line per record (one per event record of a poll), with its number, time and run-loop pass
    replay FILE [--at TIME]
        rebuilds each session of the file and prints the account, positions, orders and trades it
        published, at the end or as of TIME
    verify FILE
        replays and checks that the replay sends exactly the recorded requests and publishes exactly the
        recorded results; stops at the first difference with its record number

TIME is "YYYY-MM-DD HH:MM[:SS]" or "HH:MM[:SS]" (on the day the file's session started) in exchange time
(UTC+8), or seconds since the epoch. Exit status: 0 done (verify: no difference), 1 a difference, 2 a file
that cannot be read (not a journal, a corrupt record, a missing earlier file) or that is incomplete.
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
from collections.abc import Iterator
from typing import Any

from .format import TZ, Exc, Journal, JournalError, Obj, Record, read
from .replay import Difference, Replay, replay_segments

ID_KEYS = ("BrokerID", "InvestorID", "UserID")


def parse_time(text: str, journal: Journal | None) -> float:
    try:
        return float(text)
    except ValueError:
        pass
    for fmt in ("%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y%m%d %H:%M:%S"):
        try:
            return dt.datetime.strptime(text, fmt).replace(tzinfo=TZ).timestamp()
        except ValueError:
            pass
    for fmt in ("%H:%M:%S.%f", "%H:%M:%S", "%H:%M"):
        try:
            clock = dt.datetime.strptime(text, fmt).time()
        except ValueError:
            continue
        first = next((r.time for r in journal.records if r.time is not None), None) if journal else None
        day = dt.datetime.fromtimestamp(first, TZ).date() if first is not None else dt.datetime.now(TZ).date()
        return dt.datetime.combine(day, clock, TZ).timestamp()
    raise SystemExit(f"velkor.journal: cannot read the time {text!r}")


def stamp(seconds: float | None) -> str:
    if seconds is None:
        return "-" * 23
    return dt.datetime.fromtimestamp(seconds, TZ).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


def brief(value: Any) -> str:
    if isinstance(value, dict):
        return " ".join(f"{k}={brief(v)}" for k, v in value.items() if v not in ("", None, 0, "\x00"))
    if isinstance(value, Obj):
        return f"{value.type}({brief(value.fields)})"
    if isinstance(value, Exc):
        return f"{value.type}{value.args!r}"
    if isinstance(value, list):
        return "[" + ", ".join(brief(v) for v in value) + "]"
    if isinstance(value, str):
        return value if value and " " not in value else repr(value)
    return repr(value)


def event_text(e: Any) -> str:
    if not isinstance(e, dict):
        return brief(e)
    parts = [str(e.get("name"))]
    data = e.get("data")
    if isinstance(data, dict):
        parts.append(brief(data))
    for key, value in e.items():
        if key in ("name", "data", "error", "request_id", "last"):
            continue
        parts.append(f"{key}={brief(value)}")
    error = e.get("error")
    if isinstance(error, dict) and error.get("ErrorID"):
        parts.append(f"error={error.get('ErrorID')}:{error.get('ErrorMsg')}")
    if e.get("request_id"):
        parts.append(f"#{e['request_id']}" + ("" if e.get("last", True) else " (more)"))
    return " ".join(p for p in parts if p)


def lines(r: Record) -> Iterator[tuple[str, str]]:
    """(kind or event name, text) for each line of a record."""
    v = r.value
    if r.kind == "poll":
        if isinstance(v, Exc):
            yield "poll", f"raised {brief(v)}"
        elif not v:
            yield "poll", "(nothing)"
        else:
            for e in v:
                yield str(e.get("name") if isinstance(e, dict) else "poll"), "event " + event_text(e)
    elif r.kind == "request":
        method, rid, payload, result = v
        fields = {k: x for k, x in payload.items() if k not in ID_KEYS} if isinstance(payload, dict) else payload
        yield "request", f"{method} #{rid} -> {brief(result)} {brief(fields)}"
    elif r.kind == "idle":
        yield "idle", f"{len(v)} passes with nothing to poll, clock {v[0]!r} .. {v[-1]!r}"
    elif r.kind == "wall":
        yield "wall", f"{v} ({stamp(v / 1000)})" if isinstance(v, int) else repr(v)
    elif r.kind == "header":
        yield "header", f"segment {v.get('segment')} format {v.get('format')} v{v.get('version')} by {v.get('writer')}"
    elif r.kind == "commit":
        result, entries = v
        yield "commit", f"-> {result!r} " + "; ".join(f"{k}{'' if i is None else ' ' + str(i)}: {brief(d) if isinstance(d, dict) else sorted(d)}" for k, i, d in entries)
    else:
        yield r.kind, "" if v is None else brief(v)


class OrderFilter:
    """The records about one order: its requests, its returns and fills, its results and publications."""

    def __init__(self, order_id: str, journal: Journal):
        parts = order_id.split(":")
        self.order_id = order_id
        self.key = tuple(parts) if len(parts) == 3 else None
        self.login: tuple[str, str] | None = None
        self.sys_ids: set[tuple[Any, Any]] = set()
        self.inserts: set[int] = set()
        pending = None
        for r in journal.records:  # an insert is about the order when its results name it
            if r.kind == "insert":
                pending = r.number
            elif r.kind == "insert_result" and pending is not None:
                if order_id in repr(r.value):
                    self.inserts.update((pending, r.number))
                pending = None

    def event(self, e: dict[str, Any]) -> bool:
        d = e.get("data")
        if e.get("name") == "RspUserLogin" and isinstance(d, dict):
            self.login = (str(d.get("FrontID")), str(d.get("SessionID")))
        if not isinstance(d, dict) or self.key is None:
            return False
        ref = str(d.get("OrderRef", "")).strip()
        if "FrontID" in d and "SessionID" in d and "OrderRef" in d:
            mine = (str(d["FrontID"]), str(d["SessionID"]), ref) == self.key
            if mine and str(d.get("OrderSysID", "")).strip():
                self.sys_ids.add((d.get("ExchangeID"), str(d["OrderSysID"]).strip()))
            return mine
        if "OrderRef" in d and ref and self.login and (*self.login, ref) == self.key:
            return True
        return (d.get("ExchangeID"), str(d.get("OrderSysID", "")).strip()) in self.sys_ids

    def request(self, value: Any) -> bool:
        method, _, payload, _ = value
        if not isinstance(payload, dict) or self.key is None:
            return False
        if method == "OrderInsert":
            return bool(self.login and (*self.login, str(payload.get("OrderRef", "")).strip()) == self.key)
        if method == "OrderAction":
            return (payload.get("ExchangeID"), str(payload.get("OrderSysID", "")).strip()) in self.sys_ids
        return False


def show(args: argparse.Namespace) -> int:
    journal = read(args.file)
    since = parse_time(args.since, journal) if args.since else None
    until = parse_time(args.until, journal) if args.until else None
    kinds = {k for spec in args.kind or () for k in spec.split(",")}
    orders = OrderFilter(args.order, journal) if args.order else None
    out = sys.stdout
    for r in journal.records:
        if (since is not None and (r.time is None or r.time < since)) or (until is not None and r.time is not None
                                                                           and r.time > until):
            if r.kind == "poll" and orders and isinstance(r.value, list):
                for e in r.value:
                    if isinstance(e, dict):
                        orders.event(e)
            continue
        events = r.value if r.kind == "poll" and isinstance(r.value, list) and r.value else None
        for i, (kind, text) in enumerate(lines(r)):
            if kinds and kind not in kinds and r.kind not in kinds:
                continue
            if orders is not None:
                if events is not None:
                    if not orders.event(events[i]):
                        continue
                elif r.kind == "request":
                    if not orders.request(r.value):
                        continue
                elif r.number not in orders.inserts and orders.order_id not in repr(r.value):
                    continue
            number = f"{r.number}" + (f".{i + 1}" if events is not None and len(events) > 1 else "")
            out.write(f"{number:>8} {stamp(r.time)} pass {r.passes:<6} {kind:<16} {text}\n")
    if journal.truncated:
        out.write(f"# {journal.truncated}; the records before it are shown\n")
    return 0


def show_state(replay: Replay) -> None:
    s = replay.session
    if s is None:
        print("  (no session)")
        return
    print(f"  status {s.published_status}" + (f", error {s.error}" if s.error is not None else ""))
    print("  account " + _fields(s.account))
    for symbol, position in s.positions.items():
        print(f"  position {symbol} " + _fields(position))
    for order_id, order in s.orders.items():
        print(f"  order {order_id} " + _fields(order))
    for trade in s.trades:
        print("  trade " + _fields(trade))


def _fields(obj: Any) -> str:
    names = getattr(type(obj), "fields", ())
    return " ".join(f"{n}={getattr(obj, n)!r}" for n in names if getattr(obj, n, None) is not None)


def replay_command(args: argparse.Namespace, verify: bool) -> int:
    journal = read(args.file)
    until = parse_time(args.at, journal) if getattr(args, "at", None) else None
    status = 0

    def report(segment: Any, replay: Replay) -> None:
        nonlocal status
        start = segment.start or {}
        print(f"session {segment.header.get('segment')} of {segment.header.get('account')}"
              f" (started {stamp(start.get('wall'))})" if start else
              f"session {segment.header.get('segment')} (continued from {segment.continues})")
        if replay.stopped is not None and replay.stopped.kind == "end":
            print(f"  replayed up to record {replay.stopped.number}: the session goes on in "
                  f"{replay.stopped.value.get('next')}")
        elif replay.stopped is not None:
            print(f"  as of {stamp(until)}: replayed up to record {replay.stopped.number}")
        for r in replay.incomplete:
            print(f"  incomplete at record {r.number}: {brief(r.value)}; replayed up to there")
            status = 2
        if not verify:
            show_state(replay)
        else:
            print(f"  verified: {replay.at} steps, the replay sent and published what the file has")

    try:
        replay_segments(args.file, verify=verify, until=until, report=report)
    except Difference as d:
        print(f"difference at {d}")
        return 1
    if journal.truncated:
        print(f"# {journal.truncated}; the records before it were replayed")
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velkor.journal", description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("show", help="one line per record")
    p.add_argument("file")
    p.add_argument("--since")
    p.add_argument("--until")
    p.add_argument("--kind", action="append", help="a record kind (request, insert, ...) or an event name (RtnOrder)")
    p.add_argument("--order", help="an order id, as the session gives it (front:session:ref)")
    p = sub.add_parser("replay", help="rebuild the session and print its state")
    p.add_argument("file")
    p.add_argument("--at")
    p = sub.add_parser("verify", help="replay and compare with the file")
    p.add_argument("file")
    args = parser.parse_args(argv)
    try:
        if args.command == "show":
            return show(args)
        return replay_command(args, args.command == "verify")
    except (JournalError, OSError) as e:
        print(f"velkor.journal: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
