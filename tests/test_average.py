"""Payoffs of a weighted average of the path (quorvane._average): the weights and
estimates bit-exact against a sequential reference of the documented operation
order, the parallel form bit-exact against the serial one, unbiased against a
common-random-numbers difference of the same Euler scheme and against the GBM and
ABM closed forms, and the error contract of the inputs."""

import math
import os

import numpy as np
import pytest

import quorvane
from quorvane import _average
from conftest import (DEFAULT_NAN, LAYOUTS, assert_worked, bit_list, ieee_div, make_layout,
                      ref_mean_stderr_of_sums, ref_payoff, run_on_threads)

PAYOFFS = ("identity", "call", "put", "digital_call")


# ---------------------------------------------------------------------------
# Euler paths of a CEV diffusion dX = r X dt + s |X|^beta dW, not absorbed at 0
# (the weight is exact for this scheme), and the five coefficient fields.


def cev_euler(x0, dws, horizon, rate=0.02, vol=0.5, beta=0.7):
    n_paths, n_steps = dws.shape
    dt = horizon / n_steps
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = x0
    fields = [np.empty((n_paths, n_steps)) for _ in range(5)]
    for j in range(n_steps):
        x = states[:, j]
        a = np.abs(x)
        fields[0][:, j] = vol * a ** beta
        fields[1][:, j] = rate
        fields[2][:, j] = np.sign(x) * vol * beta * a ** (beta - 1.0)
        fields[3][:, j] = 0.0
        fields[4][:, j] = vol * beta * (beta - 1.0) * a ** (beta - 2.0)
        states[:, j + 1] = x + rate * x * dt + fields[0][:, j] * dws[:, j]
    return states, fields


def cev_batch(n_paths, n_steps, seed, order="C"):
    dws = np.random.default_rng(seed).standard_normal((n_paths, n_steps)) * math.sqrt(1.0 / n_steps)
    states, fields = cev_euler(100.0, dws, 1.0)
    arrays = [states, dws, *fields]
    if order == "F":
        return [np.asfortranarray(a) for a in arrays]
    if order == "strided":  # rows apart, steps adjacent
        return [np.repeat(a, 2, axis=0)[::2] for a in arrays]
    if order == "gather":  # neither paths nor steps adjacent
        return [np.repeat(a, 2, axis=1)[:, ::2] for a in arrays]
    return arrays


def asian(n_steps, first=1):
    a = np.zeros(n_steps + 1)
    a[first:] = 1.0 / (n_steps + 1 - first)
    return a


# ---------------------------------------------------------------------------
# The plain sequential reference of the documented operation order.


def ref_path_weight(s, dw, dmu, dsig, d2mu, d2sig, dt, inv_dt, a, last):
    """(pi, Q) of one path, Python floats, the recursion's operations in order."""
    y, g, h, history = 1.0, 0.0, 0.0, []
    for j in range(len(s)):
        qy = ieee_div(dsig[j], s[j]) * y
        hh = d2mu[j] * dt + d2sig[j] * dw[j]
        yn = y + ((dsig[j] * y) * dw[j] + (dmu[j] * y) * dt)
        e = ieee_div(hh * (y * y), yn)
        if j < last:
            g = g + ieee_div(yn, s[j]) * dw[j]
            h = h + qy
        history.append((y, qy, e))
        y = yn
    r = r2 = sp = s2 = u = v = e_next = 0.0
    y_next = y
    for j in range(len(s) - 1, -1, -1):
        yj, qy, e = history[j]
        sp = sp + e_next * r
        s2 = s2 + e_next * r2
        r = r + a[j + 1] * y_next
        r2 = r2 + (a[j + 1] * float(j + 1)) * y_next
        u = u + (qy * r + sp)
        v = v + (qy * r2 + s2)
        e_next, y_next = e, yj
    p = a[0] + r
    c = ieee_div(p, r2)
    pi = c * (g * inv_dt - h) - ieee_div(u * r2 - p * v, r2 * r2)
    return pi, r2


def ref_weights(batch, horizon, a):
    states, dws, sigma, dmu, dsig, d2mu, d2sig = [np.asarray(x).tolist() for x in batch]
    a = list(a)
    n_steps = len(a) - 1
    dt = horizon / n_steps
    inv_dt = 1.0 / dt
    last = max(k for k in range(1, n_steps + 1) if a[k] != 0.0)
    return [ref_path_weight(sigma[i], dws[i], dmu[i], dsig[i], d2mu[i], d2sig[i], dt, inv_dt, a, last)[0]
            for i in range(len(states))]


