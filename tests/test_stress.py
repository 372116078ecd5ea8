"""Concurrency stress: eight Python threads calling all six functions at once,
serial and parallel forms mixed, some calls failing on purpose; the interpreter
lock held by the serial functions and released by the parallel one; children
made by fork (also while the pool is busy) and by spawn computing the same bits.
A watchdog turns a deadlock into a failure instead of a hang."""

import contextlib
import faulthandler
import math
import multiprocessing
import random
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import _quorvane as q
from conftest import (TEST_SCALE, bit_list, borrow_count, exclusive_borrow, outcome, progress_during,
                      ref_mean_stderr,
                      run_python, scaled)
from test_fuzz import FloatRaises, expected_outcomes
from test_hygiene import CASES, batch, vector
from test_tangent_flow import ref_path_weight

THREADS = 8
DURATION = max(1.0, 4.0 * min(TEST_SCALE, 1.0))  # seconds of concurrent calls
WATCHDOG = 300  # seconds: past this the process dumps every thread's stack and exits
CHILD_TIMEOUT = 120


@contextlib.contextmanager
def watchdog(seconds=WATCHDOG):
    """A hang ends the test run with every thread's traceback instead of blocking CI."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def jobs():
    """(label, function name, positional, keywords): successes and deliberate
    failures of every function, small and large enough to reach the pool."""
    small, large = batch(7, 4, 11), batch(3000, 12, 12)
    zero_small = [a.copy() for a in small]
    zero_small[2][5, 1] = 0.0
    zero_large = [a.copy() for a in large]
    zero_large[2][2222, 7] = -0.0
    w, x = vector(300, 13) / 100.0, vector(300, 14)
    listed = [
        ("weights", "bel_weights_constant_flow", [w, 1.5, 20.0], []),
        ("weights, horizon 0", "bel_weights_constant_flow", [w, 0.0, 20.0], []),
        ("weights, raising float", "bel_weights_constant_flow", [w, FloatRaises(KeyError, "k"), 1.0],
         []),
        ("samples", "price_from_samples", [x[::-3]], []),
        ("samples, list", "price_from_samples", [[1.0, 2.0]], []),
        ("constant flow", "price_and_delta_constant_flow", [x, w, 1.0, 20.0, "call", 100.0], []),
        ("constant flow, payoff", "price_and_delta_constant_flow", [x, w, 1.0, 20.0, "Put"], []),
        ("constant flow, panic", "price_and_delta_constant_flow", [x, w, 1.0, -2.0, "put"], []),
        ("tangent", "bel_weights_tangent_flow", large + [0.9], []),
        ("tangent small", "bel_weights_tangent_flow", small + [0.9], []),
        ("tangent, zero sigma", "bel_weights_tangent_flow", zero_large + [0.9], []),
        ("tangent, shape", "bel_weights_tangent_flow", small[:4] + [large[4]] + [0.9], []),
        ("parallel", "bel_weights_tangent_flow_parallel", large + [0.9], []),
        ("parallel small", "bel_weights_tangent_flow_parallel", small + [1.1], []),
        ("parallel keywords", "bel_weights_tangent_flow_parallel", [],
         list(zip(CASES["bel_weights_tangent_flow_parallel"].parameters, large + [0.7]))),
        ("parallel, zero sigma on the pool", "bel_weights_tangent_flow_parallel",
         zero_large + [0.9], []),
        ("parallel, zero sigma", "bel_weights_tangent_flow_parallel", zero_small + [0.9], []),
        ("parallel, horizon", "bel_weights_tangent_flow_parallel", large + [math.nan], []),
        ("parallel, binding", "bel_weights_tangent_flow_parallel", large, [("horizon", 1.0),
                                                                          ("T", 2.0)]),
        ("tangent price", "price_and_delta_tangent_flow", large + [0.9, "digital_call", 1.0], []),
        ("tangent price, panic", "price_and_delta_tangent_flow",
         [large[0], large[1][:100]] + large[2:] + [0.9, "call"], []),
        ("tangent price, zero sigma", "price_and_delta_tangent_flow", zero_small + [0.9, "put"], []),
    ]
    return listed


def test_eight_threads_get_the_single_threaded_answers(panic_type):
    listed = jobs()
    exclusive = vector(50, 15)
    listed.append(("exclusively borrowed", "price_from_samples", [exclusive], []))
    with exclusive_borrow(exclusive):
        plan = []
        for label, name, positional, keywords in listed:
            case = CASES[name]
            call = (lambda f, p, k: lambda: f(*p, **k))(case.function, positional, dict(keywords))
            alone = outcome(call)
            if label == "exclusively borrowed":
                assert alone[:2] == ("raised", panic_type)
            else:  # the single-threaded answer is the model's
                assert alone in expected_outcomes(case, positional, keywords, panic_type), label
            plan.append((label, call, alone))
        kinds = {p[2][0] if p[2][0] != "raised" else p[2][1] for p in plan}
        assert {"array", "tuple", TypeError, ValueError, KeyError, panic_type} <= kinds

        mismatches, calls_made = [], [0] * THREADS
        start = threading.Barrier(THREADS)

        def work(k):
            order = list(plan)
            random.Random(k).shuffle(order)
            try:
                start.wait()
                deadline = time.monotonic() + DURATION
                passes = 0
                while passes == 0 or time.monotonic() < deadline:
                    for label, call, alone in order:
                        got = outcome(call)
                        calls_made[k] += 1
                        if got != alone:
                            mismatches.append((k, label, got, alone))
                    passes += 1
            except BaseException as e:  # noqa: BLE001 - anything here is a failure
                mismatches.append((k, "thread", repr(e)))

        with watchdog():
            threads = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(THREADS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=DURATION + 120)
            hung = [t.name for t in threads if t.is_alive()]
        assert not hung, f"threads still running: {hung}"
        assert not mismatches, mismatches[:5]
        assert all(n >= len(plan) for n in calls_made)
        assert borrow_count() == 1  # the exclusive one, nothing left by the calls


def long_batch(n_paths, n_steps):
    """A batch whose rows are all the same row (zero strides): long to compute,
    small in memory."""
    rows = [np.full((1, n_steps + 1), 1.0), np.full((1, n_steps), 0.01), np.full((1, n_steps), 0.3),
            np.full((1, n_steps), 0.02), np.full((1, n_steps), 0.1)]
    return [np.broadcast_to(r, (n_paths, r.shape[1])) for r in rows]


N_STEPS = 1000
N_PATHS = scaled(300_000, minimum=30_000)


def one_row_weight(arrays, horizon):
    lists = [a[:1].tolist() for a in arrays[1:]]
    return ref_path_weight(*lists, horizon, 0, arrays[1].shape[1])


@pytest.mark.parametrize("name", ["bel_weights_tangent_flow", "price_and_delta_tangent_flow",
                                  "price_from_samples"])
def test_serial_functions_hold_the_interpreter_lock(name):
    arrays = long_batch(N_PATHS, N_STEPS)
    if name == "price_from_samples":
        # As many samples as path-steps: the call must last long enough that the
        # other thread's turns at its edges (one scheduling delay each on a busy
        # machine) stay well inside the tenth of its duration allowed for them.
        samples = np.broadcast_to(np.float64(0.25), (N_PATHS * N_STEPS,))
        result, ticks, gap, duration = progress_during(lambda: q.price_from_samples(samples))
        assert result == (0.25, 0.0)
    elif name == "bel_weights_tangent_flow":
        result, ticks, gap, duration = progress_during(lambda: q.bel_weights_tangent_flow(*arrays, 1.0))
        assert result.tobytes() == np.full(N_PATHS, one_row_weight(arrays, 1.0)).tobytes()
    else:
        result, ticks, gap, duration = progress_during(
            lambda: q.price_and_delta_tangent_flow(*arrays, 1.0, "identity"))
        price = ref_mean_stderr([1.0] * N_PATHS)
        delta = ref_mean_stderr([one_row_weight(arrays, 1.0)] * N_PATHS)
        assert bit_list(result) == bit_list([price[0], delta[0], price[1], delta[1]])
    # The other thread can only have run at the edges of the call, never in it.
    assert gap >= 0.9 * duration, (ticks, gap, duration)


def test_the_parallel_function_lets_other_threads_run():
    arrays = long_batch(N_PATHS, N_STEPS)
    q.bel_weights_tangent_flow_parallel(*long_batch(10, 2), 1.0)  # the pool exists
    result, ticks, gap, duration = progress_during(
        lambda: q.bel_weights_tangent_flow_parallel(*arrays, 1.0))
    assert result.tobytes() == np.full(N_PATHS, one_row_weight(arrays, 1.0)).tobytes()
    assert ticks > 100 and gap < 0.5 * duration, (ticks, gap, duration)


# ---------------------------------------------------------------------------
# Children made by fork and by spawn
# ---------------------------------------------------------------------------


def child_inputs():
    small, large = batch(9, 5, 21), batch(1500, 10, 22)
    zero = [a.copy() for a in large]
    zero[2][1400, 2] = 0.0
    w, x = vector(200, 23) / 100.0, vector(200, 24)
    return [
        ("bel_weights_constant_flow", [w, 1.5, 20.0]),
        ("bel_weights_tangent_flow", large + [0.9]),
        ("bel_weights_tangent_flow_parallel", large + [0.9]),
        ("bel_weights_tangent_flow_parallel", small + [0.9]),
        ("bel_weights_tangent_flow_parallel", zero + [0.9]),
        ("price_from_samples", [x[::-2]]),
        ("price_and_delta_constant_flow", [x, w, 1.0, 20.0, "put", 100.0]),
        ("price_and_delta_constant_flow", [x, w, 0.0, 20.0, "put", 100.0]),
        ("price_and_delta_tangent_flow", large + [0.9, "call", 1.0]),
    ]


def portable(result):
    """An outcome that pickles: the exception class by name."""
    if result[0] == "raised":
        return ("raised", result[1].__name__, result[2])
    return result


def child_answers(conn):
    """Runs in the child: every input's outcome, sent back to the parent."""
    try:
        answers = [portable(outcome(lambda: getattr(q, name)(*args))) for name, args in child_inputs()]
        conn.send(("ok", answers))
    except BaseException as e:  # noqa: BLE001 - reported to the parent
        conn.send(("error", repr(e)))
    finally:
        conn.close()


