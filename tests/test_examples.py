"""The README's program and the scripts in examples/ run as written against the simulated counter, and a
program that ends with a session still alive ends quietly."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("ctpsim.front")

ROOT = Path(__file__).resolve().parent.parent


def readme_program() -> str:
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("## Using it"):]
    section = section[:section.index("\n## ", 1)]
    [program] = re.findall(r"```python\n(.*?)```", section, re.S)
    return program


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The README program and every example, run side by side (each waits for a login)."""
    folder = tmp_path_factory.mktemp("programs")
    (folder / "readme.py").write_text(readme_program())
    scripts = {"README": folder / "readme.py"} | {p.name: p for p in sorted((ROOT / "examples").glob("*.py"))}
    env = dict(os.environ, TMPDIR=str(folder))
    started = {name: subprocess.Popen([sys.executable, str(path)], cwd=folder, env=env, text=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
               for name, path in scripts.items()}
    done = {}
    for name, process in started.items():
        out, err = process.communicate(timeout=120)
        done[name] = (process.returncode, out, err)
    return done


def test_the_readme_program_runs_as_written(runs):
    code, out, err = runs["README"]
    assert code == 0, out + err
    balance, result, position = out.splitlines()
    assert balance.startswith("1000000.0 ")
    assert result.startswith("TradingResult(status='SUBMITTED', order_id='1:")
    assert position == "1 7800.0"
    assert "INFO:velkor.trading:[7070/10086001] READY: " in err


def test_the_strategy_example_tells_its_story(runs):
    code, out, err = runs["strategy.py"]
    assert code == 0, out + err
    for line in ["fill: BUY OPEN 2 SHFE.ag2412 at 7800.0", "closed: CLOSE_TODAY; long 0", "cancel: SUBMITTED",
                 "refused: 报单被拒绝; the broker said ErrorID 31: CTP:资金不足"]:
        assert line in out.splitlines()
    assert "Traceback" not in err


def test_the_limits_example_tells_its_story(runs):
    code, out, err = runs["limits.py"]
    assert code == 0, out + err
    assert out.splitlines() == ["crossing buy: REJECTED 可能与本账户挂单自成交，报单未提交",
                                "after two cancels: REJECTED 该合约当日撤单次数已达上限，报单未提交",
                                "cancels today: {'SHFE.ag2412': 2}; alive orders: 0"]
    assert "refused by limit self_trade: it could trade against the account's alive SELL order at 7900.0" in err


def test_a_program_ending_with_a_live_session_says_nothing(tmp_path):
    # The session lives on in a daemon thread's frames, which the interpreter never frees at exit.
    program = textwrap.dedent("""\
        import asyncio, threading, time
        from velkor.ledgerlet import CtpAccount
        from velkor.trading import Trading

        def trade():
            session = Trading(CtpAccount("9999", "1", "x", "tcp://127.0.0.1:1", "app", "auth"), 5.0, {})
            async def main():
                session.start()
                await asyncio.sleep(100)
            asyncio.run(main())

        threading.Thread(target=trade, daemon=True).start()
        time.sleep(0.3)
        """)
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60, cwd=tmp_path,
                          env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert (done.returncode, done.stderr) == (0, "")
