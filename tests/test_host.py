"""The host package's stand-ins: errors, symbols, change detection and retry control."""

import math

import pytest

from velkor import errors
from velkor.data import VelkorError, check_symbol, different
from velkor.errors import Recovery


@pytest.mark.parametrize("base", [TimeoutError, BufferError, ConnectionError, OSError])
def test_velkor_error_is_not_a_restart_class(base):
    assert issubclass(VelkorError, Exception)
    assert not issubclass(VelkorError, base)
    assert errors.VelkorError is VelkorError


@pytest.mark.parametrize("symbol", ["SHFE.ag2412", "A.b", "ABCDEFGH.x", "DCE.m2501-C-3000", "CZCE." + "x" * 80,
                                    "CFFEX.IF2412", "GFEX.si2501", "SSE.~!@#$%^&*()_+"])
def test_check_symbol_accepts(symbol):
    assert check_symbol(symbol) is None


@pytest.mark.parametrize("symbol", ["", "SHFE", "SHFE.", ".ag2412", "shfe.ag2412", "ABCDEFGHI.x", "SH1E.ag",
                                    "SHFE.ag 2412", "SHFE.ag.2412", "CZCE." + "x" * 81, "SHFE.ag\x00",
                                    "ＳＨＦＥ.ag", "SHFE.合约", "SHFE.ag\t", "SHFE.ag\x7f", "SHFE..ag"])
def test_check_symbol_rejects_with_chinese_message(symbol):
    with pytest.raises(ValueError) as info:
        check_symbol(symbol)
    assert "合约代码" in str(info.value)


@pytest.mark.parametrize("value", [None, b"SHFE.ag2412", 1, ["SHFE.ag2412"]])
def test_check_symbol_type(value):
    with pytest.raises(TypeError):
        check_symbol(value)


@pytest.mark.parametrize("old,new,expected", [
    (None, None, False), (None, 0, True), (0, None, True), (1, 1, False), (1, 2, True),
    (True, 1, True), (1, True, True), (1, 1.0, True), (1.0, 1.0, False), (0.0, -0.0, False),
    (math.nan, math.nan, False), (math.nan, 1.0, True), (1.0, math.nan, True), ("a", "a", False),
    ("a", "b", True), ("", None, True), (float("inf"), float("inf"), False),
])
def test_different(old, new, expected):
    assert bool(different(old, new)) is expected


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    c = FakeClock()
    monkeypatch.setattr(errors.time, "monotonic", c)
    return c


def test_recovery_without_numbers_never_gives_up(clock):
    r = Recovery("交易连接")
    r.begin()
    for _ in range(1000):
        r.fail()
        r.check()


def test_recovery_gives_up_after_attempts_within_window(clock):
    r = Recovery("账户查询", 3, 120)
    r.fail(); r.check()
    r.fail(); r.check()
    r.fail()
    with pytest.raises(VelkorError, match="账户查询"):
        r.check()
    with pytest.raises(VelkorError):  # stays given up until a success or the window moves on
        r.check()


def test_recovery_window_ages_out_old_failures(clock):
    r = Recovery("账户查询", 3, 120)
    r.fail()
    clock.now += 100
    r.fail()
    clock.now += 21  # the first failure is now older than the window
    r.fail()
    r.check()
    clock.now += 1
    r.fail()
    with pytest.raises(VelkorError):
        r.check()


def test_recovery_success_and_begin_clear(clock):
    r = Recovery("账户查询", 2, 120)
    r.fail(); r.fail()
    r.success()
    r.check()
    r.fail(); r.fail()
    r.begin()
    r.check()
    r.fail()
    r.check()


@pytest.mark.parametrize("args", [(0,), (-1,), (True,), (2.5,), (3, 0), (3, -1)])
def test_recovery_rejects_bad_numbers(args):
    with pytest.raises(ValueError):
        Recovery("x", *args)
