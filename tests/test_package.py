"""The quorvane package in front of the module: ordinary mistakes answered with
ValueError where _quorvane stops with PanicException or silently drops a step, and
every other outcome (results, binding and conversion errors, their order) the
module's own."""

import ast
import math
import pathlib
import re
import typing

import numpy as np
import pytest

import _quorvane
import quorvane
from conftest import Floaty, Indexy, bit_list, run_python
from quorvane import _greeks

X0, VOL, HORIZON, STRIKE = 100.0, 0.2, 1.0, 100.0
N_PATHS, N_STEPS = 1000, 8


def gbm_batch(seed=5):
    """Euler GBM paths: states, dws and the fields sigma, d mu/dx, d sigma/dx, d2 mu/dx2,
    d2 sigma/dx2 at the state before each step."""
    rng = np.random.default_rng(seed)
    dws = rng.standard_normal((N_PATHS, N_STEPS)) * math.sqrt(HORIZON / N_STEPS)
    states = np.empty((N_PATHS, N_STEPS + 1))
    states[:, 0] = X0
    for j in range(N_STEPS):
        states[:, j + 1] = states[:, j] * (1.0 + VOL * dws[:, j])
    pre = states[:, :-1]
    return [states, dws, VOL * pre, np.zeros_like(pre), np.full_like(pre, VOL), np.zeros_like(pre),
            np.zeros_like(pre)]


def constant_flow_data():
    states, dws = gbm_batch()[:2]
    return states[:, -1].copy(), dws.sum(axis=1)


def outcome(call):
    """What a call gives: ("result", bits of the floats) or (exception type, message)."""
    try:
        return "result", bit_list(call())
    except BaseException as error:  # noqa: BLE001 - PanicException is not an Exception
        return type(error), str(error)


# ---------------------------------------------------------------------------
# price_and_delta_constant_flow: a horizon or sigma_at_x0 that is not positive
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("horizon, sigma_at_x0, name", [
    (0.0, X0 * VOL, "horizon"), (-0.0, X0 * VOL, "horizon"), (-1.0, X0 * VOL, "horizon"),
    (math.nan, X0 * VOL, "horizon"), (0, X0 * VOL, "horizon"), (np.float64(-2.0), X0 * VOL, "horizon"),
    (Floaty(0.0), X0 * VOL, "horizon"), (1.0, 0.0, "sigma_at_x0"), (1.0, -1e-300, "sigma_at_x0"),
    (1.0, math.nan, "sigma_at_x0"), (True, Indexy(0), "sigma_at_x0"),
    (0.0, 0.0, "horizon"),  # horizon is tested first, as the module tests it
])
def test_price_and_delta_constant_flow_raises_value_error_for_a_scalar_not_positive(
        capfd, horizon, sigma_at_x0, name):
    x_t, w_t = constant_flow_data()
    with pytest.raises(ValueError) as caught:
        quorvane.price_and_delta_constant_flow(x_t, w_t, horizon, sigma_at_x0, "call", STRIKE)
    assert type(caught.value) is ValueError and caught.value.args == (f"{name} must be positive",)
    assert capfd.readouterr().err == ""  # no internal failure, so no diagnostic line


# ---------------------------------------------------------------------------
# The tangent-flow estimators: exact shapes, naming the array that is off
# ---------------------------------------------------------------------------

FIELD_NAMES = ["states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "d2_mu_dx2_field",
               "d2_sigma_dx2_field"]
TANGENT_ESTIMATORS = {
    "delta": lambda batch, *scalars: quorvane.price_and_delta_tangent_flow(*batch[:5], *scalars),
    "greeks": lambda batch, *scalars: quorvane.price_and_greeks_tangent_flow(*batch, *scalars),
}
STEP_MESSAGE = ("{name} must have n_steps = 8 columns, one per step (states has 9: the initial state, "
                "then one per step), got {columns}")


