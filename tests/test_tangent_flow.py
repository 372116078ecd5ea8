"""bel_weights_tangent_flow and price_and_delta_tangent_flow against a plain
sequential Python reference of the tangent-flow recursion, bit for bit, over
every array layout; their (different) validation orders and messages."""

import math

import numpy as np
import pytest

import _quorvane as q
from conftest import (DEFAULT_NAN, FILLER, array_bits, assert_worked, bit_list, ieee_div,
                      ref_mean_stderr_of_sums, ref_payoff, run_python)


class ZeroSigma(Exception):
    pass


def ref_path_weight(dws, sigma, d_mu_dx, d_sigma_dx, horizon, i, n_steps):
    dt = ieee_div(horizon, float(n_steps))
    inv_horizon = ieee_div(1.0, horizon)
    y, acc = 1.0, 0.0
    for j in range(n_steps):
        s = sigma[i][j]
        if s == 0.0:
            raise ZeroSigma(i, j)
        dw = dws[i][j]
        t = ieee_div(y, s)
        t = t * inv_horizon
        t = t * dw
        acc = acc + t
        a = (d_sigma_dx[i][j] * y) * dw
        b = (d_mu_dx[i][j] * y) * dt
        y = y + (a + b)
    return acc


def ref_weights(dws, sigma, d_mu_dx, d_sigma_dx, horizon):
    lists = [np.asarray(a).tolist() for a in (dws, sigma, d_mu_dx, d_sigma_dx)]
    n_paths, n_steps = np.shape(dws)
    return [ref_path_weight(*lists, horizon, i, n_steps) for i in range(n_paths)]


def ref_price_and_delta(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, payoff, strike=0.0):
    n_paths, n_steps = states.shape[0], states.shape[1] - 1
    lists = [np.asarray(a).tolist() for a in (dws, sigma, d_mu_dx, d_sigma_dx)]
    p1 = p2 = d1 = d2 = 0.0
    for i in range(n_paths):
        w = ref_path_weight(*lists, horizon, i, n_steps)
        p = ref_payoff(payoff, float(states[i, n_steps]), strike)
        d = w * p
        p1, p2, d1, d2 = p1 + p, p2 + p * p, d1 + d, d2 + d * d
    return (*ref_mean_stderr_of_sums(p1, p2, n_paths)[:1], *ref_mean_stderr_of_sums(d1, d2, n_paths)[:1],
            ref_mean_stderr_of_sums(p1, p2, n_paths)[1], ref_mean_stderr_of_sums(d1, d2, n_paths)[1])


def batch(rng, n_paths, n_steps, specials=False):
    """Random path-batch arrays; sigma stays away from zero unless asked."""
    states = rng.normal(1.0, 0.1, (n_paths, n_steps + 1))
    dws = rng.normal(0.0, 0.1, (n_paths, n_steps))
    sigma = rng.uniform(0.1, 0.5, (n_paths, n_steps)) * rng.choice([-1.0, 1.0], (n_paths, n_steps))
    d_mu_dx = rng.normal(0.0, 0.2, (n_paths, n_steps))
    d_sigma_dx = rng.normal(0.0, 0.3, (n_paths, n_steps))
    if specials:
        for a in (dws, sigma, d_mu_dx, d_sigma_dx):
            mask = rng.random(a.shape) < 0.03
            a[mask] = rng.choice([math.inf, -math.inf, DEFAULT_NAN, -0.0, 5e-324, 1e300, 1e-300],
                                 mask.sum())
        sigma[sigma == 0.0] = 5e-324  # zeros are tested on their own
    return states, dws, sigma, d_mu_dx, d_sigma_dx


