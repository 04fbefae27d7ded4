"""The session's journal: sessions against the simulated counter replay to the same state and verify; edits,
truncation, corruption and write failures are reported as they should be; no secret reaches a file."""

from __future__ import annotations

import os
import stat
import struct
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

import pytest
from fakes import front_connected, make_session, record, row, until
from test_login_e2e import DAY, counter, paced  # noqa: F401
from test_trading_e2e import Trader

from velkor import trading
from velkor.journal import JournalError, read, replay_segments
from velkor.journal.__main__ import main as journal_main
from velkor.journal.format import MAGIC, _varint


def files(folder: Path) -> list[Path]:
    return sorted(folder.glob("*.vkj"))


def published(s) -> tuple:
    """What a session published: every field of the account, positions, orders and trades."""
    def fields(obj):
        return {n: getattr(obj, n) for n in type(obj).fields}
    return (s.published_status, fields(s.account), {k: fields(v) for k, v in s.positions.items()},
            {k: fields(v) for k, v in s.orders.items()}, [fields(t) for t in s.trades])


class JournaledTrader(Trader):
    def __init__(self, front, counter, folder):  # noqa: F811
        super().__init__(front, counter)
        s = self.s
        self.s = trading.Trading(s.config, s.timeout, {}, native_factory=s.factory, journal=folder)


async def trading_day(front, counter, folder):  # noqa: F811
    """Fills, a cancel, a refusal by the counter and one by the session, a dropped connection and a day roll."""
    async with JournaledTrader(front, counter, folder) as t:
        [r] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 3, 7700.0)
        await t.until_working(r.order_id)
        counter.fill(r.order_id, 1)
        await t.until_child(r.order_id, volume_traded=1)
        [c] = t.s.cancel(r.order_id)
        assert c.status == "SUBMITTED"
        await t.until_child(r.order_id, status="CANCELLED")
        counter.fail_next("OrderInsert")                                           # the counter refuses
        [big] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 2, 7800.0)
        await t.until_child(big.order_id, status="REJECTED")
        [bad] = await t.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7800.5)          # off the tick grid
        assert bad.status == "REJECTED"
        await t.settled()
        counter.drop_sessions()
        await until(lambda: t.s.session_status != "READY")
        await until(lambda: t.s.session_status == "READY")
        await t.settled()
        counter.settle()                                                           # the next trading day
        await until(lambda: t.s.day not in ("", DAY) and t.s.session_status == "READY")
        t.commit()
        [r2] = await t.insert("SHFE.ag2412", "SELL", "CLOSE", 1, 7800.0)
        await until(lambda: t.s.native_orders[r2.order_id]["status"] == "FILLED")
        await t.settled()
        state = published(t.s)
    return state


async def test_a_trading_day_replays_to_the_same_state_and_verifies(front, counter, paced, tmp_path):  # noqa: F811
    state = await trading_day(front, counter, tmp_path)
    first, second = files(tmp_path)
    assert first.name == f"{counter.accounts[0].broker_id}-{counter.accounts[0].user_id}-{DAY}.vkj"
    assert read(second).segments[0].continues["file"] == first.name
    for f in (first, second):
        assert journal_main(["verify", str(f)]) == 0
    # The second day's file replays its session from the first day's start.
    [replay] = replay_segments(second, verify=True)
    assert published(replay.session) == state
    kinds = {r.kind for r in read(first).records}
    assert {"start", "run", "resume", "poll", "request", "mono", "wall", "insert", "insert_result", "cancel",
            "cancel_result", "commit", "end"} <= kinds


async def test_files_are_private_and_carry_no_secret(front, counter, paced, tmp_path):  # noqa: F811
    folder = tmp_path / "journal"
    async with JournaledTrader(front, counter, folder) as t:
        await t.insert("SHFE.ag2412", "BUY", "OPEN", 1, 7800.0)
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    account = counter.accounts[0]
    for f in files(folder):
        assert stat.S_IMODE(f.stat().st_mode) == 0o600
        content = f.read_bytes()
        for secret in (account.password, account.auth_code):
            assert secret.encode() not in content
    logins = [r.value[2] for r in read(files(folder)[0]).records if r.kind == "request" and r.value[0] in (
        "UserLogin", "Authenticate")]
    assert [sorted(k for k, v in p.items() if repr(v) == "<absent>") for p in logins] == [["AuthCode"], ["Password"]]


# -- a journal of a fake-adapter session, written and read without a front

def fake_journal(folder: Path, clock) -> Path:
    s = make_session(timeout=5.0)
    s = trading.Trading(s.config, 5.0, {}, native_factory=s.factory, journal=folder)
    run = s.run()
    run.send(None)
    s.native.push(front_connected())
    for _ in range(3):
        clock.advance(0.01)
        _send(run)
    s.native.push(record("RspAuthenticate", {"BrokerID": "9999"}, request_id=1))
    clock.advance(0.01)
    _send(run)
    s.native.push(record("RspUserLogin", row("login", TradingDay="20240105", FrontID=1, SessionID=7,
                                             MaxOrderRef="0"), request_id=2))
    for _ in range(5):
        clock.advance(0.01)
        _send(run)
    s.commit({})
    run.close()
    _drive(s.close())
    [path] = files(folder)
    return path


def _send(coroutine):
    try:
        coroutine.send(None)
    except StopIteration:
        pass


def _drive(coroutine):
    try:
        while True:
            coroutine.send(None)
    except StopIteration as stop:
        return stop.value


def reframe(data: bytes, offset: int, body: bytes) -> bytes:
    """The file with the record at `offset` given a new body (and a valid checksum)."""
    length, at = _varint(data, offset)
    kind = data[at]
    end = at + length + 4
    new = bytearray()
    n = len(body) + 1
    while n >= 0x80:
        new.append(n & 0x7F | 0x80)
        n >>= 7
    new.append(n)
    new += bytes([kind]) + body
    new += struct.pack("<I", zlib.crc32(new))
    return data[:offset] + bytes(new) + data[end:]


