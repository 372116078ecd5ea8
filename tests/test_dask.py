"""quorvane.dask: weights, prices and deltas over Dask arrays chunked along the path axis,
under the synchronous scheduler and on a two-process LocalCluster on the loopback address."""

import inspect
import math

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
from dask.delayed import Delayed  # noqa: E402

import _quorvane as q  # noqa: E402
import quorvane  # noqa: E402
import quorvane.dask as qd  # noqa: E402
from quorvane import _average, _chunks, _greeks as g, _localised  # noqa: E402
from conftest import (DEFAULT_NAN, array_bits, assert_worked, bit_list, bits,  # noqa: E402
                      ref_payoff, ref_reciprocal)

PAYOFFS = ["identity", "call", "put", "digital_call"]
X0, VOL, RATE, HORIZON, STRIKE = 100.0, 0.2, 0.03, 1.0, 100.0

# ---------------------------------------------------------------------------
# Schedulers
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       host="127.0.0.1", dashboard_address="127.0.0.1:0")
    try:
        with distributed.Client(cluster, set_as_default=False, timeout=60) as c:
            c.wait_for_workers(2, timeout=60)
            yield c
    finally:
        cluster.close(timeout=60)


@pytest.fixture(params=["synchronous", "distributed"])
def scheduler(request):
    if request.param == "synchronous":
        with dask.config.set(scheduler="synchronous"):
            yield request.param
    else:
        with dask.config.set(scheduler=request.getfixturevalue("client")):
            yield request.param


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------

N_PATHS, N_STEPS = 600, 6
CHUNKINGS = {
    "one": (N_PATHS,),
    "even": (150, 150, 150, 150),
    "uneven": (37, 0, 1, 262, 300),
}


def gbm_batch(n_paths=N_PATHS, n_steps=N_STEPS, seed=7, rng=None):
    """Euler GBM paths: states, dws and the three coefficient fields (the
    increments drawn from ``rng``, by default a generator seeded with ``seed``)."""
    rng = np.random.default_rng(seed) if rng is None else rng
    dt = HORIZON / n_steps
    dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = X0
    for j in range(n_steps):
        states[:, j + 1] = states[:, j] * (1.0 + RATE * dt + VOL * dws[:, j])
    pre = states[:, :-1]
    return [states, dws, VOL * pre, np.full_like(pre, RATE), np.full_like(pre, VOL)]


SPECIAL_TERMINALS = [math.nan, math.inf, -math.inf, -0.0, 0.0, STRIKE, 5e-324, 1e200, -1e200]


def special_batch(seed=11):
    """A batch whose terminal states and increments hold IEEE special values."""
    batch = gbm_batch(seed=seed)
    rng = np.random.default_rng(seed)
    rows = rng.choice(N_PATHS, size=3 * len(SPECIAL_TERMINALS), replace=False)
    batch[0][rows, -1] = SPECIAL_TERMINALS * 3
    batch[1][rng.choice(N_PATHS, size=4, replace=False), 2] = [math.inf, -math.inf, 1e300, DEFAULT_NAN]
    return batch


def constant_flow_data(batch):
    return batch[0][:, -1].copy(), batch[1].sum(axis=1)


def to_dask(array, chunks):
    return da.from_array(array, chunks=(chunks,) if array.ndim == 1 else (chunks, (array.shape[1],)))


# ---------------------------------------------------------------------------
# Plain-Python references: per-chunk sequential sums, added in chunk order
# ---------------------------------------------------------------------------


def ref_rule(s1, s2, n):
    if n == 0:
        return math.nan, math.nan
    mean = s1 / n
    var = s2 / n - mean * mean
    if not var > 0.0:
        var = 0.0
    return mean, math.sqrt(var / n)


def ref_chunked(lanes, chunks):
    """lanes: lists of per-path samples; returns (mean, stderr) per lane, combined by chunk."""
    totals = [[0.0, 0.0] for _ in lanes]
    start = 0
    for size in chunks:
        for lane, total in zip(lanes, totals):
            s1 = s2 = 0.0
            for v in lane[start:start + size]:
                s1 = s1 + v
                s2 = s2 + v * v
            total[0] = total[0] + s1
            total[1] = total[1] + s2
        start += size
    return [ref_rule(t[0], t[1], start) for t in totals]


def ref_constant_flow_lanes(x_t, w_t, payoff):
    r = ref_reciprocal(HORIZON, VOL * X0)
    p = [ref_payoff(payoff, x, STRIKE) for x in x_t.tolist()]
    d = [(w * v) * r for w, v in zip(w_t.tolist(), p)]
    return p, d