def test_price_and_delta_tangent_flow_refuses_states_without_its_x0_column():
    # The module takes n_steps from states alone: with states[:, 1:] it reads one step
    # less from every array and answers another delta, with no error.
    batch = gbm_batch()
    expected = quorvane.price_and_delta_tangent_flow(*batch[:5], HORIZON, "call", STRIKE)
    dropped = _quorvane.price_and_delta_tangent_flow(batch[0][:, 1:], *batch[1:5], HORIZON, "call", STRIKE)
    assert dropped[0] == expected[0] and dropped[1] != expected[1]
    with pytest.raises(ValueError) as caught:
        quorvane.price_and_delta_tangent_flow(batch[0][:, 1:], *batch[1:5], HORIZON, "call", STRIKE)
    assert caught.value.args == (
        "states must have n_steps + 1 = 9 columns (the initial state, then one per step), got 8",)


SHAPE_CHANGES = [
    (0, lambda a: a[:, 1:], "states must have n_steps + 1 = 9 columns (the initial state, then one "
                            "per step), got 8"),
    (0, lambda a: np.hstack([a, a[:, -1:]]), "states must have n_steps + 1 = 9 columns (the initial "
                                             "state, then one per step), got 10"),
    (1, lambda a: a[:, :-1], STEP_MESSAGE.replace("{columns}", "7")),  # the module: PanicException
    (2, lambda a: np.hstack([a, a[:, -1:]]), STEP_MESSAGE.replace("{columns}", "9")),  # leading block
    (4, lambda a: a[:, :-1], STEP_MESSAGE.replace("{columns}", "7")),
    (6, lambda a: a[:, :-1], STEP_MESSAGE.replace("{columns}", "7")),
    (1, lambda a: a[:-1], "{name} has 999 rows but states has 1000: one row per path in every argument"),
    (3, lambda a: np.vstack([a, a[-1:]]),
     "{name} has 1001 rows but states has 1000: one row per path in every argument"),
]


@pytest.mark.parametrize("estimator, position, change, message", [
    (estimator, *case) for estimator in sorted(TANGENT_ESTIMATORS) for case in SHAPE_CHANGES
    if estimator == "greeks" or case[0] < 5])  # the delta takes no second-derivative fields
def test_tangent_flow_estimators_check_every_shape_exactly(estimator, position, change, message):
    batch = gbm_batch()
    batch[position] = change(batch[position])
    with pytest.raises(ValueError) as caught:
        TANGENT_ESTIMATORS[estimator](batch, HORIZON, "call", STRIKE)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message.format(name=FIELD_NAMES[position]),)


# ---------------------------------------------------------------------------
# Everything else is the module's
# ---------------------------------------------------------------------------


def with_states_without_x0(batch):
    return [batch[0][:, 1:], *batch[1:]]


CONSTANT_FLOW_CASES = {
    "valid": lambda x, w: ((x, w, HORIZON, X0 * VOL, "call"), {"strike": STRIKE}),
    "valid, ints": lambda x, w: ((x, w, 1, 20, "put", 100), {}),
    "unknown payoff": lambda x, w: ((x, w, 0.0, X0 * VOL, "Call"), {}),
    "lengths": lambda x, w: ((x, w[:-1], 0.0, X0 * VOL, "call"), {}),
    "list": lambda x, w: ((list(x), w, 0.0, X0 * VOL, "call"), {}),
    "float32": lambda x, w: ((x.astype(np.float32), w, -1.0, X0 * VOL, "call"), {}),
    "two-dimensional": lambda x, w: ((x.reshape(-1, 1), w, 0.0, X0 * VOL, "call"), {}),
    "strike None": lambda x, w: ((x, w, 0.0, X0 * VOL, "call", None), {}),
    "payoff bytes": lambda x, w: ((x, w, 0.0, X0 * VOL, b"call"), {}),
    "horizon str": lambda x, w: ((x, w, "1", X0 * VOL, "call"), {}),
    "sigma str, horizon 0": lambda x, w: ((x, w, 0.0, "20", "call"), {}),
    "horizon overflows": lambda x, w: ((x, w, 10 ** 400, 0.0, "call"), {}),
    "missing": lambda x, w: ((x, w), {}),
    "too many": lambda x, w: ((x, w, 1.0, 1.0, "call", 1.0, 1.0), {}),
    "twice": lambda x, w: ((x, w, 1.0, 1.0, "call"), {"horizon": 1.0}),
    "unknown keyword": lambda x, w: ((x, w, 1.0, 1.0, "call"), {"K": 1.0}),
}
TANGENT_FLOW_CASES = {
    "valid": lambda b: ((*b, HORIZON, "call"), {"strike": STRIKE}),
    "unknown payoff": lambda b: ((*with_states_without_x0(b), HORIZON, "Call"), {}),
    "float32": lambda b: ((b[0][:, 1:], b[1].astype(np.float32), *b[2:], HORIZON, "call"), {}),
    "strike None": lambda b: ((*with_states_without_x0(b), HORIZON, "call", None), {}),
    "horizon str": lambda b: ((*with_states_without_x0(b), "1", "call"), {}),
    "one column": lambda b: ((b[0][:, :1], *b[1:], HORIZON, "call"), {}),
    "no paths": lambda b: (([a[:0] for a in b]), {"horizon": HORIZON, "payoff": "call"}),
    "missing": lambda b: ((*b,), {}),
}


