"""Throw hostile input at the installed zelt_fit and count what comes back.

    python benchmarks/hostile_run.py [--seed 2027] [--attempts 320] [--jobs 2] [--timeout 60]
                                     [--only FAMILY] [--show CLASS] [--json FILE]

Every attempt runs in a child process of its own (the interpreter running this
script, so the package as it is installed there), with a time limit. The child
makes its data from the attempt's seed, makes the call, judges what it got and
prints one line of JSON. Outcome classes:

- ``correct``: an answer that passes the attempt's check (for a fit: the outliers
  flagged, the clean points kept, predictions within a few noise deviations of
  the truth, finite standard errors);
- ``clear error``: a ValueError, TypeError, RuntimeError or ImportError whose
  message names what is wrong (one of the attempt's words);
- ``unhelpful error``: one of those whose message names none of them;
- ``silent wrong``: an answer that fails its check, or an argument that must be
  refused accepted without a word;
- ``raw error``: an arithmetic, ufunc or lookup error from inside (ZeroDivisionError,
  OverflowError, FloatingPointError, IndexError, KeyError, AttributeError,
  numpy's ufunc errors, a TypeError from an operator);
- ``hang``: the time limit passed; ``crash``: the child died (a signal, or an exit
  without its line).

The families: outliers (fits of generated polynomials in random units), explicit
(terms not closed under lowering a power), scales (units near the ends of the
double range), settings (bad values of every argument), containers (masked,
pandas, sparse, long double, float32, lists), sizes (huge degrees, wide bases),
refit (near-exact data, rank-deficient designs, huge smoothness weights) and dask.
"""
from __future__ import annotations

import argparse
import collections
import concurrent.futures
import json
import os
import subprocess
import sys
import textwrap
import time
from typing import Dict, List

import numpy as np

CLASSES = ["correct", "clear error", "unhelpful error", "silent wrong", "raw error", "hang", "crash"]

# What every child runs first: the data, the checks and the report.
CHILD = textwrap.dedent('''
    import json, sys, warnings
    import numpy as np
    warnings.simplefilter("ignore")
    from zelt_fit import RobustPolynomialRegressor, SearchSettings, robust_polyfit

    RAW = (ZeroDivisionError, OverflowError, FloatingPointError, IndexError, KeyError, AttributeError)

    def report(cls, detail=""):
        print(json.dumps({"class": cls, "detail": str(detail)[:300]}), flush=True)
        sys.exit(0)

    def make(seed, n=200, deg=2, share=0.2, d=1, xoff=0.0, xscale=1.0, yscale=1.0, noise=0.05):
        """x (n, d) in xoff + xscale * [-1, 1], y = yscale * p(u) + noise, a share moved far."""
        rng = np.random.default_rng(seed)
        U = rng.uniform(-1.0, 1.0, (n, d))
        terms = [t for t in np.ndindex(*(deg + 1,) * d) if sum(t) <= deg]
        beta = rng.uniform(-1.0, 1.0, len(terms))
        def truth(X):
            V = (np.asarray(X, dtype=float).reshape(-1, d) - xoff) / xscale
            return yscale * sum(b * np.prod(V ** np.array(t), axis=1) for b, t in zip(beta, terms))
        X = xoff + xscale * U
        y = truth(X) + yscale * noise * rng.normal(size=n)
        bad = np.zeros(n, bool)
        bad[rng.choice(n, int(share * n), replace=False)] = True
        y[bad] += yscale * rng.choice([-1.0, 1.0], bad.sum()) * rng.uniform(3.0, 8.0, bad.sum())
        return (X[:, 0] if d == 1 else X), y, truth, bad, yscale * noise

    def fit_ok(fit, X, truth, bad, sigma, tol=4.0):
        """None when the fit is right, else what is wrong."""
        inl = np.asarray(fit.inliers)
        if bad.any() and np.mean(~inl[bad]) < 0.9:
            return f"{int((~inl[bad]).sum())} of {int(bad.sum())} outliers flagged"
        if np.mean(inl[~bad]) < 0.8:
            return f"{int(inl[~bad].sum())} of {int((~bad).sum())} clean points kept"
        err = np.max(np.abs(fit.predict(X[~bad]) - truth(X[~bad])))
        if not err <= tol * sigma + 1e-9 * np.max(np.abs(truth(X[~bad]))):
            return f"predictions off by {err:.3g} (noise sd {sigma:.3g})"
        if fit.dof > 0 and not (np.all(np.isfinite(fit.stderr)) and np.isfinite(fit.scale)):
            return f"stderr {fit.stderr} scale {fit.scale}"
        if fit.dof > 0 and sigma > 0 and not np.all(fit.stderr > 0):
            return f"stderr {fit.stderr} with noise sd {sigma:.3g}"
        return None

    def attempt(call, check, words):
        """check(value) -> None when right, else what is wrong; check None: must be refused."""
        try:
            value = call()
        except (ValueError, TypeError, RuntimeError, ImportError) as e:
            message = f"{type(e).__name__}: {e}"
            if type(e).__name__ == "UFuncTypeError" or (isinstance(e, TypeError) and (
                    "unsupported operand" in str(e) or "not supported between" in str(e)
                    or "ufunc" in str(e))):
                report("raw error", message)
            if any(w.lower() in str(e).lower() for w in words):
                report("clear error", message)
            report("unhelpful error", message)
        except RAW as e:
            report("raw error", f"{type(e).__name__}: {e}")
        except Exception as e:
            report("raw error", f"{type(e).__name__}: {e}")
        if check is None:
            report("silent wrong", f"accepted: {str(value)[:200]}")
        try:
            wrong = check(value)
        except Exception as e:
            report("raw error", f"while checking the answer: {type(e).__name__}: {e}")
        report("silent wrong" if wrong else "correct", wrong or "")
''')


