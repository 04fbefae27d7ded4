"""The demo runs its whole story against the embedded counter and exits 0."""

from __future__ import annotations

import subprocess
import sys

import pytest

pytest.importorskip("ctpsim.front")


def test_demo_runs_the_story_and_exits_0(tmp_path):
    done = subprocess.run([sys.executable, "-m", "ctpsim.demo"], capture_output=True, text=True, timeout=60,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    out = done.stdout
    for line in ["sync step 6/6: account (资金)", "Offsets: CLOSE_YESTERDAY 5, CLOSE_TODAY 1",
                 "REJECTED  -                        报单参数无效或可平持仓不足，未提交",
                 "REJECTED, 报单被拒绝", "they agree"]:
        assert line in out, line
    assert "CANCELLED" in out and "published status DISCONNECTED" in out
