"""Constant-flow weights W * (1 / (T * sigma)), the payoff table, and the fused
price-and-delta estimator with its order of checks."""

import math
import re

import numpy as np
import pytest

import _quorvane as q

from conftest import (DEFAULT_NAN, LAYOUTS, array_bits, assert_worked, bit_list, bits, make_layout,
                      random_values, ref_price_and_delta, ref_weights, run_python)

INF = math.inf
NAN = math.nan
EXPECTED = "': expected 'identity', 'call', 'put', or 'digital_call'"

# ---------------------------------------------------------------------------
# bel_weights_constant_flow
# ---------------------------------------------------------------------------


def test_reciprocal_worked_example():
    out = q.bel_weights_constant_flow(np.array([10.0, 7.0, 0.3]), 1.0, 3.0)
    assert bit_list(out.tolist()) == bit_list([3.333333333333333, 2.333333333333333, 0.09999999999999999])
    # dividing by the product would differ in the last bit
    assert 10.0 / 3.0 == 3.3333333333333335 and 7.0 / 3.0 == 2.3333333333333335


@pytest.mark.parametrize("horizon, sigma, message", [
    (0.0, 0.2, "horizon must be positive"),
    (-0.0, 0.2, "horizon must be positive"),
    (-1.0, -1.0, "horizon must be positive"),
    (NAN, 1.0, "horizon must be positive"),
    (NAN, NAN, "horizon must be positive"),
    (-INF, 1.0, "horizon must be positive"),
    (1.0, 0.0, "sigma_at_x0 must be positive"),
    (1.0, -0.0, "sigma_at_x0 must be positive"),
    (1.0, NAN, "sigma_at_x0 must be positive"),
    (INF, -5.0, "sigma_at_x0 must be positive"),
])
@pytest.mark.parametrize("n", [0, 3])
def test_weights_validation(horizon, sigma, message, n, capfd):
    with pytest.raises(ValueError) as info:
        q.bel_weights_constant_flow(np.ones(n), horizon, sigma)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert capfd.readouterr().err == ""


def test_weights_validation_comes_after_every_conversion():
    with pytest.raises(TypeError, match="^argument 'sigma_at_x0': "):
        q.bel_weights_constant_flow(np.ones(2), -1.0, "x")
    with pytest.raises(TypeError, match="^argument 'w_terminals': 'list' object"):
        q.bel_weights_constant_flow([1.0], -1.0, -1.0)


@pytest.mark.parametrize("horizon, sigma", [
    (1.0, 3.0), (INF, 2.0), (1e-200, 1e-200), (1e200, 1e200), (0.7, 1.3), (5e-324, 1.0), (INF, INF),
    (3.0, 1e-310),
])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_weights_match_the_reference(horizon, sigma, layout, rng):
    values = random_values(rng, 40, 0.3) + [0.0, -0.0, INF, -INF, DEFAULT_NAN, -2.0]
    out = q.bel_weights_constant_flow(make_layout(values, layout), horizon, sigma)
    assert array_bits(out) == bit_list(ref_weights(values, horizon, sigma))


def test_weights_of_the_extreme_reciprocals():
    w = np.array([2.0, -2.0, 0.0, -0.0, INF])
    zero = q.bel_weights_constant_flow(w, INF, 1.0).tolist()  # r = 0
    assert bit_list(zero[:4]) == bit_list([0.0, -0.0, 0.0, -0.0]) and math.isnan(zero[4])
    huge = q.bel_weights_constant_flow(w, 1e-200, 1e-200).tolist()  # r = inf
    assert huge[:2] == [INF, -INF] and math.isnan(huge[2]) and math.isnan(huge[3]) and huge[4] == INF


# ---------------------------------------------------------------------------
# price_and_delta_constant_flow
# ---------------------------------------------------------------------------

TS = [90.0, 100.0, 110.0, 120.0]
WS = [-1.0, 0.0, 0.5, 1.5]


@pytest.mark.parametrize("payoff, strike, expected", [
    ("call", 100.0, (7.5, 0.4375, 4.14578098794425, 0.31093357409581873)),
    ("put", 100.0, (2.5, -0.125, 2.165063509461097, 0.10825317547305482)),
    ("digital_call", 100.0, (0.5, 0.025, 0.25, 0.015309310892394866)),
    ("identity", 100.0, (105.0, 1.8125, 5.5901699437494745, 2.4453000199362043)),
    ("identity", -7.0, (105.0, 1.8125, 5.5901699437494745, 2.4453000199362043)),
    ("identity", NAN, (105.0, 1.8125, 5.5901699437494745, 2.4453000199362043)),
])
def test_worked_example(payoff, strike, expected):
    result = q.price_and_delta_constant_flow(np.array(TS), np.array(WS), 1.0, 20.0, payoff, strike)
    assert type(result) is tuple and len(result) == 4
    assert_worked(result, expected)
    assert bit_list(result) == bit_list(ref_price_and_delta(TS, WS, 1.0, 20.0, payoff, strike))