def layout2d(a, layout):
    """A 2-D float64 array with the logical values of `a`, laid out as asked."""
    n, m = a.shape
    if layout == "c":
        return np.ascontiguousarray(a)
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "transposed":
        return np.ascontiguousarray(a.T).T
    if layout == "reversed":
        return np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    if layout == "stepped":
        big = np.full((2 * n + 1, 3 * m), FILLER)
        big[1::2, ::3] = a
        return big[1::2, ::3]
    if layout == "odd_strides":  # float64 fields 12 bytes apart, misaligned by 1
        buf = bytearray(max(n * m * 12, 1) + 16)
        out = np.ndarray((n, m), dtype="<f8", buffer=buf, offset=1, strides=(m * 12, 12))
        out[...] = a
        return out
    if layout == "odd_fortran":  # column-major with odd strides, misaligned by 3
        buf = bytearray(max(n * m * 12, 1) + 16)
        out = np.ndarray((n, m), dtype="<f8", buffer=buf, offset=3, strides=(12, n * 12))
        out[...] = a
        return out
    raise AssertionError(layout)


LAYOUTS_2D = ["c", "fortran", "transposed", "reversed", "stepped", "odd_strides", "odd_fortran"]
# Path counts around the widths of the multi-path kernels.
PATH_COUNTS = [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33]


def weights(*arrays, horizon):
    return q.bel_weights_tangent_flow(*arrays, horizon)


@pytest.mark.parametrize("layout", LAYOUTS_2D)
@pytest.mark.parametrize("n_paths", PATH_COUNTS)
def test_weights_equal_the_sequential_reference_in_every_layout(n_paths, layout):
    rng = np.random.default_rng(n_paths * 31 + len(layout))
    arrays = batch(rng, n_paths, 6, specials=True)
    laid = [layout2d(a, layout) for a in arrays]
    got = weights(*laid, horizon=1.25)
    assert array_bits(got) == bit_list(ref_weights(*arrays[1:], 1.25))


def test_broadcast_rows_read_the_same_memory_for_every_path():
    rng = np.random.default_rng(5)
    states, dws, sigma, d_mu_dx, d_sigma_dx = batch(rng, 1, 9)
    wide = [np.broadcast_to(a, (11, a.shape[1])) for a in (states, dws, sigma, d_mu_dx, d_sigma_dx)]
    got = weights(*wide, horizon=0.5)
    one = weights(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon=0.5)
    assert array_bits(got) == array_bits(one) * 11


def test_worked_values():
    s = np.zeros((1, 3))
    assert_worked(weights(s, np.array([[0.5, -0.25]]), np.array([[2.0, 4.0]]), np.array([[0.1, 0.1]]),
                          np.array([[0.2, 0.2]]), horizon=1.0).tolist(), [0.178125])
    # Terms rounded and summed step by step: not the closed form's 1.2.
    inc = np.array([[0.3, -0.1, 0.2, 0.05]])
    z = np.zeros((1, 4))
    assert_worked(weights(np.zeros((1, 5)), inc, np.full((1, 4), 0.25), z, z, horizon=1.5).tolist(),
                  [1.1999999999999997])


def test_one_step_ignores_the_derivatives():
    got = weights(np.zeros((2, 2)), np.array([[0.7], [-0.3]]), np.array([[0.3], [3.0]]),
                  np.array([[math.nan], [1e300]]), np.array([[math.inf], [5.0]]), horizon=0.7)
    inv = 1.0 / 0.7
    assert array_bits(got) == bit_list([((1.0 / 0.3) * inv) * 0.7, ((1.0 / 3.0) * inv) * -0.3])


def test_states_values_are_never_read():
    rng = np.random.default_rng(9)
    arrays = list(batch(rng, 12, 5))
    first = weights(*arrays, horizon=1.0)
    arrays[0] = np.full_like(arrays[0], math.nan)
    assert array_bits(weights(*arrays, horizon=1.0)) == array_bits(first)


def test_same_array_for_several_arguments():
    ones = np.ones((3, 4))
    got = weights(np.zeros((3, 5)), ones, ones, ones, ones, horizon=2.0)
    assert array_bits(got) == bit_list(ref_weights(ones, ones, ones, ones, 2.0))