def ref_tangent_flow_lanes(batch, payoff):
    weights = q.bel_weights_tangent_flow(*batch, HORIZON).tolist()
    p = [ref_payoff(payoff, x, STRIKE) for x in batch[0][:, -1].tolist()]
    return p, [w * v for w, v in zip(weights, p)]


def as_estimate(lanes):
    (price, price_se), (delta, delta_se) = lanes
    return price, delta, price_se, delta_se


# ---------------------------------------------------------------------------
# Weights: lazy, chunked like the paths, the module's bits
# ---------------------------------------------------------------------------

BUILDERS = ["constant_flow", "tangent_flow", "tangent_flow_parallel"]


def build_weights(builder, batch, chunks):
    if builder == "constant_flow":
        w_t = constant_flow_data(batch)[1]
        return (qd.bel_weights_constant_flow(to_dask(w_t, chunks), HORIZON, VOL * X0),
                q.bel_weights_constant_flow(w_t, HORIZON, VOL * X0))
    function = getattr(qd, "bel_weights_" + builder)
    lazy = function(*[to_dask(a, chunks) for a in batch], HORIZON)
    return lazy, q.bel_weights_tangent_flow(*batch, HORIZON)


@pytest.mark.parametrize("chunking", ["one", "uneven"])
@pytest.mark.parametrize("builder", BUILDERS)
def test_weights_are_lazy_and_bit_identical_to_one_call(scheduler, builder, chunking):
    batch = special_batch()
    lazy, expected = build_weights(builder, batch, CHUNKINGS[chunking])
    assert isinstance(lazy, da.Array)
    assert lazy.dtype == np.float64 and lazy.chunks == (CHUNKINGS[chunking],)
    computed = lazy.compute()
    assert computed.shape == (N_PATHS,)
    assert array_bits(computed) == array_bits(expected)


# ---------------------------------------------------------------------------
# Prices and deltas
# ---------------------------------------------------------------------------


def dask_estimate(function, batch, chunks, payoff, **kwargs):
    if function == "constant_flow":
        x_t, w_t = constant_flow_data(batch)
        return qd.price_and_delta_constant_flow(to_dask(x_t, chunks), to_dask(w_t, chunks),
                                                HORIZON, VOL * X0, payoff, STRIKE, **kwargs)
    return qd.price_and_delta_tangent_flow(*[to_dask(a, chunks) for a in batch], HORIZON,
                                           payoff, STRIKE, **kwargs)


def module_estimate(function, batch, payoff):
    if function == "constant_flow":
        x_t, w_t = constant_flow_data(batch)
        return q.price_and_delta_constant_flow(x_t, w_t, HORIZON, VOL * X0, payoff, STRIKE)
    return q.price_and_delta_tangent_flow(*batch, HORIZON, payoff, STRIKE)


def ref_lanes(function, batch, payoff):
    if function == "constant_flow":
        return ref_constant_flow_lanes(*constant_flow_data(batch), payoff)
    return ref_tangent_flow_lanes(batch, payoff)


@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("function", ["constant_flow", "tangent_flow"])
def test_one_chunk_gives_the_module_bits(scheduler, function, payoff):
    batch = special_batch()
    result = dask_estimate(function, batch, CHUNKINGS["one"], payoff)
    assert type(result) is quorvane.Estimate
    assert_worked(result, module_estimate(function, batch, payoff))


@pytest.mark.parametrize("data", ["gbm", "special"])
@pytest.mark.parametrize("chunking", ["even", "uneven"])
@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("function", ["constant_flow", "tangent_flow"])
def test_chunks_are_summed_in_order_then_combined(scheduler, function, payoff, chunking, data):
    batch = special_batch() if data == "special" else gbm_batch(seed=13)
    chunks = CHUNKINGS[chunking]
    result = dask_estimate(function, batch, chunks, payoff)
    assert_worked(result, as_estimate(ref_chunked(ref_lanes(function, batch, payoff), chunks)))


@pytest.mark.parametrize("chunking", ["one", "even", "uneven"])
@pytest.mark.parametrize("data", ["gbm", "special"])
def test_price_from_samples(scheduler, chunking, data):
    samples = (special_batch() if data == "special" else gbm_batch(seed=17))[0][:, -1] * 0.5
    result = qd.price_from_samples(to_dask(samples, CHUNKINGS[chunking]))
    if chunking == "one":
        assert_worked(result, q.price_from_samples(samples))
    else:
        assert_worked(result, ref_chunked([samples.tolist()], CHUNKINGS[chunking])[0])


