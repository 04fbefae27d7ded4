"""The extension modules keep process-wide state and load in the main interpreter only: a sub-interpreter,
legacy or isolated, gets an ImportError that says why, and the main interpreter's modules go on as before."""

from __future__ import annotations

import json

import pytest

from test_entry_support import holding, now, ready_session

MODULES = ["velkor.trading", "velkor.ledgerlet", "velkor._kestro", "ctpsim._front"]

IMPORT = r"""
import json
try:
    import {module}
    outcome = ["imported", "", ""]
except ImportError as e:
    outcome = [type(e).__name__, str(e), e.name]
with open({path!r}, "w", encoding="utf-8") as f:
    json.dump(outcome, f)
"""


def in_sub_interpreter(kind, code):
    if kind == "legacy":  # the configuration of Py_NewInterpreter: shared GIL, single-phase modules allowed
        testcapi = pytest.importorskip("_testcapi")
        assert testcapi.run_in_subinterp(code) == 0
    else:
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
@pytest.mark.parametrize("module", MODULES)
def test_a_sub_interpreter_is_refused_with_the_reason(tmp_path, module, kind):
    path = tmp_path / "outcome.json"
    in_sub_interpreter(kind, IMPORT.format(module=module, path=str(path)))
    error, message, name = json.loads(path.read_text(encoding="utf-8"))
    assert (error, name) == ("ImportError", module)
    assert message.startswith(f"{module} 不能在子解释器中加载：")
    assert f"{module} cannot be loaded in a sub-interpreter" in message

    # The main interpreter's modules are untouched: a session and its closing-lot index work as before.
    s = ready_session("DCE.m2501")
    s.p["DCE.m2501"] = holding("DCE.m2501", long_his=5)
    [r] = now(s.insert("DCE.m2501", "SELL", "CLOSE", 2, 5000.0))
    assert r.status == "SUBMITTED" and s._free_parts("DCE.m2501", "long") == (3, 0)
    assert not any(s.diagnostics.values())