def body_of(data: bytes, offset: int) -> bytes:
    length, at = _varint(data, offset)
    return data[at + 1:at + length]


@pytest.fixture
def fake_file(tmp_path, clock, fast):
    return fake_journal(tmp_path, clock)


def test_a_fake_session_verifies(fake_file):
    assert journal_main(["verify", str(fake_file)]) == 0


@pytest.mark.parametrize("kind, old, new", [
    ("request", b"\x06\x0aclient_app", b"\x06\x0aclient_apq"),   # a payload the replay does not send
    ("request", b"\x07\x5d", b"\x07\x5f"),                       # another request name (UserLogin -> QryOrder)
    ("commit", b"\x0a\x02\x01", b"\x0a\x02\x02"),               # a commit that published something
])
def test_an_edited_record_fails_verify_there(fake_file, kind, old, new, capsys):
    data = fake_file.read_bytes()
    journal = read(fake_file)
    target = next(r for r in journal.records if r.kind == kind and old in body_of(data, r.offset))
    body = body_of(data, target.offset)
    fake_file.write_bytes(reframe(data, target.offset, body.replace(old, new, 1)))
    assert journal_main(["verify", str(fake_file)]) == 1
    assert f"difference at record {target.number} ({kind})" in capsys.readouterr().out


@pytest.mark.parametrize("cut", [1, 2, 4])
def test_a_truncated_last_record_is_reported_and_the_rest_used(fake_file, cut, capsys):
    data = fake_file.read_bytes()
    whole = read(fake_file).records
    fake_file.write_bytes(data[:-cut])
    journal = read(fake_file)
    assert journal.truncated and f"{whole[-1].offset}" in journal.truncated
    assert [r.kind for r in journal.records] == [r.kind for r in whole[:-1]]
    assert journal_main(["verify", str(fake_file)]) == 0
    assert "cut short" in capsys.readouterr().out


def test_a_corrupt_record_is_an_error_with_its_offset(fake_file, capsys):
    data = bytearray(fake_file.read_bytes())
    target = read(fake_file).records[5]
    data[target.offset + 2] ^= 0x40
    fake_file.write_bytes(bytes(data))
    with pytest.raises(JournalError) as e:
        read(fake_file)
    assert e.value.offset == target.offset
    assert journal_main(["show", str(fake_file)]) == 2
    assert f"offset {target.offset}" in capsys.readouterr().err


def test_not_a_journal(tmp_path):
    path = tmp_path / "x.vkj"
    path.write_bytes(b"hello world")
    with pytest.raises(JournalError, match="magic"):
        read(path)
    assert MAGIC[:1] == b"\x89"


def test_show_filters_by_kind_and_order(fake_file, capsys):
    assert journal_main(["show", str(fake_file), "--kind", "request"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [line.split()[6] for line in out] == ["Authenticate", "UserLogin", "SettlementInfoConfirm"]
    assert journal_main(["show", str(fake_file), "--kind", "RspUserLogin"]) == 0
    assert "TradingDay=20240105" in capsys.readouterr().out


# -- write failures: the session trades on and says so once

FAILING = textwrap.dedent("""
    import asyncio, logging, resource, signal, sys
    sys.path.insert(0, {tests!r})
    from fakes import FakeClock, FastAsyncio, fake_time, front_connected, make_session, record, row
    from velkor import trading
    {setup}
    errors = []
    class Catch(logging.Handler):
        def emit(self, r):
            if r.levelno >= logging.ERROR: errors.append(r.getMessage())
    logging.getLogger("velkor.trading").addHandler(Catch())
    clock = FakeClock()
    trading.time = fake_time(clock)
    trading.asyncio = FastAsyncio(clock)
    s = make_session()
    s = trading.Trading(s.config, 5.0, {{}}, native_factory=s.factory, journal={folder!r})
    run = s.run()
    run.send(None)
    s.native.push(front_connected())
    run.send(None)
    s.native.push(record("RspAuthenticate", {{"BrokerID": "9999"}}, request_id=1))
    run.send(None)
    s.native.push(record("RspUserLogin", row("login", TradingDay="20240105", FrontID=1, SessionID=7,
                                             MaxOrderRef="0"), request_id=2))
    for _ in range(300):                   # 300 kB of events the session does not know, in 3 s
        s.native.push({{"name": "Unheard", "data": {{"text": "x" * 1000}}}})
        run.send(None)
    run.close()
    try:
        s.close().send(None)
    except StopIteration:
        pass
    print(len(errors), s.phase, repr(errors[:1]))
""")


@pytest.mark.parametrize("case", ["full", "not_a_folder"])
def test_a_failed_write_logs_one_error_and_trading_goes_on(tmp_path, case):
    if case == "full":
        folder = tmp_path / "j"
        setup = ("signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
                 "resource.setrlimit(resource.RLIMIT_FSIZE, (30000, resource.RLIM_INFINITY))")
    else:
        (tmp_path / "file").write_text("")
        folder = tmp_path / "file" / "j"
        setup = ""
    script = FAILING.format(tests=str(Path(__file__).parent), setup=setup, folder=str(folder))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    count, phase, first = done.stdout.split(" ", 2)
    assert count == "1" and phase == "settlement", done.stdout   # still logging in, never restarted
    assert "journal" in first
    if case == "full":
        [path] = files(folder)
        assert path.stat().st_size <= 30000
        journal = read(path)           # whole records only, up to where writing stopped
        assert journal.truncated is None and journal.records[-1].kind != "end"