@pytest.mark.parametrize("chunks", [(4000,), (1000,) * 4, (1,) * 3 + (997, 3000), (2500, 0, 1500)])
@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("function", ["constant_flow", "tangent_flow"])
def test_chunked_estimate_agrees_with_one_call(function, payoff, chunks):
    batch = gbm_batch(n_paths=4000, n_steps=4, seed=3)
    with dask.config.set(scheduler="synchronous"):
        result = dask_estimate(function, batch, chunks, payoff)
    expected = module_estimate(function, batch, payoff)
    for got, want, tolerance in zip(result, expected, (1e-12, 1e-12, 1e-9, 1e-9)):
        assert math.isclose(got, want, rel_tol=tolerance), (result, expected)


def test_sequential_sum_is_left_to_right():
    values = np.array([1e16, 1.0, -1e16, 1.0] * 50 + [-0.0])
    expected = 0.0
    for v in values.tolist():
        expected = expected + v
    assert bits(_chunks.price_from_samples(values)[1]) == bits(expected)
    assert bits(_chunks.price_from_samples(np.array([-0.0, -0.0]))[1]) == bits(0.0)


@pytest.mark.parametrize("function", ["constant_flow", "tangent_flow"])
def test_lazy_estimates_share_one_compute(scheduler, function):
    batch = gbm_batch(seed=5)
    chunks = CHUNKINGS["uneven"]
    lazy = [dask_estimate(function, batch, chunks, payoff, compute=False) for payoff in PAYOFFS]
    assert all(isinstance(item, Delayed) for item in lazy)
    computed = dask.compute(*lazy)
    for payoff, value in zip(PAYOFFS, computed):
        assert_worked(value, dask_estimate(function, batch, chunks, payoff))


# ---------------------------------------------------------------------------
# Errors found before any task runs
# ---------------------------------------------------------------------------


def _poison(block):
    raise AssertionError("a task ran although the arguments were refused")


def poisoned(array, chunks):
    """A Dask array with the shape and chunks of to_dask(array, chunks) whose tasks fail."""
    return to_dask(array, chunks).map_blocks(_poison, dtype=array.dtype, meta=array[:0])


TANGENT_WEIGHT_NAMES = ["states", "dws", "sigma", "d_mu_dx", "d_sigma_dx"]
TANGENT_PRICE_NAMES = ["states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field"]


def call_tangent(kind, arrays):
    if kind == "price":
        return qd.price_and_delta_tangent_flow(*arrays, HORIZON, "call", STRIKE)
    return getattr(qd, "bel_weights_" + kind)(*arrays, HORIZON)


def tangent_case(kind, position, change):
    """Poisoned Dask arguments for a tangent-flow function, one of them altered."""
    batch = gbm_batch(n_paths=40)
    chunks = (10, 30)
    arrays = [poisoned(a, chunks) for a in batch]
    arrays[position] = change(batch[position], chunks)
    return arrays


TANGENT_KINDS = ["tangent_flow", "tangent_flow_parallel", "price"]

CHANGES = {
    "step_chunks": (ValueError, "{name} is chunked along the step axis", "{name}.rechunk({{1: -1}})",
                    lambda a, c: poisoned(a, c).rechunk({1: 2})),
    "path_chunks": (ValueError, "{name} is chunked differently from states along the path axis",
                    "{name}.rechunk({{0: states.chunks[0]}})",
                    lambda a, c: poisoned(a, c).rechunk({0: 20})),
    "rows": (ValueError, "{name} has 39 rows but states has 40", "one row per path",
             lambda a, c: poisoned(a[:39], (10, 29))),
    "float32": (TypeError, "{name} has dtype float32", "{name}.astype(numpy.float64)",
                lambda a, c: poisoned(a.astype(np.float32), c)),
    "int64": (TypeError, "{name} has dtype int64", "{name}.astype(numpy.float64)",
              lambda a, c: poisoned(a.astype(np.int64), c)),
    "numpy": (TypeError, "{name} must be a dask array, not numpy.ndarray",
              "dask.array.from_array({name}", lambda a, c: a),
    "one_dimensional": (TypeError, "{name} must be a 2-dimensional dask array, got 1",
                        "shape (40,)", lambda a, c: poisoned(a[:, 0].copy(), c)),
    "unknown_chunks": (ValueError, "{name} has unknown chunk sizes",
                       "{name}.compute_chunk_sizes()",
                       lambda a, c: poisoned(a, c)[to_dask(a[:, 0], c) > -1e300]),
}


