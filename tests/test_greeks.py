"""quorvane._greeks against plain sequential Python references of its formulas, bit
for bit, over every array layout (the parallel gamma weights for any thread count
are test_parallel's); the module surface, the binding and validation contract, and
the named tuples."""

import inspect
import math
import os
import random

import numpy as np
import pytest

import _quorvane
import quorvane
from quorvane import _greeks as g
from conftest import (DEFAULT_NAN, GREEKS_FUNCTIONS, LAYOUTS, array_bits, bit_list, ieee_div, make_layout,
                      random_values, ref_mean_stderr_of_sums, ref_payoff, ref_reciprocal,
                      ref_sums, run_python)
from test_binding import missing_message, raises_type_error, too_many_message
from test_tangent_flow import LAYOUTS_2D, batch, layout2d, ref_weights as ref_delta_weights

PAYOFFS = ["identity", "call", "put", "digital_call"]
EXPECTED = "': expected 'identity', 'call', 'put', or 'digital_call'"

# ---------------------------------------------------------------------------
# References: the formulas in the order the implementation fixes
# ---------------------------------------------------------------------------


def ref_cf_constants(horizon, sigma_at_x0, d_sigma_dx, volatility):
    """r = 1 / (T sigma0) (the gamma multiplies by it twice), sigma' T and h = 1 / (T v)."""
    return (ref_reciprocal(horizon, sigma_at_x0), d_sigma_dx * horizon, ieee_div(1.0, horizon * volatility))


def ref_numerator(w, slope_t, horizon):
    return ((w * w) - (slope_t * w)) - horizon


def ref_cf_gamma_weights(w, horizon, sigma_at_x0, d_sigma_dx):
    r, slope_t, _ = ref_cf_constants(horizon, sigma_at_x0, d_sigma_dx, 1.0)
    return [(ref_numerator(x, slope_t, horizon) * r) * r for x in w]


def ref_cf_vega_weights(w, horizon, d_sigma_dx, volatility):
    _, slope_t, h = ref_cf_constants(horizon, 1.0, d_sigma_dx, volatility)
    return [ref_numerator(x, slope_t, horizon) * h for x in w]


def ref_greek_mean_stderr(s1, s2, n):
    """The statistics rule of the Greeks module: a variance that is NaN, or a mean that is
    not finite, gives a NaN standard error where the clamp would give a number."""
    mean, stderr = ref_mean_stderr_of_sums(s1, s2, n)
    variance = ieee_div(s2, float(n)) - mean * mean
    if (not math.isfinite(mean) or math.isnan(variance)) and not math.isnan(stderr):
        return mean, math.nan
    return mean, stderr


def ref_squares_out_of_range(values):
    s1, s2 = ref_sums(values)
    if not math.isfinite(ieee_div(s1, float(len(values)))):
        return False
    return math.isinf(s2) or ((s1 != 0.0 or s2 != 0.0) and ieee_div(s2, float(len(values))) < 2.0 ** -960)


def ref_cf_lane_stats(values):
    """(mean, stderr) of one lane of price_and_greeks_constant_flow: the Greeks rule, and
    for a finite mean whose squares overflow, or are too small to keep their bits, the
    rule on the samples scaled by the power of two 2^e that brings the largest |sample|
    into [1, 2), its stderr scaled back by 2^-e."""
    n = len(values)
    mean, stderr = ref_greek_mean_stderr(*ref_sums(values), n)
    if not ref_squares_out_of_range(values):
        return mean, stderr
    e = 1 - math.frexp(max(abs(v) for v in values))[1]
    scaled = ref_greek_mean_stderr(*ref_sums([math.ldexp(v, e) for v in values]), n)
    return mean, math.ldexp(scaled[1], -e)


def ref_cf_lanes(xs, ws, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike):
    """The samples of price, delta, gamma and vega, path by path."""
    r, slope_t, h = ref_cf_constants(horizon, sigma_at_x0, d_sigma_dx, volatility)
    lanes = [[] for _ in range(4)]
    for x, w in zip(xs, ws):
        p = ref_payoff(payoff, x, strike)
        up = ref_numerator(w, slope_t, horizon) * p
        for lane, v in zip(lanes, (p, (w * p) * r, (up * r) * r, up * h)):
            lane.append(v)
    return lanes


