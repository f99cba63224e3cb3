"""Every Python code block of the README and of the documentation's pages runs
as written: the blocks of one file in order, in one child interpreter, in an
empty folder."""
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = sorted(p for p in (ROOT / "docs").rglob("*.rst") if "auto_examples" not in p.parts
               and p.name != "sg_execution_times.rst") if (ROOT / "docs").is_dir() else []


def markdown_blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, re.S | re.M)


def rst_blocks(text):
    blocks = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].strip() in (".. code-block:: python", ".. run-python::"):
            i += 1
            body = []
            while i < len(lines) and (not lines[i].strip() or lines[i].startswith("   ")):
                body.append(lines[i])
                i += 1
            blocks.append(textwrap.dedent("\n".join(body)))
        else:
            i += 1
    return blocks


def run_blocks(blocks, tmp_path, name):
    assert blocks, f"{name} has no Python code block"
    script = tmp_path / "blocks.py"
    script.write_text("\n\n".join(blocks))
    # Agg: pictures go to files; the blocks' own prints are their output
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=900,
                          cwd=tmp_path, env={**__import__("os").environ, "MPLBACKEND": "Agg"})
    assert proc.returncode == 0, f"{name}:\n{proc.stderr[-4000:]}"
    return proc.stdout


def test_readme_blocks_run_as_written(tmp_path):
    pytest.importorskip("sklearn")
    run_blocks(markdown_blocks((ROOT / "README.md").read_text()), tmp_path, "README.md")


@pytest.mark.parametrize("page", PAGES, ids=[p.relative_to(ROOT / "docs").as_posix() for p in PAGES])
def test_guide_blocks_run_as_written(page, tmp_path):
    text = page.read_text()
    blocks = rst_blocks(text)
    if not blocks:
        pytest.skip("no code on this page")
    if "dask" in text:
        pytest.importorskip("dask")
    if "sklearn" in text:
        pytest.importorskip("sklearn")
    if "xarray" in text:
        pytest.importorskip("xarray")
    run_blocks(blocks, tmp_path, page.name)
