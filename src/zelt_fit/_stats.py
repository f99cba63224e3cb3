"""Tests of a fit's coefficients and the table of the degree choice: small
result classes with a ``repr`` and a ``summary()``."""
from __future__ import annotations

from typing import List, Sequence, Union

import numpy as np

__all__ = ["WaldTest", "DegreeTable", "wald", "term_index"]

Terms = Union[int, str, Sequence[Union[int, str]]]


def term_index(wanted: Terms, names: List[str], constant: int) -> np.ndarray:
    """Positions of the terms named or numbered in `wanted`: an int, a term name
    ("x^2", "x0*x1"; "Intercept" or "1" for the constant), or a sequence of
    them. Refuses unknown names, out-of-range positions and repeats."""
    items = [wanted] if isinstance(wanted, (str, int, np.integer)) else list(wanted)
    if not items:
        raise ValueError("terms is empty: name or number at least one term to test")
    lookup = {name: i for i, name in enumerate(names)}
    if constant >= 0:
        lookup["Intercept"] = constant
    out = []
    for item in items:
        if isinstance(item, (bool, np.bool_)):
            raise ValueError(f"terms must be positions or term names, got {item!r}")
        if isinstance(item, (int, np.integer)):
            k = int(item)
            if not -len(names) <= k < len(names):
                raise ValueError(f"term position {k} is out of range for a fit of {len(names)} terms")
            out.append(k % len(names))
        elif isinstance(item, str):
            if item not in lookup:
                raise ValueError(f"no term named {item!r}; the fit's terms are {names}")
            out.append(lookup[item])
        else:
            raise ValueError(f"terms must be positions or term names, got {item!r}")
    if len(set(out)) != len(out):
        raise ValueError(f"terms names a term twice: {wanted!r}")
    return np.asarray(out, dtype=np.int64)


class WaldTest:
    """The Wald test that some coefficients of a fit are all zero.

    With b the tested coefficients and C their covariance (the fit's own, from
    its robust estimate), ``chi2 = b' C^-1 b`` on q = rank(C) degrees of
    freedom, and the reported ``statistic = chi2 / q``, referred to Fisher's F
    on (q, dof): the F form, which for one term is the square of its t value
    and gives the same p-value as ``pvalues``.

    Attributes
    ----------
    terms : list of str
        Names of the tested terms.
    statistic : float
        The F statistic ``chi2 / df_num``.
    chi2 : float
        The Wald chi-square ``b' C^-1 b``.
    df_num, df_denom : float
        Degrees of freedom of the F reference: the number of independent
        restrictions and the fit's residual degrees of freedom.
    pvalue : float
        ``P(F(df_num, df_denom) > statistic)``; NaN where the fit leaves no
        degrees of freedom.
    pvalue_chi2 : float
        The large-sample p-value ``P(chi2(df_num) > chi2)``.

    Examples
    --------
    >>> test = fit.wald_test(["x^2", "x^3"])  # doctest: +SKIP
    >>> test.pvalue  # doctest: +SKIP
    """

    def __init__(self, terms: List[str], chi2: float, df_num: int, df_denom: float) -> None:
        from scipy.stats import chi2 as chi2_dist, f as f_dist

        self.terms = list(terms)
        self.chi2 = float(chi2)
        self.df_num = int(df_num)
        self.df_denom = float(df_denom)
        if self.df_num > 0 and np.isfinite(self.chi2):
            self.statistic = self.chi2 / self.df_num
            self.pvalue_chi2 = float(chi2_dist.sf(self.chi2, self.df_num))
            self.pvalue = (float(f_dist.sf(self.statistic, self.df_num, self.df_denom))
                           if self.df_denom > 0 else float("nan"))
        else:
            self.statistic = self.pvalue = self.pvalue_chi2 = float("nan")

    def __repr__(self) -> str:
        return (f"WaldTest(terms={self.terms}, F={self.statistic:.6g}, df=({self.df_num}, "
                f"{self.df_denom:.6g}), pvalue={self.pvalue:.4g})")

    def summary(self) -> str:
        """The test in words."""
        return (f"Wald test that {', '.join(self.terms)} {'is' if len(self.terms) == 1 else 'are all'} "
                f"zero: F = {self.statistic:.4g} on ({self.df_num}, {self.df_denom:.6g}) degrees of "
                f"freedom, p = {self.pvalue:.4g} (chi2 = {self.chi2:.4g}, large-sample p = "
                f"{self.pvalue_chi2:.4g})")


