"""The shipped type stub matches the module, and the examples type-check against it."""
import ast
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "zelt_core.pyi"


def without_docstrings(source):
    """The stub's syntax tree with every docstring taken out: its signatures and types."""
    tree = ast.parse(source)
    for node in ast.walk(tree):
        body = getattr(node, "body", None)
        if (isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and body
                and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant)
                and isinstance(body[0].value.value, str)):
            node.body = body[1:] or [ast.Expr(ast.Constant(...))]
    return ast.dump(tree, include_attributes=False)


def test_stub_is_current(tmp_path):
    # The committed stub is the generated one plus hand-written docstrings, so the
    # two are compared with the docstrings taken out: every name, signature,
    # default, type and the order of all of them must still agree.
    pytest.importorskip("pybind11_stubgen")
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "zelt_core", "-o", str(tmp_path)],
                   check=True, capture_output=True, text=True)
    generated = (tmp_path / "zelt_core.pyi").read_text()
    committed = STUB.read_text()
    assert without_docstrings(generated) == without_docstrings(committed), (
        "stubs/zelt_core.pyi is stale: regenerate it with 'python scripts/update_stub.py' "
        "(keeps the docstrings) and review the diff")


def test_stub_documents_every_function_and_class_in_one_line():
    tree = ast.parse(STUB.read_text())
    undocumented, long = [], []
    public = [n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))]
    methods = [m for c in public if isinstance(c, ast.ClassDef) for m in c.body
               if isinstance(m, ast.FunctionDef) and m.name in ("__init__", "fit")]
    for node in public + methods:
        doc = ast.get_docstring(node, clean=False)
        if not doc:
            undocumented.append(node.name)
        elif "\n" in doc:
            long.append(node.name)
    assert len(public) == 15 and not undocumented and not long, (undocumented, long)


def test_stub_update_keeps_docstrings_and_changes_nothing_else(tmp_path):
    sys.path.insert(0, str(ROOT / "scripts"))
    try:
        import update_stub
    finally:
        sys.path.pop(0)
    committed = STUB.read_text()
    bare = "\n".join(line for line in committed.splitlines() if not line.strip().startswith('"""')
                     or line.strip() == '"""') + "\n"
    rebuilt = update_stub.with_docstrings(bare, update_stub.docstrings(committed))
    assert rebuilt == committed


def test_examples_type_check(tmp_path):
    pytest.importorskip("mypy")
    res = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), "--strict-optional",
         "--disallow-untyped-defs", str(ROOT / "examples")],
        capture_output=True, text=True)
    assert res.returncode == 0, res.stdout + res.stderr
