# Types of zelt_fit's compiled pass (built from _native/fit_kernel.cpp).
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

BLOCK_ROWS: int

def pass_sums(X: Any, y: Any, terms: Any, x_center: Any, x_scale: Any, y_center: float, y_scale: float,
              coef: Any, cut: float, g: Optional[Any] = ..., bisquare: Optional[float] = ...,
              tuning: float = ..., prev_coef: Optional[Any] = ..., prev_cut: float = ...,
              prev_g: Optional[Any] = ..., prev_bisquare: Optional[float] = ..., prev_tuning: float = ...,
              previous_keep: Optional[np.ndarray] = ..., keep_out: Optional[np.ndarray] = ...,
              variance: bool = ..., clip: Optional[float] = ..., cw: Optional[Any] = ...,
              block_rows: int = ...) -> Dict[str, Any]: ...
def inliers(X: Any, y: Any, terms: Any, x_center: Any, x_scale: Any, y_center: float, y_scale: float,
            coef: Any, cut: float, g: Optional[Any] = ..., bisquare: Optional[float] = ...,
            tuning: float = ..., block_rows: int = ...) -> Tuple[np.ndarray, np.ndarray]: ...
def s_estimate(Phi: Any, v: Any, seed: int, subsets: Optional[int] = ...,
               polish: int = ...) -> Optional[Tuple[np.ndarray, float, int]]: ...
def m_scale_one(r: Any, s0: float = ...) -> float: ...
def biweight_start(Phi: Any, v: Any) -> Tuple[np.ndarray, float]: ...
def f_sf(F: float, d1: float, d2: float) -> float: ...
def fit_series(X: Any, Y: Any, terms: Any, x_center: Any, x_scale: Any, y_center: Any, y_scale: Any,
               tolerance: Any, cw: Optional[Any], total: float, sample: Any, Phi_s: Any, n_chains: int,
               n_warmup: int, n_deep: int, n_elite: int, step_size: float, seed: int, centred: bool,
               auto: bool, top: int, degrees: List[int], slope: float, curvature: float, R1: Optional[Any],
               R2: Optional[Any], own: Optional[List[Any]]) -> Dict[str, Any]: ...