def case(family: str, name: str, body: str) -> Dict[str, str]:
    return {"family": family, "name": name, "code": textwrap.dedent(body)}


# ------------------------------------------------------------------ families

def outliers(rng, k: int) -> List[dict]:
    out = []
    for i in range(k):
        d = int(rng.choice([1, 1, 1, 2, 3]))
        deg = int(rng.integers(0, 6 if d == 1 else 4))
        # where the method itself is reliable (README: at n = 60 the noise alone makes
        # a tenth of the fits of high degree miss), so that a miss is a fault
        small = deg <= 2 and d == 1
        n = int(rng.choice([60, 200, 1000] if small else [200, 1000]))
        share = float(rng.choice([0.0, 0.1] if n == 60 else [0.0, 0.1, 0.2, 0.3]))
        xoff, xscale = float(10 ** rng.uniform(-3, 6) * rng.choice([-1, 1])), float(10 ** rng.uniform(-4, 5))
        yscale = float(10 ** rng.uniform(-6, 6))
        seed = int(rng.integers(2**31))
        name = f"d={d} deg={deg} n={n} share={share} x~{xoff:.1e}+-{xscale:.1e} y~{yscale:.1e}"
        out.append(case("outliers", name, f"""
            X, y, truth, bad, sigma = make({seed}, n={n}, deg={deg}, share={share}, d={d}, xoff={xoff!r},
                                           xscale={xscale!r}, yscale={yscale!r})
            attempt(lambda: robust_polyfit(X, y, {deg}), lambda f: fit_ok(f, X, truth, bad, sigma),
                    ["spans", "rescale", "range"])
        """))
    return out