@pytest.mark.parametrize("function, case", [
    *(("price_and_delta_constant_flow", case) for case in CONSTANT_FLOW_CASES),
    *(("price_and_delta_tangent_flow", case) for case in TANGENT_FLOW_CASES),
])
def test_every_other_outcome_is_the_modules(function, case):
    if function == "price_and_delta_constant_flow":
        args, kwargs = CONSTANT_FLOW_CASES[case](*constant_flow_data())
    else:
        args, kwargs = TANGENT_FLOW_CASES[case](gbm_batch()[:5])
    expected = outcome(lambda: getattr(_quorvane, function)(*args, **kwargs))
    assert expected[0] is not quorvane.PanicException
    assert outcome(lambda: getattr(quorvane, function)(*args, **kwargs)) == expected


# ---------------------------------------------------------------------------
# Every public name
# ---------------------------------------------------------------------------


def test_all_lists_every_public_name_the_package_defines():
    # __all__ was _quorvane's list: `from quorvane import *`, help(quorvane) and mypy
    # missed the gamma and vega functions and the named tuples. Counted in a fresh
    # interpreter, so that a submodule another test imported (quorvane.dask) is not.
    done = run_python("import quorvane\n"
                      "print(sorted(n for n in vars(quorvane) if not n.startswith('_')))")
    assert done.returncode == 0, done.stderr
    assert sorted(set(quorvane.__all__) - {"__version__"}) == ast.literal_eval(done.stdout)
    assert len(set(quorvane.__all__)) == len(quorvane.__all__)
    assert set(_quorvane.__all__) | set(_greeks.__all__) <= set(quorvane.__all__)
    namespace: dict[str, object] = {}
    exec("from quorvane import *", namespace)
    assert all(namespace[name] is getattr(quorvane, name) for name in quorvane.__all__)


# ---------------------------------------------------------------------------
# Named estimates
# ---------------------------------------------------------------------------

# Each estimator of the package: the module function it wraps and its named tuple.
ESTIMATORS = {
    "price_from_samples": (_quorvane, quorvane.MeanEstimate, ("mean", "stderr")),
    "price_and_delta_constant_flow": (_quorvane, quorvane.Estimate,
                                      ("price", "delta", "price_stderr", "delta_stderr")),
    "price_and_delta_tangent_flow": (_quorvane, quorvane.Estimate,
                                     ("price", "delta", "price_stderr", "delta_stderr")),
    "price_and_greeks_constant_flow": (_greeks, quorvane.Greeks,
                                       ("price", "delta", "gamma", "vega", "price_stderr",
                                        "delta_stderr", "gamma_stderr", "vega_stderr")),
    "price_and_greeks_tangent_flow": (_greeks, quorvane.TangentFlowGreeks,
                                      ("price", "delta", "gamma", "price_stderr", "delta_stderr",
                                       "gamma_stderr")),
}


