"""Localised Greeks (quorvane._localised): unbiased against closed forms, in
agreement with plain BEL on CEV paths, bit-exact against a sequential reference of
the documented operation order, the parallel form bit-exact against the serial one,
and the error contract of the bandwidth."""

import math
import os

import numpy as np
import pytest

import quorvane
from quorvane import _greeks, _localised
from conftest import LAYOUTS, bits, bit_list, make_layout, ref_mean_stderr_of_sums, ref_sums, run_on_threads

MULTIPLES = (0.5, 1.0, 2.0, 4.0)
PAYOFFS = ("call", "put", "digital_call")


def _phi(z):
    return math.exp(-0.5 * z * z) / math.sqrt(2.0 * math.pi)


def _cdf(z):
    return 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))


def black_scholes(payoff, x0, strike, rate, s, horizon):
    """Undiscounted (delta, gamma, vega) of E[f(X_T)] under GBM."""
    root = math.sqrt(horizon)
    d1 = (math.log(x0 / strike) + (rate + 0.5 * s * s) * horizon) / (s * root)
    d2 = d1 - s * root
    growth = math.exp(rate * horizon)
    if payoff == "digital_call":
        return (_phi(d2) / (x0 * s * root), -_phi(d2) * d1 / (x0 * x0 * s * s * horizon),
                -_phi(d2) * d1 / s)
    gamma = growth * _phi(d1) / (x0 * s * root)
    vega = x0 * growth * _phi(d1) * root
    delta = growth * (_cdf(d1) - (1.0 if payoff == "put" else 0.0))
    return delta, gamma, vega


def bachelier(payoff, x0, strike, drift, sigma, horizon):
    """(delta, gamma, vega) of E[f(X_T)] for X_T = x0 + drift T + sigma W_T."""
    sd = sigma * math.sqrt(horizon)
    d = (x0 + drift * horizon - strike) / sd
    if payoff == "digital_call":
        return _phi(d) / sd, -d * _phi(d) / (sd * sd), -_phi(d) * d / sigma
    delta = _cdf(d) - (1.0 if payoff == "put" else 0.0)
    return delta, _phi(d) / sd, math.sqrt(horizon) * _phi(d)


def terminal_paths(model, n, seed):
    rng = np.random.default_rng(seed)
    horizon = 1.0
    w = rng.standard_normal(n) * math.sqrt(horizon)
    if model == "gbm":
        x0, s, rate = 100.0, 0.2, 0.03
        x = x0 * np.exp((rate - 0.5 * s * s) * horizon + s * w)
        return x, w, (horizon, s * x0, s, s), lambda p, k: black_scholes(p, x0, k, rate, s, horizon)
    x0, sigma, drift = 100.0, 20.0, 1.0
    x = x0 + drift * horizon + sigma * w
    return x, w, (horizon, sigma, 0.0, sigma), lambda p, k: bachelier(p, x0, k, drift, sigma, horizon)


@pytest.mark.parametrize("model", ["gbm", "abm"])
@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("strike", [80.0, 100.0, 130.0])
@pytest.mark.parametrize("bandwidth", [None, 15.0])
def test_constant_flow_greeks_are_unbiased_against_the_closed_forms(model, payoff, strike, bandwidth):
    x, w, args, exact = terminal_paths(model, 100_000, 20 + int(strike))
    got = quorvane.price_and_greeks_constant_flow_localised(x, w, *args, payoff, strike, bandwidth)
    plain = quorvane.price_and_greeks_constant_flow(x, w, *args, payoff, strike)
    for name, value in zip(("delta", "gamma", "vega"), exact(payoff, strike)):
        estimate, stderr = getattr(got, name), getattr(got, name + "_stderr")
        assert abs(estimate - value) <= 4.0 * stderr, (name, estimate, value, stderr)
        if bandwidth is None:
            # Plain BEL is a candidate, so the automatic choice never does worse.
            assert stderr <= getattr(plain, name + "_stderr"), name
    assert bits(got.price) == bits(plain.price) and bits(got.price_stderr) == bits(plain.price_stderr)


BIAS_SEEDS, BIAS_PATHS = 32, 20_000