def explicit(rng, k: int) -> List[dict]:
    out = []
    sets = [[0, 2], [0, 3], [0, 1, 3], [0, 2, 4], [0, 3, 5], [1, 2], [0, 4]]
    for i in range(k):
        terms = sets[int(rng.integers(len(sets)))]
        lo = float(rng.choice([-12.0, 0.5, 10.0, 100.0]))
        seed = int(rng.integers(2**31))
        share = float(rng.choice([0.1, 0.22]))
        out.append(case("explicit", f"terms {terms} on x in [{lo}, {lo + 2}] share={share}", f"""
            rng = np.random.default_rng({seed})
            x = rng.uniform({lo}, {lo + 2.0}, 200)
            beta = rng.uniform(0.5, 1.0, {len(terms)})
            truth = lambda z: sum(b * np.asarray(z, float) ** k for b, k in zip(beta, {terms}))
            spread = np.ptp(truth(x))
            y = truth(x) + 0.005 * spread * rng.normal(size=200)
            bad = np.zeros(200, bool); bad[rng.choice(200, int({share} * 200), replace=False)] = True
            y[bad] += spread * rng.uniform(0.25, 1.0, bad.sum())
            attempt(lambda: robust_polyfit(x, y, {terms}), lambda f: fit_ok(f, x, truth, bad, 0.005 * spread),
                    ["spans", "rescale"])
        """))
    return out


def scales(rng, k: int) -> List[dict]:
    out = []
    for i in range(k):
        ex, ey = float(rng.uniform(-320, 308)), float(rng.uniform(-320, 308))
        deg = int(rng.integers(1, 4))
        wide = bool(rng.random() < 0.2)
        seed = int(rng.integers(2**31))
        out.append(case("scales", f"x~1e{ex:.0f} y~1e{ey:.0f} deg={deg} wide={wide}", f"""
            X, y, truth, bad, sigma = make({seed}, n=150, deg={deg}, share=0.2, xoff={0.0 if wide else 10 ** ex!r},
                                           xscale={(1.7e308 if wide else 0.5 * 10 ** ex)!r}, yscale={10 ** ey!r})
            if not (np.all(np.isfinite(X)) and np.all(np.isfinite(y))) or np.all(y == 0) or np.ptp(X) == 0:
                attempt(lambda: robust_polyfit(X, y, {deg}), lambda f: None, ["nan", "infinity", "constant", "spans"])
            attempt(lambda: robust_polyfit(X, y, {deg}), lambda f: fit_ok(f, X, truth, bad, sigma),
                    ["spans", "rescale", "range"])
        """))
    return out


BAD_SETTINGS = [
    ("seed=-1", "seed"), ("seed=2**64", "seed"), ("seed=None", "seed"), ("seed=1.9", "seed"), ("seed='7'", "seed"),
    ("seed=True", "seed"), ("search_points=None", "search_points"), ("search_points=2.7", "search_points"),
    ("search_points=3", "search_points"), ("search_points=-1", "search_points"), ("slope='0.1'", "slope"),
    ("slope=None", "slope"), ("slope=1j", "slope"), ("slope=-1.0", "slope"), ("slope=np.inf", "slope"),
    ("curvature=np.nan", "curvature"), ("curvature=[1.0]", "curvature"), ("max_deg=-5", "max_deg"),
    ("max_deg=3", "max_deg"), ("search=dict(n_chains=3)", "search"), ("search=SearchSettings", "search"),
    ("basis='full'", "basis"), ("basis=None", "basis"),
]
BAD_CALLS = [
    ("robust_polyfit(x, y, 'atuo')", "auto"), ("robust_polyfit(x, y, None)", "auto"),
    ("robust_polyfit(x, y, -1)", "deg"), ("robust_polyfit(x, y, 2.5)", "deg"),
    ("robust_polyfit(x, y, [[0], [0]])", "terms"),
    ("robust_polyfit(x, y, 'auto', max_deg=-1)", "max_deg"), ("robust_polyfit(x, y, 'auto', max_deg=2.0)", "max_deg"),
    ("SearchSettings(n_chains=2**31)", "n_chains"), ("SearchSettings(n_chains=25.0)", "n_chains"),
    ("SearchSettings(n_warmup=-5)", "n_warmup"), ("SearchSettings(n_deep=-1)", "n_deep"),
    ("SearchSettings(n_elite=0)", "n_elite"), ("SearchSettings(step_size=-0.05)", "step_size"),
    ("SearchSettings(step_size=np.nan)", "step_size"), ("SearchSettings(seed=-3)", "seed"),
    ("RobustPolynomialRegressor(1, random_state=2**70).fit(x[:, None], y)", "random_state"),
    ("RobustPolynomialRegressor('atuo').fit(x[:, None], y)", "auto"),
    ("RobustPolynomialRegressor(1, slope='a').fit(x[:, None], y)", "slope"),
    ("RobustPolynomialRegressor(1, search_points=1.5).fit(x[:, None], y)", "search_points"),
    ("FIT.predict(x, interval='prediction', level='0.95')", "level"), ("FIT.predict(x, level=0.9)", "level"),
    ("FIT.predict(x, interval='credible')", "interval"), ("FIT.predict(x, interval=1)", "interval"),
    ("FIT.conf_int(1.5)", "level"), ("FIT.conf_int(None)", "level"), ("FIT.summary(level='x')", "level"),
    ("FIT.plot(data=(x, y[:5]))", "data"), ("FIT.plot(n_grid=-5)", "n_grid"), ("FIT.plot(n_grid=2.5)", "n_grid"),
    ("FIT.plot(data=x)", "data"), ("FIT.plot(level=0)", "level"),
    ("FIT.predict(np.c_[x, x])", "variable"), ("FIT.predict([np.nan])", "nan"), ("FIT.predict('a')", "x"),
]