def shapes(n_paths=4, n_steps=9, **override):
    arrays = {"states": (n_paths, n_steps + 1), "dws": (n_paths, n_steps), "sigma": (n_paths, n_steps),
              "d_mu_dx": (n_paths, n_steps), "d_sigma_dx": (n_paths, n_steps)}
    arrays.update(override)
    return [np.ones(arrays[k]) for k in ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx")]


@pytest.mark.parametrize("function", ["bel_weights_tangent_flow"])
@pytest.mark.parametrize("arrays, horizon, message", [
    (shapes(), 0.0, "horizon must be positive"),
    (shapes(), -0.0, "horizon must be positive"),
    (shapes(), -1.0, "horizon must be positive"),
    (shapes(), math.nan, "horizon must be positive"),
    (shapes(states=(3, 1), dws=(7, 7)), math.nan, "horizon must be positive"),
    (shapes(states=(3, 1)), 1.0, "states must have at least 2 columns (n_steps + 1)"),
    (shapes(states=(3, 0)), 1.0, "states must have at least 2 columns (n_steps + 1)"),
    (shapes(dws=(4, 10)), 1.0, "dws shape [4, 10] != expected (4, 9)"),
    (shapes(dws=(4, 10), sigma=(1, 1)), 1.0, "dws shape [4, 10] != expected (4, 9)"),
    (shapes(sigma=(4, 8)), 1.0, "sigma shape [4, 8] != expected (4, 9)"),
    (shapes(d_mu_dx=(5, 9)), 1.0, "d_mu_dx shape [5, 9] != expected (4, 9)"),
    (shapes(d_sigma_dx=(3, 9)), 1.0, "d_sigma_dx shape [3, 9] != expected (4, 9)"),
    (shapes(n_paths=0, dws=(1, 4)), 1.0, "dws shape [1, 4] != expected (0, 9)"),
])
def test_validation_order_and_messages(function, arrays, horizon, message, capfd):
    with pytest.raises(ValueError) as info:
        getattr(q, function)(*arrays, horizon)
    assert info.value.args == (message,)
    assert capfd.readouterr().err == ""


def test_infinite_horizon_and_empty_batches_are_valid():
    arrays = shapes()
    # inv_horizon = 0 and dt = inf: the first term is 0, then Y is infinite.
    got = weights(*arrays, horizon=math.inf)
    assert array_bits(got) == bit_list(ref_weights(*arrays[1:], math.inf))
    assert np.isnan(got).all()
    empty = weights(*shapes(n_paths=0, n_steps=4), horizon=1.0)
    assert empty.shape == (0,) and empty.dtype == np.float64


@pytest.mark.parametrize("zeros, reported", [
    ([(2, 5), (3, 0)], (2, 5)),
    ([(5, 2), (5, 1)], (5, 1)),
    ([(0, 0)], (0, 0)),
    ([(16, 8)], (16, 8)),
    ([(9, 3), (11, 0), (40, 7)], (9, 3)),
])
@pytest.mark.parametrize("zero", [0.0, -0.0])
def test_zero_sigma_names_the_first_zero_in_row_major_order(zeros, reported, zero):
    rng = np.random.default_rng(3)
    arrays = list(batch(rng, 41, 9))
    for i, j in zeros:
        arrays[2][i, j] = zero
    with pytest.raises(ValueError) as info:
        weights(*arrays, horizon=1.0)
    assert info.value.args == (f"sigma[{reported[0]}, {reported[1]}] = 0 produces division by zero in BEL weight",)


@pytest.mark.parametrize("value", [math.nan, 1e-320, -5e-324])
def test_nan_and_subnormal_sigma_are_not_zero(value):
    arrays = list(shapes(n_paths=3, n_steps=4))
    arrays[2] = arrays[2].copy()
    arrays[2][1, 2] = value
    got = weights(*arrays, horizon=1.0)
    assert array_bits(got) == bit_list(ref_weights(*arrays[1:], 1.0))


@pytest.mark.parametrize("kernel", ["baseline", "avx2", "avx512", "neon"])
def test_every_forced_kernel_gives_the_same_bits(tmp_path, kernel):
    rng = np.random.default_rng(77)
    arrays = batch(rng, 37, 11, specials=True)
    np.savez(tmp_path / "batch.npz", *arrays)
    code = f"""
import numpy as np, _quorvane as q
d = np.load({str(tmp_path / 'batch.npz')!r})
arrays = [d[f'arr_{{k}}'] for k in range(5)]
np.save({str(tmp_path / 'out.npy')!r}, q.bel_weights_tangent_flow(*arrays, 0.75))
np.save({str(tmp_path / 'out_f.npy')!r},
        q.bel_weights_tangent_flow(*[np.asfortranarray(a) for a in arrays], 0.75))
"""
    done = run_python(code, env_extra={"QUORVANE_KERNEL": kernel})
    if f"kernel target '{kernel}' is not supported by this cpu" in done.stderr:
        pytest.skip(f"this cpu does not run the {kernel} kernels")
    assert done.returncode == 0, done.stderr
    expected = bit_list(ref_weights(*arrays[1:], 0.75))
    assert array_bits(np.load(tmp_path / "out.npy")) == expected
    assert array_bits(np.load(tmp_path / "out_f.npy")) == expected
    assert array_bits(weights(*arrays, horizon=0.75)) == expected


# --------------------------------------------------------------- price_and_delta_tangent_flow

TWO_PATHS = dict(
    states=np.array([[1.0, 1.05, 1.12, 1.08], [1.0, 0.97, 1.01, 1.15]]),
    dws=np.array([[0.1, -0.2, 0.3], [-0.05, 0.15, 0.25]]),
    sigma_field=np.array([[0.5, 0.6, 0.7], [0.4, 0.45, 0.5]]),
    d_mu_dx_field=np.full((2, 3), 0.03),
    d_sigma_dx_field=np.full((2, 3), 0.2),
)


def pd(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon=2.0, payoff="call", strike=1.0):
    return q.price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                          horizon, payoff, strike)


