"""Concurrency stress: eight Python threads calling every function of both
extension modules at once, serial and parallel forms mixed, some calls failing
on purpose; the interpreter lock held by the serial functions and released by
the parallel ones; children made by fork (also while a pool is busy) and by
spawn computing the same bits. A watchdog turns a deadlock into a failure
instead of a hang."""

import contextlib
import faulthandler
import multiprocessing
import random
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

from conftest import (ALL_FUNCTIONS, FORKS_WITH_LIVE_THREADS, TEST_SCALE, bit_list, borrow_count,
                      exclusive_borrow, outcome, progress_during, ref_mean_stderr, run_python, scaled)
from test_fuzz import expected_outcomes
from test_hygiene import CASES, expected_of, fresh_arguments, is_tangent_flow, paths_of

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


# The paths of test_hygiene that also run on a batch large enough to reach the pool.
LARGE_PATHS = ("success", "success by keyword", "scalar: horizon", "shape: short dws",
               "validation: zero sigma")


def jobs():
    """(label, function name, positional, keywords, exclusively borrowed array or
    None): every path of every function (successes and deliberate failures), the
    tangent-flow ones also on a batch large enough to reach the pool."""
    listed = []
    for name, case in CASES.items():
        listed += [(f"{name}: {label}", name, *rest) for label, *rest in paths_of(name)]
        if is_tangent_flow(case):
            listed += [(f"{name}: {label}, large", name, *rest)
                       for label, *rest in paths_of(name, n_paths=3000, n_steps=12)
                       if label in LARGE_PATHS]
    return listed


def test_eight_threads_get_the_single_threaded_answers(panic_type):
    listed = jobs()
    exclusives = [e for *_, e in listed if e is not None]
    with contextlib.ExitStack() as borrowed:
        for e in exclusives:
            borrowed.enter_context(exclusive_borrow(e))
        plan = []
        for label, name, positional, keywords, exclusive in listed:
            case = CASES[name]
            call = (lambda f, p, k: lambda: f(*p, **k))(case.function, positional, dict(keywords))
            alone = outcome(call)
            # the single-threaded answer is the model's
            assert alone in expected_of(case, positional, keywords, exclusive, panic_type), label
            plan.append((label, call, alone))
        kinds = {p[2][0] if p[2][0] != "raised" else p[2][1] for p in plan}
        assert {"array", "tuple", TypeError, ValueError, OverflowError, panic_type} <= kinds

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
        assert borrow_count() == len(exclusives)  # nothing left by the calls


N_STEPS = 1000
N_PATHS = scaled(300_000, minimum=30_000)

# A long constant-flow call's inputs: N_PATHS * N_STEPS copies of these values,
# every per-path term of which is 0 or +-0.25 (all factors are 1), so every sum
# of the estimators is exact and the long call's answer is the one-path answer.
DYADIC = {"samples": 0.25, "terminal_states": 0.25, "w_terminals": 0.0, "horizon": 1.0,
          "sigma_at_x0": 1.0, "d_sigma_dx": 0.0, "volatility": 1.0, "payoff": "identity",
          "strike": 0.0}