@pytest.mark.parametrize("kind", TANGENT_KINDS)
@pytest.mark.parametrize("change, position", [
    (change, position) for change in sorted(CHANGES) for position in range(5)
    if position > 0 or change not in ("rows", "path_chunks")])  # states sets the path axis
def test_tangent_flow_arguments_refused_before_any_task(change, kind, position):
    error_type, first, second, alter = CHANGES[change]
    name = (TANGENT_PRICE_NAMES if kind == "price" else TANGENT_WEIGHT_NAMES)[position]
    arrays = tangent_case(kind, position, alter)
    with dask.config.set(scheduler="synchronous"), pytest.raises(error_type) as caught:
        call_tangent(kind, arrays)
    message = str(caught.value)
    assert first.format(name=name) in message and second.format(name=name) in message


@pytest.mark.parametrize("kind", TANGENT_KINDS)
@pytest.mark.parametrize("position, columns, message", [
    (0, 1, "states must have at least 2 columns (n_steps + 1)"),
    (0, 6, "states must have n_steps + 1 = 7 columns (the initial state, then one per step), got 6"),
    (1, 5, "{name} must have n_steps = 6 columns, one per step (states has 7: the initial state, "
           "then one per step), got 5"),
    (3, 7, "{name} must have n_steps = 6 columns, one per step (states has 7: the initial state, "
           "then one per step), got 7"),
    (4, 5, "{name} must have n_steps = 6 columns, one per step (states has 7: the initial state, "
           "then one per step), got 5"),
])
def test_tangent_flow_column_counts_checked_before_any_task(kind, position, columns, message):
    name = (TANGENT_PRICE_NAMES if kind == "price" else TANGENT_WEIGHT_NAMES)[position]
    arrays = tangent_case(kind, position, lambda a, c: poisoned(np.ones((40, columns)), c))
    with dask.config.set(scheduler="synchronous"), pytest.raises(ValueError) as caught:
        call_tangent(kind, arrays)
    assert str(caught.value) == message.format(name=name)


CONSTANT_FUNCTIONS = ["weights", "price", "samples"]


def call_constant(kind, arrays, horizon=HORIZON, sigma_at_x0=VOL * X0, payoff="call",
                  strike=STRIKE):
    if kind == "weights":
        return qd.bel_weights_constant_flow(arrays[1], horizon, sigma_at_x0)
    if kind == "samples":
        return qd.price_from_samples(arrays[1])
    return qd.price_and_delta_constant_flow(*arrays, horizon, sigma_at_x0, payoff, strike)


ONE_DIMENSIONAL_CHANGES = {
    "path_chunks": (ValueError, "w_terminals is chunked differently from terminal_states",
                    lambda w, c: poisoned(w, (20, 20))),
    "rows": (ValueError, "w_terminals has 39 rows but terminal_states has 40",
             lambda w, c: poisoned(w[:39], (10, 29))),
    "float32": (TypeError, "{name} has dtype float32; quorvane needs float64",
                lambda w, c: poisoned(w.astype(np.float32), c)),
    "numpy": (TypeError, "{name} must be a dask array, not numpy.ndarray", lambda w, c: w),
    "two_dimensional": (TypeError, "{name} must be a 1-dimensional dask array, got 2",
                        lambda w, c: poisoned(w.reshape(40, 1), c)),
    "unknown_chunks": (ValueError, "{name} has unknown chunk sizes",
                       lambda w, c: poisoned(w, c)[to_dask(w, c) > -1e300]),
}


@pytest.mark.parametrize("kind, change", [
    (kind, change) for kind in CONSTANT_FUNCTIONS for change in sorted(ONE_DIMENSIONAL_CHANGES)
    if kind == "price" or change not in ("path_chunks", "rows")])  # one array: nothing to match
def test_one_dimensional_arguments_refused_before_any_task(kind, change):
    error_type, message, alter = ONE_DIMENSIONAL_CHANGES[change]
    x_t, w_t = constant_flow_data(gbm_batch(n_paths=40))
    chunks = (10, 30)
    arrays = [poisoned(x_t, chunks), alter(w_t, chunks)]
    name = "samples" if kind == "samples" else "w_terminals"
    with dask.config.set(scheduler="synchronous"), pytest.raises(error_type) as caught:
        call_constant(kind, arrays)
    assert message.format(name=name) in str(caught.value)


def module_error(call):
    """The exception a direct call of the module raises."""
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - PanicException is not an Exception
        return error
    raise AssertionError("the module accepted the arguments")


