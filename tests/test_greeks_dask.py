"""quorvane.dask for gamma and vega: lazy weights with the module's bits per chunk,
price_and_greeks_* combined by chunk as the delta is, their checks before any task
runs and their failures at compute time; on the synchronous scheduler and on a
two-process LocalCluster."""

import math
import sys

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import _quorvane as q  # noqa: E402
import quorvane  # noqa: E402
import quorvane.dask as qd  # noqa: E402
from quorvane import _greeks as g  # noqa: E402
from conftest import DEFAULT_NAN, assert_worked, bit_list, ref_payoff  # noqa: E402
from test_dask import gbm_batch, ref_chunked, to_dask  # noqa: E402

X0, VOL, RATE, HORIZON, STRIKE = 100.0, 0.2, 0.03, 1.0, 100.0
PAYOFFS = ["identity", "call", "put", "digital_call"]
N_PATHS, N_STEPS = 400, 6
CHUNKINGS = {"one": (N_PATHS,), "even": (100, 100, 100, 100), "uneven": (37, 0, 1, 162, 200)}


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


def gamma_batch(seed=7):
    """Euler CEV-like paths with all seven arrays; a few IEEE specials at the end."""
    rng = np.random.default_rng(seed)
    batch = gbm_batch(N_PATHS, N_STEPS, rng=rng)
    states, dws = batch[:2]
    batch += [np.zeros_like(dws), rng.normal(0.0, 0.01, dws.shape)]
    states[[3, 50, 211], -1] = [math.nan, math.inf, STRIKE]
    dws[[9, 300], 2] = [DEFAULT_NAN, 1e300]
    return batch


def chunked(batch, chunks):
    return [to_dask(a, chunks) for a in batch]


@pytest.mark.parametrize("chunks", list(CHUNKINGS.values()), ids=list(CHUNKINGS))
def test_weights_have_the_module_bits_in_every_chunk(chunks):
    batch = gamma_batch()
    for parallel, f in ((False, qd.bel_weights_gamma_tangent_flow),
                        (True, qd.bel_weights_gamma_tangent_flow_parallel)):
        lazy = f(*chunked(batch, chunks), HORIZON)
        assert isinstance(lazy, da.Array) and lazy.chunks == (chunks,)
        assert lazy.compute().tobytes() == g.bel_weights_gamma_tangent_flow(*batch, HORIZON).tobytes()
    w = batch[1].sum(axis=1)
    lazy_gamma = qd.bel_weights_gamma_constant_flow(to_dask(w, chunks), HORIZON, VOL * X0, VOL)
    lazy_vega = qd.bel_weights_vega_constant_flow(to_dask(w, chunks), HORIZON, VOL, VOL)
    assert lazy_gamma.compute().tobytes() == \
        g.bel_weights_gamma_constant_flow(w, HORIZON, VOL * X0, VOL).tobytes()
    assert lazy_vega.compute().tobytes() == g.bel_weights_vega_constant_flow(w, HORIZON, VOL, VOL).tobytes()


def ref_greeks_chunked(lanes, chunks):
    """ref_chunked with the Greeks module's statistics: a NaN stderr for a mean that is not
    finite or a variance that is NaN."""
    stats = ref_chunked(lanes, chunks)
    out = []
    for lane, (mean, stderr) in zip(lanes, stats):
        mean_square = ref_chunked([[v * v for v in lane]], chunks)[0][0]  # S2 / N
        with np.errstate(all="ignore"):
            variance = float(np.float64(mean_square) - np.float64(mean) * np.float64(mean))
        undefined = not math.isfinite(mean) or math.isnan(variance)
        out.append((mean, math.nan if undefined and not math.isnan(stderr) else stderr))
    return out


def constant_flow_lanes(xs, ws, payoff):
    """The module's per-path samples: p, delta, gamma and vega."""
    delta = q.bel_weights_constant_flow(ws * np.array([ref_payoff(payoff, x, STRIKE) for x in xs]),
                                        HORIZON, VOL * X0)
    gamma = g.bel_weights_gamma_constant_flow(ws, HORIZON, VOL * X0, VOL)  # (u * r) * r
    lanes = [[], delta.tolist(), [], []]
    slope_t, r = VOL * HORIZON, 1.0 / (HORIZON * (VOL * X0))
    for x, w in zip(xs.tolist(), ws.tolist()):
        p = ref_payoff(payoff, x, STRIKE)
        up = (((w * w) - (slope_t * w)) - HORIZON) * p
        lanes[0].append(p)
        lanes[2].append((up * r) * r)
        lanes[3].append(up * (1.0 / (HORIZON * VOL)))
    assert gamma.shape == xs.shape
    return lanes