def long_call(case):
    """(arguments of a call of `case` that is long by its size and small in
    memory, its expected result). A tangent-flow batch is one random row of
    N_STEPS steps repeated N_PATHS times (zero strides); constant-flow samples
    are as many as path-steps."""
    if is_tangent_flow(case):
        arrays, tail = fresh_arguments(case, n_paths=1, n_steps=N_STEPS)
        one = case.function(*arrays, *tail)
        rows = [np.broadcast_to(a, (N_PATHS, a.shape[1])) for a in arrays]
        if isinstance(one, np.ndarray):
            return rows + tail, np.full(N_PATHS, one[0])
        stats = [ref_mean_stderr([mean] * N_PATHS) for mean in one[:len(one) // 2]]
        return rows + tail, tuple(m for m, _ in stats) + tuple(e for _, e in stats)
    is_array = [isinstance(a, np.ndarray) for a in case.valid_args()]
    values = [DYADIC[name] for name in case.parameters]
    one = case.function(*[np.full(1, v) if a else v for v, a in zip(values, is_array)])
    size = N_PATHS * N_STEPS
    return [np.broadcast_to(np.float64(v), (size,)) if a else v for v, a in zip(values, is_array)], one


def same_bits(result, expected):
    if isinstance(expected, np.ndarray):
        return type(result) is np.ndarray and result.tobytes() == expected.tobytes()
    return type(result) is tuple and bit_list(result) == bit_list(expected)


# Every serial function whose output is not as large as its input (weights of
# N_PATHS * N_STEPS samples would take gigabytes).
SERIAL = [case for case in ALL_FUNCTIONS if not case.name.endswith("_parallel")
          and (is_tangent_flow(case) or case.name.startswith("price"))]
PARALLEL = [case for case in ALL_FUNCTIONS if case.name.endswith("_parallel")]


@pytest.mark.parametrize("case", SERIAL, ids=repr)
def test_serial_functions_hold_the_interpreter_lock(case):
    # The call is long by its size (N_PATHS * N_STEPS path-steps or samples), so
    # that the other thread's turns at its edges (one scheduling delay each on a
    # busy machine) stay well inside the tenth of its duration allowed for them.
    args, expected = long_call(case)
    result, ticks, gap, duration = progress_during(lambda: case.function(*args))
    assert same_bits(result, expected)
    # The other thread can only have run at the edges of the call, never in it.
    assert gap >= 0.9 * duration, (ticks, gap, duration)


@pytest.mark.parametrize("case", PARALLEL, ids=repr)
def test_the_parallel_function_lets_other_threads_run(case):
    args, expected = long_call(case)
    case.function(*case.valid_args())  # the pool exists
    result, ticks, gap, duration = progress_during(lambda: case.function(*args))
    assert same_bits(result, expected)
    assert ticks > 100 and gap < 0.5 * duration, (ticks, gap, duration)


# ---------------------------------------------------------------------------
# Children made by fork and by spawn
# ---------------------------------------------------------------------------

CHILD_PATHS = ("success", "scalar: horizon", "validation: zero sigma")


def child_inputs():
    """(function name, positional): a success and a failure of every function, the
    tangent-flow ones on a batch that reaches the pool, the parallel ones also on
    a small one."""
    inputs = []
    for name, case in CASES.items():
        size = {"n_paths": 1500, "n_steps": 10} if is_tangent_flow(case) else {}
        inputs += [(name, positional) for label, positional, _, _ in paths_of(name, **size)
                   if label in CHILD_PATHS]
        if name.endswith("_parallel"):
            inputs.append((name, paths_of(name, n_paths=9)[0][1]))
    return inputs


def portable(result):
    """An outcome that pickles: the exception class by name."""
    if result[0] == "raised":
        return ("raised", result[1].__name__, result[2])
    return result


def child_answers(conn):
    """Runs in the child: every input's outcome, sent back to the parent."""
    try:
        answers = [portable(outcome(lambda: CASES[name].function(*args)))
                   for name, args in child_inputs()]
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


@pytest.mark.parametrize("method", [pytest.param("fork", marks=FORKS_WITH_LIVE_THREADS), "spawn"])
def test_a_child_process_computes_the_same_bits(method, parent_answers):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method here")
    for case in PARALLEL:  # the parent's pool exists and each parallel form has run on it
        case.function(*paths_of(case.name)[0][1])
    assert answers_from_child(multiprocessing.get_context(method)) == ("ok", parent_answers)


def serial_form(case):
    return CASES[case.name.removesuffix("_parallel")]


@FORKS_WITH_LIVE_THREADS
@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="needs fork")
@pytest.mark.parametrize("case", PARALLEL, ids=repr)
def test_fork_while_the_pool_is_busy(case, parent_answers):
    """The child of a fork made while other threads are inside parallel calls
    (the pool's workers running, submitters waiting) builds its own pool."""
    args = paths_of(case.name, n_paths=4000, n_steps=20)[0][1]
    expected = serial_form(case).function(*args)
    stop, errors = threading.Event(), []

    def busy():
        while not stop.is_set():
            if not same_bits(case.function(*args), expected):
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


# Half of the paths take several times as long as the other half, by their work
# alone: a NaN in their last steps makes their raw weight NaN, so that each of
# them is computed a second time by the one-lane recursion (the same in the
# serial form). The rows are windows of one long array each (a row stride of
# one element), so 2^18 steps a path cost 2 MiB an array. The worker that
# finishes its half first waits several milliseconds for the other one, long
# enough to fall asleep on any processor, and must be woken when it is done.
UNBALANCED = """
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view
import {module} as m, {serial_module} as s
rng = np.random.default_rng(5)
n_paths, n_steps = 64, 1 << 18
def rows(values):
    return sliding_window_view(values, n_steps)
dws = rng.normal(0.0, 0.1, n_steps + n_paths - 1)
dws[n_steps + n_paths // 2:] = np.nan  # in the last steps of paths n_paths // 2 + 1 onwards
arrays = [sliding_window_view(np.ones(n_steps + n_paths), n_steps + 1), rows(dws),
          rows(rng.uniform(0.2, 0.4, dws.shape))]
arrays += [rows(rng.normal(0.0, 0.05, dws.shape)) for _ in range({n_arrays} - 3)]
def bits(result):
    return np.asarray(result).tobytes()
expected = bits(s.{serial}(*arrays, 1.0{tail}))
for _ in range({repeats}):
    assert bits(m.{parallel}(*arrays, 1.0{tail})) == expected
print("ok")
"""


@pytest.mark.parametrize("threads", ["2", "3", "8"])
@pytest.mark.parametrize("case", PARALLEL, ids=repr)
def test_a_worker_waiting_for_a_slow_half_is_woken(case, threads):
    n_arrays = sum(isinstance(a, np.ndarray) for a in case.valid_args())
    serial = serial_form(case)
    tail = ', "call", 1.0' if case.name.startswith("price_") else ""
    code = UNBALANCED.format(module=case.module.__name__, serial_module=serial.module.__name__,
                             serial=serial.name, parallel=case.name, n_arrays=n_arrays,
                             repeats=scaled(20, minimum=6), tail=tail)
    try:
        done = run_python(code, env_extra={"RAYON_NUM_THREADS": threads}, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("parallel calls hung: a waiting worker was not woken")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]
