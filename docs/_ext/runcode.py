"""``.. run-python::``: a Python block that the build runs and shows with what it
printed and the figures it drew.

The blocks of one page run in order in one namespace, in a scratch folder (so
that files they write stay out of the tree), with matplotlib's Agg backend.
After each block its printed output follows the code, and every figure still
open is saved as a PNG, shown below it and closed. A block that raises fails
the build with the page, the block's first line and the traceback.
"""
from __future__ import annotations

import contextlib
import io
import os
import pathlib
import sys
import tempfile
import traceback
import types

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

IMAGE_DIR = "_run_images"   # beside the sources; the build copies what is shown


class RunPython(SphinxDirective):
    has_content = True

    def run(self):
        env = self.env
        # the page's blocks share a module that stands in for __main__ while they
        # run, so that functions they define pickle (process pools)
        state = env.temp_data.setdefault("run_python", {"main": types.ModuleType("__main__"), "n": 0,
                                                         "cwd": tempfile.mkdtemp(prefix="zelt-docs-")})
        state["n"] += 1
        code = "\n".join(self.content)
        source = nodes.literal_block(code, code, language="python")
        source["classes"].append("run-python-source")
        out = io.StringIO()
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        here, main = os.getcwd(), sys.modules["__main__"]
        try:
            os.chdir(state["cwd"])
            sys.modules["__main__"] = state["main"]
            with contextlib.redirect_stdout(out):
                exec(compile(code, f"<{env.docname} block {state['n']}>", "exec"), state["main"].__dict__)
        except Exception:
            raise self.error(f"{env.docname}: block {state['n']} ({self.content[0]!r}) raised:\n"
                             f"{traceback.format_exc()}")
        finally:
            sys.modules["__main__"] = main
            os.chdir(here)
        result = [source]
        text = out.getvalue().rstrip()
        if text:
            shown = nodes.literal_block(text, text, language="none")
            shown["classes"].append("run-python-output")
            result.append(shown)
        folder = pathlib.Path(env.srcdir) / IMAGE_DIR
        for k, num in enumerate(plt.get_fignums()):
            folder.mkdir(exist_ok=True)
            name = f"{env.docname.replace('/', '-')}-{state['n']}-{k}.png"
            fig = plt.figure(num)
            fig.savefig(folder / name, dpi=96, bbox_inches="tight")
            image = nodes.image(uri=f"/{IMAGE_DIR}/{name}", alt=f"figure drawn by the code above")
            image["classes"].append("run-python-figure")
            result.append(image)
        plt.close("all")
        return result


def setup(app):
    app.add_directive("run-python", RunPython)
    return {"parallel_read_safe": True, "parallel_write_safe": True, "version": "1"}