WEIGHT_SCALARS = [dict(horizon=0.0), dict(horizon=-1.0), dict(horizon=math.nan),
                  dict(horizon="1.0")]
PAYOFF_SCALARS = [dict(payoff="Call"), dict(payoff=None), dict(strike="100")]


@pytest.mark.parametrize("kind, scalars", [
    (kind, scalars) for kind in ("weights", "price")
    for scalars in WEIGHT_SCALARS + [dict(sigma_at_x0=0.0), dict(sigma_at_x0=None)]
    + (PAYOFF_SCALARS if kind == "price" else [])])
def test_constant_flow_scalars_fail_as_in_the_package_before_any_task(kind, scalars):
    x_t, w_t = constant_flow_data(gbm_batch(n_paths=40))
    arguments = dict(horizon=HORIZON, sigma_at_x0=VOL * X0, payoff="call", strike=STRIKE)
    arguments.update(scalars)
    if kind == "weights":
        expected = module_error(lambda: q.bel_weights_constant_flow(
            w_t, arguments["horizon"], arguments["sigma_at_x0"]))
    else:
        # a horizon or sigma_at_x0 that is not positive: ValueError, as quorvane reports it
        expected = module_error(lambda: quorvane.price_and_delta_constant_flow(x_t, w_t, **arguments))
    arrays = [poisoned(x_t, (10, 30)), poisoned(w_t, (10, 30))]
    with dask.config.set(scheduler="synchronous"), pytest.raises(type(expected)) as caught:
        call_constant(kind, arrays, **arguments)
    assert type(caught.value) is type(expected) and str(caught.value) == str(expected)


@pytest.mark.parametrize("kind, scalars", [
    (kind, scalars) for kind in TANGENT_KINDS
    for scalars in WEIGHT_SCALARS + (PAYOFF_SCALARS if kind == "price" else [])])
def test_tangent_flow_scalars_fail_before_any_task(kind, scalars):
    batch = gbm_batch(n_paths=40)
    arguments = dict(horizon=HORIZON, payoff="call", strike=STRIKE)
    arguments.update(scalars)
    if kind == "price":
        expected = module_error(lambda: q.price_and_delta_tangent_flow(*batch, **arguments))
    else:
        expected = module_error(lambda: q.bel_weights_tangent_flow(*batch, arguments["horizon"]))
    arrays = [poisoned(a, (10, 30)) for a in batch]
    with dask.config.set(scheduler="synchronous"), pytest.raises(type(expected)) as caught:
        if kind == "price":
            qd.price_and_delta_tangent_flow(*arrays, **arguments)
        else:
            getattr(qd, "bel_weights_" + kind)(*arrays, arguments["horizon"])
    assert type(caught.value) is type(expected) and str(caught.value) == str(expected)


# ---------------------------------------------------------------------------
# Failures inside tasks
# ---------------------------------------------------------------------------


def call_tangent_module(kind, arrays):
    if kind == "price":
        return q.price_and_delta_tangent_flow(*arrays, HORIZON, "call", STRIKE)
    return q.bel_weights_tangent_flow(*arrays, HORIZON)


@pytest.mark.parametrize("chunking", ["one", "uneven"])
@pytest.mark.parametrize("kind", TANGENT_KINDS)
def test_zero_sigma_in_a_task_raises_the_module_error(scheduler, kind, chunking):
    batch = gbm_batch()
    batch[2][100, 4] = 0.0  # in the chunk of rows 38 to 299 of the uneven chunking
    batch[2][450, 1] = -0.0  # in the chunk of rows 300 to 599
    chunks = CHUNKINGS[chunking]
    if chunking == "one":
        expected = {str(module_error(lambda: call_tangent_module(kind, batch))): None}
        if kind == "tangent_flow_parallel":
            # The two zeros may fall in different blocks of the worker pool, and
            # which block reports first depends on timing.
            expected["sigma[450, 1] = 0 produces division by zero in BEL weight"] = None
    else:
        expected = {str(module_error(lambda: call_tangent_module(kind, [a[lo:hi] for a in batch]))): lo
                    for lo, hi in [(38, 300), (300, 600)]}
    with pytest.raises(ValueError) as caught:
        result = call_tangent(kind, [to_dask(a, chunks) for a in batch])
        if kind != "price":
            result.compute()
    assert type(caught.value) is ValueError
    assert str(caught.value) in expected
    notes = getattr(caught.value, "__notes__", [])
    first_row = expected[str(caught.value)]
    if first_row is None:
        assert notes == []
    elif hasattr(caught.value, "add_note"):
        assert notes == [f"raised for the Dask chunk starting at row {first_row}: "
                         "row indices in the message count from the start of the chunk"]