def ref_greeks_constant_flow(*args):
    stats = [ref_cf_lane_stats(lane) for lane in ref_cf_lanes(*args)]
    return tuple(m for m, _ in stats) + tuple(e for _, e in stats)


class ZeroSigma(Exception):
    pass


def ref_gamma_path(a, i, n_steps, horizon):
    """a: lists of dws, sigma, mu', sigma', mu'', sigma''; one path, steps in order."""
    dws, sigma, dmu, dsig, d2mu, d2sig = (x[i] for x in a)
    m = n_steps // 2
    dt = ieee_div(horizon, float(n_steps))
    t1 = m * dt
    inv_t1, inv_t2 = ieee_div(1.0, t1), ieee_div(1.0, horizon - t1)
    y, z, sa, sb, sc = 1.0, 0.0, 0.0, 0.0, 0.0
    for j in range(n_steps):
        s = sigma[j]
        if s == 0.0:
            raise ZeroSigma(i, j)
        dw = dws[j]
        k = ieee_div(y, s)
        if j < m:
            sa = sa + k * dw
            sc = sc + (ieee_div(z, s) - (k * k) * dsig[j]) * dw
            y2 = y * y
            z = z + ((d2sig[j] * y2 + dsig[j] * z) * dw + (d2mu[j] * y2 + dmu[j] * z) * dt)
        else:
            sb = sb + k * dw
        y = y + ((dsig[j] * y) * dw + (dmu[j] * y) * dt)
    return (sa * inv_t1) * (sb * inv_t2) + sc * inv_t1


def ref_gamma_weights(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon):
    a = [np.asarray(x).tolist() for x in (dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)]
    n_paths, n_steps = np.shape(dws)
    return [ref_gamma_path(a, i, n_steps, horizon) for i in range(n_paths)]


def ref_greeks_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon,
                            payoff, strike):
    gamma = ref_gamma_weights(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon)
    delta = ref_delta_weights(dws, sigma, d_mu_dx, d_sigma_dx, horizon)
    sums = [[0.0, 0.0] for _ in range(3)]
    for x, w, gw in zip(states[:, -1].tolist(), delta, gamma):
        p = ref_payoff(payoff, x, strike)
        for s, v in zip(sums, (p, w * p, gw * p)):
            s[0] = s[0] + v
            s[1] = s[1] + v * v
    stats = [ref_greek_mean_stderr(s1, s2, len(gamma)) for s1, s2 in sums]
    return tuple(m for m, _ in stats) + tuple(e for _, e in stats)


def gamma_batch(rng, n_paths, n_steps, specials=False):
    """The delta batch of test_tangent_flow plus the two second-derivative arrays."""
    arrays = list(batch(rng, n_paths, n_steps, specials))
    for scale in (0.2, 0.4):
        a = rng.normal(0.0, scale, (n_paths, n_steps))
        if specials:
            mask = rng.random(a.shape) < 0.03
            a[mask] = rng.choice([math.inf, -math.inf, DEFAULT_NAN, -0.0, 1e300], mask.sum())
        arrays.append(a)
    return arrays


# ---------------------------------------------------------------------------
# Bits against the references
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("layout", LAYOUTS)
def test_constant_flow_weights_equal_the_reference_in_every_layout(layout, rng):
    values = random_values(rng, 37)
    w = make_layout(values, layout)
    gamma = g.bel_weights_gamma_constant_flow(w, 0.8, 21.0, 0.15)
    vega = g.bel_weights_vega_constant_flow(w, 0.8, 0.15, 0.15)
    assert array_bits(gamma) == bit_list(ref_cf_gamma_weights(values, 0.8, 21.0, 0.15))
    assert array_bits(vega) == bit_list(ref_cf_vega_weights(values, 0.8, 0.15, 0.15))


@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("layout", ["contiguous", "reversed", "step3", "unaligned_stride12",
                                    "packed_record"])
