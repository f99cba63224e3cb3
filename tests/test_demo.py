"""The demo runs end to end on small sizes and shows what it is for: on data with
gross outliers the tournament (MDL) fit recovers the polynomial far better than
least squares, and the least-squares refit of its consensus set better still."""
import contextlib
import io
import pathlib
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
pytest.importorskip("matplotlib")
import demo  # noqa: E402


@pytest.mark.parametrize("seed", [2, 7])
def test_demo_tournament_beats_least_squares_on_outliers(tmp_path, seed):
    out = tmp_path / "fit.png"
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        rows = demo.main(["--n", "150", "--seed", str(seed), "--out", str(out)])
    text = buf.getvalue()
    assert "Part 1" in text and "Part 2" in text and str(out) in text
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    truth = np.array([0.5, -1.0, 0.8, 0.6])
    err = {r.name: np.linalg.norm(r.beta - truth) for r in rows}
    assert err["tournament MCMC"] < 0.5 * err["ols"], err
    assert err["tournament + refit"] < err["tournament MCMC"], err
    # n = 150 with 20 % outliers: the consensus set leaves out all 30 of them.
    assert "30 of 30 gross outliers" in text, text
