"""The ``stubdoc`` directive: the API of the compiled module from its type stub.

The module's runtime docstrings are fixed and bare, so its reference is written
in the stub (stubs/zelt_core.pyi). The directive reads the stub with ``ast`` and
emits one entry per function and class: the signature with its defaults and
the stub's docstring."""
import ast
import pathlib
import re

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective


def _text(doc) -> str:
    """A stub docstring as inline reStructuredText: `names` as code, the markup
    characters of formulas (|x|, a*b) escaped."""
    out = (doc or "").replace("\\", "\\\\").replace("|", "\\|").replace("*", "\\*")
    return re.sub(r"`([^`]+)`", r"``\1``", out)


def _signature(fn: ast.FunctionDef) -> str:
    args = fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + list(fn.args.defaults)
    parts = []
    for arg, default in zip(args, defaults):
        if arg.arg == "self":
            continue
        parts.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    return ", ".join(parts)


class StubDoc(SphinxDirective):
    required_arguments = 1   # the stub, relative to the documentation's folder

    def run(self):
        path = (pathlib.Path(self.env.srcdir) / self.arguments[0]).resolve()
        self.env.note_dependency(str(path))
        tree = ast.parse(path.read_text())
        lines = []
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                lines += [f".. py:function:: zelt_core.{node.name}({_signature(node)})", "",
                          f"   {_text(ast.get_docstring(node))}", ""]
            elif isinstance(node, ast.ClassDef):
                init = next((n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__"), None)
                sig = f"({_signature(init)})" if init is not None else ""
                lines += [f".. py:class:: zelt_core.{node.name}{sig}", "", f"   {_text(ast.get_docstring(node))}", ""]
                if init is not None and ast.get_docstring(init):
                    lines += [f"   {_text(ast.get_docstring(init))}", ""]
                for member in node.body:
                    if not isinstance(member, ast.FunctionDef) or member.name.startswith("_"):
                        continue
                    is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list)
                    if is_property:
                        lines += [f"   .. py:attribute:: {member.name}", "", "      read-only", ""]
                    else:
                        lines += [f"   .. py:method:: {member.name}({_signature(member)})", "",
                                  f"      {_text(ast.get_docstring(member))}", ""]
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(path)), self.content_offset, container)
        return container.children


def setup(app):
    app.add_directive("stubdoc", StubDoc)
    return {"parallel_read_safe": True, "version": "1"}