@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 9, 130])
def test_constant_flow_greeks_equal_the_reference(payoff, layout, n, rng):
    xs = random_values(rng, n)
    ws = [rng.gauss(0.0, 1.0) for _ in range(n)]
    args = (1.3, 26.0, 0.2, 0.2, payoff, 101.0)
    got = g.price_and_greeks_constant_flow(make_layout(xs, layout), make_layout(ws, layout), *args)
    assert type(got) is tuple and len(got) == 8
    assert bit_list(got) == bit_list(ref_greeks_constant_flow(xs, ws, *args))
    # price and delta are price_and_delta_constant_flow's, and so are their errors for a
    # finite estimate whose squares fit the doubles
    pd = quorvane.price_and_delta_constant_flow(np.array(xs), np.array(ws), 1.3, 26.0, payoff, 101.0)
    assert bit_list(got[:2]) == bit_list(pd[:2])
    lanes = ref_cf_lanes(xs, ws, *args)
    for k in range(2):
        if math.isfinite(got[k]) and not ref_squares_out_of_range(lanes[k]):
            assert bit_list([got[4 + k]]) == bit_list([pd[2 + k]])


@pytest.mark.parametrize("layout", LAYOUTS_2D)
@pytest.mark.parametrize("n_paths, n_steps", [(0, 2), (1, 2), (3, 3), (5, 7), (9, 4), (17, 6), (33, 5)])
def test_gamma_weights_equal_the_reference_in_every_layout(layout, n_paths, n_steps):
    rng = np.random.default_rng(n_paths * 13 + n_steps)
    arrays = gamma_batch(rng, n_paths, n_steps, specials=True)
    laid = [layout2d(a, layout) for a in arrays]
    expected = bit_list(ref_gamma_weights(*arrays[1:], 1.25))
    assert array_bits(g.bel_weights_gamma_tangent_flow(*laid, 1.25)) == expected
    assert array_bits(g.bel_weights_gamma_tangent_flow_parallel(*laid, 1.25)) == expected


def test_gamma_weights_of_broadcast_rows_and_mixed_layouts():
    rng = np.random.default_rng(5)
    one = gamma_batch(rng, 1, 8)
    wide = [np.broadcast_to(a, (7, a.shape[1])) for a in one]
    assert array_bits(g.bel_weights_gamma_tangent_flow(*wide, 0.5)) == \
        bit_list(ref_gamma_weights(*one[1:], 0.5)) * 7
    arrays = gamma_batch(rng, 11, 9, specials=True)
    mixed = [layout2d(a, layout) for a, layout in zip(arrays, LAYOUTS_2D)]
    assert array_bits(g.bel_weights_gamma_tangent_flow(*mixed, 0.5)) == \
        bit_list(ref_gamma_weights(*arrays[1:], 0.5))


@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("layout", ["c", "fortran", "reversed", "odd_strides"])
@pytest.mark.parametrize("n_paths", [1, 4, 9, 300])
def test_tangent_flow_greeks_equal_the_reference(payoff, layout, n_paths):
    rng = np.random.default_rng(n_paths + 7 * len(payoff))
    arrays = gamma_batch(rng, n_paths, 5, specials=layout == "c")
    laid = [layout2d(a, layout) for a in arrays]
    got = g.price_and_greeks_tangent_flow(*laid, 0.9, payoff, 1.0)
    assert bit_list(got) == bit_list(ref_greeks_tangent_flow(*arrays, 0.9, payoff, 1.0))
    # price and delta are price_and_delta_tangent_flow's, and so are their errors except where
    # the variance is NaN (NaN here, 0.0 there)
    pd = quorvane.price_and_delta_tangent_flow(*laid[:5], 0.9, payoff, 1.0)
    assert bit_list(got[:2]) == bit_list(pd[:2])
    for k in range(2):
        if not math.isnan(got[3 + k]):
            assert bit_list([got[3 + k]]) == bit_list([pd[2 + k]])


def test_states_values_are_never_read_but_the_last_column():
    rng = np.random.default_rng(9)
    arrays = gamma_batch(rng, 12, 6)
    first = g.bel_weights_gamma_tangent_flow(*arrays, 1.0)
    fused = g.price_and_greeks_tangent_flow(*arrays, 1.0, "call", 1.0)
    arrays[0] = arrays[0].copy()
    arrays[0][:, :-1] = math.nan
    assert array_bits(g.bel_weights_gamma_tangent_flow(*arrays, 1.0)) == array_bits(first)
    assert bit_list(g.price_and_greeks_tangent_flow(*arrays, 1.0, "call", 1.0)) == bit_list(fused)


