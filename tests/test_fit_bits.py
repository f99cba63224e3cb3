"""The core's fits do not depend on the interpreter or the NumPy version: the
same problems give the same bits as the CPython 3.9 build recorded
(tests/data/fit_bits.txt). CI runs this suite on 3.9 and on 3.13, and the
wheels' smoke test runs tests/fit_bits.py under every interpreter."""
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import fit_bits  # noqa: E402

RECORDED = dict(line.split(": ", 1) for line in (HERE / "data" / "fit_bits.txt").read_text().splitlines())
NOW = dict(line.split(": ", 1) for line in fit_bits.lines())


def test_every_recorded_fit_is_computed():
    assert sorted(NOW) == sorted(RECORDED)


@pytest.mark.parametrize("name", sorted(RECORDED))
def test_fit_has_the_recorded_bits(name):
    assert NOW[name] == RECORDED[name], (
        f"{name} on Python {sys.version.split()[0]}:\n  now      {NOW[name]}\n  recorded {RECORDED[name]}")