@pytest.mark.parametrize("payoff", ["call", "digital_call"])
@pytest.mark.parametrize("strike", [80.0, 100.0, 130.0])
def test_automatic_bandwidth_is_not_biased_by_its_choice_over_many_seeds(payoff, strike):
    # The automatic choice keeps, per Greek, the candidate whose sample standard error
    # is least; were that choice correlated with the estimate, every seed's error would
    # lean the same way. Over 32 seeds, the mean z score against Black-Scholes (z
    # roughly N(0, 1) per seed) stays within 4 / sqrt(32), and the pooled estimate
    # within 4 pooled standard errors.
    z = {name: [] for name in ("delta", "gamma", "vega")}
    pooled = {name: [0.0, 0.0] for name in z}  # sum of estimates, sum of squared stderrs
    for seed in range(BIAS_SEEDS):
        x, w, args, exact = terminal_paths("gbm", BIAS_PATHS, 1000 + seed)
        got = quorvane.price_and_greeks_constant_flow_localised(x, w, *args, payoff, strike)
        for name, value in zip(z, exact(payoff, strike)):
            estimate, stderr = getattr(got, name), getattr(got, name + "_stderr")
            z[name].append((estimate - value) / stderr)
            pooled[name][0] += estimate
            pooled[name][1] += stderr * stderr
    for name, value in zip(z, exact(payoff, strike)):
        mean_z = sum(z[name]) / BIAS_SEEDS
        assert abs(mean_z) <= 4.0 / math.sqrt(BIAS_SEEDS), (name, mean_z)
        estimate, se = pooled[name][0] / BIAS_SEEDS, math.sqrt(pooled[name][1]) / BIAS_SEEDS
        assert abs(estimate - value) <= 4.0 * se, (name, estimate, value, se)


def test_automatic_bandwidth_reports_plain_bel_as_zero_with_its_bits():
    # Two distinct terminal values far from the strike: the bands are wide but
    # every rest is zero there, so identity pathwise samples win or plain does;
    # a single repeated value leaves no spread and only plain BEL is a candidate.
    x = np.full(64, 100.0)
    w = np.linspace(-1.0, 1.0, 64)
    got = quorvane.price_and_greeks_constant_flow_localised(x, w, 1.0, 20.0, 0.2, 0.2, "call", 95.0)
    plain = quorvane.price_and_greeks_constant_flow(x, w, 1.0, 20.0, 0.2, 0.2, "call", 95.0)
    assert got.bandwidth == (0.0, 0.0, 0.0)
    assert bit_list(got[:8]) == bit_list(plain)


# ---------------------------------------------------------------------------
# A sequential reference of the documented operation order.


def ref_split(payoff, x, p, strike, delta):
    """(rest, g', g'') of the payoff rows' localise column."""
    lo = strike - delta
    iw = 1.0 / (delta + delta)
    u = (x - lo) * iw
    inside = (u > 0.0) & (u < 1.0)
    v = np.where(inside, u, np.where(u >= 1.0, 1.0, 0.0))
    g_call = np.where(inside, (u * u) * delta, np.where(u >= 1.0, x - strike, 0.0))
    d2 = np.where(inside, iw, 0.0)
    if payoff == "identity":
        return np.zeros_like(x), np.ones_like(x), np.zeros_like(x)
    if payoff == "call":
        return p - g_call, v, d2
    if payoff == "put":
        return np.maximum(x - strike, 0.0) - g_call, v - 1.0, d2
    g = (v * v) * (3.0 - (v + v))
    return p - g, ((6.0 * v) * (1.0 - v)) * iw, np.where(inside, (6.0 - (12.0 * v)) * (iw * iw), 0.0)


def ref_payoff(payoff, x, strike):
    return {"identity": x, "call": np.maximum(x - strike, 0.0), "put": np.maximum(strike - x, 0.0),
            "digital_call": (strike < x).astype(np.float64)}[payoff]


def ref_choose(estimates, bands):
    """Per Greek, the least standard error among [plain] + bands (ties to the earlier)."""
    best = 0
    for c in range(1, len(estimates)):
        if bands[c - 1] > 0.0 and estimates[c][1] < estimates[best][1]:
            best = c
    return estimates[best], (0.0 if best == 0 else bands[best - 1])


def ref_estimate(samples_of, x, strike, bandwidth, n_greeks):
    """Price lane and the chosen Greeks from per-candidate sample functions."""
    n = len(x)
    if bandwidth is None:
        s1, s2 = ref_sums(x)
        mean = s1 / n
        sd = math.sqrt(s2 / n - mean * mean)
        bands = [c * sd for c in MULTIPLES]
        candidates = [None] + bands
    else:
        bands, candidates = None, [bandwidth]
    per = [samples_of(delta) for delta in candidates]  # [candidate][greek] -> samples
    greeks = []
    for q in range(n_greeks):
        estimates = [ref_mean_stderr_of_sums(*ref_sums(per[c][q]), n) for c in range(len(candidates))]
        greeks.append(ref_choose(estimates, bands) if bandwidth is None else (estimates[0], bandwidth))
    return greeks