def ref_average(row, a):
    total = a[0] * row[0]
    for k in range(1, len(a)):
        total = total + a[k] * row[k]
    return total


def ref_estimate(xs, weights, payoff, strike):
    p1 = p2 = d1 = d2 = 0.0
    for x, w in zip(xs, weights):
        p = ref_payoff(payoff, x, strike)
        d = w * p
        p1, p2, d1, d2 = p1 + p, p2 + p * p, d1 + d, d2 + d * d
    price, price_stderr = ref_mean_stderr_of_sums(p1, p2, len(xs))
    delta, delta_stderr = ref_mean_stderr_of_sums(d1, d2, len(xs))
    return [price, delta, price_stderr, delta_stderr]


# Every raw-kernel layout (Fortran blocks, C-order pairs, strided rows, gathers)
# beside a layout of the average's weights; the path counts leave short groups.
@pytest.mark.parametrize(("order", "layout"),
                         [(["C", "F", "strided", "gather"][i % 4], layout) for i, layout in enumerate(LAYOUTS)])
def test_tangent_flow_bits_equal_a_sequential_reference(order, layout, rng):
    n_paths, n_steps = 37, 9
    batch = cev_batch(n_paths, n_steps, LAYOUTS.index(layout), order)
    # Weights with zeros inside and after the last date (J < N), and a nonzero a_0.
    a_values = [rng.choice([0.0, rng.uniform(-0.5, 1.5)]) for _ in range(n_steps + 1)]
    a_values[rng.randint(1, n_steps - 1)] = 0.75
    a_values[n_steps] = 0.0
    a = make_layout(a_values, layout)
    # Non-finite inputs in some paths, which the fast kernels hand to the one-lane recursion.
    batch[3][4, 2] = DEFAULT_NAN
    batch[6][11, 6] = math.inf
    batch[5][20, 0] = -math.inf
    expected = ref_weights(batch, 1.0, a_values)
    for f in (_average.bel_weights_average_tangent_flow, _average.bel_weights_average_tangent_flow_parallel):
        assert_worked(f(*batch, 1.0, a).tolist(), expected)
    averages = [ref_average(row, a_values) for row in np.asarray(batch[0]).tolist()]
    for payoff in PAYOFFS:
        got = _average.price_and_delta_average_tangent_flow(*batch, 1.0, a, payoff, 100.0)
        assert_worked(list(got), ref_estimate(averages, expected, payoff, 100.0))


# A child process with a given RAYON_NUM_THREADS: the parallel weights against
# the serial ones for path counts around the pool's blocks and the passes of
# 4096 paths, in every layout; then a zero sigma and a zero Q, whose messages
# both forms give. Prints "ok" and the number of threads the call started.
PARALLEL_AVERAGE = """
import os, sys
sys.path.insert(0, {tests!r})
import numpy as np
from conftest import array_bits
from test_average import asian, cev_batch
from quorvane import _average as m
base = len(os.listdir("/proc/self/task"))
a = asian(6, 2)
for n_paths in (0, 1, 7, 9, 300, 4099, 9000):
    for order in ("C", "F", "strided", "gather"):
        batch = [x[:n_paths] for x in cev_batch(max(n_paths, 1), 6, n_paths, order)]
        serial = m.bel_weights_average_tangent_flow(*batch, 1.0, a)
        assert array_bits(serial) == array_bits(m.bel_weights_average_tangent_flow_parallel(*batch, 1.0, a))
    if n_paths > 7:
        # One failing path each (the parallel form reports the lowest failing block that ran):
        # a zero sigma, then, with sigma' = mu' = dW = 0 (Y = 1), a Q of 3 * 1 + 5 * -0.6 = 0.
        zero_sigma = [x.copy() for x in batch]
        zero_sigma[2][n_paths - 1, 3] = 0.0
        zero_q = [x.copy() for x in batch]
        for k in (1, 3, 4):
            zero_q[k][n_paths - 5, :] = 0.0
        z = np.zeros(7); z[0] = 1.0; z[3] = 1.0; z[5] = -0.6
        messages = []
        for f in (m.bel_weights_average_tangent_flow, m.bel_weights_average_tangent_flow_parallel):
            for arrays, weights in ((zero_sigma, a), (zero_q, z)):
                try:
                    f(*arrays, 1.0, weights)
                except ValueError as e:
                    messages.append(e.args[0])
        expected = [f"sigma[{{n_paths - 1}}, 3] = 0 produces division by zero in BEL weight",
                    f"average weight of path {{n_paths - 5}} is undefined: sum_k average_weights[k] * k * Y_k = 0"]
        assert messages == expected * 2, messages
"""


