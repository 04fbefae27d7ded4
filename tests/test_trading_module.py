"""velkor.trading at module level: names, constants, helper functions and the Native adapter."""

import asyncio
import codecs
import datetime as dt
import logging
import math
import os
import sys
import time
import types
from pathlib import Path

import hypothesis
import pytest
from hypothesis import strategies as st

from velkor import data, errors, ledgerlet
from velkor import trading
from velkor.data import VelkorError

from fakes import ACCOUNT


def test_module_names_in_order():
    names = [n for n in vars(trading) if not n.startswith("__")]
    assert names == [
        "asyncio", "datetime", "timedelta", "timezone", "math", "os", "time", "logging", "mkdtemp",
        "VelkorError", "check_symbol", "different", "Recovery",
        "Account", "Position", "Order", "Trade", "LiveMap", "empty_position", "TradingResult",
        "TZ", "QUERY", "SYNC_STEPS", "PHASE_LABELS", "QUERY_LABELS", "ACCOUNT_FIELDS", "OFFSET_BY_FLAG",
        "FLAG_BY_OFFSET", "timestamp", "finite", "local_order_id", "order_offset", "Native", "Limits", "Trading",
    ]
    assert trading.__doc__ == "CTP session, login snapshots and trade-driven local position state."


@pytest.mark.parametrize("attr,expected", [
    ("asyncio", asyncio), ("datetime", dt.datetime), ("timedelta", dt.timedelta), ("timezone", dt.timezone),
    ("math", math), ("os", os), ("time", time), ("logging", logging),
    ("VelkorError", data.VelkorError), ("check_symbol", data.check_symbol), ("different", data.different),
    ("Recovery", errors.Recovery), ("Account", ledgerlet.Account), ("LiveMap", ledgerlet.LiveMap),
    ("empty_position", ledgerlet.empty_position), ("TradingResult", ledgerlet.TradingResult),
])
def test_imported_names_are_the_originals(attr, expected):
    assert getattr(trading, attr) is expected


def test_constants():
    assert trading.TZ == dt.timezone(dt.timedelta(hours=8))
    assert trading.TZ.tzname(None) == "UTC+08:00"  # a plain offset, no zone name
    assert list(trading.QUERY.items()) == [
        ("instruments", "QryInstrument"), ("orders", "QryOrder"), ("trades_before", "QryTrade"),
        ("positions", "QryInvestorPosition"), ("trades_after", "QryTrade"), ("account", "QryTradingAccount")]
    assert trading.SYNC_STEPS == ("instruments", "orders", "trades_before", "positions", "trades_after", "account")
    assert trading.PHASE_LABELS == {"authenticate": "认证", "login": "登录", "settlement": "结算单确认"}
    assert list(trading.QUERY_LABELS.items()) == [
        ("instruments", "合约"), ("orders", "订单"), ("trades_before", "首次成交"), ("positions", "持仓"),
        ("trades_after", "复查成交"), ("account", "资金")]
    assert list(trading.ACCOUNT_FIELDS.items()) == [
        ("balance", "Balance"), ("available", "Available"), ("margin", "CurrMargin"),
        ("frozen_margin", "FrozenMargin"), ("commission", "Commission"), ("frozen_commission", "FrozenCommission"),
        ("close_profit", "CloseProfit"), ("position_profit", "PositionProfit"), ("deposit", "Deposit"),
        ("withdraw", "Withdraw")]
    assert list(trading.OFFSET_BY_FLAG.items()) == [
        ("0", "OPEN"), ("1", "CLOSE"), ("3", "CLOSE_TODAY"), ("4", "CLOSE_YESTERDAY")]
    assert list(trading.FLAG_BY_OFFSET.items()) == [
        ("OPEN", "0"), ("CLOSE", "1"), ("CLOSE_TODAY", "3"), ("CLOSE_YESTERDAY", "4")]
    for table in ("QUERY", "PHASE_LABELS", "QUERY_LABELS", "ACCOUNT_FIELDS", "OFFSET_BY_FLAG", "FLAG_BY_OFFSET"):
        assert type(getattr(trading, table)) is dict


# -- timestamp

JAN2_0130_UTC = int(dt.datetime(2024, 1, 2, 1, 30, tzinfo=dt.timezone.utc).timestamp() * 1000)


