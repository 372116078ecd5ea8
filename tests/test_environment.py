"""Faults of the environment, each in a process of its own: NumPy missing, a
worker pool whose threads cannot be started, a second interpreter, interpreter
exit during a call and Ctrl-C."""

import os
import signal
import subprocess
import sys
import time

import pytest

import _quorvane
from quorvane import _greeks as greeks_module

from conftest import SUBINTERPRETER_IMPORT, run_python, scaled

# Every array-taking call of the six functions, serial and parallel, given
# objects that need no NumPy to exist (the intake must fail before looking).
NO_NUMPY = r"""
import re, sys
sys.modules["numpy"] = None
import _quorvane as q
try:
    import numpy
except ImportError as e:
    error = e
tb = r"(None|Some\(<traceback object at 0x[0-9a-f]+>\))"
pattern = re.escape("Failed to access NumPy array API capsule: PyErr { type: " + repr(type(error))
                    + ", value: " + repr(error) + ", traceback: ") + tb + re.escape(" }")
row = [[1.0, 2.0]]
calls = {
    "bel_weights_constant_flow": lambda: q.bel_weights_constant_flow([1.0], 1.0, 1.0),
    "bel_weights_tangent_flow": lambda: q.bel_weights_tangent_flow(row, row, row, row, row, 1.0),
    "bel_weights_tangent_flow_parallel":
        lambda: q.bel_weights_tangent_flow_parallel(row, row, row, row, row, 1.0),
    "price_from_samples": lambda: q.price_from_samples(samples=None),
    "price_and_delta_constant_flow":
        lambda: q.price_and_delta_constant_flow([1.0], [1.0], 1.0, 1.0, "call"),
    "price_and_delta_tangent_flow":
        lambda: q.price_and_delta_tangent_flow(row, row, row, row, row, 1.0, "call", strike=1.0),
}
for name, call in calls.items():
    for attempt in range(2):  # a failure is not cached: the second call looks again
        try:
            call()
        except Exception as e:
            print(name, "caught by except Exception:", type(e).__name__, e)
        except BaseException as e:
            ok = type(e).__name__ == "PanicException" and re.fullmatch(pattern, str(e))
            print(name, "ok" if ok else "wrong: " + type(e).__name__ + ": " + str(e))
        else:
            print(name, "no exception")
# binding comes first and needs no NumPy
try:
    q.price_from_samples()
except TypeError as e:
    print("binding", e)
print("threads", len(__import__("os").listdir("/proc/self/task")))
"""

NAMES = ["bel_weights_constant_flow", "bel_weights_tangent_flow", "bel_weights_tangent_flow_parallel",
         "price_from_samples", "price_and_delta_constant_flow", "price_and_delta_tangent_flow"]


def test_without_numpy_every_array_call_is_an_internal_failure_carrying_the_import_error():
    done = run_python(NO_NUMPY)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines == [f"{name} ok" for name in NAMES for _ in range(2)] + [
        "binding price_from_samples() missing 1 required positional argument: 'samples'",
        "threads 1",  # the failed parallel calls built no pool
    ]
    assert done.stderr.count("Failed to access NumPy array API capsule") == 12