@pytest.mark.parametrize("payoff", PAYOFFS)
@pytest.mark.parametrize("chunks", list(CHUNKINGS.values()), ids=list(CHUNKINGS))
def test_price_and_greeks_combine_like_the_delta(payoff, chunks):
    batch = gamma_batch()
    xs, ws = batch[0][:, -1].copy(), batch[1].sum(axis=1)
    cf = qd.price_and_greeks_constant_flow(to_dask(xs, chunks), to_dask(ws, chunks), HORIZON, VOL * X0,
                                           VOL, VOL, payoff, STRIKE)
    tf = qd.price_and_greeks_tangent_flow(*chunked(batch, chunks), HORIZON, payoff, STRIKE)
    assert type(cf) is quorvane.Greeks and type(tf) is quorvane.TangentFlowGreeks
    if len(chunks) == 1:
        assert bit_list(cf) == bit_list(g.price_and_greeks_constant_flow(xs, ws, HORIZON, VOL * X0, VOL,
                                                                         VOL, payoff, STRIKE))
        assert bit_list(tf) == bit_list(g.price_and_greeks_tangent_flow(*batch, HORIZON, payoff, STRIKE))
        return
    # NaN only in kind: NumPy's accumulate may add two NaNs in either operand order
    stats = ref_greeks_chunked(constant_flow_lanes(xs, ws, payoff), chunks)
    assert_worked(tuple(cf), [m for m, _ in stats] + [e for _, e in stats])
    p = [ref_payoff(payoff, x, STRIKE) for x in batch[0][:, -1].tolist()]
    w = q.bel_weights_tangent_flow(*batch[:5], HORIZON).tolist()
    gw = g.bel_weights_gamma_tangent_flow(*batch, HORIZON).tolist()
    stats = ref_greeks_chunked([p, [a * b for a, b in zip(w, p)], [a * b for a, b in zip(gw, p)]], chunks)
    assert_worked(tuple(tf), [m for m, _ in stats] + [e for _, e in stats])


def test_compute_false_shares_one_compute():
    batch = gamma_batch()
    lazy = [qd.price_and_greeks_tangent_flow(*chunked(batch, (200, 200)), HORIZON, payoff, STRIKE,
                                             compute=False) for payoff in ("call", "put")]
    results = dask.compute(*lazy)
    for payoff, got in zip(("call", "put"), results):
        assert type(got) is quorvane.TangentFlowGreeks
        assert bit_list(got) == bit_list(
            qd.price_and_greeks_tangent_flow(*chunked(batch, (200, 200)), HORIZON, payoff, STRIKE))


@pytest.mark.parametrize("call, raised, message", [
    (lambda b: qd.bel_weights_gamma_tangent_flow(*b, 0.0), ValueError, "horizon must be positive"),
    (lambda b: qd.bel_weights_gamma_tangent_flow(b[0][:, :2], *[a[:, :1] for a in b[1:]], 1.0), ValueError,
     "states must have at least 3 columns (n_steps + 1, and gamma needs n_steps >= 2)"),
    (lambda b: qd.price_and_greeks_tangent_flow(*b, 1.0, "Call"), ValueError,
     "unknown payoff 'Call': expected 'identity', 'call', 'put', or 'digital_call'"),
    (lambda b: qd.price_and_greeks_tangent_flow(*b, 1.0, "call", None), TypeError, None),
    (lambda b: qd.bel_weights_gamma_tangent_flow(*b[:6], b[6].astype(np.float32), 1.0), TypeError,
     "d2_sigma_dx2 has dtype float32; quorvane needs float64: pass d2_sigma_dx2.astype(numpy.float64)"),
    (lambda b: qd.price_and_greeks_tangent_flow(*b[:5], b[5][:, :-1], b[6], 1.0, "call"), ValueError,
     "d2_mu_dx2_field must have n_steps = 6 columns, one per step (states has 7: the initial state, "
     "then one per step), got 5"),
    (lambda b: qd.price_and_greeks_constant_flow(b[0][:, -1], b[1][:, 0], 1.0, 20.0, 0.2, -0.2, "call"),
     ValueError, "volatility must be positive"),
    (lambda b: qd.bel_weights_vega_constant_flow(b[1][:, 0], 1.0, math.inf, 0.2), ValueError,
     "d_sigma_dx must be finite"),
])
def test_checks_run_before_any_task(call, raised, message):
    batch = chunked(gamma_batch(), (200, 200))
    with pytest.raises(raised) as info:
        call(batch)
    assert type(info.value) is raised
    if message is not None:
        assert str(info.value) == message