def settings(rng, k: int) -> List[dict]:
    out = []
    pool = [(f"robust_polyfit(x, y, 2, {a})", w) for a, w in BAD_SETTINGS] + BAD_CALLS
    order = rng.permutation(len(pool))
    for i in range(k):
        call, word = pool[int(order[i % len(pool)])]
        seed = int(rng.integers(2**31))
        out.append(case("settings", call, f"""
            x, y, truth, bad, sigma = make({seed}, n=80, deg=2, share=0.1)
            FIT = robust_polyfit(x, y, 2) if "FIT" in {call!r} else None
            if "plot" in {call!r}:
                import matplotlib; matplotlib.use("Agg")
            attempt(lambda: {call}, None, [{word!r}])
        """))
    return out


CONTAINERS = [
    # (name, setup, call, check or None (must be refused), words)
    ("masked x with masked entries", "xx = np.ma.masked_greater(x, 0.8)", "robust_polyfit(xx, y, 2)", None, ["masked"]),
    ("masked y with masked entries", "yy = np.ma.masked_less(y, 0.0)", "robust_polyfit(x, yy, 2)", None, ["masked"]),
    ("masked arrays without masked entries", "xx = np.ma.masked_array(x)", "robust_polyfit(xx, y, 2)", "FITOK", []),
    ("Series of different indexes", "import pandas as pd",
     "robust_polyfit(pd.Series(x), pd.Series(y, index=np.arange(x.size) + 3), 2)", None, ["index"]),
    ("Series of one index", "import pandas as pd", "robust_polyfit(pd.Series(x), pd.Series(y), 2)", "FITOK", []),
    ("DataFrame predict, columns reordered", "import pandas as pd; F = pd.DataFrame({'a': x, 'b': x[::-1]})",
     "robust_polyfit(F, y, [[0, 0], [1, 0], [2, 0]]).predict(F[['b', 'a']])",
     "lambda p: None if np.max(np.abs(p - truth(x))[~bad]) < 4 * sigma else 'wrong predictions'", []),
    ("DataFrame predict, unknown column", "import pandas as pd; F = pd.DataFrame({'a': x, 'b': x[::-1]})",
     "robust_polyfit(F, y, 1).predict(F.rename(columns={'a': 'c'}))", None, ["column", "unknown"]),
    ("DataFrame with duplicate names", "import pandas as pd; F = pd.DataFrame(np.c_[x, x[::-1]], columns=['a', 'a'])",
     "robust_polyfit(F, y, 1)", None, ["same name"]),
    ("integer column names", "import pandas as pd; F = pd.DataFrame({0: x, 1: x[::-1]})",
     "robust_polyfit(F, y, [[0, 0], [1, 0], [2, 0]]).term_names",
     "lambda t: None if t == ['1', '[0]', '[0]^2'] else str(t)", []),
    ("scipy.sparse x", "import scipy.sparse as sp", "robust_polyfit(sp.csr_matrix(x[:, None]), y, 2)", None,
     ["sparse"]),
    ("long double x", "xx = x.astype(np.longdouble)", "robust_polyfit(xx, y, 2)", "FITOK", []),
    ("float32 x and y", "xx, yy = x.astype(np.float32), y.astype(np.float32)", "robust_polyfit(xx, yy, 2)",
     "FITOK32", []),
    ("int8 x", "xx = np.round(x * 100).astype(np.int8); x = xx / 100.0", "robust_polyfit(xx / 100.0, y, 2)",
     "FITOK", []),
    ("lists", "xx, yy = x.tolist(), y.tolist()", "robust_polyfit(xx, yy, 2)", "FITOK", []),
    ("bool x at degree 2", "xx = x > 0", "robust_polyfit(xx, y, 2)", "lambda f: 'accepted'", ["rank", "constant",
                                                                                             "identif"]),
    ("residuals of other lengths", "", "robust_polyfit(x, y, 2).residuals([.1, .2, .3], [1.0])", None, ["points"]),
    ("complex y", "", "robust_polyfit(x, y + 1j, 2)", None, ["complex"]),
    ("string x", "", "robust_polyfit(x.astype(str), y, 2)", None, ["dtype"]),
    ("3-D x", "", "robust_polyfit(x.reshape(-1, 1, 1), y, 2)", None, ["shape"]),
    ("edit coef", "", "robust_polyfit(x, y, 2).coef.__setitem__(0, 1.0)", None, ["read-only"]),
    ("edit inliers", "", "robust_polyfit(x, y, 2).inliers.__setitem__(0, False)", None, ["read-only"]),
    ("score on one sample", "m = RobustPolynomialRegressor(2).fit(x[:, None], y)",
     "m.score(x[:1, None], y[:1])", "lambda s: None if np.isnan(s) else f'score {s}'", []),
    ("NaN in y", "yy = y.copy(); yy[3] = np.nan", "robust_polyfit(x, yy, 2)", None, ["nan"]),
    ("inf in x", "xx = x.copy(); xx[0] = np.inf", "robust_polyfit(xx, y, 2)", None, ["infinity"]),
    ("empty x", "", "robust_polyfit([], [], 1)", None, ["points", "n_samples"]),
    ("None x", "", "robust_polyfit(None, y, 1)", None, ["x"]),
]