# The pool's threads cannot be started: RLIMIT_NPROC counts the threads of the
# user, so with the limit at the current count no thread can be created. Root
# is not bound by the limit, so the process first becomes an unprivileged user.
POOL_BUILD_FAILS = r"""
import errno, os, re, resource, sys
import numpy as np, _quorvane as q
rng = np.random.default_rng(3)
arrays = [rng.normal(1.0, 0.1, (50, 7))] + [rng.uniform(0.1, 0.5, (50, 6)) for _ in range(4)]
serial = {
    "bel_weights_tangent_flow": lambda: q.bel_weights_tangent_flow(*arrays, 1.0).tobytes(),
    "bel_weights_constant_flow": lambda: q.bel_weights_constant_flow(arrays[1][0], 1.0, 2.0).tobytes(),
    "price_from_samples": lambda: q.price_from_samples(arrays[2][:, 3]),
    "price_and_delta_constant_flow":
        lambda: q.price_and_delta_constant_flow(arrays[1][0], arrays[2][0], 1.0, 2.0, "call", 0.3),
    "price_and_delta_tangent_flow": lambda: q.price_and_delta_tangent_flow(*arrays, 1.0, "put", 1.0),
}
before = {name: f() for name, f in serial.items()}
if os.getuid() == 0:
    try:
        os.setgid(65534)
        os.setuid(65534)
    except OSError as e:
        print("skip cannot drop privileges:", e)
        sys.exit(0)
uid = os.getuid()
def user_threads():
    count = 0
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                count += sum(1 for t in os.listdir(f"/proc/{pid}/task")
                             if os.stat(f"/proc/{pid}/task/{t}").st_uid == uid)
            except OSError:
                pass
    return count
started = int(os.environ["POOL_THREADS_STARTED"])
limit = user_threads() + started
resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
prefix = "The global thread pool has not been initialized.: "
messages = []
for attempt in range(2):
    try:
        q.bel_weights_tangent_flow_parallel(*arrays, 1.0)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        messages.append(str(e))
    else:
        print("skip the limit did not stop the pool's threads")
        sys.exit(0)
first, second = messages
code = errno.EAGAIN
print("first", first.startswith(prefix), bool(re.search(rf"\b{code}\b", first)),
      os.strerror(code) in first)
print("second", second.startswith(prefix), "already ran" in second, second != first)
import time
deadline = time.monotonic() + 10  # the started threads are on their way out
while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
    time.sleep(0.01)
print("threads", len(os.listdir("/proc/self/task")))
print("serial", all(f() == before[name] for name, f in serial.items()))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_NPROC and /proc are Linux's")
@pytest.mark.parametrize("workers, started", [("1", 0), ("2", 0), ("4", 2)])
def test_a_pool_that_cannot_start_its_threads_reports_the_os_error_then_that_it_already_ran(
        workers, started):
    done = run_python(POOL_BUILD_FAILS, env_extra={
        "RAYON_NUM_THREADS": workers, "POOL_THREADS_STARTED": str(started),
        # no threads of NumPy's BLAS: the process has one thread besides the pool's
        "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    if done.stdout.startswith("skip "):
        pytest.skip(done.stdout.strip()[5:])
    assert done.stdout.splitlines() == [
        "first True True True",  # the prefix, the OS error's code and its description
        "second True True True",  # the prefix, the build already ran, a different text
        "threads 1",  # the threads started before the failure have exited
        "serial True",  # the serial functions still give their bits
    ]



# Each API that the Pythons of the matrix offer for running code in a second
# interpreter whose import machinery lets single-phase modules load (so that
# the refusal seen is the module's own).
OUTER = {
    "_testcapi.run_in_subinterp": """
import _quorvane
from _testcapi import run_in_subinterp
run_in_subinterp({inner!r})
""",
    "_xxsubinterpreters": """
import _quorvane
import _xxsubinterpreters as interpreters
try:
    interp = interpreters.create(isolated=False)  # 3.12: isolated by default
except TypeError:
    interp = interpreters.create()  # 3.10, 3.11: the legacy kind
try:
    interpreters.run_string(interp, {inner!r})
finally:
    interpreters.destroy(interp)
""",
    "_interpreters": """
import _quorvane
import _interpreters as interpreters
interp = interpreters.create("legacy")  # 3.13: the default is isolated
try:
    interpreters.run_string(interp, {inner!r})
finally:
    interpreters.destroy(interp)
""",
}


def available(api):
    module = api.split(".")[0]
    probe = f"import {module}" + ("; assert hasattr(_testcapi, 'run_in_subinterp')" if "." in api else "")
    return run_python(probe).returncode == 0


@pytest.mark.parametrize("api", list(OUTER))
def test_a_second_interpreter_is_refused_with_import_error(api, tmp_path):
    if not available(api):
        pytest.skip(f"{api} is not part of Python {sys.version_info.major}.{sys.version_info.minor}")
    marker = tmp_path / "result.txt"
    inner = SUBINTERPRETER_IMPORT.format(path=sys.path, marker=str(marker))
    done = run_python(OUTER[api].format(inner=inner))
    assert done.returncode == 0, done.stderr
    result = marker.read_text()
    assert result.startswith("ImportError: ") and "sub-interpreter" in result, result


def test_some_second_interpreter_api_exists_on_every_supported_python():
    assert any(available(api) for api in OUTER)


# ---------------------------------------------------------------------------
# Interpreter exit while a daemon thread computes without the lock
# ---------------------------------------------------------------------------

DAEMON_AT_EXIT = """
import threading, time
import numpy as np
import _quorvane as q
n, m = 100_000, 40
one = np.float64(0.5)
batch = [np.broadcast_to(one, (n, m + 1))] + [np.broadcast_to(one, (n, m))] * 4
started = threading.Event()
def work():
    started.set()
    while True:
        q.bel_weights_tangent_flow_parallel(*batch, 1.0)