def provoke_panic_in_task():
    return qd._call(q.price_and_delta_constant_flow, np.zeros(1), np.zeros(1), 0.0, 1.0, "call")


def test_panic_in_a_task_becomes_panic_error_synchronous(panic_type):
    expected = module_error(
        lambda: q.price_and_delta_constant_flow(np.zeros(1), np.zeros(1), 0.0, 1.0, "call"))
    assert type(expected) is panic_type
    with dask.config.set(scheduler="synchronous"), pytest.raises(qd.PanicError) as caught:
        dask.delayed(provoke_panic_in_task)().compute()
    assert isinstance(caught.value, RuntimeError) and str(caught.value) == str(expected)


def test_panic_in_a_task_becomes_panic_error_distributed(client):
    future = client.submit(provoke_panic_in_task, pure=False)
    error = future.exception(timeout=60)  # a BaseException would never come back
    assert type(error) is qd.PanicError and str(error) == "horizon must be positive"


def test_all_is_every_native_function_and_every_public_name_defined_here():
    # A literal list (so that a type checker sees it): every function of the native
    # modules, each with its own chunked form here, and nothing defined here left out.
    native = [name for module in (q, g, _localised, _average) for name in module.__all__
              if name != "__version__"]
    assert sorted(qd.__all__) == sorted([*native, "PanicError"])
    assert all(getattr(qd, name).__module__ == "quorvane.dask" for name in qd.__all__)
    defined = {name for name, value in vars(qd).items() if not name.startswith("_")
               and getattr(value, "__module__", None) == "quorvane.dask"}
    assert defined <= set(qd.__all__)


# ---------------------------------------------------------------------------
# Every function at once: each one's arrays, by parameter name, and its scalars
# ---------------------------------------------------------------------------

# An average of the columns from step 1 on (the constant flow's dates: one per column).
AVERAGE_WEIGHTS = np.array([0.0] + [1.0 / N_STEPS] * N_STEPS)
MONITORING_TIMES = HORIZON * np.arange(1, N_STEPS + 2) / (N_STEPS + 1)

SCALARS = {
    "bel_weights_constant_flow": (HORIZON, VOL * X0),
    "bel_weights_tangent_flow": (HORIZON,),
    "bel_weights_tangent_flow_parallel": (HORIZON,),
    "price_from_samples": (),
    "price_and_delta_constant_flow": (HORIZON, VOL * X0, "call", STRIKE),
    "price_and_delta_tangent_flow": (HORIZON, "call", STRIKE),
    "bel_weights_gamma_constant_flow": (HORIZON, VOL * X0, VOL),
    "bel_weights_vega_constant_flow": (HORIZON, VOL, VOL),
    "bel_weights_gamma_tangent_flow": (HORIZON,),
    "bel_weights_gamma_tangent_flow_parallel": (HORIZON,),
    "price_and_greeks_constant_flow": (HORIZON, VOL * X0, VOL, VOL, "call", STRIKE),
    "price_and_greeks_tangent_flow": (HORIZON, "call", STRIKE),
    "price_and_greeks_constant_flow_localised": (HORIZON, VOL * X0, VOL, VOL, "call", STRIKE, None),
    "price_and_greeks_tangent_flow_localised": (HORIZON, "call", STRIKE, None),
    "price_and_greeks_tangent_flow_localised_parallel": (HORIZON, "call", STRIKE, None),
    "bel_weights_and_variations_tangent_flow": (HORIZON,),
    "price_and_delta_tangent_flow_parallel": (HORIZON, "call", STRIKE),
    "price_and_greeks_tangent_flow_parallel": (HORIZON, "call", STRIKE),
    # average_weights and monitoring_times: NumPy arrays that every chunk gets whole
    "bel_weights_average_tangent_flow": (HORIZON, AVERAGE_WEIGHTS),
    "bel_weights_average_tangent_flow_parallel": (HORIZON, AVERAGE_WEIGHTS),
    "price_and_delta_average_tangent_flow": (HORIZON, AVERAGE_WEIGHTS, "call", STRIKE),
    "bel_weights_average_constant_flow": (MONITORING_TIMES, AVERAGE_WEIGHTS, HORIZON, VOL * X0, VOL),
    "price_and_delta_average_constant_flow": (MONITORING_TIMES, AVERAGE_WEIGHTS, HORIZON, VOL * X0, VOL,
                                              "call", STRIKE),
}
EVERY_FUNCTION = sorted(SCALARS)