def one_path(x, payoff, strike, w=2.0, horizon=1.0, sigma=4.0):
    return q.price_and_delta_constant_flow(np.array([x]), np.array([w]), horizon, sigma, payoff, strike)


@pytest.mark.parametrize("payoff, x, strike, p", [
    ("identity", NAN, 1.0, NAN),
    ("identity", -0.0, 5.0, -0.0),
    ("identity", 3.0, NAN, 3.0),
    ("call", 105.0, 100.0, 5.0),
    ("call", 100.0, 100.0, 0.0),
    ("call", 95.0, 100.0, 0.0),
    ("call", NAN, 100.0, 0.0),
    ("call", 1.0, NAN, 0.0),
    ("call", INF, 100.0, INF),
    ("call", INF, INF, 0.0),
    ("call", -INF, -INF, 0.0),
    ("call", 2.5, 0.0, 2.5),
    ("call", -2.5, 0.0, 0.0),
    ("put", 95.0, 100.0, 5.0),
    ("put", 100.0, 100.0, 0.0),
    ("put", -INF, 100.0, INF),
    ("put", NAN, 100.0, 0.0),
    ("put", INF, INF, 0.0),
    ("digital_call", 100.0, 100.0, 0.0),
    ("digital_call", 100.0000000001, 100.0, 1.0),
    ("digital_call", NAN, 100.0, 0.0),
    ("digital_call", 1.0, NAN, 0.0),
    ("digital_call", 5e-324, 0.0, 1.0),
    ("digital_call", -0.0, 0.0, 0.0),
    ("digital_call", INF, INF, 0.0),
])
def test_payoff_table(payoff, x, strike, p):
    result = one_path(x, payoff, strike)
    price, delta, price_stderr, delta_stderr = result
    assert bit_list(result) == bit_list(ref_price_and_delta([x], [2.0], 1.0, 4.0, payoff, strike))
    if math.isnan(p):
        assert math.isnan(price) and math.isnan(delta)
    else:
        assert bits(price) == bits(0.0 + p)
        assert bits(delta) == bits(0.0 + (2.0 * p) * 0.25)
    assert bits(price_stderr) == bits(0.0) and bits(delta_stderr) == bits(0.0)


def test_default_strike_is_zero():
    xs = np.array([-1.0, -0.0, 0.0, 5e-324, 2.0])
    ws = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    for payoff in ("call", "put", "digital_call", "identity"):
        assert bit_list(q.price_and_delta_constant_flow(xs, ws, 1.0, 1.0, payoff)) == bit_list(
            ref_price_and_delta(xs.tolist(), ws.tolist(), 1.0, 1.0, payoff, 0.0))
    assert q.price_and_delta_constant_flow(xs, ws, 1.0, 1.0, "digital_call")[0] == 2 / 5


@pytest.mark.parametrize("name", ["Call", "CALL", "digital", " call", "call ", "", "call\x00",
                                  "calls", "cal", "identity\n", "put\x00x", "dígital_call", "digital-call"])
def test_unknown_payoff_names(name, capfd):
    a = np.ones(2)
    with pytest.raises(ValueError) as info:
        q.price_and_delta_constant_flow(a, a, -1.0, float("nan"), name)
    assert type(info.value) is ValueError
    assert info.value.args == ("unknown payoff '" + name + EXPECTED,)
    assert capfd.readouterr().err == ""


A3 = np.ones(3)
A2 = np.ones(2)
E0 = np.zeros(0)


