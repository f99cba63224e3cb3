"""scikit-learn's metadata routing for an estimator that does not subclass
``BaseEstimator``: the metadata each method takes (its keyword arguments
beyond X and y, less the options that are not metadata), what the caller has
requested of them, and the request in scikit-learn's own class, built only
when scikit-learn asks for it."""
from __future__ import annotations

import inspect
from typing import Any, Dict, List

__all__ = ["UNCHANGED", "METHODS", "metadata_params", "set_request", "metadata_routing"]

UNCHANGED = "$UNCHANGED$"   # scikit-learn's sentinel: leave the request as it is
METHODS = ("fit", "partial_fit", "predict", "score", "transform", "decision_function")
# keyword options of methods that are settings, not per-sample metadata
NOT_METADATA = {"return_std", "level", "kind", "interval"}


def metadata_params(estimator: Any, method: str) -> List[str]:
    """Names of the metadata that `method` of `estimator` accepts."""
    fn = getattr(estimator, method, None)
    if fn is None:
        return []
    out = []
    for i, p in enumerate(inspect.signature(fn).parameters.values()):
        if p.name in ("X", "y", "Y", "Xt", "yt") or p.name in NOT_METADATA:
            continue
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        out.append(p.name)
    return out


def set_request(estimator: Any, method: str, requests: Dict[str, Any]) -> Any:
    """Record the caller's requests (True, False, None or an alias string) of
    `method`'s metadata on the estimator, in the attribute that scikit-learn's
    ``clone`` copies."""
    known = metadata_params(estimator, method)
    store = dict(getattr(estimator, "_metadata_request", None) or {})
    for name, value in requests.items():
        if name not in known:
            raise TypeError(f"Unexpected args: {{{name!r}}} in set_{method}_request; {method} takes "
                            f"the metadata {known}")
        if value is UNCHANGED or (isinstance(value, str) and value == UNCHANGED):
            continue
        if not (value is None or isinstance(value, (bool, str))):
            raise ValueError(f"the request of {name!r} must be True, False, None or an alias string, "
                             f"got {value!r}")
        store[(method, name)] = value
    estimator._metadata_request = store
    return estimator


def metadata_routing(estimator: Any):
    """scikit-learn's ``MetadataRequest`` of the estimator: every metadata of
    every method, with the caller's request or None (not requested: an error
    if a value is passed, ignored when it is None)."""
    from sklearn.utils.metadata_routing import MetadataRequest

    store = getattr(estimator, "_metadata_request", None) or {}
    request = MetadataRequest(owner=type(estimator).__name__)
    for method in METHODS:
        for name in metadata_params(estimator, method):
            getattr(request, method).add_request(param=name, alias=store.get((method, name)))
    return request