def containers(rng, k: int) -> List[dict]:
    out = []
    for i in range(k):
        name, setup, call, check, words = CONTAINERS[i % len(CONTAINERS)]
        seed = int(rng.integers(2**31))
        if check == "FITOK":
            check = "lambda f: fit_ok(f, x, truth, bad, sigma)"
        elif check == "FITOK32":
            check = "lambda f: fit_ok(f, x, truth, bad, sigma + 1e-6)"
        out.append(case("containers", name, f"""
            x, y, truth, bad, sigma = make({seed}, n=120, deg=2, share=0.15)
            {setup}
            attempt(lambda: {call}, {check}, {words!r})
        """))
    return out


SIZES = [
    ("deg 2**63", "robust_polyfit(x, y, 2**63)", ["terms"]),
    ("deg 10**8", "robust_polyfit(x, y, 10**8)", ["terms"]),
    ("auto, max_deg 2**63", "robust_polyfit(x, y, 'auto', max_deg=2**63)", ["terms"]),
    ("deg 30000", "robust_polyfit(x, y, 30000)", ["terms"]),
    ("tensor, 5 variables, degree 3", "robust_polyfit(np.random.default_rng(1).uniform(size=(3000, 5)), "
     "np.random.default_rng(2).normal(size=3000), 3, basis='tensor')", ["terms"]),
    ("total, 5 variables, degree 6", "robust_polyfit(np.random.default_rng(1).uniform(size=(3000, 5)), "
     "np.random.default_rng(2).normal(size=3000), 6)", ["terms"]),
    ("40 variables, degree 9", "robust_polyfit(np.zeros((10, 40)), np.zeros(10), 9)", ["terms"]),
    ("power 1100", "robust_polyfit(x * 5, y, [0, 1, 1100])", ["spans", "power"]),
    ("power 2**40", "robust_polyfit(x, y, [0, 2**40])", ["power", "spans"]),
    ("fewer points than terms", "robust_polyfit(x[:3], y[:3], 5)", ["fewer points"]),
]