@pytest.mark.parametrize("args, error, message", [
    ((A3, A2, 1.0, 1.0, "call"), ValueError, "terminal_states and w_terminals must have the same length"),
    ((A3, A2, -1.0, NAN, "Call"), ValueError, "terminal_states and w_terminals must have the same length"),
    ((E0, A2, 0.0, 0.0, ""), ValueError, "terminal_states and w_terminals must have the same length"),
    ((A2, A2, -1.0, 1.0, "Call"), ValueError, "unknown payoff 'Call" + EXPECTED),
    ((E0, E0, 0.0, 0.0, "nope"), ValueError, "unknown payoff 'nope" + EXPECTED),
    ((A2, A2, 0.0, 0.2, "call"), "panic", "horizon must be positive"),
    ((A2, A2, NAN, 0.2, "call"), "panic", "horizon must be positive"),
    ((A2, A2, -0.0, 0.2, "put"), "panic", "horizon must be positive"),
    ((A2, A2, -1.0, -1.0, "identity"), "panic", "horizon must be positive"),
    ((E0, E0, 0.0, 1.0, "call"), "panic", "horizon must be positive"),
    ((A2, A2, 1.0, 0.0, "digital_call"), "panic", "sigma_at_x0 must be positive"),
    ((A2, A2, INF, NAN, "call"), "panic", "sigma_at_x0 must be positive"),
    ((E0, E0, 1.0, -2.0, "call"), "panic", "sigma_at_x0 must be positive"),
])
def test_order_of_checks(args, error, message, panic_type, capfd):
    if error == "panic":
        error = panic_type
    with pytest.raises(BaseException) as info:
        q.price_and_delta_constant_flow(*args)
    assert type(info.value) is error
    assert info.value.args == (message,)
    err = capfd.readouterr().err
    if error is panic_type:
        assert message in err  # a diagnostic of the internal failure
    else:
        assert err == ""


def test_internal_error_diagnostic_reads_as_quorvanes_own(panic_type, capfd):
    # it read "thread 'main' panicked at src/...:52:29:" and the message on a line of its own
    a = np.ones(2)
    with pytest.raises(panic_type):
        q.price_and_delta_constant_flow(a, a, 0.0, 0.2, "call")
    assert re.fullmatch(r"quorvane: internal error at src/core/estimates/constant_flow_price\.cpp:\d+: "
                        r"horizon must be positive\n", capfd.readouterr().err)

    class Reentrant:  # an internal error inside Python code that the module called
        def __float__(self):
            q.price_and_delta_constant_flow(a, a, 1.0, -1.0, "call")

    with pytest.raises(panic_type):
        q.bel_weights_constant_flow(a, Reentrant(), 1.0)
    lines = [line for line in capfd.readouterr().err.splitlines() if line.startswith("quorvane:")]
    assert len(lines) == 3
    assert re.fullmatch(r"quorvane: internal error at src/\S+\.cpp:\d+: sigma_at_x0 must be positive", lines[0])
    assert lines[1] == ("quorvane: internal error resumed: Python code called back into quorvane and "
                        "raised its PanicException")
    assert re.fullmatch(r"quorvane: internal error at src/\S+\.cpp:\d+: sigma_at_x0 must be positive", lines[2])


def test_panic_is_not_an_exception(panic_type):
    a = np.ones(2)
    caught = None
    try:
        try:
            q.price_and_delta_constant_flow(a, a, 0.0, 0.2, "call")
        except Exception:  # noqa: BLE001 - must not catch it
            caught = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert isinstance(caught, panic_type)
    assert str(caught) == "horizon must be positive"
    assert "PanicException" not in dir(q)
    assert panic_type.__doc__.startswith("\n") and panic_type.__doc__.endswith("\n")
    assert panic_type.__bases__ == (BaseException,)
    # the next call runs normally
    assert bit_list(q.price_and_delta_constant_flow(a, a, 1.0, 1.0, "identity")) == bit_list(
        ref_price_and_delta([1.0, 1.0], [1.0, 1.0], 1.0, 1.0, "identity"))


def test_empty_arrays_with_valid_scalars_give_nans():
    result = q.price_and_delta_constant_flow(E0, E0, 1.0, 1.0, "call", 1.0)
    assert len(result) == 4 and all(math.isnan(v) for v in result)


def test_nan_and_infinite_paths():
    xs = np.array([NAN, 100.0, 120.0])
    ws = np.array([1.0, -1.0, 2.0])
    for payoff in ("call", "put", "digital_call"):
        got = q.price_and_delta_constant_flow(xs, ws, 1.0, 1.0, payoff, 100.0)
        assert bit_list(got) == bit_list(ref_price_and_delta(xs.tolist(), ws.tolist(), 1.0, 1.0, payoff, 100.0))
        assert not any(math.isnan(v) for v in got)
    price, delta, price_stderr, delta_stderr = q.price_and_delta_constant_flow(xs, ws, 1.0, 1.0, "identity")
    assert math.isnan(price) and math.isnan(delta) and price_stderr == 0.0 and delta_stderr == 0.0
    # an infinite W on a zero payoff gives a NaN delta sample: delta NaN, its stderr clamped
    price, delta, price_stderr, delta_stderr = q.price_and_delta_constant_flow(
        np.array([90.0, 110.0]), np.array([INF, 1.0]), 1.0, 1.0, "call", 100.0)
    assert price == 5.0 and math.isnan(delta) and delta_stderr == 0.0


