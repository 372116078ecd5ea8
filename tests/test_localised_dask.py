"""quorvane.dask for the localised Greeks: one chunk is the module's call, several
combine chunk sums, and the automatic bandwidth over chunks is the in-memory one."""

import math

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
pytest.importorskip("distributed")

import quorvane  # noqa: E402
import quorvane.dask as qd  # noqa: E402
from conftest import bit_list, ref_sums  # noqa: E402
from test_dask import client, to_dask  # noqa: E402,F401 (client: the two-process cluster)
from test_greeks_dask import ref_greeks_chunked  # noqa: E402
from test_localised import MULTIPLES, cev_batch, ref_choose, ref_constant_flow_samples, terminal_paths  # noqa: E402

CHUNKINGS = {"one": (6000,), "even": (1500,) * 4, "uneven": (37, 0, 1, 3962, 2000)}


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


def localised_pair(kind, chunks, payoff, bandwidth):
    """(the Dask result, the in-memory one) of the same paths and arguments."""
    if kind == "tangent":
        batch = cev_batch(sum(chunks), 12, 5)
        lazy = [to_dask(a, chunks) for a in batch]
        tail = (1.0, payoff, 100.0, bandwidth)
        got = qd.price_and_greeks_tangent_flow_localised(*lazy, *tail)
        parallel = qd.price_and_greeks_tangent_flow_localised_parallel(*lazy, *tail)
        assert bit_list(parallel[:6]) == bit_list(got[:6]) and parallel.bandwidth == got.bandwidth
        return got, quorvane.price_and_greeks_tangent_flow_localised(*batch, *tail)
    x, w, args, _ = terminal_paths(kind, sum(chunks), 9)
    tail = (*args, payoff, 100.0, bandwidth)
    return (qd.price_and_greeks_constant_flow_localised(to_dask(x, chunks), to_dask(w, chunks), *tail),
            quorvane.price_and_greeks_constant_flow_localised(x, w, *tail))


@pytest.mark.parametrize("chunking", list(CHUNKINGS))
@pytest.mark.parametrize("bandwidth", [None, 12.0])
@pytest.mark.parametrize("kind, payoff", [("gbm", "call"), ("abm", "digital_call"), ("tangent", "put")])
def test_chunked_estimates_are_the_in_memory_ones(kind, payoff, bandwidth, chunking):
    got, expected = localised_pair(kind, CHUNKINGS[chunking], payoff, bandwidth)
    assert type(got) is type(expected) and type(got.bandwidth) is type(expected.bandwidth)
    # The bandwidths to the bit, chunked or not (sd(X_N) from sums carried in row order).
    assert bit_list(got.bandwidth) == bit_list(expected.bandwidth)
    if chunking == "one":
        assert bit_list(got[:-1]) == bit_list(expected[:-1])
    else:  # the same estimator, summed chunk by chunk
        assert got[:-1] == pytest.approx(expected[:-1], rel=1e-12, abs=0.0)


def test_automatic_bands_over_chunks_come_from_sums_carried_in_row_order():
    # Summing each chunk's terminal values apart and adding the chunks' sums gave an
    # sd(X_N) other than the module's in its last bits, so other bands than one call.
    # Reference: sd from sums over all paths in row order, every candidate's samples,
    # chunk sums added in chunk order, the least standard error per Greek.
    chunks = CHUNKINGS["uneven"]
    x, w, args, _ = terminal_paths("gbm", sum(chunks), 21)
    s1, s2 = ref_sums(x)
    mean = s1 / len(x)
    bands = [c * math.sqrt(s2 / len(x) - mean * mean) for c in MULTIPLES]
    p, samples_of = ref_constant_flow_samples(x, w, *args, "digital_call", 100.0)
    per = [samples_of(band) for band in [None] + bands]
    chosen = [ref_choose([ref_greeks_chunked([per[c][q].tolist()], chunks)[0] for c in range(5)], bands)
              for q in range(3)]
    price = ref_greeks_chunked([p.tolist()], chunks)[0]
    got = qd.price_and_greeks_constant_flow_localised(to_dask(x, chunks), to_dask(w, chunks), *args,
                                                      "digital_call", 100.0, discount=0.5)
    expected = [price[0]] + [e[0] for e, _ in chosen] + [price[1]] + [e[1] for e, _ in chosen]
    assert bit_list(got[:-1]) == bit_list(v * 0.5 for v in expected)
    assert bit_list(got.bandwidth) == bit_list(band for _, band in chosen)


@pytest.mark.parametrize("chunking", list(CHUNKINGS))
def test_weights_and_variations_have_the_module_bits_in_every_chunk(chunking):
    chunks = CHUNKINGS[chunking]
    batch = cev_batch(sum(chunks), 6, 2)
    lazy = qd.bel_weights_and_variations_tangent_flow(*[to_dask(a, chunks) for a in batch], 1.0)
    assert all(isinstance(a, da.Array) and a.chunks == (chunks,) for a in lazy)
    expected = quorvane.bel_weights_and_variations_tangent_flow(*batch, 1.0)
    assert [a.tobytes() for a in dask.compute(*lazy)] == [a.tobytes() for a in expected]


def test_the_distributed_scheduler_gives_the_synchronous_bits(client):
    # The first pass's running sums travel between worker processes as task results.
    chunks = CHUNKINGS["uneven"]
    batch = cev_batch(sum(chunks), 8, 4)
    lazy = qd.price_and_greeks_tangent_flow_localised(*[to_dask(a, chunks) for a in batch], 1.0,
                                                      "digital_call", 100.0, compute=False)
    synchronous = lazy.compute()
    with dask.config.set(scheduler=client):
        distributed = lazy.compute()
    assert bit_list(distributed[:-1]) == bit_list(synchronous[:-1])
    assert bit_list(distributed.bandwidth) == bit_list(synchronous.bandwidth)
