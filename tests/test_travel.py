"""Results and engines travel: pickling (every protocol), copy.copy, copy.deepcopy and
repr reproduce them bit for bit, refuse malformed states, and keep the classes closed."""
import copy
import copyreg
import gc
import math
import pickle
import struct

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelt_core as z

INT32 = st.integers(-(2**31), 2**31 - 1)
SEED = st.integers(0, 2**64 - 1)
SMALL = dict(n_chains=6, n_warmup=30, n_deep=60, n_elite=2)


def problem(seed=0, n=40, k=3):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k))
    y = X @ rng.normal(size=k) + rng.normal(0, 0.1, n)
    y[::7] += 3.0
    return X, y


def result_bits(r):
    g = r.gibbs
    return (r.beta_mcmc.tobytes(), r.beta_mcmc.shape,
            struct.pack("<7d", r.energy, g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T),
            r.n_chains, r.n_elite)


def gibbs_bits(g):
    return struct.pack("<6d", g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T)


def engine_state(e):
    state = e.__getstate__()
    return state[:5] + (struct.pack("<d", state[5]),) + state[6:]


def pickled_oob(obj):
    buffers = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    return pickle.loads(data, buffers=buffers)


TRIPS = {
    **{f"pickle{p}": (lambda obj, p=p: pickle.loads(pickle.dumps(obj, protocol=p)))
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "pickle5-out-of-band": pickled_oob,
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def restored(cls, state):
    # What unpickling does: an instance made whole from its state.
    return cls.__new__(cls, state)


def with_fields(r, beta=None, energy=None, gibbs=None):
    state = list(r.__getstate__())
    if beta is not None:
        state[1] = np.asarray(beta, dtype=np.float64)
    if energy is not None:
        state[2] = energy
    if gibbs is not None:
        state[3] = (1,) + tuple(gibbs)
    return restored(z.MCMCResult, tuple(state))


@pytest.fixture(scope="module")
def fitted():
    X, y = problem()
    return z.TournamentMCMC(seed=2**64 - 1, **SMALL).fit(X, y)


def special_results(r):
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]  # NaN with a payload
    return {
        "fitted": r,
        "empty-beta": with_fields(r, beta=np.empty(0)),
        "special-floats": with_fields(r, beta=[-0.0, 5e-324, np.inf], energy=nan,
                                      gibbs=[-0.0, -np.inf, nan, 1e308, 0.0, -1.5]),
    }


@pytest.mark.parametrize("trip", sorted(TRIPS))
@pytest.mark.parametrize("which", ["fitted", "empty-beta", "special-floats"])
def test_result_round_trip_is_bit_for_bit(fitted, trip, which):
    r = special_results(fitted)[which]
    back = TRIPS[trip](r)
    assert type(back) is z.MCMCResult and back is not r
    if trip == "pickle0" and which == "special-floats":
        # protocol 0 writes floats as text, which keeps a NaN but not its payload
        r = with_fields(r, energy=float("nan"),
                        gibbs=[-0.0, -np.inf, float("nan"), 1e308, 0.0, -1.5])
    assert result_bits(back) == result_bits(r)
    beta = back.beta_mcmc
    assert not beta.flags.writeable and beta.base is back
    with pytest.raises(ValueError):
        beta[...] = 1.0
    # views of the copy keep it alive on their own
    expected, gibbs = result_bits(back), back.gibbs
    del back
    gc.collect()
    assert beta.tobytes() == expected[0] and gibbs_bits(gibbs) == expected[2][8:]


@pytest.mark.parametrize("trip", sorted(TRIPS))
def test_gibbs_result_round_trip_is_bit_for_bit(fitted, trip):
    for g in (z.gibbs_entropy([2.0, 2.0, 7.0], 0.0), fitted.gibbs):
        back = TRIPS[trip](g)
        assert type(back) is z.GibbsResult and gibbs_bits(back) == gibbs_bits(g)


def test_copy_of_embedded_gibbs_owns_its_record(fitted):
    r = copy.copy(fitted)
    g = copy.copy(r.gibbs)
    bits = gibbs_bits(g)
    del r
    gc.collect()
    assert gibbs_bits(g) == bits


@pytest.mark.parametrize("trip", sorted(TRIPS))
@pytest.mark.parametrize("seed", [0, 42, 2**63, 2**64 - 1])
def test_travelled_engine_fits_exactly_as_the_original(trip, seed):
    X, y = problem(seed % 1000)
    engine = z.TournamentMCMC(step_size=0.07, H_piH=15, seed=seed, **SMALL)
    back = TRIPS[trip](engine)
    assert back == engine and back is not engine
    assert engine_state(back) == engine_state(engine)
    assert result_bits(back.fit(X, y)) == result_bits(engine.fit(X, y))


engines = st.builds(z.TournamentMCMC, INT32, INT32, INT32, INT32,
                    st.floats(allow_nan=True, allow_infinity=True), INT32, SEED)


@given(engines)
def test_any_engine_survives_pickling_with_all_its_settings(engine):
    back = pickle.loads(pickle.dumps(engine, protocol=4))
    assert engine_state(back) == engine_state(engine) and back == engine
    assert hash(back) == hash(engine)


@given(INT32, INT32, INT32, INT32, st.floats(allow_nan=False), INT32, SEED)
def test_engine_repr_evaluates_back_to_an_equal_engine(n_chains, n_warmup, n_deep, n_elite, step,
                                                       H_piH, seed):
    engine = z.TournamentMCMC(n_chains, n_warmup, n_deep, n_elite, step, H_piH, seed)
    text = repr(engine)
    assert text == (f"TournamentMCMC(n_chains={n_chains}, n_warmup={n_warmup}, n_deep={n_deep}, "
                    f"n_elite={n_elite}, step_size={step!r}, H_piH={H_piH}, seed={seed})"
                    .replace("=inf", "=float('inf')").replace("=-inf", "=-float('inf')"))
    assert eval(text, {"TournamentMCMC": z.TournamentMCMC}) == engine


def test_engine_repr_of_defaults_and_nan_step():
    assert repr(z.TournamentMCMC()) == ("TournamentMCMC(n_chains=25, n_warmup=200, n_deep=2000, "
                                        "n_elite=5, step_size=0.05, H_piH=20, seed=42)")
    nan_engine = z.TournamentMCMC(step_size=float("nan"))
    assert "step_size=float('nan')" in repr(nan_engine)
    assert eval(repr(nan_engine), {"TournamentMCMC": z.TournamentMCMC}) == nan_engine


def test_engines_compare_and_hash_by_their_settings():
    a, b = z.TournamentMCMC(seed=5), z.TournamentMCMC(25, 200, 2000, 5, 0.05, 20, 5)
    assert a == b and not (a != b) and hash(a) == hash(b) and len({a, b}) == 1
    assert a != z.TournamentMCMC(seed=6) and a != z.TournamentMCMC(seed=5, step_size=0.0500001)
    # bit for bit: a negative zero step is another setting
    assert z.TournamentMCMC(step_size=0.0) != z.TournamentMCMC(step_size=-0.0)
    assert a != "TournamentMCMC(seed=5)" and a != 5


def test_result_reprs_name_every_field(fitted):
    g = fitted.gibbs
    assert repr(g) == (f"GibbsResult(H={g.H!r}, Hmax={g.Hmax!r}, He={g.He!r}, "
                       f"r_heat={g.r_heat!r}, var_E={g.var_E!r}, T={g.T!r})")
    assert repr(fitted) == (f"MCMCResult(energy={fitted.energy!r}, "
                            f"beta_mcmc={fitted.beta_mcmc!r}, n_chains=6, n_elite=2)")
    assert repr(fitted).startswith("MCMCResult(energy=") and "beta_mcmc=array([" in repr(fitted)


STATE_TAG = z.TournamentMCMC().__reduce__()[1][1]  # what marks the arguments of __new__ as a state


class Forged:
    """Pickles as an instance of `cls` with the given state, as another version would
    (protocol 1: the NEWOBJ opcode of later protocols insists on the class of Forged)."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    def __reduce__(self):
        return (copyreg.__newobj__, (self.cls, STATE_TAG, self.state))


def good_states(fitted):
    return {z.GibbsResult: fitted.gibbs.__getstate__(), z.MCMCResult: fitted.__getstate__(),
            z.TournamentMCMC: z.TournamentMCMC().__getstate__()}


def replaced(state, i, value):
    return state[:i] + (value,) + state[i + 1:]


MALFORMED = {
    "not a tuple": lambda s: list(s),
    "None": lambda s: None,
    "empty": lambda s: (),
    "format 2": lambda s: replaced(s, 0, 2),
    "format 0": lambda s: replaced(s, 0, 0),
    "format as text": lambda s: replaced(s, 0, "1"),
    "format as bool": lambda s: replaced(s, 0, True),
    "one item short": lambda s: s[:-1],
    "one item more": lambda s: s + (1,),
    "text field": lambda s: replaced(s, len(s) - 1, "x"),
    "float for int": lambda s: replaced(s, len(s) - 1, 5.0),
}


@pytest.mark.parametrize("how", sorted(MALFORMED))
@pytest.mark.parametrize("cls", [z.GibbsResult, z.MCMCResult, z.TournamentMCMC],
                         ids=lambda c: c.__name__)
def test_malformed_or_foreign_states_are_value_errors(fitted, cls, how):
    state = MALFORMED[how](good_states(fitted)[cls])
    if how == "float for int" and cls is z.GibbsResult:
        state = replaced(good_states(fitted)[cls], 3, 1)  # an int for a float
    with pytest.raises(ValueError, match=f"zelt_core.{cls.__name__}.*cannot restore a pickled state"):
        restored(cls, state)
    with pytest.raises(ValueError, match="cannot restore a pickled state"):
        pickle.loads(pickle.dumps(Forged(cls, state), protocol=1))


@pytest.mark.parametrize("i, value, field", [
    (1, np.zeros((2, 2)), "beta_mcmc"),
    (1, np.zeros(3, dtype=np.float32), "beta_mcmc"),
    (1, [1.0, 2.0], "beta_mcmc"),
    (1, np.zeros(3).astype(">f8"), "beta_mcmc"),
    (3, (1, 1.0, 1.0), "gibbs"),
    (3, None, "gibbs"),
    (4, 2**31, "n_chains"),
    (5, -(2**31) - 1, "n_elite"),
])
def test_malformed_result_fields_are_named(fitted, i, value, field):
    with pytest.raises(ValueError, match=field):
        restored(z.MCMCResult, replaced(fitted.__getstate__(), i, value))


@pytest.mark.parametrize("i, value", [(7, -1), (7, 2**64), (1, 2**31), (5, 1), (5, "0.05")])
def test_engine_state_out_of_range_is_refused(i, value):
    with pytest.raises(ValueError, match="cannot restore a pickled state"):
        restored(z.TournamentMCMC, replaced(z.TournamentMCMC().__getstate__(), i, value))


def test_classes_stay_closed(fitted):
    for cls in (z.MCMCResult, z.GibbsResult):
        with pytest.raises(TypeError):
            cls()
    # __setstate__ on a made object does not change it: results stay immutable
    before = result_bits(fitted)
    fitted.__setstate__(with_fields(fitted, energy=-1.0).__getstate__())
    assert result_bits(fitted) == before
    engine = z.TournamentMCMC(seed=3)
    engine.__setstate__(z.TournamentMCMC(seed=4).__getstate__())
    assert engine == z.TournamentMCMC(seed=3)
    with pytest.raises(AttributeError):
        fitted.energy = 0.0


def test_dask_and_joblib_serializer_round_trips_bit_for_bit(fitted):
    # cloudpickle ships the arguments and results of Dask and joblib tasks
    cloudpickle = pytest.importorskip("cloudpickle")
    engine = z.TournamentMCMC(seed=2**64 - 7, **SMALL)
    back = cloudpickle.loads(cloudpickle.dumps(engine))
    assert back == engine
    assert result_bits(cloudpickle.loads(cloudpickle.dumps(fitted))) == result_bits(fitted)
    X, y = problem(4)
    assert result_bits(back.fit(X, y)) == result_bits(engine.fit(X, y))