def test_a_zero_sigma_surfaces_at_compute_as_the_modules_error():
    batch = gamma_batch()
    batch[2][250, 4] = 0.0
    lazy = qd.bel_weights_gamma_tangent_flow(*chunked(batch, (200, 200)), HORIZON)
    with pytest.raises(ValueError) as info:
        lazy.compute()
    assert info.value.args == ("sigma[50, 4] = 0 produces division by zero in BEL weight",)
    with pytest.raises(ValueError) as info:
        qd.price_and_greeks_tangent_flow(*chunked(batch, (200, 200)), HORIZON, "call", STRIKE)
    assert info.value.args == ("sigma_field[50, 4] = 0 produces division by zero in BEL weight",)


def test_distributed_workers_give_the_synchronous_bits():
    batch = gamma_batch()
    expected = qd.price_and_greeks_tangent_flow(*chunked(batch, (150, 250)), HORIZON, "call", STRIKE)
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0")
    try:
        with distributed.Client(cluster, set_as_default=False, timeout=60) as client:
            with dask.config.set(scheduler=client):
                got = qd.price_and_greeks_tangent_flow(*chunked(batch, (150, 250)), HORIZON, "call",
                                                       STRIKE)
                weights = qd.bel_weights_gamma_tangent_flow_parallel(*chunked(batch, (150, 250)),
                                                                     HORIZON).compute()
    finally:
        cluster.close(timeout=60)
    assert type(got) is quorvane.TangentFlowGreeks and bit_list(got) == bit_list(expected)
    assert weights.tobytes() == g.bel_weights_gamma_tangent_flow(*batch, HORIZON).tobytes()


def break_the_thread_pool():
    """Run in a worker process: its first parallel gamma call builds the module's thread
    pool while RLIMIT_NPROC stops every new thread, so the build fails, and every later
    parallel call in the process fails with it (as in test_environment.py: the limit
    counts the threads of the user, and root is not bound by it, so the worker first
    becomes an unprivileged user). Returns what the call raised, or why it could not."""
    import os
    import resource

    if os.getuid() == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
        except OSError as error:
            return f"cannot drop privileges: {error}"
    uid = os.getuid()
    threads = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            threads += sum(os.stat(f"/proc/{pid}/task/{t}").st_uid == uid
                           for t in os.listdir(f"/proc/{pid}/task"))
        except OSError:
            pass
    os.environ["RAYON_NUM_THREADS"] = "64"
    soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)
    resource.setrlimit(resource.RLIMIT_NPROC, (threads, hard))
    s, a = np.ones((1, 3)), np.ones((1, 2))
    try:
        g.bel_weights_gamma_tangent_flow_parallel(s, a, a, a, a, a, a, 1.0)
    except BaseException as error:  # noqa: BLE001 - PanicException is not an Exception
        return f"{type(error).__name__}: {error}"
    finally:
        resource.setrlimit(resource.RLIMIT_NPROC, (soft, hard))
    return "the pool was built"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_NPROC and /proc are Linux's")
def test_a_greeks_task_that_meets_an_internal_failure_raises_panic_error_and_compute_does_not_hang():
    # A PanicException (a BaseException) escaping a task stops the worker's event loop,
    # and compute() never returns; the timeout turns such a hang into a failure.
    batch = gamma_batch()
    cluster = distributed.LocalCluster(n_workers=1, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0")
    try:
        with distributed.Client(cluster, set_as_default=False, timeout=60) as client:
            (broken,) = client.run(break_the_thread_pool).values()
            if not broken.startswith("PanicException: The global thread pool has not been initialized."):
                pytest.skip(f"the worker's thread pool could not be made to fail: {broken}")
            lazy = qd.bel_weights_gamma_tangent_flow_parallel(*chunked(batch, (150, 250)), HORIZON)
            error = client.compute(lazy).exception(timeout=60)
    finally:
        cluster.close(timeout=60)
    assert type(error) is qd.PanicError
    assert str(error).startswith("The global thread pool has not been initialized.: ")