def test_delta_is_w_times_payoff_then_times_reciprocal():
    # (W * p) * r and p * (W * r) differ here in the last bit.
    x, w, h, s, k = 1.7, 0.3, 0.9, 0.7, 0.0
    r = 1.0 / (h * s)
    assert (w * x) * r != x * (w * r)
    got = q.price_and_delta_constant_flow(np.array([x]), np.array([w]), h, s, "identity", k)
    assert bits(got[1]) == bits((w * x) * r)


PAYOFFS = ["identity", "call", "put", "digital_call"]
STRIKES = [0.0, -0.0, 100.0, NAN, INF, -INF, 1e-300]
SCALARS = [(1.0, 20.0), (INF, 1.0), (1e-200, 1e-200), (0.25, 0.3), (1e200, 1e200)]


@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_random_inputs_match_the_reference(payoff, layout, rng):
    for i, (horizon, sigma) in enumerate(SCALARS):
        n = rng.randint(0, 40) + i % 2
        xs = random_values(rng, n, 0.2)
        ws = [rng.gauss(0.0, 1.0) if rng.random() > 0.2 else rng.choice([0.0, -0.0, INF, DEFAULT_NAN, 1e300])
              for _ in range(n)]
        strike = rng.choice(STRIKES)
        w_layout = "reversed" if i % 2 else layout  # both arrays in one layout, or not
        got = q.price_and_delta_constant_flow(make_layout(xs, layout), make_layout(ws, w_layout),
                                              horizon, sigma, payoff, strike)
        assert bit_list(got) == bit_list(ref_price_and_delta(xs, ws, horizon, sigma, payoff, strike)), (
            xs, ws, horizon, sigma, strike)


@pytest.mark.parametrize("payoff", PAYOFFS)
def test_same_array_for_both_arguments(payoff, rng):
    values = random_values(rng, 50, 0.2)
    arr = make_layout(values, "unaligned_stride12")
    got = q.price_and_delta_constant_flow(arr, arr, 0.5, 3.0, payoff, 90.0)
    assert bit_list(got) == bit_list(ref_price_and_delta(values, values, 0.5, 3.0, payoff, 90.0))


def test_weights_composed_in_numpy_agree_with_the_reference_weights(rng):
    xs = [rng.gauss(100.0, 20.0) for _ in range(64)]
    ws = [rng.gauss(0.0, 1.0) for _ in range(64)]
    w = q.bel_weights_constant_flow(np.array(ws), 1.0, 20.0)
    assert array_bits(w) == bit_list(ref_weights(ws, 1.0, 20.0))
    delta = (np.maximum(np.array(xs) - 100.0, 0.0) * w).mean()
    fused = q.price_and_delta_constant_flow(np.array(xs), np.array(ws), 1.0, 20.0, "call", 100.0)[1]
    assert abs(delta - fused) <= 1e-12 * max(1.0, abs(fused))


def test_weights_of_both_kernel_builds_agree(tmp_path):
    rng = np.random.default_rng(12)
    ws = [rng.standard_normal(n) * 10.0 ** rng.integers(-300, 300, n) for n in (*range(20), 1001)]
    np.savez(tmp_path / "w.npz", *ws)
    code = f"""
import numpy as np, _quorvane as q
d = np.load({str(tmp_path / 'w.npz')!r})
np.savez({str(tmp_path / 'out.npz')!r},
         *[q.bel_weights_constant_flow(d[f'arr_{{k}}'], 0.7, 1.3) for k in range({len(ws)})])
"""
    done = run_python(code, env_extra={"QUORVANE_KERNEL": "baseline"})
    assert done.returncode == 0, done.stderr
    baseline = np.load(tmp_path / "out.npz")
    for k, w in enumerate(ws):
        expected = bit_list(ref_weights(w.tolist(), 0.7, 1.3))
        assert array_bits(baseline[f"arr_{k}"]) == expected
        assert array_bits(q.bel_weights_constant_flow(w, 0.7, 1.3)) == expected