def ref_constant_flow_samples(x, w, horizon, sigma0, dsig, vol, payoff, strike):
    """The payoff values, and the function of a band (None: plain BEL) that gives the
    (delta, gamma, vega) samples of every path."""
    p = ref_payoff(payoff, x, strike)
    r = 1.0 / (horizon * sigma0)
    slope_t = dsig * horizon
    h = 1.0 / (horizon * vol)
    u = ((w * w) - (slope_t * w)) - horizon
    y = x * (dsig / sigma0) if dsig != 0.0 else np.ones_like(x)
    dxdv = x * (w - slope_t) if dsig != 0.0 else w

    def samples_of(delta):
        if delta is None:
            return [(w * p) * r, ((u * p) * r) * r, (u * p) * h]
        rest, d1, d2 = ref_split(payoff, x, p, strike, delta)
        return [(d1 * y) + ((w * rest) * r), (d2 * (y * y)) + (((u * rest) * r) * r),
                (d1 * dxdv) + ((u * rest) * h)]

    return p, samples_of


def ref_constant_flow(x, w, horizon, sigma0, dsig, vol, payoff, strike, bandwidth):
    p, samples_of = ref_constant_flow_samples(x, w, horizon, sigma0, dsig, vol, payoff, strike)
    greeks = ref_estimate(samples_of, x, strike, bandwidth, 3)
    price = ref_mean_stderr_of_sums(*ref_sums(p), len(x))
    return ([price[0]] + [g[0][0] for g in greeks] + [price[1]] + [g[0][1] for g in greeks]
            + [g[1] for g in greeks])


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("bandwidth", [None, 7.5])
def test_constant_flow_bits_equal_a_sequential_reference(layout, bandwidth):
    rng = np.random.default_rng(LAYOUTS.index(layout))
    w = rng.standard_normal(203)
    for model, args in (("gbm", (1.0, 20.0, 0.2, 0.2)), ("abm", (1.0, 20.0, 0.0, 20.0))):
        x = 100.0 * np.exp(0.2 * w - 0.02) if model == "gbm" else 100.0 + 20.0 * w
        for payoff in ("identity",) + PAYOFFS:
            got = _localised.price_and_greeks_constant_flow_localised(
                make_layout(x, layout), make_layout(w, layout), *args, payoff, 100.0, bandwidth)
            expected = ref_constant_flow(x, w, *args, payoff, 100.0, bandwidth)
            assert bit_list(got) == bit_list(expected), (model, payoff)


# ---------------------------------------------------------------------------
# Tangent flow: CEV paths.


def cev_batch(n_paths, n_steps, seed, order="F"):
    model = quorvane.models.CEV(rate=0.02, vol=2.0, beta=0.7)
    paths = model.simulate(100.0, n_paths, n_steps, 1.0, np.random.default_rng(seed))
    fields = model.fields(paths.states)
    arrays = [paths.states, paths.dws, *fields]
    return [np.asarray(a, order=order) if order in "CF" else a for a in arrays]


def cev_batch_layouts(n_paths, n_steps=9):
    """(order, batch): cev_batch of exactly n_paths paths (0 too) in C, F and then a
    strided layout (every other row of a larger array), for the parallel forms."""
    for order in ("C", "F", "strided"):
        batch = cev_batch(max(n_paths, 1), n_steps, n_paths, order if order != "strided" else "C")
        batch = [a[:n_paths] for a in batch]  # the models simulate at least one path
        if order == "strided":
            batch = [a.repeat(2, axis=0)[::2] for a in batch]
        yield order, batch


def ref_tangent_flow(batch, payoff, strike, bandwidth):
    states, *_ = batch
    delta_w, gamma_w, y, z = _localised.bel_weights_and_variations_tangent_flow(*batch, 1.0)
    x = np.ascontiguousarray(states[:, -1])
    p = ref_payoff(payoff, x, strike)

    def samples_of(delta):
        if delta is None:
            return [delta_w * p, gamma_w * p]
        rest, d1, d2 = ref_split(payoff, x, p, strike, delta)
        return [(d1 * y) + (delta_w * rest), ((d2 * (y * y)) + (d1 * z)) + (gamma_w * rest)]

    greeks = ref_estimate(samples_of, x, strike, bandwidth, 2)
    price = ref_mean_stderr_of_sums(*ref_sums(p), len(x))
    return ([price[0]] + [g[0][0] for g in greeks] + [price[1]] + [g[0][1] for g in greeks]
            + [g[1] for g in greeks])


