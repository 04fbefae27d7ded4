"""The demo runs its whole story against the embedded counter, exits 0 and reads well."""

from __future__ import annotations

import re
import subprocess
import sys
import unicodedata

import pytest

pytest.importorskip("ctpsim.front")


def width(line: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in line)


def test_demo_runs_the_story_and_exits_0(tmp_path):
    done = subprocess.run([sys.executable, "-m", "ctpsim.demo"], capture_output=True, text=True, timeout=60,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert done.stderr == ""
    lines = done.stdout.splitlines()
    assert max(width(line) for line in lines) <= 100
    # No internal names (the journal's temporary folder has a random name, which may hold anything).
    assert "__" not in re.sub(r"the journal in \S+:", "", done.stdout)
    # Every line of the story after the introduction carries its time, or continues the line before it.
    story = lines[lines.index("") + 1:]
    assert all(re.match(r" +\d+\.\d\d s | {14}\S|$", line) for line in story)
    text = " ".join(done.stdout.split())  # wrapped lines joined
    for phrase in ["log: READY: trading day", "commit 1: status READY",
                   "log: front disconnected: reason 0x1001 (network read failed)",
                   "offsets: CLOSE_YESTERDAY 5, CLOSE_TODAY 1",
                   "insert -> REJECTED - 报单参数无效或可平持仓不足，未提交",
                   "REJECTED 报单被拒绝 - the broker: ErrorID 31, CTP:资金不足",
                   "(cancel pending)", "CANCELLED", "status DISCONNECTED", "they agree",
                   "log: self-trade on SHFE: trade", "exchanges count self-trades against the account",
                   "records, replayed and verified"]:
        assert phrase in text, phrase