def test_price_and_delta_worked_values():
    one = pd(np.array([[1.0, 1.2, 1.1]]), np.array([[0.5, -0.25]]), np.array([[2.0, 4.0]]),
             np.array([[0.1, 0.1]]), np.array([[0.2, 0.2]]), horizon=1.0, strike=1.0)
    assert_worked(one, (0.10000000000000009, 0.017812500000000016, 0.0, 0.0))
    assert_worked(pd(**TWO_PATHS), (0.11499999999999999, 0.03362454166666665, 0.02474873734152913,
                                    0.01556993152885932))
    assert_worked(pd(**TWO_PATHS, payoff="identity"),
                  (1.115, 0.2916370416666667, 0.02474873734152948, 0.0954346961856249))


@pytest.mark.parametrize("payoff", ["identity", "call", "put", "digital_call"])
@pytest.mark.parametrize("layout", ["c", "fortran", "reversed", "odd_strides"])
@pytest.mark.parametrize("n_paths", [1, 3, 4, 9, 17])
def test_price_and_delta_equal_the_sequential_reference(payoff, layout, n_paths):
    rng = np.random.default_rng(n_paths + 100 * len(payoff))
    arrays = batch(rng, n_paths, 7, specials=layout == "c")
    got = pd(*[layout2d(a, layout) for a in arrays], horizon=0.9, payoff=payoff, strike=1.0)
    assert bit_list(got) == bit_list(ref_price_and_delta(*arrays, 0.9, payoff, 1.0))


def test_price_and_delta_reads_only_the_last_state_column_and_leading_field_blocks():
    base = pd(**TWO_PATHS)
    states = TWO_PATHS["states"].copy()
    states[:, :-1] = math.nan
    big = {k: np.pad(v, ((0, 2), (0, 3)), constant_values=0.0) for k, v in TWO_PATHS.items() if k != "states"}
    assert bit_list(pd(states, **big)) == bit_list(base)