@pytest.mark.parametrize("day,clock,expected", [
    ("20240102", "09:30:00", JAN2_0130_UTC),
    ("20240102", "00:00:00", JAN2_0130_UTC - int(9.5 * 3600 * 1000)),   # previous UTC day
    ("19700101", "08:00:00", 0),
    ("19700101", "07:59:59", -1000),
    ("2024010", "209:30:00", JAN2_0130_UTC),                            # only the concatenation counts
    ("", "", None), ("20240102", "", None), ("", "09:30:00", None),
    ("2024-01-02", "09:30:00", None), ("20240102", "9:30", None), ("20241302", "09:30:00", None),
    (None, "09:30:00", None), ("20240102", None, None), (20240102, "09:30:00", None),
    (b"20240102", "09:30:00", None), ("20240102", b"09:30:00", None),
])
def test_timestamp(day, clock, expected):
    result = trading.timestamp(day, clock)
    assert result == expected
    assert type(result) is (int if expected is not None else type(None))


def test_timestamp_keyword_arguments_and_other_errors_propagate(monkeypatch):
    assert trading.timestamp(clock="09:30:00", day="20240102") == JAN2_0130_UTC

    class Weird:
        def __add__(self, other):
            raise KeyError("not a value or type error")

    with pytest.raises(KeyError):
        trading.timestamp(Weird(), "09:30:00")


def reference_timestamp(day, clock):
    """The general algorithm, written out: parse the concatenation in exchange time."""
    try:
        parsed = dt.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S")
    except (ValueError, TypeError):
        return None
    return int(parsed.replace(tzinfo=dt.timezone(dt.timedelta(hours=8))).timestamp() * 1000)


class Text(str):
    pass


class Shouting(str):
    def __add__(self, other):
        return str.__add__(self, other).replace("X", "0")


@pytest.mark.parametrize("day,clock", [
    ("20240229", "12:00:00"), ("20000229", "12:00:00"), ("20230229", "12:00:00"), ("19000229", "12:00:00"),
    ("20240430", "23:59:59"), ("20240431", "23:59:59"), ("20241231", "23:59:59"), ("20240101", "00:00:00"),
    ("00010101", "00:00:00"), ("99991231", "23:59:59"), ("00000101", "00:00:00"), ("20240001", "00:00:00"),
    ("20240100", "00:00:00"), ("20241301", "00:00:00"),
    ("20240102", "24:00:00"), ("20240102", "23:60:00"), ("20240102", "23:59:60"), ("20240102", "23:59:61"),
    ("20240102", "09-30-00"), ("2024010 ", "09:30:00"), ("202401 2", "09:30:00"), ("20240102", " 9:30:00"),
    ("２０２４０１０２", "09:30:00"), ("20240102", "0٩:30:00"), ("20240102", "09:30:0٩"), ("2024O102", "09:30:00"),
    (Text("20240102"), "09:30:00"), ("20240102", Text("09:30:00")), (Shouting("2024X102"), "09:30:00"),
])
def test_timestamp_agrees_with_the_general_algorithm_on_edge_cases(day, clock):
    result = trading.timestamp(day, clock)
    assert result == reference_timestamp(day, clock)
    assert type(result) is type(reference_timestamp(day, clock))


def test_timestamp_edge_values():
    assert trading.timestamp("20240229", "00:00:00") == JAN2_0130_UTC + (58 * 86400 - 9.5 * 3600) * 1000
    assert trading.timestamp("20230229", "00:00:00") is None
    assert trading.timestamp("20240102", "09:30:0٩") == JAN2_0130_UTC + 9000  # the parser's \d takes any digit
    assert trading.timestamp("２０２４０１０２", "09:30:00") is None  # but its month and day want ASCII ones
    assert trading.timestamp(Shouting("2024X102"), "09:30:00") == JAN2_0130_UTC


@hypothesis.settings(max_examples=800, deadline=None)
@hypothesis.given(
    st.integers(0, 9999), st.integers(0, 13), st.integers(0, 32),
    st.integers(0, 25), st.integers(0, 61), st.integers(0, 61),
)
def test_timestamp_agrees_on_every_field_combination(year, month, day, hour, minute, second):
    d, c = f"{year:04d}{month:02d}{day:02d}", f"{hour:02d}:{minute:02d}:{second:02d}"
    assert trading.timestamp(d, c) == reference_timestamp(d, c)