def answers_from_child(context):
    receive, send = context.Pipe(duplex=False)
    with warnings.catch_warnings():
        # Python 3.12+ warns that fork() in a process with threads may deadlock:
        # that is exactly what this test watches for.
        warnings.simplefilter("ignore", DeprecationWarning)
        process = context.Process(target=child_answers, args=(send,), daemon=True)
        process.start()
    send.close()
    try:
        if not receive.poll(CHILD_TIMEOUT):
            raise AssertionError("the child gave no answer: hung")
        reply = receive.recv()
    finally:
        process.join(timeout=CHILD_TIMEOUT)
        if process.is_alive():
            process.kill()
            process.join()
    assert process.exitcode == 0
    return reply


@pytest.fixture
def parent_answers(panic_type):
    answers = []
    for name, args in child_inputs():
        case = CASES[name]
        alone = outcome(lambda: case.function(*args))
        assert alone in expected_outcomes(case, list(args), [], panic_type), name
        answers.append(portable(alone))
    return answers


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_a_child_process_computes_the_same_bits(method, parent_answers):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method here")
    q.bel_weights_tangent_flow_parallel(*batch(64, 3, 1), 1.0)  # the parent's pool exists
    assert answers_from_child(multiprocessing.get_context(method)) == ("ok", parent_answers)


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="needs fork")
def test_fork_while_the_pool_is_busy(parent_answers):
    """The child of a fork made while other threads are inside parallel calls
    (the pool's workers running, submitters waiting) builds its own pool."""
    arrays = batch(4000, 20, 31)
    expected = q.bel_weights_tangent_flow(*arrays, 1.0).tobytes()
    stop, errors = threading.Event(), []

    def busy():
        while not stop.is_set():
            if q.bel_weights_tangent_flow_parallel(*arrays, 1.0).tobytes() != expected:
                errors.append("parallel result changed")

    with watchdog():
        threads = [threading.Thread(target=busy, daemon=True) for _ in range(3)]
        for t in threads:
            t.start()
        try:
            time.sleep(0.05)
            replies = [answers_from_child(multiprocessing.get_context("fork")) for _ in range(3)]
        finally:
            stop.set()
            for t in threads:
                t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert not errors
    assert replies == [("ok", parent_answers)] * 3