threading.Thread(target=work, daemon=True).start()
started.wait()
time.sleep(0.2)
"""


def test_interpreter_exit_during_a_parallel_call_on_a_daemon_thread_exits_cleanly():
    # The interpreter ends a daemon thread that asks for the lock back during
    # finalisation with pthread_exit; its forced unwind met a noexcept frame and
    # the process aborted ("terminate called without an active exception").
    for _ in range(scaled(10, minimum=3)):
        out = run_python(DAEMON_AT_EXIT)
        assert (out.returncode, out.stderr) == (0, "")


# ---------------------------------------------------------------------------
# Ctrl-C during a long call
# ---------------------------------------------------------------------------

# Every function of both extension modules.
GREEKS_NAMES = [n for n in greeks_module.__all__ if n != "__version__"]
ALL_FUNCTIONS = [n for n in _quorvane.__all__ if n != "__version__"] + GREEKS_NAMES
TANGENT_FLOW = [n for n in ALL_FUNCTIONS if "tangent_flow" in n]

# Calls made long by their size, of ordinary values, so that no CPU finishes
# them before the signal: zero-stride views (no memory behind them) of 2^36
# elements, or 2^20 paths of 2^16 steps, or one path of 2^31 steps. The weight
# functions of the constant flow return one weight per element, so theirs are
# 2^30 elements (8 GiB of output, of which a call stopped at once writes a
# small part). The parent sends SIGINT once the call has run a moment; the
# child reports when KeyboardInterrupt arrived (on the system-wide monotonic
# clock), then checks that nothing is left behind.
INTERRUPTED_CALL = """
import sys, time
sys.path.insert(0, {tests!r})
import numpy as np
import _quorvane as q
from quorvane import _greeks as g
from conftest import borrow_count
name, shape = {name!r}, {shape!r}
def vec(n, x): return np.broadcast_to(np.float64(x), (n,))
def mat(n, m, x): return np.broadcast_to(np.float64(x), (n, m))
def batch(n, m, k):
    # states, dws, sigma, d_mu_dx, d_sigma_dx (zero: Y stays near 1 over any
    # number of steps), d2_mu_dx2, d2_sigma_dx2
    return (mat(n, m + 1, 1.0), mat(n, m, 0.01), mat(n, m, 0.2), mat(n, m, 0.01), mat(n, m, 0.0),
            mat(n, m, 0.0), mat(n, m, 0.0))[:k]
def call(n, paths, steps):
    module = g if name in {greeks!r} else q
    f = getattr(module, name)
    if "tangent_flow" in name:
        k = 7 if module is g and "delta" not in name else 5
        extra = ("call", 0.9) if name.startswith("price_") else ()
        return f(*batch(paths, steps, k), 1.0, *extra)
    return {{
        "bel_weights_constant_flow": lambda: f(vec(n, 0.5), 1.0, 0.2),
        "price_from_samples": lambda: f(vec(n, 0.5)),
        "price_and_delta_constant_flow": lambda: f(vec(n, 1.0), vec(n, 0.5), 1.0, 0.2, "call", 0.9),
        "bel_weights_gamma_constant_flow": lambda: f(vec(n, 0.5), 1.0, 0.2, 0.1),
        "bel_weights_vega_constant_flow": lambda: f(vec(n, 0.5), 1.0, 0.1, 0.2),
        "price_and_greeks_constant_flow":
            lambda: f(vec(n, 1.0), vec(n, 0.5), 1.0, 0.2, 0.1, 0.2, "call", 0.9),
    }}[name]()
def bits(result):
    return result.tobytes() if isinstance(result, np.ndarray) else np.array(result).tobytes()