@hypothesis.settings(max_examples=400, deadline=None)
@hypothesis.given(st.datetimes(min_value=dt.datetime(1, 1, 1), max_value=dt.datetime(9999, 12, 31, 23, 59, 59)))
def test_timestamp_agrees_on_any_valid_moment(moment):
    d, c = moment.strftime("%Y%m%d"), moment.strftime("%H:%M:%S")
    d = d.rjust(8, "0")  # strftime may drop leading zeros of small years
    assert trading.timestamp(d, c) == reference_timestamp(d, c) is not None


@hypothesis.settings(max_examples=600, deadline=None)
@hypothesis.given(st.text("0123456789:９٣ -", min_size=6, max_size=10), st.text("0123456789:９ ", max_size=10),
                  st.booleans())
def test_timestamp_agrees_on_arbitrary_text(day, clock, subclass):
    if subclass:
        day = Text(day)
    assert trading.timestamp(day, clock) == reference_timestamp(day, clock)


def test_timestamp_reads_the_module_names_when_called(monkeypatch):
    monkeypatch.setattr(trading, "TZ", dt.timezone.utc)
    assert trading.timestamp("20240102", "01:30:00") == JAN2_0130_UTC

    class Clocked(dt.datetime):
        @classmethod
        def strptime(cls, text, fmt):
            return dt.datetime.strptime(text, fmt) + dt.timedelta(hours=1)

    monkeypatch.setattr(trading, "TZ", dt.timezone(dt.timedelta(hours=8)))
    monkeypatch.setattr(trading, "datetime", Clocked)
    assert trading.timestamp("20240102", "08:30:00") == JAN2_0130_UTC


# -- finite

class MyFloat(float):
    pass


@pytest.mark.parametrize("value,expected", [
    (1.5, 1.5), (3, 3), (-1e99, -1e99), (0, 0), (-0.0, -0.0), (True, True), (False, False),
    (MyFloat(2.5), 2.5), (10 ** 99, 10 ** 99),
    (math.nan, None), (math.inf, None), (-math.inf, None), (1e100, None), (-1e100, None), (2e100, None),
    ("1.5", None), (None, None), (b"1", None), ([1], None),
])
def test_finite(value, expected):
    result = trading.finite(value)
    if expected is None:
        assert result is None
    else:
        assert result is value  # the value itself, with its own type


def test_finite_huge_int_raises_overflow():
    with pytest.raises(OverflowError):
        trading.finite(10 ** 400)


def test_finite_uses_the_module_math_and_its_errors_propagate(monkeypatch):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    monkeypatch.setattr(trading, "math", types.SimpleNamespace(isfinite=lambda value: Undecided()))
    with pytest.raises(ZeroDivisionError):
        trading.finite(1.5)
    monkeypatch.setattr(trading, "math", types.SimpleNamespace(isfinite=lambda value: 0))
    assert trading.finite(1.5) is None


# -- local_order_id and order_offset

@pytest.mark.parametrize("args,expected", [
    ((1, 12345, "7"), "1:12345:7"),
    (("1", "2", "  3 "), "1:2:  3 "),
    ((-1, 0, ""), "-1:0:"),
    ((None, True, 1.5), "None:True:1.5"),
])
def test_local_order_id(args, expected):
    assert trading.local_order_id(*args) == expected
    assert trading.local_order_id(front=args[0], session=args[1], order_ref=args[2]) == expected


@pytest.mark.parametrize("value,expected", [
    ("0", "OPEN"), ("3", "CLOSE_TODAY"), ("4", "CLOSE_YESTERDAY"), ("1", "CLOSE"), ("2", "CLOSE"),
    ("5", "CLOSE"), ("6", "CLOSE"), ("", "CLOSE"), (None, "CLOSE"), (0, "CLOSE"),
    ("03", "OPEN"), ("40", "CLOSE_YESTERDAY"), (3, "CLOSE_TODAY"), ("\x00", "CLOSE"), ("OPEN", "CLOSE"),
])
def test_order_offset(value, expected):
    assert trading.order_offset(value) == expected


def test_order_offset_reads_the_table_when_called(monkeypatch):
    monkeypatch.setitem(trading.OFFSET_BY_FLAG, "9", "NINE")
    assert trading.order_offset("9x") == "NINE"


# -- Native