def test_the_table_of_every_function_lists_every_function():
    assert set(SCALARS) == set(qd.__all__) - {"PanicError"}


def every_argument(batch=None):
    """NumPy data for every array parameter name of quorvane.dask (from a batch of 40 GBM
    paths unless another batch is given)."""
    batch = gbm_batch(n_paths=40) if batch is None else batch
    x_t, w_t = constant_flow_data(batch)
    data = dict(terminal_states=x_t, w_terminals=w_t, samples=x_t, states=batch[0], dws=batch[1],
                monitored_states=batch[0])
    fields = batch[2:] + [np.zeros_like(batch[1]), np.full_like(batch[1], 0.01)]
    for name, field in zip(["sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2"], fields):
        data[name] = data[name + "_field"] = field
    return data


def array_parameters(name):
    """The array parameters of qd.<name>: those before its first scalar."""
    parameters = [parameter for parameter in inspect.signature(getattr(qd, name)).parameters
                  if parameter not in ("compute", "discount")]  # the keyword-only ones
    return parameters[:len(parameters) - len(SCALARS[name])]


def call_every(name, chunks, alter=lambda parameter, array: array, **options):
    """qd.<name> on every_argument() as Dask arrays, lazily: a Dask array or a Delayed."""
    function = getattr(qd, name)
    data = every_argument()
    parameters = array_parameters(name)
    arrays = [alter(p, to_dask(data[p], chunks)) for p in parameters]
    lazy = {"compute": False} if "compute" in inspect.signature(function).parameters else {}
    return function(*arrays, *SCALARS[name], **lazy, **options)


def call_package(name, **options):
    """quorvane.<name> on every_argument(), the NumPy arrays that call_every chunks."""
    data = every_argument()
    return getattr(quorvane, name)(*[data[p] for p in array_parameters(name)], *SCALARS[name],
                                   **options)


# The estimators whose every field is a float (the localised ones add their bandwidths:
# tests/test_localised_dask.py).
ESTIMATORS = [name for name in EVERY_FUNCTION if name.startswith("price_") and "_localised" not in name]
LOCALISED = [name for name in EVERY_FUNCTION if name.startswith("price_") and "_localised" in name]
ESTIMATE_TYPES = {"price_from_samples": quorvane.MeanEstimate,
                  "price_and_delta_constant_flow": quorvane.Estimate,
                  "price_and_delta_tangent_flow": quorvane.Estimate,
                  "price_and_greeks_constant_flow": quorvane.Greeks,
                  "price_and_greeks_tangent_flow": quorvane.TangentFlowGreeks,
                  "price_and_delta_tangent_flow_parallel": quorvane.Estimate,
                  "price_and_greeks_tangent_flow_parallel": quorvane.TangentFlowGreeks,
                  "price_and_delta_average_tangent_flow": quorvane.Estimate,
                  "price_and_delta_average_constant_flow": quorvane.Estimate}


@pytest.mark.parametrize("name, chunks", [(name, chunks) for name in ESTIMATORS
                                          for chunks in [(40,), (10, 0, 30)]])
def test_estimates_are_the_packages_named_tuples(name, chunks):
    # As in quorvane: Estimate and MeanEstimate where plain tuples were returned; with
    # one chunk, the package's own result, field for field and bit for bit.
    with dask.config.set(scheduler="synchronous"):
        got = call_every(name, chunks).compute()
    assert type(got) is ESTIMATE_TYPES[name] and all(type(value) is float for value in got)
    if len(chunks) == 1:
        expected = call_package(name)
        assert type(expected) is type(got) and bit_list(got) == bit_list(expected)


@pytest.mark.parametrize("name, chunks", [(name, chunks) for name in ESTIMATORS
                                          for chunks in [(40,), (10, 0, 30)]])
def test_discount_multiplies_every_field_once(name, chunks):
    # One chunk or several, every field of the result is the undiscounted one times
    # the factor, one rounded product each (not a power of two, so each one rounds).
    discount = math.exp(-0.05 * 1.5)
    with dask.config.set(scheduler="synchronous"):
        plain = call_every(name, chunks).compute()
        discounted = call_every(name, chunks, discount=discount).compute()
    assert type(discounted) is type(plain)
    assert bit_list(discounted) == bit_list(value * discount for value in plain)


@pytest.mark.parametrize("name", ESTIMATORS + LOCALISED)
def test_a_discount_not_a_finite_positive_factor_is_refused_before_any_task(name):
    # Refused when the lazy estimate is built, with the message of quorvane's function.
    for discount in (0.0, -1.0, math.nan, math.inf):
        with pytest.raises(ValueError) as caught:
            call_every(name, (10, 30), discount=discount)
        with pytest.raises(ValueError) as expected:
            call_package(name, discount=discount)
        assert caught.value.args == expected.value.args


