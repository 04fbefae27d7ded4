"""What type checkers and help() see: the stubs name exactly what the modules hold, mypy --strict accepts
the examples and the simulator and refuses misspelt fields and words, every public method says its types."""

from __future__ import annotations

import ast
import dataclasses
import importlib
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from velkor import trading
from velkor.ledgerlet import CtpAccount

from fakes import make_session

ROOT = Path(__file__).resolve().parent.parent
STUBBED = ["velkor.trading", "velkor.ledgerlet", "velkor._kestro", "ctpsim._front"]


def stub_of(module) -> ast.Module:
    path = Path(module.__file__)
    return ast.parse(path.with_name(module.__name__.rpartition(".")[2] + ".pyi").read_text())


def defined(body: list[ast.stmt]) -> set[str]:
    """The names a stub body defines; `import x as x` and `from m import x as x` re-export."""
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname == a.name.rpartition(".")[2])
    return names


def plain(names) -> set[str]:
    """Without dunders and without what abc adds to a class."""
    return {n for n in names if not n.startswith("__") and not n.startswith("_abc")}


def instance_of(cls):
    if cls is trading.Trading:
        return make_session()
    if cls is trading.Native:
        return trading.Native(CtpAccount("9999", "1", "x", "tcp://127.0.0.1:1", "app", "auth"), os.getcwd())
    return None


def runtime_members(cls, module) -> set[str]:
    names = set()
    for klass in cls.__mro__:
        if klass.__module__ == module.__name__:
            names |= set(vars(klass))
            names |= set(getattr(klass, "fields", ()))
    if dataclasses.is_dataclass(cls):
        names |= {f.name for f in dataclasses.fields(cls)}
    instance = instance_of(cls)
    if instance is not None:
        names |= set(vars(instance))
        if cls is trading.Native:
            instance.close()
    return plain(names)


@pytest.mark.parametrize("name", STUBBED)
def test_stubs_name_what_the_modules_hold(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a Native's flow files
    module = importlib.import_module(name)
    stub = stub_of(module)
    public = {n for n in vars(module) if not n.startswith("_")}
    assert {n for n in defined(stub.body) if not n.startswith("_")} == public
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    for class_name, node in classes.items():
        if not hasattr(module, class_name):
            continue  # a stub-only helper type
        cls = getattr(module, class_name)
        stub_members = set()
        for base in [node] + [classes[b.id] for b in node.bases if isinstance(b, ast.Name) and b.id in classes]:
            stub_members |= defined(base.body)
        assert plain(stub_members) == runtime_members(cls, module), class_name


def test_record_kinds_have_no_catch_all_attribute():
    stub = stub_of(importlib.import_module("velkor.ledgerlet"))
    for node in stub.body:
        if isinstance(node, ast.ClassDef) and node.name in ("LiveObject", "Account", "Order", "Position", "Trade"):
            assert "__getattr__" not in defined(node.body)


def test_mypy_strict_accepts_the_examples_and_refuses_misspellings(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(textwrap.dedent("""\
        from velkor.trading import Trading

        async def strategy(session: Trading) -> None:
            position = session.positions["SHFE.ag2412"]
            print(position.pos_lnog)
            await session.insert("SHFE.ag2412", "BUY", "OPEN_TODAY", 1, 7800.0)
            if session.orders["1:2:3"].status == "FILED":
                pass
        """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                           str(tmp_path / "cache"), str(ROOT / "examples"), str(ROOT / "python" / "ctpsim"),
                           str(wrong)], capture_output=True, text=True, cwd=ROOT)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[:2] for line in errors] == [[str(wrong), "5"], [str(wrong), "6"], [str(wrong), "7"]], \
        done.stdout + done.stderr
    assert "pos_lnog" in errors[0] and "OPEN_TODAY" in errors[1] and "FILED" in errors[2]


PUBLIC_METHODS = [pytest.param(value, id=f"{cls.__name__}.{name}")
                  for cls in (trading.Trading, trading.Native) for name, value in vars(cls).items()
                  if callable(value) and (name == "__init__" or not name.startswith("_"))]


@pytest.mark.parametrize("method", PUBLIC_METHODS)
def test_help_shows_typed_signatures_and_docstrings(method):
    signature, _, doc = method.__doc__.partition("\n")
    assert signature.startswith(method.__name__ + "(self")
    [function] = ast.parse(f"def {signature}: ...").body
    args = function.args
    assert function.returns is not None and all(a.annotation is not None for a in args.args[1:] + args.kwonlyargs)
    assert len(doc.strip()) > 20


@pytest.mark.parametrize("cls", ["Front", "Counter"])
def test_simulator_methods_are_typed_and_documented(cls):
    import ctpsim

    klass = getattr(ctpsim, cls)
    for name, value in vars(klass).items():
        if name.startswith("_") and name != "__init__":
            continue
        function = value.fget if isinstance(value, property) else value
        if not inspect.isfunction(function):
            continue
        signature = inspect.signature(function)
        assert all(p.annotation is not p.empty for p in signature.parameters.values() if p.name != "self"), name
        assert name == "__init__" or signature.return_annotation is not signature.empty, name
        assert (function.__doc__ or klass.__doc__ or "").strip(), name