def test_baseline_kernels_give_the_same_bits(tmp_path):
    rng = np.random.default_rng(77)
    arrays = gamma_batch(rng, 37, 11, specials=True)
    xs = np.array(random_values(random.Random(3), 23))
    np.savez(tmp_path / "batch.npz", *arrays, xs)
    code = f"""
import numpy as np
from quorvane import _greeks as g
d = np.load({str(tmp_path / 'batch.npz')!r})
a = [d[f'arr_{{k}}'] for k in range(8)]
np.save({str(tmp_path / 'c.npy')!r}, g.bel_weights_gamma_tangent_flow(*a[:7], 0.75))
np.save({str(tmp_path / 'f.npy')!r}, g.bel_weights_gamma_tangent_flow(*[np.asfortranarray(x) for x in a[:7]], 0.75))
np.save({str(tmp_path / 'cf.npy')!r}, np.array(g.price_and_greeks_constant_flow(a[7], a[7][::-1], 1.0, 2.0, 0.1, 0.1, "put", 99.0)))
"""
    done = run_python(code, env_extra={"QUORVANE_KERNEL": "baseline"})
    assert done.returncode == 0, done.stderr
    expected = bit_list(ref_gamma_weights(*arrays[1:], 0.75))
    assert array_bits(np.load(tmp_path / "c.npy")) == expected
    assert array_bits(np.load(tmp_path / "f.npy")) == expected
    assert array_bits(np.load(tmp_path / "cf.npy")) == bit_list(
        ref_greeks_constant_flow(xs.tolist(), xs[::-1].tolist(), 1.0, 2.0, 0.1, 0.1, "put", 99.0))


# GBM from x0 = 100 (sigma = 0.2 x) and ABM from 0, call struck at the money. Scaling
# X_T, K and sigma(X_0) by 2^k scales price, gamma and vega (and their errors) by
# 2^(k, -k, k) for GBM, 2^(k, -k, 0) for ABM; the delta is unchanged.
def scaled_constant_flow(model, k, w):
    c = math.ldexp(1.0, k)
    if model == "gbm":
        x = (100.0 * c) * np.exp(-0.02 + 0.2 * w)
        return g.price_and_greeks_constant_flow(x, w, 1.0, 20.0 * c, 0.2, 0.2, "call", 100.0 * c)
    return g.price_and_greeks_constant_flow(c * w, w, 1.0, c, 0.0, c, "call", 0.0)


@pytest.mark.parametrize("model, k", [("gbm", 510), ("gbm", -520), ("abm", 997), ("abm", -997)])
def test_gamma_and_vega_at_extreme_valid_scales_are_not_lost_to_overflow(model, k):
    # 2^997 ~ 1e300 and 2^-997 ~ 1e-300: a factor 1 / (T sigma0)^2 rounded once was 0 or inf
    # there (gamma 0.0 or NaN, with a standard error of 0.0)
    w = np.random.default_rng(11).standard_normal(2000)
    base, got = scaled_constant_flow(model, 0, w), scaled_constant_flow(model, k, w)
    powers = (1, 0, -1, 1) if model == "gbm" else (1, 0, -1, 0)
    expected = [math.ldexp(v, p * k) for v, p in zip(base, powers + powers)]
    assert all(math.isfinite(v) and v != 0.0 for v in got)
    assert bit_list(got) == bit_list(expected)


def test_a_non_finite_greek_estimate_has_a_nan_standard_error():
    # the clamp of a NaN variance gave such estimates a standard error of 0.0
    x = np.array([1.0, math.nan, 3.0, math.inf])
    cf = g.price_and_greeks_constant_flow(x[:3], np.ones(3), 1.0, 1.0, 0.2, 0.2, "identity")
    assert all(math.isnan(v) for v in cf)
    cf = g.price_and_greeks_constant_flow(x[[0, 3]], np.ones(2), 1.0, 1.0, 0.2, 0.2, "identity")
    assert cf[:4] == (math.inf, math.inf, -math.inf, -math.inf) and all(math.isnan(v) for v in cf[4:])
    states, dws, sigma, *rest = shapes(n_paths=2, n_steps=2)
    states[:, -1] = [1.0, math.nan]
    tf = g.price_and_greeks_tangent_flow(states, dws, sigma, *rest, 1.0, "identity")
    assert all(math.isnan(v) for v in tf)


# ---------------------------------------------------------------------------
# Validation
# ---------------------------------------------------------------------------