small = bits(call(100_000, 1_000, 100))
long_call = {{
    "elements": lambda: call(2**30 if name.startswith("bel_") else 2**36, 0, 0),
    "paths": lambda: call(0, 2**20, 2**16),
    "one path": lambda: call(0, 1, 2**31),
}}[shape]
print("ready", flush=True)
try:
    long_call()
    print("returned", time.monotonic(), flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print(borrow_count(), bits(call(100_000, 1_000, 100)) == small)
"""

LONG_CALLS = ([(name, "paths" if name in TANGENT_FLOW else "elements") for name in ALL_FUNCTIONS]
              + [(name, "one path") for name in TANGENT_FLOW])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="signals to a child, Linux's clock")
@pytest.mark.parametrize("name, shape", LONG_CALLS)
def test_ctrl_c_interrupts_a_long_call_within_half_a_second(name, shape):
    if os.environ.get("QUORVANE_SANITIZED") and shape == "elements" and name.startswith("bel_"):
        # AddressSanitizer marks the 8 GiB output addressable in its shadow (1 GiB
        # of writes) inside malloc, before the loop's first poll; unsanitized, the
        # allocation maps pages lazily and takes no time.
        pytest.skip("the sanitizer's allocator spends seconds on an 8 GiB output before the loop")
    code = INTERRUPTED_CALL.format(tests=os.path.dirname(__file__), name=name, shape=shape,
                                   greeks=GREEKS_NAMES)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(_quorvane.__file__), env.get("PYTHONPATH", "")])
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                          env=env) as child:
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(0.25)  # well inside the call, whatever the CPU: it is long by size
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            outcome, at = child.stdout.readline().split()
            left, same = child.stdout.readline().split()
            assert child.wait(timeout=60) == 0
        finally:
            if child.poll() is None:
                child.kill()
    assert outcome == "interrupted" and float(at) - sent < 0.5
    assert (left, same) == ("0", "True")  # no borrow left; the next call gives the same bits


# A signal handler, run by a poll of a long call, resizes an array the call
# reads (the zeros behind it are never written: reading them maps no memory).
# The signal comes from an interval timer; the handler acts once the call holds
# its borrows, so what it meets is the running call, whatever the CPU's speed.
# The serial call must then end with a ValueError naming the array instead of
# reading freed memory; the parallel one, whose workers read while the handler
# runs, keeps every array from being resized until it ends (NumPy refuses).
RESIZED_BY_HANDLER = """
import signal, sys
sys.path.insert(0, {tests!r})
import numpy as np
import _quorvane as q
from conftest import borrow_count
name = {name!r}
if name == "price_from_samples":
    owned = np.zeros(2**30)
    call = lambda: q.price_from_samples(owned)
else:
    paths, steps = 2**14, 2**16
    owned = np.zeros((paths, steps))
    def mat(x, cols=steps): return np.broadcast_to(np.float64(x), (paths, cols))
    call = lambda: q.bel_weights_tangent_flow_parallel(mat(1.0, steps + 1), owned, mat(0.2), mat(0.01),
                                                      mat(0.0), 1.0)
resized = []
def handler(signum, frame):
    if borrow_count() and not resized:
        resized.append(True)
        owned.resize((16,), refcheck=False)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
try:
    call()
    print("returned")
except ValueError as e:
    print("ValueError", " ".join(str(e).split()))
finally:
    signal.setitimer(signal.ITIMER_REAL, 0)
print(resized, borrow_count())
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="setitimer and zero pages of Linux")
@pytest.mark.parametrize("name, error", [
    ("price_from_samples", "samples was changed by a signal handler during the call"),
    ("bel_weights_tangent_flow_parallel", "cannot resize an array that references or is referenced"),
])
def test_a_signal_handler_that_resizes_an_accepted_array_fails_the_call(name, error):
    done = run_python(RESIZED_BY_HANDLER.format(tests=os.path.dirname(__file__), name=name),
                      env_extra={"RAYON_NUM_THREADS": "2"})
    assert done.returncode == 0, done.stderr  # not -11: no freed memory was read
    lines = done.stdout.splitlines()
    assert lines[0].startswith("ValueError " + error), lines
    assert lines[1:] == ["[True] 0"]


# ---------------------------------------------------------------------------
# An import that fails claims nothing
# ---------------------------------------------------------------------------

ISOLATED_FIRST = """
import _xxsubinterpreters as interpreters
interp = interpreters.create()  # isolated: single-phase modules are refused
try:
    interpreters.run_string(interp, {inner!r})
finally:
    interpreters.destroy(interp)
import _quorvane
print(_quorvane.__all__[0])
"""


@pytest.mark.skipif(sys.version_info[:2] != (3, 12),
                    reason="CPython 3.12 refuses single-phase modules in isolated sub-interpreters "
                           "after their initialiser ran; 3.13 runs it in the main interpreter")
def test_an_import_refused_in_an_isolated_sub_interpreter_leaves_the_module_to_the_main_one(tmp_path):
    marker = tmp_path / "result.txt"
    inner = SUBINTERPRETER_IMPORT.format(path=sys.path, marker=str(marker))
    done = run_python(ISOLATED_FIRST.format(inner=inner))
    assert done.returncode == 0, done.stderr
    assert marker.read_text() == "ImportError: module _quorvane does not support loading in subinterpreters"
    assert done.stdout == "bel_weights_constant_flow\n"
