"""The parallel tangent-flow weight functions (delta in _quorvane, gamma in
quorvane._greeks, both on the process's one pool): the serial function's bits
for every thread count and in every floating-point state of the caller,
validation before the pool exists, failure reports, a long call made off the
main thread, and a pool that survives fork."""

import os
import platform
import sys
import threading

import numpy as np
import pytest

from conftest import ALL_FUNCTIONS, FORKS_WITH_LIVE_THREADS, array_bits, parallel_bit_identity, run_python
from test_greeks import gamma_batch
from test_greeks import shapes as gamma_shapes
from test_tangent_flow import LAYOUTS_2D, batch, layout2d, shapes


class Form:
    """A parallel weight function with its serial form and the makers of its
    arrays: batch(rng, n_paths, n_steps, specials=False) and shapes(n_paths,
    n_steps), both [states, dws, sigma, ...] in parameter order."""

    def __init__(self, case, batch, shapes):
        self.parallel = case.function
        self.serial = getattr(case.module, case.name.removesuffix("_parallel"))
        self.batch, self.shapes = batch, shapes
        self.n_arrays = len(shapes())
        # What a script run in a child process formats in.
        self.names = {"module": case.module.__name__, "serial": self.serial.__name__,
                      "parallel": case.name, "n_arrays": self.n_arrays}

    def script(self, code, **more):
        return code.format(**self.names, **more)


MAKERS = {"bel_weights_tangent_flow_parallel": (batch, shapes),
          "bel_weights_gamma_tangent_flow_parallel": (gamma_batch, gamma_shapes)}
# The weight functions; the parallel estimators are tested with their serial forms
# (test_greeks.py) and by the suites over every function.
PARALLEL = [case for case in ALL_FUNCTIONS if case.name.endswith("_parallel") and case.name.startswith("bel_")]
assert sorted(MAKERS) == sorted(case.name for case in PARALLEL), "a parallel function without its makers"
FORMS = [pytest.param(Form(case, *MAKERS[case.name]), id=case.name) for case in PARALLEL]


# Runs in a subprocess with a given RAYON_NUM_THREADS: the parallel weights of
# several batches and layouts, compared with the serial ones in that process.
@pytest.mark.parametrize("threads", ["1", "2", "3", "8"])
@pytest.mark.parametrize("form", FORMS)
def test_bit_identical_to_serial_for_any_thread_count(form, threads):
    word, count = parallel_bit_identity(threads, form.serial, form.batch)[0].split()
    assert word == "ok"
    assert int(count) == int(threads)  # the pool's workers


@pytest.mark.parametrize("form", FORMS)
def test_large_batch_in_process_matches_serial(form):
    rng = np.random.default_rng(11)
    arrays = form.batch(rng, 5000, 40, specials=True)
    assert array_bits(form.parallel(*arrays, 0.8)) == array_bits(form.serial(*arrays, 0.8))


# The messages are the serial form's (those are tested with it); the horizon's
# and a field's shape read the same in both modules.
VALIDATION_BEFORE_POOL = """
import numpy as np, os
import {module} as m
base = len(os.listdir("/proc/self/task"))  # NumPy's BLAS may run threads of its own
def threads(): return len(os.listdir("/proc/self/task")) - base
ones = lambda *s: np.ones(s)
n = {n_arrays}
bad = [
    ([ones(4, 10)] + [ones(4, 9)] * (n - 1), 0.0, "horizon must be positive"),
    ([ones(4, 1)] + [ones(4, 9)] * (n - 1), 1.0, None),
    ([ones(4, 10), ones(4, 9), ones(4, 8)] + [ones(4, 9)] * (n - 3), 1.0,
     "sigma shape [4, 8] != expected (4, 9)"),
]
for arrays, horizon, message in bad:
    messages = []
    for f in (m.{serial}, m.{parallel}):
        try:
            f(*arrays, horizon)
        except ValueError as e:
            messages.append(e.args)
        else:
            raise AssertionError("no error")
    assert messages[0] == messages[1] and message in (None, messages[0][0]), messages
try:
    m.{parallel}([1.0], *range(n))
except TypeError:
    pass
assert threads() == 0, threads()
m.{parallel}(ones(0, 3), *[ones(0, 2)] * (n - 1), 1.0)
print(threads())
"""