@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
def test_parallel_form_has_the_serial_bits_for_any_thread_count(threads):
    run_on_threads(PARALLEL_AVERAGE, threads)


# ---------------------------------------------------------------------------
# Unbiased: the weight's delta against a central difference of the same Euler
# scheme with common random numbers, sample by sample (paired), within 4
# standard errors; the Asian call and digital from step 1 and from step 6. The
# model (sigma = 0.04 |x|^1.5, about 40% at 100, with sigma'' != 0) is one where
# the weight without its divergence terms (the dc_j) is off by 9.8 (call) and
# 5.1 (digital) standard errors from step 1.

NUMPY_PAYOFFS = {"call": lambda x: np.maximum(x - 100.0, 0.0), "digital_call": lambda x: (100.0 < x) * 1.0}


@pytest.mark.parametrize(("payoff", "first", "h"), [("call", 1, 0.01), ("digital_call", 1, 0.5),
                                                    ("call", 6, 0.01), ("digital_call", 6, 0.5)])
def test_tangent_flow_delta_matches_a_common_random_numbers_difference(payoff, first, h):
    n_paths, n_steps = 100_000, 12
    dws = np.random.default_rng(11 + first).standard_normal((n_paths, n_steps)) * math.sqrt(1.0 / n_steps)
    a = asian(n_steps, first)
    model = {"vol": 0.04, "beta": 1.5}
    states, fields = cev_euler(100.0, dws, 1.0, **model)
    f = NUMPY_PAYOFFS[payoff]
    up, down = (f(cev_euler(100.0 + s, dws, 1.0, **model)[0] @ a) for s in (h, -h))
    weights = quorvane.bel_weights_average_tangent_flow(states, dws, *fields, 1.0, a)
    diff = f(states @ a) * weights - (up - down) / (2 * h)
    assert abs(diff.mean()) <= 4.0 * diff.std() / math.sqrt(n_paths)
    # The estimate has the bits of the weights times the payoff of the average.
    averages = [ref_average(row, a.tolist()) for row in states[:2000].tolist()]
    head = quorvane.price_and_delta_average_tangent_flow(states[:2000], dws[:2000], *[x[:2000] for x in fields],
                                                         1.0, a, payoff, 100.0)
    assert bit_list(head) == bit_list(ref_estimate(averages, weights[:2000].tolist(), payoff, 100.0))


# ---------------------------------------------------------------------------
# Constant flow.


def ref_constant_flow_weight(s_row, w, t, a, slope, sigma0):
    if slope == 0.0:
        sa, sat = a[0], a[0] * t[0]
        for k in range(1, len(a)):
            sa, sat = sa + a[k], sat + a[k] * t[k]
        return (w * sa) / (sigma0 * sat)
    at = a[0] * t[0]
    big_a, big_b, big_c = a[0] * s_row[0], at * s_row[0], (at * t[0]) * s_row[0]
    for k in range(1, len(a)):
        at = a[k] * t[k]
        big_a, big_b, big_c = big_a + a[k] * s_row[k], big_b + at * s_row[k], big_c + (at * t[k]) * s_row[k]
    return ((w * big_a) / big_b - slope * (1.0 - (big_a * big_c) / (big_b * big_b))) / sigma0


def gbm_dates(n_paths, times, seed, s0=100.0, rate=0.03, vol=0.25):
    dt = np.diff(times, prepend=0.0)
    w = np.cumsum(np.random.default_rng(seed).standard_normal((n_paths, len(times))) * np.sqrt(dt), axis=1)

    def at(x0, slope):
        if slope == 0.0:
            return x0 + rate * times + vol * w
        return x0 * np.exp((rate - 0.5 * vol * vol) * times + vol * w)
    return w, at