def estimator_arguments(name):
    batch = gbm_batch(seed=9)
    x_t, w_t = batch[0][:, -1].copy(), batch[1].sum(axis=1)
    return {
        "price_from_samples": (np.maximum(x_t - STRIKE, 0.0) * w_t,),
        "price_and_delta_constant_flow": (x_t, w_t, HORIZON, X0 * VOL, "call", STRIKE),
        "price_and_delta_tangent_flow": (*batch[:5], HORIZON, "put", STRIKE),
        "price_and_greeks_constant_flow": (x_t, w_t, HORIZON, X0 * VOL, VOL, VOL, "call", STRIKE),
        "price_and_greeks_tangent_flow": (*batch, HORIZON, "digital_call", STRIKE),
    }[name]


@pytest.mark.parametrize("name", ESTIMATORS)
def test_estimators_return_named_tuples_with_the_modules_bits(name):
    # price_and_delta_* and price_from_samples returned plain tuples, the Greeks
    # functions named ones: now each a named tuple, a tuple of the module's floats.
    module, kind, fields = ESTIMATORS[name]
    args = estimator_arguments(name)
    got, expected = getattr(quorvane, name)(*args), getattr(module, name)(*args)
    assert type(got) is kind and isinstance(got, tuple) and kind._fields == fields
    assert all(type(value) is float for value in got) and bit_list(got) == bit_list(expected)
    assert bit_list(getattr(got, field) for field in fields) == bit_list(expected)


# ---------------------------------------------------------------------------
# discount
# ---------------------------------------------------------------------------

# Not powers of two, so that every product rounds: a field multiplied twice, by the
# reciprocal of the factor or not at all shows in the bits. Above 1 for negative rates.
DISCOUNTS = [math.exp(-0.05 * 1.5), np.float64(1.0123)]


@pytest.mark.parametrize("discount", DISCOUNTS)
@pytest.mark.parametrize("name", ESTIMATORS)
def test_discount_multiplies_every_field_once(name, discount):
    args = estimator_arguments(name)
    plain = getattr(quorvane, name)(*args)
    discounted = getattr(quorvane, name)(*args, discount=discount)
    assert type(discounted) is type(plain)
    assert bit_list(discounted) == bit_list(value * float(discount) for value in plain)
    assert bit_list(getattr(quorvane, name)(*args, discount=1)) == bit_list(plain)


@pytest.mark.parametrize("discount, raised, message", [
    (0.0, ValueError, "discount must be a finite factor > 0, such as exp(-rate * horizon); got 0.0"),
    (-0.97, ValueError, "discount must be a finite factor > 0, such as exp(-rate * horizon); got -0.97"),
    (math.nan, ValueError, "discount must be a finite factor > 0, such as exp(-rate * horizon); got nan"),
    (math.inf, ValueError, "discount must be a finite factor > 0, such as exp(-rate * horizon); got inf"),
    ("0.97", TypeError, "discount must be a real number, not str"),
])
@pytest.mark.parametrize("name", ESTIMATORS)
def test_a_discount_not_a_finite_positive_factor_is_refused(name, discount, raised, message):
    with pytest.raises(raised) as caught:
        getattr(quorvane, name)(*estimator_arguments(name), discount=discount)
    assert type(caught.value) is raised and caught.value.args == (message,)


def test_payoff_names_agree_in_the_native_table_the_package_and_the_stubs():
    # A payoff added to (or renamed in) one of the three places and not the others.
    with pytest.raises(ValueError) as caught:
        _quorvane.price_and_delta_constant_flow(np.zeros(0), np.zeros(0), 1.0, 1.0, "?")
    native = re.findall(r"'([^']*)'", str(caught.value).split("expected", 1)[1])
    stub = pathlib.Path(__file__).parents[1] / "python" / "quorvane" / "_signatures.pyi"
    (literal,) = [node.value.slice for node in ast.walk(ast.parse(stub.read_text()))
                  if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", "") == "_Payoff"]
    assert [element.value for element in literal.elts] == native
    assert list(typing.get_args(quorvane._results._Payoff)) == native