@pytest.mark.parametrize("name", EVERY_FUNCTION)
def test_masked_dask_arrays_are_refused_by_every_function(name):
    # Chunks of numpy.ma.MaskedArray: one chunk read the data without the mask, several
    # went through NumPy's masked arithmetic in the combination; neither is the
    # estimate of the unmasked paths. Each array argument is refused before any task.
    def mask(parameter, array):
        return da.ma.masked_greater(array, 0.5) if parameter == masked else array

    for masked in array_parameters(name):
        with dask.config.set(scheduler="synchronous"), pytest.raises(TypeError) as caught:
            call_every(name, (10, 30), mask)
        assert str(caught.value) == (
            f"{masked} is a masked array; fill it (dask.array.ma.filled({masked}, value)) or drop "
            "the masked paths (boolean indexing of every argument, then compute_chunk_sizes()) first")


@pytest.mark.parametrize("name, chunking", [
    (name, chunking) for name in EVERY_FUNCTION for chunking in ("one", "uneven")])
def test_an_internal_failure_in_any_task_reaches_compute_as_panic_error(monkeypatch, name, chunking):
    # Every module function fails internally on data (the checks before any task run
    # them on no paths, and work); whatever a task calls, compute raises PanicError.
    def failing(function):
        def call(*args, **kwargs):
            # The paths come first (arrays of dates, passed whole, are never empty).
            if args and isinstance(args[0], np.ndarray) and args[0].size:
                raise quorvane.PanicException("forced internal failure")
            return function(*args, **kwargs)
        return call

    for module in (q, g, _chunks, _localised, _average):
        for function_name in module.__all__[:-1]:  # the functions, then __version__
            monkeypatch.setattr(module, function_name, failing(getattr(module, function_name)))
    lazy = call_every(name, (40,) if chunking == "one" else (10, 0, 30))
    with dask.config.set(scheduler="synchronous"), pytest.raises(qd.PanicError) as caught:
        dask.compute(lazy)
    assert str(caught.value) == "forced internal failure"


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("name", ESTIMATORS)
def test_chunk_sums_follow_the_module_sample_by_sample(name, payoff, seed):
    """Sums of one chunk, put through the statistics rule, are the module's own result."""
    chunk = {parameter: data[seed * 50:seed * 50 + 97]
             for parameter, data in every_argument(special_batch(seed=seed)).items()}
    if name == "price_and_greeks_constant_flow":
        # Squares of samples near 1e200 leave the doubles: the module then takes the standard
        # errors from the samples scaled, which sums cannot (the documented exception).
        x = chunk["terminal_states"]
        chunk["terminal_states"] = np.where(np.abs(x) == 1e200, x * 1e-100, x)
    scalars = [payoff if isinstance(value, str) and value == "call" else value for value in SCALARS[name]]
    arguments = [*[chunk[p] for p in array_parameters(name)], *scalars]
    sums = getattr(_chunks, name)(*arguments)
    assert sums[0] == 97.0 and sums.shape == (1 + len(ESTIMATE_TYPES[name]._fields),)
    rule = "nan" if "greeks" in name else "zero"
    assert_worked(tuple(_chunks.estimate_from_sums(sums.reshape(1, -1), rule).tolist()),
                  getattr(next(m for m in (q, g, _average) if hasattr(m, name)), name)(*arguments))


@pytest.mark.parametrize("sums, rule, message", [
    (np.zeros((2, 4)), "zero",
     "sums must have 1 + 2 K columns (the count, then S1 and S2 of each of K lanes), got 4"),
    (np.array([[2.5, 1.0, 1.0]]), "zero", "sums[0, 0] = 2.5 is not a count of paths"),
    (np.array([[1.0, 1.0, 1.0], [math.nan, 0.0, 0.0]]), "nan", "sums[1, 0] = nan is not a count of paths"),
    (np.zeros((1, 3)), "clamp", "undefined_stderr must be 'zero' or 'nan', not 'clamp'"),
])
def test_rows_that_are_not_chunk_sums_are_refused(sums, rule, message):
    # A count that is not a whole number would be truncated into N, a width that is not
    # 1 + 2 K would pair S1 and S2 of different lanes.
    with pytest.raises(ValueError) as caught:
        _chunks.estimate_from_sums(sums, rule)
    assert str(caught.value) == message