@pytest.mark.parametrize("layout", LAYOUTS)
def test_constant_flow_bits_equal_a_sequential_reference(layout):
    times = [0.25, 0.5, 0.5, 0.75, 1.0]
    a = [0.2, 0.0, 0.3, -0.1, 0.6]
    w, at = gbm_dates(33, np.array(times), 3)
    for slope, sigma0 in ((0.25, 25.0), (0.0, 20.0)):
        states = at(100.0, slope)
        states[5, 2] = math.nan
        wt = w[:, -1].tolist()
        expected = [ref_constant_flow_weight(row, wt[i], times, a, slope, sigma0)
                    for i, row in enumerate(states.tolist())]
        args = (states, make_layout(wt, layout), make_layout(times, layout), make_layout(a, layout), 1.0,
                sigma0, slope)
        assert_worked(_average.bel_weights_average_constant_flow(*args).tolist(), expected)
        averages = [ref_average(row, a) for row in states.tolist()]
        for payoff in PAYOFFS:
            got = _average.price_and_delta_average_constant_flow(*args, payoff, 100.0)
            assert_worked(list(got), ref_estimate(averages, expected, payoff, 100.0))


def test_constant_flow_weights_of_the_terminal_date_are_the_european_ones():
    # a = e_N: pi = W_T / (T sigma0), for GBM and ABM alike, as bel_weights_constant_flow.
    times = np.array([0.5, 1.0, 2.0])
    w, at = gbm_dates(1000, times, 4)
    european = quorvane.bel_weights_constant_flow(w[:, -1], 2.0, 25.0)
    for slope in (0.25, 0.0):
        got = quorvane.bel_weights_average_constant_flow(at(100.0, slope), w[:, -1], times,
                                                         np.array([0.0, 0.0, 3.0]), 2.0, 25.0, slope)
        np.testing.assert_allclose(got, european, rtol=1e-14, atol=0.0)


@pytest.mark.parametrize("payoff", ["call", "digital_call"])
def test_gbm_delta_matches_a_common_random_numbers_difference(payoff):
    # 250,000 paths: without its term s (1 - A C / B^2) the weight is off by 7.6
    # (call) and 4.5 (digital) standard errors.
    n_paths, h = 250_000, (0.01 if payoff == "call" else 0.5)
    times = np.arange(1, 13) / 12.0
    a = np.full(12, 1.0 / 12)
    w, at = gbm_dates(n_paths, times, 21)
    f = NUMPY_PAYOFFS[payoff]
    weights = quorvane.bel_weights_average_constant_flow(at(100.0, 0.25), w[:, -1], times, a, 1.0, 25.0, 0.25)
    diff = f(at(100.0, 0.25) @ a) * weights - (f(at(100.0 + h, 0.25) @ a) - f(at(100.0 - h, 0.25) @ a)) / (2 * h)
    assert abs(diff.mean()) <= 4.0 * diff.std() / math.sqrt(n_paths)


@pytest.mark.parametrize("payoff", ["call", "digital_call"])
def test_abm_delta_matches_the_closed_form(payoff):
    # A = S0 sum a + r sum a t + vol sum a W_t is Gaussian and dA/dS0 = sum a, so the
    # delta is sum a * P(A > K) for the call and sum a * phi(d) / sd for the digital.
    n_paths, s0, rate, vol = 200_000, 100.0, 0.03, 20.0
    times = np.array([0.2, 0.4, 0.7, 1.0])
    a = np.array([0.1, 0.4, 0.2, 0.3])
    w, at = gbm_dates(n_paths, times, 8, s0, rate, vol)
    got = quorvane.price_and_delta_average_constant_flow(at(s0, 0.0), w[:, -1], times, a, 1.0, vol, 0.0,
                                                         payoff, 100.0)
    mean = s0 * a.sum() + rate * (a @ times)
    sd = vol * math.sqrt(a @ np.minimum.outer(times, times) @ a)
    d = (mean - 100.0) / sd
    exact = a.sum() * (0.5 * math.erfc(-d / math.sqrt(2.0)) if payoff == "call"
                       else math.exp(-0.5 * d * d) / math.sqrt(2.0 * math.pi) / sd)
    assert abs(got.delta - exact) <= 4.0 * got.delta_stderr
    assert quorvane.price_and_delta_average_constant_flow(at(s0, 0.0), w[:, -1], times, a, 1.0, vol, 0.0,
                                                          payoff, 100.0, discount=0.5).delta == got.delta * 0.5


