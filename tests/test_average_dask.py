"""quorvane.dask for payoffs of a weighted average of the path: weights chunk by chunk
with the module's bits, estimates over chunks from the module's samples summed in
path order, and average_weights and monitoring_times passed whole to every chunk."""

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
pytest.importorskip("distributed")

import quorvane  # noqa: E402
import quorvane.dask as qd  # noqa: E402
from quorvane import _chunks  # noqa: E402
from conftest import array_bits, assert_worked, bit_list  # noqa: E402
from test_average import asian, cev_batch, gbm_dates  # noqa: E402
from test_dask import as_estimate, client, ref_chunked, scheduler, to_dask  # noqa: E402,F401

N_PATHS, N_STEPS = 300, 8
CHUNKINGS = {"one": (N_PATHS,), "even": (75,) * 4, "uneven": (37, 0, 1, 162, 100)}
TIMES = np.linspace(0.25, 1.0, 4)


def tangent_case():
    """A CEV batch (states, dws, five fields) and the tail of the call after the arrays."""
    return cev_batch(N_PATHS, N_STEPS, 21), (1.0, asian(N_STEPS, first=2))


def constant_case(slope):
    """GBM (slope = vol) or ABM (slope 0) at four dates: the arrays and the call's tail."""
    w, at = gbm_dates(N_PATHS, TIMES, 23)
    monitored = at(100.0, slope)
    return [monitored, w[:, -1].copy()], (TIMES, np.array([0.1, 0.2, 0.3, 0.4]), 1.0,
                                          25.0 if slope else 0.25, slope)


CASES = {"tangent_flow": tangent_case, "gbm": lambda: constant_case(0.25),
         "abm": lambda: constant_case(0.0)}


def function_of(case, prefix):
    return prefix + ("_average_tangent_flow" if case == "tangent_flow" else "_average_constant_flow")


@pytest.fixture(autouse=True)
def synchronous(request):
    if "scheduler" in request.fixturenames:  # the test runs under both schedulers
        yield
        return
    with dask.config.set(scheduler="synchronous"):
        yield


@pytest.mark.parametrize("chunking", ["one", "uneven"])
@pytest.mark.parametrize("case, suffix", [("tangent_flow", ""), ("tangent_flow", "_parallel"), ("gbm", ""),
                                          ("abm", "")])
def test_weights_of_every_chunk_are_the_module_bits(scheduler, case, suffix, chunking):
    arrays, tail = CASES[case]()
    name = function_of(case, "bel_weights") + suffix
    lazy = getattr(qd, name)(*[to_dask(a, CHUNKINGS[chunking]) for a in arrays], *tail)
    assert isinstance(lazy, da.Array) and lazy.chunks == (CHUNKINGS[chunking],)
    expected = getattr(quorvane, function_of(case, "bel_weights"))(*arrays, *tail)
    assert array_bits(lazy.compute()) == array_bits(expected)


def module_samples(name, arrays, tail):
    """Each path's (payoff(A), weight * payoff(A)) as the module computes them: the
    chunk sums of that path alone (S1 of a lane is +0.0 + its sample)."""
    rows = [getattr(_chunks, name)(*[a[i:i + 1] for a in arrays], *tail) for i in range(N_PATHS)]
    return [[float(r[1]) for r in rows], [float(r[3]) for r in rows]]


@pytest.mark.parametrize("payoff", ["call", "digital_call"])
@pytest.mark.parametrize("case", list(CASES))
def test_estimates_are_the_module_samples_summed_chunk_by_chunk_in_path_order(case, payoff):
    # One chunk: the module's call, bit for bit. Several: the module's samples summed
    # in path order within each chunk, the chunks' sums added in chunk order, then the
    # rule once; so the in-memory estimate to rounding, never a reordering of chunks.
    arrays, tail = CASES[case]()
    name = function_of(case, "price_and_delta")
    tail = (*tail, payoff, 100.0)
    expected = getattr(quorvane, name)(*arrays, *tail)
    samples = module_samples(name, arrays, tail)
    for chunking, chunks in CHUNKINGS.items():
        got = getattr(qd, name)(*[to_dask(a, chunks) for a in arrays], *tail)
        assert type(got) is quorvane.Estimate
        if chunking == "one":
            assert bit_list(got) == bit_list(expected)
        else:
            assert_worked(got, as_estimate(ref_chunked(samples, chunks)))
            assert got == pytest.approx(expected, rel=1e-12, abs=0.0)
    assert_worked(expected, as_estimate(ref_chunked(samples, (N_PATHS,))))