def sizes(rng, k: int) -> List[dict]:
    out = []
    for i in range(k):
        name, call, words = SIZES[i % len(SIZES)]
        seed = int(rng.integers(2**31))
        out.append(case("sizes", name, f"""
            x, y, truth, bad, sigma = make({seed}, n=120, deg=2, share=0.15)
            attempt(lambda: {call}, None, {words!r})
        """))
    return out


REFIT = [
    ("near-exact quadratic, n=300", "n=300, deg=2, share=0.0, noise=1e-11", "2", "FITOK"),
    ("exact line, n=30", "n=30, deg=1, share=0.0, noise=0.0", "1", "FITOK"),
    ("exact line, 20% outliers", "n=240, deg=1, share=0.2, noise=0.0", "1", "FITOK"),
    ("large offset, tiny noise", "n=200, deg=1, share=0.0, noise=1e-10, xoff=5.0, yscale=1e7", "1", "FITOK"),
    ("near-exact, auto degree", "n=300, deg=2, share=0.0, noise=1e-11", "'auto'",
     "lambda f: fit_ok(f, X, truth, bad, sigma) or (None if f.degree == 2 else f'degree {f.degree}')"),
    ("two distinct x, degree 3", "n=60, deg=1, share=0.0", "3", "RANK"),
    ("huge curvature weight", "n=200, deg=3, share=0.1", "3, curvature=1e14", "CURV"),
]


def refit(rng, k: int) -> List[dict]:
    out = []
    for i in range(k):
        name, data, deg, check = REFIT[i % len(REFIT)]
        seed = int(rng.integers(2**31))
        setup = ""
        if check == "FITOK":
            check = "lambda f: fit_ok(f, X, truth, bad, sigma)"
        elif check == "RANK":
            setup = "X = np.where(X > 0, 1.0, -1.0); y = truth(X) + 0.05 * np.random.default_rng(1).normal(size=X.size)"
            check = "lambda f: None if np.all(np.isnan(f.stderr[2:])) else f'stderr {f.stderr} on two x values'"
        elif check == "CURV":
            # a straight line is not penalised: its standard errors stay of the noise's order
            check = "lambda f: None if np.all(f.stderr[:2] > 1e-6) else f'stderr {f.stderr[:2]} of the line'"
        out.append(case("refit", name, f"""
            X, y, truth, bad, sigma = make({seed}, {data})
            {setup}
            attempt(lambda: robust_polyfit(X, y, {deg}), {check}, ["rank", "identif", "exact"])
        """))
    return out


DASK = [
    ("zero-length chunks", "robust_polyfit(da.concatenate([dx[:0], dx]), da.concatenate([dy[:0], dy]), 2)"),
    ("chunks of unknown size", "robust_polyfit(dx[dx > -2], dy[dx > -2], 2)"),
    ("numpy x, Dask y of unknown chunk sizes", "robust_polyfit(x, dy[dx > -2], 2)"),
    ("first chunk emptied by a mask", "robust_polyfit(dx[keep], dy[keep], 2)"),
]