def shapes(n_paths=4, n_steps=9, **override):
    names = ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")
    arrays = {k: (n_paths, n_steps) for k in names}
    arrays["states"] = (n_paths, n_steps + 1)
    arrays.update(override)
    return [np.ones(arrays[k]) for k in names]


TWO_COLUMNS = "states must have at least 3 columns (n_steps + 1, and gamma needs n_steps >= 2)"


@pytest.mark.parametrize("arrays, horizon, message, fused_message", [
    (shapes(), 0.0, "horizon must be positive", None),
    (shapes(), -0.0, "horizon must be positive", None),
    (shapes(), math.nan, "horizon must be positive", None),
    (shapes(states=(3, 1), dws=(7, 7)), -1.0, "horizon must be positive", None),
    (shapes(states=(4, 2)), 1.0, TWO_COLUMNS, None),  # one step: no second interval
    (shapes(states=(4, 1), d2_sigma_dx2=(1, 1)), 1.0, TWO_COLUMNS, None),
    (shapes(dws=(4, 10)), 1.0, "dws shape [4, 10] != expected (4, 9)", None),
    (shapes(sigma=(5, 9), d2_mu_dx2=(1, 1)), 1.0, "sigma shape [5, 9] != expected (4, 9)",
     "sigma_field shape [5, 9] != expected (4, 9)"),
    (shapes(d2_mu_dx2=(4, 8)), 1.0, "d2_mu_dx2 shape [4, 8] != expected (4, 9)",
     "d2_mu_dx2_field shape [4, 8] != expected (4, 9)"),
    (shapes(d2_sigma_dx2=(3, 9)), 1.0, "d2_sigma_dx2 shape [3, 9] != expected (4, 9)",
     "d2_sigma_dx2_field shape [3, 9] != expected (4, 9)"),
    (shapes(n_paths=0, d_sigma_dx=(0, 8)), 1.0, "d_sigma_dx shape [0, 8] != expected (0, 9)",
     "d_sigma_dx_field shape [0, 8] != expected (0, 9)"),
])
def test_tangent_flow_validation_order_and_messages(arrays, horizon, message, fused_message, capfd):
    for function in (g.bel_weights_gamma_tangent_flow, g.bel_weights_gamma_tangent_flow_parallel):
        with pytest.raises(ValueError) as info:
            function(*arrays, horizon)
        assert info.value.args == (message,)
    # the fused estimator checks the same, with its own names, before the payoff name
    with pytest.raises(ValueError) as info:
        g.price_and_greeks_tangent_flow(*arrays, horizon, "Call")
    assert info.value.args == (fused_message or message,)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("zeros, reported", [([(2, 5), (3, 0)], (2, 5)), ([(5, 2), (5, 1)], (5, 1)),
                                             ([(40, 8)], (40, 8))])
@pytest.mark.parametrize("zero", [0.0, -0.0])
def test_zero_sigma_names_the_first_zero_in_row_major_order(zeros, reported, zero):
    arrays = gamma_batch(np.random.default_rng(3), 41, 9)
    for i, j in zeros:
        arrays[2][i, j] = zero
    i, j = reported
    with pytest.raises(ValueError) as info:
        g.bel_weights_gamma_tangent_flow(*arrays, 1.0)
    assert info.value.args == (f"sigma[{i}, {j}] = 0 produces division by zero in BEL weight",)
    with pytest.raises(ValueError) as info:
        g.price_and_greeks_tangent_flow(*arrays, 1.0, "call", 1.0)
    assert info.value.args == (f"sigma_field[{i}, {j}] = 0 produces division by zero in BEL weight",)