@pytest.mark.parametrize("horizon", [0.0, -0.0, -1.0, -math.inf, math.nan])
def test_price_and_delta_refuses_a_horizon_that_is_not_positive(horizon, capfd):
    # Checked first, as by bel_weights_tangent_flow: before the shape checks (too few
    # columns, a dws too small for an internal failure) and the payoff lookup.
    short = dict(TWO_PATHS, states=np.zeros((2, 1)), dws=np.zeros((1, 0)))
    for arrays, payoff in [(TWO_PATHS, "call"), (short, "Call")]:
        with pytest.raises(ValueError) as info:
            pd(**arrays, horizon=horizon, payoff=payoff)
        assert info.value.args == ("horizon must be positive",)
    assert capfd.readouterr().err == ""


def test_price_and_delta_takes_an_infinite_horizon():
    got = pd(**TWO_PATHS, horizon=math.inf)
    assert bit_list(got) == bit_list(ref_price_and_delta(*TWO_PATHS.values(), math.inf, "call", 1.0))


@pytest.mark.parametrize("payoff", ["call", "Call"])
def test_empty_batch(payoff):
    empty = [np.zeros((0, 3)), np.zeros((0, 1)), np.zeros((5, 0)), np.zeros((0, 0)), np.zeros((0, 7))]
    if payoff == "call":
        assert all(math.isnan(v) for v in pd(*empty, payoff=payoff))
    else:
        with pytest.raises(ValueError, match=r"^unknown payoff 'Call'$"):
            pd(*empty, payoff=payoff)


def replace(**changes):
    arrays = {k: v.copy() for k, v in TWO_PATHS.items()}
    arrays.update(changes)
    return arrays


@pytest.mark.parametrize("arrays, payoff, raised, message", [
    (replace(states=np.ones((2, 1))), "Call", ValueError, "states must have at least 2 columns (n_steps + 1)"),
    (replace(), "Call", ValueError, "unknown payoff 'Call'"),
    (replace(), "call ", ValueError, "unknown payoff 'call '"),
    (replace(dws=np.ones((1, 3))), "Call", "panic", "ndarray: index out of bounds"),
    (replace(dws=np.ones((2, 2))), "call", "panic", "ndarray: index out of bounds"),
    (replace(sigma_field=np.array([[0.5, 0.6, 0.0], [0.4, 0.0, 0.5]])), "call", ValueError,
     "sigma_field[0, 2] = 0 produces division by zero"),
    (replace(sigma_field=np.array([[0.5, 0.6, 0.7], [-0.0, 0.45, 0.5]])), "call", ValueError,
     "sigma_field[1, 0] = 0 produces division by zero"),
    (replace(d_mu_dx_field=np.ones((2, 2))), "call", "panic", "ndarray: index out of bounds"),
    (replace(d_mu_dx_field=np.ones((2, 2)), sigma_field=np.array([[0.5, 0.0, 0.7], [0.4, 0.45, 0.5]])),
     "call", ValueError, "sigma_field[0, 1] = 0 produces division by zero"),
    (replace(d_sigma_dx_field=np.ones((1, 3)), sigma_field=np.array([[0.5, 0.6, 0.7], [0.4, 0.0, 0.5]])),
     "call", "panic", "ndarray: index out of bounds"),
    (replace(sigma_field=np.ones((2, 2))), "call", "panic", "ndarray: index out of bounds"),
])
def test_price_and_delta_validation_order(arrays, payoff, raised, message, panic_type):
    expected = panic_type if raised == "panic" else raised
    with pytest.raises(BaseException) as info:
        pd(**arrays, payoff=payoff)
    assert type(info.value) is expected
    assert str(info.value) == message


def test_nan_sigma_field_gives_nan_delta_without_error():
    got = pd(**replace(sigma_field=np.array([[0.5, 0.6, math.nan], [0.4, 0.45, 0.5]])))
    assert math.isnan(got[1]) and got[3] == 0.0
