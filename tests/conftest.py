"""Shared fixtures: a session over the fake adapter, a fake clock and a fast run loop; a simulated front, a
flow folder and a bridge handle on that front.

`async def` tests need no marker: each runs on its own event loop.
"""

from __future__ import annotations

import asyncio
import importlib.abc
import inspect
import os
import sys
import tempfile
import time

import pytest

ASYNC_TEST_LIMIT = 60.0  # seconds; a hanging test fails instead of hanging the suite


class _SkipWithoutSimulatedFront(importlib.abc.MetaPathFinder):
    """In a build against a vendor CTP SDK, importing ctpsim skips the test (or the whole test module) instead."""

    def __init__(self, reason):
        self.reason = reason

    def find_spec(self, name, path=None, target=None):
        if name == "ctpsim" or name.startswith("ctpsim."):
            pytest.skip(self.reason, allow_module_level=True)
        return None


try:
    import ctpsim  # noqa: F401
except ModuleNotFoundError as error:
    if error.name != "ctpsim._front":  # a broken install still fails the run
        raise
    sys.meta_path.insert(0, _SkipWithoutSimulatedFront(str(error)))


@pytest.hookimpl(wrapper=True)
def pytest_make_collect_report(collector):
    """A test module skipped for want of the simulated front is reported under its own name."""
    report = yield
    if report.skipped and isinstance(collector, pytest.Module) and isinstance(report.longrepr, tuple):
        path, line, message = report.longrepr
        if path == __file__:
            report.longrepr = (str(collector.path), 1, message)
    return report


def pytest_addoption(parser):
    parser.addoption("--monotonic-start", type=float, default=None, metavar="SECONDS",
                     help="run with time.monotonic() starting near SECONDS, as on a machine up for that long "
                          "(fixtures must not depend on the machine's uptime)")


def pytest_configure(config):
    start = config.getoption("--monotonic-start")
    if start is not None:
        real = time.monotonic
        offset = start - real()
        time.monotonic = lambda: real() + offset


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    """`async def` tests run to completion on a fresh event loop."""
    if not inspect.iscoroutinefunction(pyfuncitem.obj):
        return None
    args = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    asyncio.run(asyncio.wait_for(pyfuncitem.obj(**args), ASYNC_TEST_LIMIT))
    return True


@pytest.fixture(autouse=True, scope="session")
def _temporary_folder(tmp_path_factory):
    """The system's temporary folder, for this process and the programs it starts, is one below pytest's
    own (which pytest prunes): no flow-file directory of a session stays behind, also when a test
    replaces or restores the session module's `mkdtemp`."""
    folder = str(tmp_path_factory.mktemp("tmp"))
    saved = tempfile.tempdir, os.environ.get("TMPDIR")
    tempfile.tempdir = os.environ["TMPDIR"] = folder
    yield
    tempfile.tempdir = saved[0]
    if saved[1] is None:
        os.environ.pop("TMPDIR", None)
    else:
        os.environ["TMPDIR"] = saved[1]


@pytest.fixture
def clock(monkeypatch):
    """A FakeClock behind the module-level `time` of velkor.trading."""
    from velkor import trading
    from fakes import FakeClock, fake_time

    c = FakeClock()
    monkeypatch.setattr(trading, "time", fake_time(c))
    return c


@pytest.fixture
def fast(monkeypatch, clock):
    """The module-level `asyncio` of velkor.trading replaced so that its sleeps move `clock`."""
    from velkor import trading
    from fakes import FastAsyncio

    fa = FastAsyncio(clock)
    monkeypatch.setattr(trading, "asyncio", fa)
    return fa


@pytest.fixture
def session(clock):
    """A session over a FakeFactory, timeout 5 s, built at clock time."""
    from fakes import make_session

    return make_session(timeout=5.0)


@pytest.fixture
def front():
    """A simulated front on a fresh address; an API it drops may connect again after 10 ms."""
    from ctpsim import Front

    with Front() as f:
        f.retry_interval = 0.01
        yield f


@pytest.fixture
def flow(tmp_path):
    """A fresh folder for an API's flow files: the bytes path, ending in a separator, that the bridge takes."""
    return os.fsencode(tmp_path) + os.sep.encode()


@pytest.fixture
def bridge(front, flow):
    """A `fakes.Bridge` on `front`, closed after the test."""
    from velkor import _kestro
    from fakes import Bridge

    b = Bridge(front, flow)
    yield b
    _kestro.close(b.handle)