@pytest.mark.parametrize("kind", ["weights", "estimate"])
def test_average_weights_changed_after_the_call_do_not_reach_the_tasks(kind):
    # The lazy result holds the arrays passed whole to every chunk: a caller who reuses
    # the NumPy array for the next call must not change the results still to compute.
    arrays, (horizon, weights) = tangent_case()
    lazy = [to_dask(a, CHUNKINGS["uneven"]) for a in arrays]
    given = weights.copy()
    if kind == "weights":
        result = qd.bel_weights_average_tangent_flow(*lazy, horizon, given)
        expected = array_bits(quorvane.bel_weights_average_tangent_flow(*arrays, horizon, weights))
    else:
        result = qd.price_and_delta_average_tangent_flow(*lazy, horizon, given, "call", 100.0,
                                                         compute=False)
        expected = bit_list(qd.price_and_delta_average_tangent_flow(*lazy, horizon, weights, "call", 100.0))
    given[:] = asian(N_STEPS, first=5)
    computed = result.compute()
    assert (array_bits(computed) if kind == "weights" else bit_list(computed)) == expected


def test_whole_arrays_given_as_dask_arrays_are_the_numpy_ones_and_masked_ones_refused():
    arrays, tail = constant_case(0.25)
    lazy = [to_dask(a, CHUNKINGS["uneven"]) for a in arrays]
    times, weights, *scalars = tail
    as_dask = qd.bel_weights_average_constant_flow(*lazy, da.from_array(times, chunks=2),
                                                   da.from_array(weights, chunks=3), *scalars)
    assert array_bits(as_dask.compute()) == array_bits(
        quorvane.bel_weights_average_constant_flow(*arrays, *tail))
    for masked in (np.ma.masked_greater(weights, 0.35), da.ma.masked_greater(da.from_array(weights), 0.35)):
        with pytest.raises(TypeError) as caught:
            qd.price_and_delta_average_constant_flow(*lazy, times, masked, *scalars, "call", 100.0)
        assert str(caught.value) == (
            "average_weights is a masked array; fill it (average_weights.filled(value)) first: every "
            "chunk gets its data whole, and the module ignores a mask")


def _poison(block):
    raise AssertionError("a task ran although the arguments were refused")


@pytest.mark.parametrize("case, position, value, error", [
    ("tangent_flow", 0, asian(N_STEPS - 1), ValueError),  # one weight per column of states
    ("tangent_flow", 0, asian(N_STEPS).astype(np.float32), TypeError),
    ("gbm", 0, TIMES[:3], ValueError),  # one time per monitored column
    ("gbm", 1, np.array([0.1, 0.2, np.nan, 0.4]), ValueError),
])
def test_whole_arrays_are_checked_by_the_package_before_any_task(case, position, value, error):
    arrays, tail = CASES[case]()
    lazy = [to_dask(a, CHUNKINGS["uneven"]).map_blocks(_poison, dtype=a.dtype, meta=a[:0]) for a in arrays]
    first = 0 if case == "gbm" else 1  # where the whole arrays start in the tail
    bad = list(tail)
    bad[first + position] = value
    for prefix in ("bel_weights", "price_and_delta"):
        more = () if prefix == "bel_weights" else ("call", 100.0)
        with pytest.raises(error) as caught:
            getattr(qd, function_of(case, prefix))(*lazy, *bad, *more)
        with pytest.raises(error) as expected:
            getattr(quorvane, function_of(case, prefix))(*arrays, *bad, *more)
        assert caught.value.args == expected.value.args