def wald(coef: np.ndarray, cov: np.ndarray, index: np.ndarray, names: List[str], dof: float) -> WaldTest:
    """The Wald test of coef[index] == 0 under covariance cov. The covariance
    block is scaled to unit diagonal first (the coefficients of high powers in
    large units differ by many orders of magnitude) and inverted on its range:
    restrictions the fit cannot tell apart count once."""
    b = coef[index]
    C = cov[np.ix_(index, index)]
    label = [names[i] for i in index]
    d = np.sqrt(np.diag(C))
    if not (np.all(np.isfinite(C)) and np.all(np.isfinite(b))) or np.any(d <= 0):
        return WaldTest(label, float("nan"), 0, dof)
    R = C / np.outer(d, d)
    z = b / d
    lam, V = np.linalg.eigh(0.5 * (R + R.T))
    keep = lam > lam[-1] * 1e-12 * len(lam)
    proj = V.T @ z
    chi2 = float(np.sum(proj[keep] ** 2 / lam[keep]))
    return WaldTest(label, chi2, int(np.count_nonzero(keep)), dof)


class DegreeTable:
    """The candidates of ``deg="auto"``: for each degree, its number of terms,
    the criterion the choice minimises, the BIC of least squares on the
    candidate's own consensus set, and that set's size.

    The criterion is ``sum_i 2 rho(r_i / s) + p log(n)`` over every point,
    rho Tukey's bisquare (c = 4.685: ``2 rho(t)`` is ``t^2`` near 0 and
    ``c^2 / 3`` from c on) and s the residual scale of the largest candidate:
    every candidate is judged on the same points. The BIC, ``m log(RSS / m) + p log(m)`` on each
    candidate's own m points, is shown for comparison and does not choose.

    Attributes
    ----------
    degree, terms, inliers : ndarray of int
        Degree, number of terms and consensus-set size of each candidate.
    criterion, bic : ndarray of float
        The criterion and the BIC of each candidate.
    chosen : int
        The degree chosen (least criterion).

    Examples
    --------
    >>> fit = robust_polyfit(x, y, "auto")  # doctest: +SKIP
    >>> fit.degree_table.criterion  # doctest: +SKIP
    """

    def __init__(self, rows: Sequence[dict], chosen: int) -> None:
        rows = sorted(rows, key=lambda r: r["degree"])
        self.degree = np.array([r["degree"] for r in rows], dtype=np.int64)
        self.terms = np.array([r["terms"] for r in rows], dtype=np.int64)
        self.criterion = np.array([r["criterion"] for r in rows], dtype=np.float64)
        self.bic = np.array([r["bic"] for r in rows], dtype=np.float64)
        self.inliers = np.array([r["inliers"] for r in rows], dtype=np.int64)
        self.chosen = int(chosen)
        for a in (self.degree, self.terms, self.criterion, self.bic, self.inliers):
            a.setflags(write=False)

    def __len__(self) -> int:
        return int(self.degree.size)

    def to_dict(self) -> dict:
        """The columns by name (``pandas.DataFrame(table.to_dict())`` makes a frame)."""
        return {"degree": self.degree, "terms": self.terms, "criterion": self.criterion,
                "bic": self.bic, "inliers": self.inliers}

    def __repr__(self) -> str:
        return f"DegreeTable(degrees={self.degree.tolist()}, chosen={self.chosen})"

    def summary(self) -> str:
        """The table as text, the chosen degree marked."""
        lines = [f"{'degree':>8}{'terms':>8}{'criterion':>14}{'BIC (own set)':>16}{'inliers':>10}"]
        for k in range(len(self)):
            mark = " <-" if self.degree[k] == self.chosen else ""
            lines.append(f"{self.degree[k]:>8}{self.terms[k]:>8}{self.criterion[k]:>14.2f}"
                         f"{self.bic[k]:>16.2f}{self.inliers[k]:>10}{mark}")
        return "\n".join(lines)
