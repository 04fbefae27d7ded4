"""The sanitizer run's own plumbing (./run sanitize): every process's reports reach a file, and the one
suppressed false alarm stays quiet. Runs only under the sanitizers; the reports it provokes go to its own
folder, so that they do not fail the run."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

PRELOAD = os.environ.get("LD_PRELOAD", "")
if "libasan" not in PRELOAD:
    pytest.skip("runs under ./run sanitize only", allow_module_level=True)

USE_AFTER_FREE = """
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
block = libc.malloc(16)
libc.free(ctypes.c_void_p(block))
ctypes.string_at(block, 8)
"""
OVERFLOW = """
import ctypes, sys
ctypes.CDLL(sys.argv[1]).bump(1)
"""
# A daemon thread still in a request of the stand-in library when the interpreter ends: pthread_exit unwinds its
# C++ frames (the suppressed false alarm, with the fake stack off so that the real stack carries the redzones).
DAEMON = """
import sys, threading, time
from ctpsim import Front, _front
from ctpsim.front import encode
front = Front()
client = _front.Client(sys.argv[1].encode(), front.address)
front.wait_connection()
record = encode("CThostFtdcQryTradeField", {})
for _ in range(4):
    threading.Thread(target=lambda: [client.request("QryTrade", record, 1) for _ in iter(int, 1)],
                     daemon=True).start()
time.sleep(0.05)
"""


def options(name: str, folder, **extra) -> str:
    """`name`'s options of this run with reports sent to `folder`."""
    items = dict(item.split("=", 1) for item in os.environ.get(name, "").split(":") if "=" in item)
    items.update(log_path=str(folder / "report"), **extra)
    return ":".join(f"{k}={v}" for k, v in items.items())


def run_child(code, folder, *args, **asan):
    env = dict(os.environ, ASAN_OPTIONS=options("ASAN_OPTIONS", folder, **asan),
               UBSAN_OPTIONS=options("UBSAN_OPTIONS", folder))
    child = subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    out, err = child.communicate(timeout=120)
    return child, err


def overflow_library(tmp_path):
    source = tmp_path / "bump.cpp"
    source.write_text('#include <climits>\nextern "C" int bump(int a) { int x = INT_MAX; x += a; return x; }\n')
    library = tmp_path / "libbump.so"
    subprocess.run([os.environ.get("CXX", "g++"), "-shared", "-fPIC", "-fsanitize=address,undefined", "-g",
                    str(source), "-o", str(library)], check=True)
    return library


@pytest.mark.parametrize("case, expected", [("use after free", "heap-use-after-free"),
                                            ("overflow", "runtime error: signed integer overflow")])
def test_a_child_interpreters_report_lands_in_its_own_file(tmp_path, case, expected):
    reports = tmp_path / "reports"
    reports.mkdir()
    if case == "overflow":
        child, err = run_child(OVERFLOW, reports, overflow_library(tmp_path))
    else:
        child, err = run_child(USE_AFTER_FREE, reports)
    assert child.returncode != 0  # both runtimes stop the process at the first report
    assert [p.name for p in reports.iterdir()] == [f"report.{child.pid}"], err
    assert expected in (reports / f"report.{child.pid}").read_text()


def test_daemon_threads_unwound_at_exit_raise_no_report(tmp_path):
    reports = tmp_path / "reports"
    reports.mkdir()
    flow = tmp_path / "flow"
    flow.mkdir()
    for _ in range(3):
        child, err = run_child(DAEMON, reports, f"{flow}/", detect_stack_use_after_return=0)
        assert child.returncode == 0, err
    assert list(reports.iterdir()) == []