@pytest.mark.parametrize("call, message", [
    (lambda w: g.bel_weights_gamma_constant_flow(w, 0.0, 1.0, 0.2), "horizon must be positive"),
    (lambda w: g.bel_weights_gamma_constant_flow(w, 1.0, -0.0, math.nan), "sigma_at_x0 must be positive"),
    (lambda w: g.bel_weights_gamma_constant_flow(w, 1.0, 1.0, math.inf), "d_sigma_dx must be finite"),
    (lambda w: g.bel_weights_vega_constant_flow(w, math.nan, 0.2, 0.0), "horizon must be positive"),
    (lambda w: g.bel_weights_vega_constant_flow(w, 1.0, math.nan, 0.0), "d_sigma_dx must be finite"),
    (lambda w: g.bel_weights_vega_constant_flow(w, 1.0, 0.2, -1.0), "volatility must be positive"),
    (lambda w: g.price_and_greeks_constant_flow(w, w[:1], -1.0, -1.0, 0.0, 0.0, "Call"),
     "horizon must be positive"),
    (lambda w: g.price_and_greeks_constant_flow(w, w[:1], 1.0, 0.0, 0.0, 0.0, "Call"),
     "sigma_at_x0 must be positive"),
    (lambda w: g.price_and_greeks_constant_flow(w, w[:1], 1.0, 1.0, -math.inf, 0.0, "Call"),
     "d_sigma_dx must be finite"),
    (lambda w: g.price_and_greeks_constant_flow(w, w[:1], 1.0, 1.0, 0.0, math.nan, "Call"),
     "volatility must be positive"),
    (lambda w: g.price_and_greeks_constant_flow(w, w[:1], 1.0, 1.0, 0.0, 1.0, "Call"),
     "terminal_states and w_terminals must have the same length"),
    (lambda w: g.price_and_greeks_constant_flow(w, w, 1.0, 1.0, 0.0, 1.0, "call "),
     "unknown payoff 'call " + EXPECTED),
    (lambda w: g.price_and_greeks_tangent_flow(*shapes(n_steps=2), 1.0, "Call"),
     "unknown payoff 'Call" + EXPECTED),
])
def test_scalar_validation_raises_value_errors_in_order(call, message, capfd):
    with pytest.raises(ValueError) as info:
        call(np.ones(3))
    assert type(info.value) is ValueError and info.value.args == (message,)
    assert capfd.readouterr().err == ""


def test_infinite_scalars_and_empty_arrays_are_valid():
    assert g.bel_weights_gamma_constant_flow(np.zeros(0), math.inf, math.inf, 0.0).shape == (0,)
    assert all(math.isnan(v) for v in g.price_and_greeks_constant_flow(np.zeros(0), np.zeros(0), 1.0, 1.0,
                                                                      0.0, 1.0, "call"))
    assert all(math.isnan(v) for v in g.price_and_greeks_tangent_flow(*shapes(n_paths=0, n_steps=2), 1.0,
                                                                     "put"))
    empty = g.bel_weights_gamma_tangent_flow_parallel(*shapes(n_paths=0, n_steps=3), 1.0)
    assert empty.shape == (0,) and empty.dtype == np.float64


# ---------------------------------------------------------------------------
# Binding and conversion: the contract of _quorvane
# ---------------------------------------------------------------------------

CASES = GREEKS_FUNCTIONS


@pytest.mark.parametrize("case", CASES, ids=repr)
def test_binding_messages_follow_the_interpreter(case, capfd):
    args = case.valid_args()
    expected = case.function(*args)
    for k in range(case.required):
        raises_type_error(lambda: case.function(*args[:k]),
                          missing_message(case, case.parameters[k:case.required]), capfd)
    extra = args + (None,) * (len(case.parameters) + 1 - len(args))
    raises_type_error(lambda: case.function(*extra, bogus=1), too_many_message(case, len(extra)))
    for name, value in zip(case.parameters, args):
        raises_type_error(lambda: case.function(*args, **{name: value}),
                          f"{case.name}() got multiple values for argument '{name}'")
    raises_type_error(lambda: case.function(*args, Horizon=1.0),
                      f"{case.name}() got an unexpected keyword argument 'Horizon'")
    by_name = case.function(**dict(reversed(list(zip(case.parameters, args)))))
    if isinstance(expected, np.ndarray):
        assert by_name.tobytes() == expected.tobytes()
    else:
        assert bit_list(by_name) == bit_list(expected)


@pytest.mark.parametrize("case", CASES, ids=repr)
def test_conversion_errors_name_the_argument(case):
    args = list(case.valid_args())
    for k, name in enumerate(case.parameters):
        bad = list(args)
        bad[k] = [1.0] if isinstance(args[k], np.ndarray) else (b"call" if name == "payoff" else "1")
        target = "PyArray<T, D>" if isinstance(args[k], np.ndarray) else \
            ("PyString" if name == "payoff" else None)
        with pytest.raises(TypeError) as info:
            case.function(*bad)
        message = str(info.value)
        assert message.startswith(f"argument '{name}': "), message
        if target is not None:
            kind = "list" if target == "PyArray<T, D>" else "bytes"
            assert message == f"argument '{name}': '{kind}' object cannot be converted to '{target}'"
    # arrays are converted first, then the scalars in parameter order
    first_scalar = next(k for k, a in enumerate(args) if not isinstance(a, np.ndarray))
    bad = list(args)
    bad[first_scalar - 1] = np.ones(2, dtype=np.float32)
    bad[first_scalar] = "x"
    with pytest.raises(TypeError, match=f"^argument '{case.parameters[first_scalar - 1]}': 'ndarray'"):
        case.function(*bad)


