"""Regenerates stubs/zelt_core.pyi from the built module with pybind11-stubgen and
carries the hand-written one-line docstrings of the current stub over to it, each to
the function, method or class of the same qualified name.

    .venv/bin/python scripts/update_stub.py      # after an interface change; review the diff
"""
import ast
import pathlib
import subprocess
import sys
import tempfile
from typing import Dict, List

STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "zelt_core.pyi"
Documented = (ast.ClassDef, ast.FunctionDef)


def docstrings(source: str) -> Dict[str, str]:
    found: Dict[str, str] = {}

    def walk(body: List[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, Documented):
                doc = ast.get_docstring(node, clean=False)
                if doc is not None:
                    found[prefix + node.name] = doc
                if isinstance(node, ast.ClassDef):
                    walk(node.body, prefix + node.name + ".")

    walk(ast.parse(source).body, "")
    return found


def with_docstrings(generated: str, docs: Dict[str, str]) -> str:
    lines = generated.splitlines(keepends=True)
    inserts = []  # (line index, text), applied bottom-up

    def walk(body: List[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, Documented):
                name = prefix + node.name
                if name in docs:
                    first = node.body[0]
                    indent = " " * first.col_offset
                    # above the decorators of a decorated first member
                    line = min([first.lineno] + [d.lineno for d in getattr(first, "decorator_list", [])])
                    inserts.append((line - 1, f'{indent}"""{docs[name]}"""\n'))
                if isinstance(node, ast.ClassDef):
                    walk(node.body, name + ".")

    walk(ast.parse(generated).body, "")
    for index, text in sorted(inserts, reverse=True):
        lines.insert(index, text)
    return "".join(lines)


def main() -> None:
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", "zelt_core", "-o", out],
                       check=True)
        generated = (pathlib.Path(out) / "zelt_core.pyi").read_text()
    STUB.write_text(with_docstrings(generated, docstrings(STUB.read_text())))


if __name__ == "__main__":
    main()
