# Types of zelt_fit's compiled pass (built from _native/fit_kernel.cpp).
from typing import Any, Dict, Optional, Tuple

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