def test_strike_none_fails_conversion_and_an_omitted_strike_is_zero():
    case = CASES[4]
    args = case.valid_args()
    with pytest.raises(TypeError, match="^argument 'strike': "):
        g.price_and_greeks_constant_flow(*args[:-1], None)
    assert bit_list(g.price_and_greeks_constant_flow(*args[:-1])) == \
        bit_list(g.price_and_greeks_constant_flow(*args[:-1], 0.0))


# ---------------------------------------------------------------------------
# The module and the package
# ---------------------------------------------------------------------------

def test_module_surface():
    assert g.__name__ == "quorvane._greeks"
    assert g.__all__ == [c.name for c in CASES] + ["__version__"]
    assert g.__version__ == quorvane.__version__ == "0.1.3"
    assert g.__file__.endswith("_greeks.abi3.so")
    for case in CASES:
        f = case.function
        assert f.__module__ == "quorvane._greeks"
        level = "Low-level" if case.name.startswith("bel_") else "High-level"
        assert f.__doc__.startswith(f"{level} (parallel)" if case.name.endswith("parallel") else level)
        parameters = list(inspect.signature(f).parameters.values())
        assert [p.name for p in parameters] == list(case.parameters)
        assert [p.default for p in parameters[case.required:]] == [0.0] * (len(parameters) - case.required)


BOTH_MODULES_PARALLEL = """
import os, numpy as np
import _quorvane
from quorvane import _greeks
n, m = 64, 4
zeros = np.zeros((n, m))
batch = (np.ones((n, m + 1)), np.full((n, m), 0.1), np.full((n, m), 0.2), zeros, zeros)
before = len(os.listdir("/proc/self/task"))
_greeks.bel_weights_gamma_tangent_flow_parallel(*batch, zeros, zeros, 1.0)
_quorvane.bel_weights_tangent_flow_parallel(*batch, 1.0)
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_two_modules_built_two_pools_of_worker_threads():
    # Each module linked its own copy of the core, so RAYON_NUM_THREADS=4 gave 8
    # workers once both parallel forms had run.
    done = run_python(BOTH_MODULES_PARALLEL, env_extra={"RAYON_NUM_THREADS": "4"})
    assert done.returncode == 0, done.stderr
    assert done.stdout == "4\n"


def test_package_reexports_and_named_tuples():
    for case in CASES[:4]:
        assert getattr(quorvane, case.name) is case.function
    for case, result in ((CASES[4], quorvane.Greeks), (CASES[5], quorvane.TangentFlowGreeks)):
        wrapper = getattr(quorvane, case.name)
        # the module's parameters, then the package's keyword-only discount factor
        assert list(inspect.signature(wrapper).parameters) == [*case.parameters, "discount"]
        got = wrapper(*case.valid_args())
        assert type(got) is result and isinstance(got, tuple)
        assert bit_list(got) == bit_list(case.function(*case.valid_args()))
        assert got.price == got[0] and got.gamma == got[2]
        raises_type_error(lambda: wrapper(*case.valid_args(), foo=1),
                          f"{case.name}() got an unexpected keyword argument 'foo'")
    assert quorvane.Greeks._fields == ("price", "delta", "gamma", "vega", "price_stderr", "delta_stderr",
                                       "gamma_stderr", "vega_stderr")
    assert quorvane.TangentFlowGreeks._fields == ("price", "delta", "gamma", "price_stderr",
                                                  "delta_stderr", "gamma_stderr")


# ---------------------------------------------------------------------------
# The parallel fused estimators
# ---------------------------------------------------------------------------

# A child process with a given RAYON_NUM_THREADS: each parallel estimator against
# its serial form, for path counts around the pool's blocks and the pass's groups
# of 4096 paths, in three layouts and every payoff; then one zero sigma, whose
# message both forms give. Prints "ok" and the number of threads the calls started.
PARALLEL_ESTIMATORS = """
import os, sys
sys.path.insert(0, {tests!r})
import _quorvane
from conftest import bit_list
from test_localised import cev_batch
from quorvane import _chunks, _greeks as g
base = len(os.listdir("/proc/self/task"))  # NumPy's BLAS may run threads of its own
forms = [(_quorvane.price_and_delta_tangent_flow, g.price_and_delta_tangent_flow_parallel, 5, ""),
         (g.price_and_greeks_tangent_flow, g.price_and_greeks_tangent_flow_parallel, 7, " in BEL weight")]