@pytest.fixture
def fake_bridge(monkeypatch):
    """A stand-in velkor._kestro recording its calls."""
    calls = []
    bridge = types.ModuleType("velkor._kestro")
    bridge.create = lambda front, path: calls.append(("create", front, path)) or "HANDLE"
    bridge.request = lambda h, m, d, i: calls.append(("request", h, m, d, i)) or -7
    bridge.poll = lambda h: calls.append(("poll", h)) or [{"name": "FrontConnected"}]
    bridge.close = lambda h: calls.append(("close", h))
    bridge.calls = calls
    monkeypatch.setitem(sys.modules, "velkor._kestro", bridge)
    import velkor
    monkeypatch.setattr(velkor, "_kestro", bridge, raising=False)
    return bridge


def test_native_forwards_to_the_bridge(fake_bridge, tmp_path):
    native = trading.Native(ACCOUNT, tmp_path)
    assert native.module is fake_bridge and native.handle == "HANDLE"
    assert fake_bridge.calls == [("create", ACCOUNT.front_url, os.fsencode(str(tmp_path) + os.sep))]
    payload = {"A": 1}
    assert native.request("QryOrder", payload, 5) == -7
    assert fake_bridge.calls[-1] == ("request", "HANDLE", "QryOrder", payload, 5)
    assert native.poll() == [{"name": "FrontConnected"}]
    assert native.close() is None
    assert native.close() is None
    assert fake_bridge.calls[-2:] == [("close", "HANDLE"), ("close", "HANDLE")]
    assert trading.Native.__doc__ is None


@pytest.mark.parametrize("directory", ["/tmp/flows", "/tmp/flows/", Path("/tmp/flows"), "/tmp/流水"])
def test_native_flow_path_always_gains_a_separator(fake_bridge, directory):
    trading.Native(config=ACCOUNT, directory=directory)
    assert fake_bridge.calls[0][2] == os.fsencode(str(directory) + os.sep)


def test_native_on_windows_encodes_with_the_ansi_code_page(fake_bridge, monkeypatch):
    def search(name):
        if name == "mbcs":
            return codecs.CodecInfo(lambda s, errors="strict": (s.encode("gbk", errors), len(s)),
                                    codecs.lookup("gbk").decode, name="mbcs")
        return None

    codecs.register(search)
    try:
        monkeypatch.setattr(trading, "os", types.SimpleNamespace(name="nt", sep="\\", fsencode=os.fsencode))
        trading.Native(ACCOUNT, "C:\\流水")
        assert fake_bridge.calls[0][2] == "C:\\流水\\".encode("gbk")
    finally:
        codecs.unregister(search)


def test_native_propagates_create_errors(fake_bridge):
    def create(front, path):
        raise RuntimeError("创建 CTP 接口失败")

    fake_bridge.create = create
    with pytest.raises(RuntimeError, match="创建 CTP 接口失败"):
        trading.Native(ACCOUNT, "/tmp/x")


def test_native_without_bridge_raises_velkor_error_with_cause(monkeypatch):
    import velkor
    monkeypatch.setitem(sys.modules, "velkor._kestro", None)
    monkeypatch.delattr(velkor, "_kestro", raising=False)
    with pytest.raises(VelkorError) as info:
        trading.Native(ACCOUNT, "/tmp/x")
    assert str(info.value) == "CTP 原生模块不可用，请安装适用于当前 64 位平台的 velkor wheel"
    assert isinstance(info.value.__cause__, ImportError)


def test_native_import_errors_other_than_import_error_propagate(monkeypatch):
    import velkor

    class Exploding:
        def find_spec(self, name, path=None, target=None):
            if name == "velkor._kestro":
                raise ZeroDivisionError("broken finder")
            return None

    monkeypatch.delitem(sys.modules, "velkor._kestro", raising=False)
    monkeypatch.delattr(velkor, "_kestro", raising=False)
    monkeypatch.setattr(sys, "meta_path", [Exploding()] + sys.meta_path)
    with pytest.raises(ZeroDivisionError):
        trading.Native(ACCOUNT, "/tmp/x")


@pytest.mark.parametrize("blocked", ["velkor.data", "velkor.errors", "velkor.ledgerlet"])
def test_failing_host_import_fails_the_module_import(blocked):
    import subprocess

    code = (f"import sys; sys.modules[{blocked!r}] = None\n"
            "try:\n    import velkor.trading\nexcept ImportError:\n    print('ImportError')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ImportError", out.stderr