@pytest.mark.parametrize("order", ["C", "F", "strided"])
@pytest.mark.parametrize("bandwidth", [None, 9.0])
def test_tangent_flow_bits_equal_a_sequential_reference(order, bandwidth):
    batch = cev_batch(301, 9, 5, order if order != "strided" else "C")
    if order == "strided":
        batch = [np.repeat(a, 2, axis=0)[::2] for a in batch]
    for payoff in ("identity",) + PAYOFFS:
        got = _localised.price_and_greeks_tangent_flow_localised(*batch, 1.0, payoff, 100.0, bandwidth)
        assert bit_list(got) == bit_list(ref_tangent_flow(batch, payoff, 100.0, bandwidth)), payoff
        plain = _greeks.price_and_greeks_tangent_flow(*batch, 1.0, payoff, 100.0)
        assert bits(got[0]) == bits(plain[0]) and bits(got[3]) == bits(plain[3])


def test_weights_and_variations_have_the_bits_of_the_weights_functions():
    batch = cev_batch(257, 8, 7)
    delta_w, gamma_w, y, z = quorvane.bel_weights_and_variations_tangent_flow(*batch, 1.0)
    assert bit_list(delta_w) == bit_list(quorvane.bel_weights_tangent_flow(*batch[:5], 1.0))
    assert bit_list(gamma_w) == bit_list(quorvane.bel_weights_gamma_tangent_flow(*batch, 1.0))
    # Y and Z from their Euler recursions over every step.
    states, dws, sigma, dmu, dsig, d2mu, d2sig = batch
    dt = 1.0 / 8
    yr, zr = np.ones(257), np.zeros(257)
    for j in range(8):
        y2 = yr * yr
        zr = zr + (((d2sig[:, j] * y2) + (dsig[:, j] * zr)) * dws[:, j]
                   + ((d2mu[:, j] * y2) + (dmu[:, j] * zr)) * dt)
        yr = yr + (((dsig[:, j] * yr) * dws[:, j]) + ((dmu[:, j] * yr) * dt))
    assert bit_list(y) == bit_list(yr) and bit_list(z) == bit_list(zr)


@pytest.mark.parametrize("payoff", PAYOFFS)
def test_tangent_flow_agrees_with_plain_bel_on_cev_paths(payoff):
    batch = cev_batch(20_000, 32, 11)
    got = quorvane.price_and_greeks_tangent_flow_localised(*batch, 1.0, payoff, 100.0)
    assert bit_list(got[:6]) == bit_list(ref_tangent_flow(batch, payoff, 100.0, None)[:6])
    # Paired per-path differences of the chosen samples and the plain ones.
    delta_w, gamma_w, y, z = _localised.bel_weights_and_variations_tangent_flow(*batch, 1.0)
    x = batch[0][:, -1]
    p = ref_payoff(payoff, x, 100.0)
    for q, (plain, weight) in enumerate(((delta_w * p, delta_w), (gamma_w * p, gamma_w))):
        band = got.bandwidth[q]
        if band == 0.0:
            continue
        rest, d1, d2 = ref_split(payoff, x, p, 100.0, band)
        local = d1 * y + weight * rest if q == 0 else d2 * y * y + d1 * z + weight * rest
        diff = local - plain
        assert abs(diff.mean()) <= 4.0 * diff.std() / math.sqrt(len(diff)), (q, diff.mean())