# ---------------------------------------------------------------------------
# Bad input.


def _tangent_args():
    batch = cev_batch(3, 4, 1)
    return [*batch, 1.0, asian(4)]


def _replace(index, value):
    def change(args):
        args[index] = value(args) if callable(value) else value
        return args
    return change


BAD_TANGENT = [
    (_replace(8, np.zeros(5)), ValueError, "average_weights must have a nonzero entry after column 0"),
    (_replace(8, np.array([1.0, 0.0, 0.0, 0.0, 0.0])), ValueError,
     "average_weights must have a nonzero entry after column 0"),
    (_replace(8, asian(5)), ValueError, "average_weights length 6 != expected 5 (n_steps + 1)"),
    (_replace(8, np.array([0.0, 1.0, math.nan, 0.0, 1.0])), ValueError, "average_weights[2] is not finite"),
    (_replace(8, np.array([0.0, 1.0, 0.0, -math.inf, 1.0])), ValueError, "average_weights[3] is not finite"),
    (_replace(8, np.ones((1, 5))), TypeError, "argument 'average_weights'"),
    (_replace(8, np.ones(5, dtype=np.float32)), TypeError, None),
    (_replace(8, np.ones(5, dtype=np.int64)), TypeError, None),
    (_replace(7, 0.0), ValueError, "horizon must be positive"),
    (_replace(6, lambda args: args[6][:, 1:]), ValueError, "d2_sigma_dx2 shape [3, 3] != expected (3, 4)"),
    # One failing path: the parallel form reports the lowest failing block that ran.
    (_replace(2, lambda args: np.where((np.arange(3) == 1)[:, None] & (np.arange(4) == 2), 0.0, args[2])),
     ValueError, "sigma[1, 2] = 0 produces division by zero in BEL weight"),
]


@pytest.mark.parametrize(("change", "error", "message"), BAD_TANGENT)
def test_bad_tangent_flow_input_is_refused(change, error, message):
    for f in (quorvane.bel_weights_average_tangent_flow, quorvane.bel_weights_average_tangent_flow_parallel):
        with pytest.raises(error) as raised:
            f(*change(_tangent_args()))
        if message is not None:
            assert str(raised.value).startswith(message)
    if error is ValueError and message is not None and "sigma[" not in message:
        args = change(_tangent_args())
        with pytest.raises(ValueError):
            quorvane.price_and_delta_average_tangent_flow(*args, "call", 100.0)


def _constant_args():
    times = np.array([0.5, 1.0])
    w, at = gbm_dates(4, times, 2)
    return [at(100.0, 0.25), w[:, -1], times, np.array([0.5, 0.5]), 1.0, 25.0, 0.25]


BAD_CONSTANT = [
    (_replace(6, -0.1), "d_sigma_dx must be 0 (arithmetic Brownian motion) or positive and finite "
                        "(geometric Brownian motion)"),
    (_replace(6, math.nan), None),
    (_replace(6, math.inf), None),
    (_replace(5, 0.0), "sigma_at_x0 must be positive"),
    (_replace(2, np.array([0.5, 1.5])), "monitoring_times[1] is not in (0, horizon]"),
    (_replace(2, np.array([0.0, 1.0])), "monitoring_times[0] is not in (0, horizon]"),
    (_replace(2, np.array([1.0])), "monitoring_times length 1 != expected 2 (monitored_states columns)"),
    (_replace(3, np.array([0.0, 0.0])), "average_weights must have a nonzero entry"),
    (_replace(3, np.array([1.0, math.nan])), "average_weights[1] is not finite"),
    (_replace(1, np.zeros(3)), "monitored_states and w_terminals must have the same number of paths"),
    (lambda args: _replace(3, np.array([1.0, -0.5]))(_replace(6, 0.0)(args)),
     "sum_k average_weights[k] * monitoring_times[k] = 0: the ABM average weight is undefined"),
]


@pytest.mark.parametrize(("change", "message"), BAD_CONSTANT)
def test_bad_constant_flow_input_is_refused(change, message):
    for f, extra in ((quorvane.bel_weights_average_constant_flow, ()),
                     (quorvane.price_and_delta_average_constant_flow, ("call", 100.0))):
        with pytest.raises(ValueError) as raised:
            f(*change(_constant_args()), *extra)
        assert message is None or str(raised.value) == message