@pytest.mark.parametrize("form", FORMS)
def test_validation_fails_before_the_pool_is_built_and_an_empty_batch_builds_it(form):
    done = run_python(form.script(VALIDATION_BEFORE_POOL), env_extra={"RAYON_NUM_THREADS": "3"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["3"]


@pytest.mark.parametrize("where, expected", [
    ([(7, 3)], "sigma[7, 3]"),
    ([(5, 2), (5, 1)], "sigma[5, 1]"),
    ([(0, 0)], "sigma[0, 0]"),
    ([(9, 8)], "sigma[9, 8]"),
])
@pytest.mark.parametrize("form", FORMS)
def test_zero_sigma_in_one_block_is_reported_exactly(form, where, expected):
    rng = np.random.default_rng(2)
    arrays = list(form.batch(rng, 10, 9))
    for i, j in where:
        arrays[2][i, j] = 0.0
    with pytest.raises(ValueError) as info:
        form.parallel(*arrays, 1.0)
    assert info.value.args == (f"{expected} = 0 produces division by zero in BEL weight",)


@pytest.mark.parametrize("form", FORMS)
def test_zero_sigma_in_two_blocks_names_one_of_them(form):
    rng = np.random.default_rng(4)
    arrays = list(form.batch(rng, 400, 9))
    arrays[2][1, 0] = arrays[2][398, 0] = 0.0
    with pytest.raises(ValueError) as info:
        form.parallel(*arrays, 1.0)
    assert info.value.args[0] in {f"sigma[{i}, 0] = 0 produces division by zero in BEL weight" for i in (1, 398)}


SINGLE_THREAD_ZEROS = """
import numpy as np
import {module} as m
a = [np.ones((10, 5))] + [np.ones((10, 4)) for _ in range({n_arrays} - 1)]
a[2][8, 0] = 0.0; a[2][3, 2] = 0.0
for f in (m.{serial}, m.{parallel}):
    try:
        f(*a, 1.0)
    except ValueError as e:
        print(e.args[0])
"""


@pytest.mark.parametrize("form", FORMS)
def test_single_thread_reports_like_the_serial_form(form):
    done = run_python(form.script(SINGLE_THREAD_ZEROS), env_extra={"RAYON_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["sigma[3, 2] = 0 produces division by zero in BEL weight"] * 2


# That the lock is released while the pool computes is test_stress's
# test_the_parallel_function_lets_other_threads_run, on a call long by its size.

# 2^28 path-steps of zero-stride rows: many slices (25 ms) of the caller's wait
# on any processor, in 16 MiB.
LONG_CALL_ON_A_THREAD = """
import threading, numpy as np
import {module} as m
one = np.float64(0.5)
n, steps = 1 << 20, 256
batch = [np.broadcast_to(one, (n, steps + 1))] + [np.broadcast_to(one, (n, steps))] * ({n_arrays} - 1)
out = {{}}
thread = threading.Thread(target=lambda: out.update(w=m.{parallel}(*batch, 1.0)))
thread.start()
thread.join()
row = m.{serial}(*[a[:1] for a in batch], 1.0)
assert out["w"].tobytes() == np.full(n, row[0]).tobytes()
print("ok")
"""


@pytest.mark.parametrize("form", FORMS)
def test_a_long_call_on_another_thread_does_not_ask_for_signals_without_the_lock(form):
    # The wait of a call made off the main thread reached the call's own signal
    # poll, which asked the interpreter without holding its lock: a crash as soon
    # as the call outlasted one slice of the wait.
    out = run_python(form.script(LONG_CALL_ON_A_THREAD))
    assert (out.returncode, out.stdout.strip()) == (0, "ok"), out.stderr


@pytest.mark.parametrize("n_threads", [2, 8])
@pytest.mark.parametrize("form", FORMS)
def test_concurrent_callers_all_get_the_serial_bits(form, n_threads):
    rng = np.random.default_rng(8)
    jobs = [form.batch(rng, 300 + 37 * k, 12, specials=True) for k in range(n_threads)]
    expected = [array_bits(form.serial(*a, 1.1)) for a in jobs]
    results = [None] * n_threads
    errors = []

    def work(k):
        try:
            for _ in range(5):
                results[k] = array_bits(form.parallel(*jobs[k], 1.1))
                assert results[k] == expected[k]
        except BaseException as e:  # noqa: BLE001 - report anything, PanicException included
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "a parallel call hung"
    assert not errors
    assert results == expected


ENV_READ_ONCE = """
import os, numpy as np
import {module} as m
base = len(os.listdir("/proc/self/task"))
a = [np.ones((4, 3))] + [np.ones((4, 2))] * ({n_arrays} - 1)
m.{parallel}(*a, 1.0)
os.environ["RAYON_NUM_THREADS"] = "6"
m.{parallel}(*a, 1.0)
print(len(os.listdir("/proc/self/task")) - base)
"""


@pytest.mark.parametrize("form", FORMS)
def test_the_environment_is_read_once(form):
    done = run_python(form.script(ENV_READ_ONCE), env_extra={"RAYON_NUM_THREADS": "2"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["2"]


FORK_AFTER_BUILD = """
import os, sys, numpy as np
import {module} as m
rng = np.random.default_rng(1)
a = [rng.standard_normal((300, 9))] + [rng.uniform(0.1, 1.0, (300, 8)) for _ in range({n_arrays} - 1)]
expected = m.{serial}(*a, 1.0).tobytes()
assert m.{parallel}(*a, 1.0).tobytes() == expected
pid = os.fork()
if pid == 0:
    ok = m.{parallel}(*a, 1.0).tobytes() == expected
    os._exit(0 if ok else 3)
import time
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        print(os.waitstatus_to_exitcode(status))
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    print("hung")
"""


@FORKS_WITH_LIVE_THREADS
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("form", FORMS)
def test_a_forked_child_builds_its_own_pool(form):
    done = run_python(form.script(FORK_AFTER_BUILD), env_extra={"RAYON_NUM_THREADS": "2"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"]


@pytest.mark.parametrize("form", FORMS)
def test_registry_shape_and_layouts_like_serial(form):
    arrays = form.shapes(n_paths=6, n_steps=3)
    for layout in LAYOUTS_2D:
        laid = [layout2d(a, layout) for a in arrays]
        assert array_bits(form.parallel(*laid, 2.0)) == array_bits(form.serial(*laid, 2.0))


# The calling thread's floating-point state, set through glibc's libm: the
# rounding mode (fesetround), or flush-to-zero with denormals-are-zero, as a
# library built with fast-math sets when it is loaded (fegetenv, then the
# MXCSR word of x86-64's fenv_t, its last 4 of 32 bytes, and fesetenv). The
# pool exists already, built in the default state; its workers must compute
# in the caller's.
FP_STATE = r"""
import ctypes, ctypes.util, platform, numpy as np
import {module} as m
libm = ctypes.CDLL(ctypes.util.find_library("m"))
# glibc's: FE_UPWARD and the control word in fenv_t, with its flush-to-zero
# bits (x86-64: MXCSR's flush-to-zero and denormals-are-zero; arm64: FPCR.FZ).
x86 = platform.machine() == "x86_64"
FE_UPWARD, FE_DFL_ENV = (0x800 if x86 else 0x400000), -1
CONTROL_WORD, FLUSH_TO_ZERO = (7, 0x8040) if x86 else (0, 1 << 24)
rng = np.random.default_rng(5)
n, steps = 301, 13
a = [rng.normal(1.0, 0.1, (n, steps + 1)), rng.normal(0.0, 0.1, (n, steps)),
     rng.uniform(0.1, 0.5, (n, steps))]
a += [rng.normal(0.0, 0.05, (n, steps)) for _ in range({n_arrays} - 3)]
a[1][::3] = 1e-310 * (1.0 + rng.random((len(a[1][::3]), steps)))  # denormal increments
m.{parallel}(*a, 1.25)
nearest = m.{serial}(*a, 1.25).tobytes()
if {mode!r} == "upward":
    assert libm.fesetround(FE_UPWARD) == 0
else:
    env = (ctypes.c_uint32 * 8)()
    assert libm.fegetenv(env) == 0
    env[CONTROL_WORD] |= FLUSH_TO_ZERO
    assert libm.fesetenv(env) == 0
try:
    serial = m.{serial}(*a, 1.25).tobytes()
    parallel = m.{parallel}(*a, 1.25).tobytes()
finally:
    libm.fesetenv(ctypes.c_void_p(FE_DFL_ENV))
after = m.{parallel}(*a, 1.25).tobytes()
print(serial != nearest, parallel == serial, after == nearest)
"""


@pytest.mark.skipif(not (sys.platform.startswith("linux") and platform.machine() in ("x86_64", "aarch64")
                         and platform.libc_ver()[0] == "glibc"),
                    reason="the FP environments set here are glibc's on x86-64 and arm64")
@pytest.mark.parametrize("mode", ["upward", "flush_to_zero"])
@pytest.mark.parametrize("form", FORMS)
def test_the_callers_floating_point_state_reaches_the_workers(form, mode):
    done = run_python(form.script(FP_STATE, mode=mode), env_extra={"RAYON_NUM_THREADS": "3"})
    assert done.returncode == 0, done.stderr
    # The state changes these weights; the parallel form gives the serial bits
    # in it; afterwards the workers are back in their own state.
    assert done.stdout.split() == ["True", "True", "True"]