for n_paths in (0, 1, 2, 3, 7, 64, 129, 1000, 8195):
    for order in ("C", "F", "strided"):
        batch = cev_batch(max(n_paths, 1), 9, n_paths, order if order != "strided" else "C")
        batch = [a[:n_paths] for a in batch]  # the models simulate at least one path
        if order == "strided":
            batch = [a.repeat(2, axis=0)[::2] for a in batch]
        for serial, parallel, k, _ in forms:
            for payoff in ("identity", "call", "put", "digital_call"):
                args = (*batch[:k], 1.0, payoff, 100.0)
                assert bit_list(serial(*args)) == bit_list(parallel(*args)), (n_paths, order, payoff)
                chunk = getattr(_chunks, serial.__name__)
                assert chunk(*args).tobytes() == getattr(_chunks, parallel.__name__)(*args).tobytes()
    if n_paths:
        batch[2][n_paths - 1, 4] = 0.0
        for serial, parallel, k, suffix in forms:
            messages = []
            for f in (serial, parallel):
                try:
                    f(*batch[:k], 1.0, "call", 100.0)
                except ValueError as e:
                    messages.append(e.args)
            expected = f"sigma_field[{{n_paths - 1}}, 4] = 0 produces division by zero{{suffix}}"
            assert messages == [(expected,)] * 2, messages
print("ok", len(os.listdir("/proc/self/task")) - base)
"""


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_parallel_estimators_have_the_serial_bits_for_any_thread_count(threads):
    done = run_python(PARALLEL_ESTIMATORS.format(tests=os.path.dirname(__file__)),
                      env_extra={"RAYON_NUM_THREADS": threads})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok", threads]


PARALLEL_PAIRS = [("price_and_delta_tangent_flow", 5), ("price_and_greeks_tangent_flow", 7)]


@pytest.mark.parametrize("name, k", PARALLEL_PAIRS)
def test_parallel_estimators_validate_as_the_serial_ones_and_discount_alike(name, k):
    from test_localised import cev_batch
    serial, parallel = getattr(quorvane, name), getattr(quorvane, name + "_parallel")
    batch = cev_batch(300, 6, 3)[:k]
    shifted = [*batch[:k - 1], batch[k - 1][:, 1:]]
    for args in [(*batch, 1.0, "straddle", 100.0), (*batch, 0.0, "call", 100.0),
                 (*batch, math.nan, "call", 100.0), (*shifted, 1.0, "call"),
                 (batch[0][:, :1], *[a[:, :0] for a in batch[1:]], 1.0, "call")]:
        with pytest.raises(ValueError) as s:
            serial(*args)
        with pytest.raises(ValueError) as p:
            parallel(*args)
        assert s.value.args == p.value.args
    got = parallel(*batch, 1.0, "put", 90.0, discount=0.5)
    expected = serial(*batch, 1.0, "put", 90.0, discount=0.5)
    assert type(got) is type(expected) and bit_list(got) == bit_list(expected)


def test_parallel_delta_checks_the_shapes_the_serial_one_reads_a_block_of():
    # The module's serial delta reads the leading block of larger fields; the
    # parallel form hands blocks of rows to threads, so it takes exact shapes only.
    batch = [np.ones((4, 4)), *[np.full((4, 3), 0.2)] * 4]
    wide = [*batch[:2], np.full((5, 4), 0.2), *batch[3:]]
    _quorvane.price_and_delta_tangent_flow(*wide, 1.0, "call")
    with pytest.raises(ValueError, match=r"^sigma_field shape \[5, 4\] != expected \(4, 3\)$"):
        g.price_and_delta_tangent_flow_parallel(*wide, 1.0, "call")