def dask_family(rng, k: int) -> List[dict]:
    out = []
    for i in range(k):
        name, call = DASK[i % len(DASK)]
        seed = int(rng.integers(2**31))
        out.append(case("dask", name, f"""
            try:
                import dask.array as da
            except ImportError:
                report("correct", "dask not installed: skipped")
            x, y, truth, bad, sigma = make({seed}, n=300, deg=2, share=0.15)
            dx, dy = da.from_array(x, chunks=50), da.from_array(y, chunks=50)
            keep = da.from_array(np.arange(300) >= 50, chunks=50)
            def check(f):
                ref = robust_polyfit(x, y, 2) if "keep" not in {call!r} else robust_polyfit(x[50:], y[50:], 2)
                same = np.allclose(f.coef, ref.coef, rtol=1e-10, atol=1e-12) and \\
                    np.array_equal(f.inliers.compute(), ref.inliers)
                return None if same else f"Dask fit {{f.coef}} against {{ref.coef}}"
            attempt(lambda: {call}, check, ["chunk"])
        """))
    return out


FAMILIES = {"outliers": (outliers, 80), "explicit": (explicit, 20), "scales": (scales, 40),
            "settings": (settings, 70), "containers": (containers, 40), "sizes": (sizes, 20),
            "refit": (refit, 21), "dask": (dask_family, 12)}


def run_one(c: dict, timeout: float) -> dict:
    start = time.monotonic()
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD + c["code"]], capture_output=True, text=True,
                              timeout=timeout, env=dict(os.environ, OMP_NUM_THREADS="1", MPLBACKEND="Agg"))
    except subprocess.TimeoutExpired:
        return {**c, "class": "hang", "detail": f"no answer in {timeout:.0f} s", "seconds": timeout}
    seconds = time.monotonic() - start
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
    if proc.returncode != 0 or not lines:
        why = f"exit {proc.returncode}: " + (proc.stderr.strip().splitlines() or [""])[-1]
        return {**c, "class": "crash", "detail": why, "seconds": seconds}
    return {**c, **json.loads(lines[-1]), "seconds": seconds}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=2027)
    ap.add_argument("--attempts", type=int, default=0, help="scale the families to about this many (default: 303)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("--only", choices=sorted(FAMILIES))
    ap.add_argument("--show", default="silent wrong,raw error,hang,crash,unhelpful error",
                    help="classes whose attempts are listed (comma-separated)")
    ap.add_argument("--json", help="write every attempt's outcome here")
    args = ap.parse_args(argv)
    rng = np.random.default_rng(args.seed)
    total = sum(k for _, k in FAMILIES.values())
    factor = args.attempts / total if args.attempts else 1.0
    cases = []
    for name, (make_family, k) in FAMILIES.items():
        family_rng = np.random.default_rng([args.seed, len(cases)])   # each family its own stream
        if args.only in (None, name):
            cases += make_family(family_rng, max(1, round(k * factor)))
    del rng
    print(f"{len(cases)} attempts, seed {args.seed}, {args.jobs} at a time, {args.timeout:.0f} s each at most",
          file=sys.stderr)
    results = []
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for i, r in enumerate(pool.map(lambda c: run_one(c, args.timeout), cases), 1):
            results.append(r)
            if i % 20 == 0 or i == len(cases):
                print(f"  {i}/{len(cases)} done, {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    counts = collections.Counter(r["class"] for r in results)
    by_family: Dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
    for r in results:
        by_family[r["family"]][r["class"]] += 1
    width = max(len(f) for f in by_family) + 2
    print(f"{'family':<{width}}" + "".join(f"{c:>16}" for c in CLASSES) + f"{'total':>8}")
    for fam, cnt in by_family.items():
        print(f"{fam:<{width}}" + "".join(f"{cnt[c]:>16}" for c in CLASSES) + f"{sum(cnt.values()):>8}")
    print(f"{'all':<{width}}" + "".join(f"{counts[c]:>16}" for c in CLASSES) + f"{len(results):>8}")
    shown = {s.strip() for s in args.show.split(",")}
    for r in results:
        if r["class"] in shown:
            print(f"[{r['class']}] {r['family']}: {r['name']}\n    {r['detail']}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