# A child process with a given RAYON_NUM_THREADS: the parallel form against the
# serial one, for path counts around the pool's blocks and the pass's groups of
# 4096 paths, in three layouts, every payoff, the automatic and a fixed bandwidth;
# then one zero sigma, whose message both forms give. Prints "ok" and the number
# of threads the call started (the pool's workers).
PARALLEL_LOCALISED = """
import os, sys
sys.path.insert(0, {tests!r})
from conftest import bit_list, value_errors
from test_localised import cev_batch_layouts
from quorvane import _localised as m
base = len(os.listdir("/proc/self/task"))  # NumPy's BLAS may run threads of its own
for n_paths in (0, 1, 2, 3, 7, 64, 129, 1000, 8195):
    for order, batch in cev_batch_layouts(n_paths):
        for payoff in ("identity", "call", "put", "digital_call"):
            for bandwidth in (None, 9.0):
                args = (*batch, 1.0, payoff, 100.0, bandwidth)
                serial = m.price_and_greeks_tangent_flow_localised(*args)
                parallel = m.price_and_greeks_tangent_flow_localised_parallel(*args)
                assert bit_list(serial) == bit_list(parallel), (n_paths, order, payoff, bandwidth)
    if n_paths:
        batch[2][n_paths - 1, 4] = 0.0
        messages = value_errors((m.price_and_greeks_tangent_flow_localised,
                                 m.price_and_greeks_tangent_flow_localised_parallel), *batch, 1.0, "call", 100.0)
        assert messages == [(f"sigma_field[{{n_paths - 1}}, 4] = 0 produces division by zero in BEL weight",)] * 2
"""


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_parallel_form_has_the_serial_bits_for_any_thread_count(threads):
    run_on_threads(PARALLEL_LOCALISED, threads)


def test_parallel_form_validates_as_the_serial_one_and_discounts_alike():
    batch = cev_batch(300, 6, 3)
    for bad in [(1.0, "call", 100.0, 0.0), (1.0, "straddle", 100.0, None), (0.0, "call", 100.0, None)]:
        with pytest.raises(ValueError) as serial:
            quorvane.price_and_greeks_tangent_flow_localised(*batch, *bad)
        with pytest.raises(ValueError) as parallel:
            quorvane.price_and_greeks_tangent_flow_localised_parallel(*batch, *bad)
        assert serial.value.args == parallel.value.args
    with pytest.raises(ValueError) as serial:
        quorvane.price_and_greeks_tangent_flow_localised(*batch[:6], batch[6][:, 1:], 1.0, "call")
    with pytest.raises(ValueError) as parallel:
        quorvane.price_and_greeks_tangent_flow_localised_parallel(*batch[:6], batch[6][:, 1:], 1.0, "call")
    assert serial.value.args == parallel.value.args
    got = quorvane.price_and_greeks_tangent_flow_localised_parallel(*batch, 1.0, "put", 90.0, discount=0.5)
    expected = quorvane.price_and_greeks_tangent_flow_localised(*batch, 1.0, "put", 90.0, discount=0.5)
    assert bit_list(got[:6]) == bit_list(expected[:6]) and got.bandwidth == expected.bandwidth


# ---------------------------------------------------------------------------
# Bad input.


@pytest.mark.parametrize("bandwidth", [0.0, -0.0, -1.0, math.nan, math.inf])
def test_a_bandwidth_that_is_not_positive_and_finite_is_refused(bandwidth):
    x = np.array([90.0, 110.0])
    with pytest.raises(ValueError, match="^bandwidth must be positive and finite$"):
        quorvane.price_and_greeks_constant_flow_localised(x, x / 100, 1.0, 20.0, 0.2, 0.2, "call",
                                                          100.0, bandwidth)
    with pytest.raises(ValueError, match="^bandwidth must be positive and finite$"):
        quorvane.price_and_greeks_tangent_flow_localised(*cev_batch(4, 4, 1), 1.0, "call", 100.0,
                                                         bandwidth=bandwidth)
    with pytest.raises(TypeError, match="argument 'bandwidth'"):
        _localised.price_and_greeks_constant_flow_localised(x, x, 1.0, 20.0, 0.2, 0.2, "call",
                                                            100.0, "wide")


def test_discount_multiplies_every_figure_but_the_bandwidths():
    x, w, args, _ = terminal_paths("gbm", 1000, 3)
    plain = quorvane.price_and_greeks_constant_flow_localised(x, w, *args, "call", 100.0)
    half = quorvane.price_and_greeks_constant_flow_localised(x, w, *args, "call", 100.0, discount=0.5)
    assert half[:8] == tuple(v * 0.5 for v in plain[:8]) and half.bandwidth == plain.bandwidth
    batch = cev_batch(64, 4, 2)
    t = quorvane.price_and_greeks_tangent_flow_localised(*batch, 1.0, "put", 100.0, discount=0.5)
    t1 = quorvane.price_and_greeks_tangent_flow_localised(*batch, 1.0, "put", 100.0)
    assert t[:6] == tuple(v * 0.5 for v in t1[:6]) and t.bandwidth == t1.bandwidth