# Half of the paths computed in subnormal numbers, many times slower than the
# other half: the worker that finishes its half first waits for the other one
# long enough to fall asleep, and must be woken when it is done.
UNBALANCED = """
import numpy as np, _quorvane as q
rng = np.random.default_rng(5)
n_paths, n_steps = 64, 4000
states = np.ones((n_paths, n_steps + 1))
dws = rng.normal(0.0, 0.1, (n_paths, n_steps))
sigma = rng.uniform(0.2, 0.4, (n_paths, n_steps))
d_mu_dx = rng.normal(0.0, 0.05, (n_paths, n_steps))
d_sigma_dx = rng.normal(0.0, 0.05, (n_paths, n_steps))
for a in (dws, d_mu_dx, d_sigma_dx):
    a[n_paths // 2:] *= 1e-310
arrays = [states, dws, sigma, d_mu_dx, d_sigma_dx]
expected = q.bel_weights_tangent_flow(*arrays, 1.0).tobytes()
for _ in range({repeats}):
    assert q.bel_weights_tangent_flow_parallel(*arrays, 1.0).tobytes() == expected
print("ok")
"""


@pytest.mark.parametrize("threads", ["2", "3", "8"])
def test_a_worker_waiting_for_a_slow_half_is_woken(threads):
    try:
        done = run_python(UNBALANCED.format(repeats=scaled(30, minimum=6)),
                          env_extra={"RAYON_NUM_THREADS": threads}, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("parallel calls hung: a waiting worker was not woken")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]
