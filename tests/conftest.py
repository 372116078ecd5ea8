"""Shared helpers: bit comparison, plain-Python references, array layouts and
access to the process-wide shared borrow registry on NumPy's module."""

import contextlib
import ctypes
import math
import os
import random
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _quorvane
from quorvane import _greeks

# ---------------------------------------------------------------------------
# Optional dependencies. The Dask and plot tests skip when their packages are
# absent; with QUORVANE_REQUIRE_EXTRAS set (tests/run.sh and CI, which install
# the test extra) a package that is missing or fails to import stops the run
# instead, so that a broken install cannot pass as skipped tests.
# ---------------------------------------------------------------------------

OPTIONAL_MODULES = ("dask", "dask.array", "distributed", "matplotlib")


def pytest_configure(config):
    if not os.environ.get("QUORVANE_REQUIRE_EXTRAS"):
        return
    # In a child process, so that this process's modules and warning filters stay as they are.
    code = "".join(f"import {name}\n" for name in OPTIONAL_MODULES)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if done.returncode != 0:
        raise pytest.UsageError("QUORVANE_REQUIRE_EXTRAS is set but the test extra does not import "
                                f"({', '.join(OPTIONAL_MODULES)}):\n{done.stderr}")


# ---------------------------------------------------------------------------
# Test scale: repetition and example counts are multiplied by QUORVANE_TEST_SCALE
# (default 1.0), so that slow builds (sanitizers) can run fewer of them.
# ---------------------------------------------------------------------------

TEST_SCALE = float(os.environ.get("QUORVANE_TEST_SCALE", "1.0"))


# GCC 12's AddressSanitizer takes no lock around fork(): a child forked while
# another thread of the parent is inside the sanitizer's allocator can wait
# forever on a lock that thread held. Tests that fork a process whose pool
# workers are alive leave that run to the unsanitized suite.
FORKS_WITH_LIVE_THREADS = pytest.mark.skipif(
    bool(os.environ.get("QUORVANE_SANITIZED")),
    reason="the sanitizer's allocator is not fork-safe while other threads run")


def scaled(count, minimum=1):
    return max(minimum, int(count * TEST_SCALE))


# ---------------------------------------------------------------------------
# Bits
# ---------------------------------------------------------------------------

# The one NaN pattern the processor produces for invalid operations (inf - inf),
# computed by this interpreter's own float arithmetic: negative on x86-64,
# positive on arm64. Randomised inputs use only this pattern, so the operand
# order the compiler picks for an operation with two NaN operands cannot show
# up in the bits.
_INF = float("inf")
DEFAULT_NAN = _INF - _INF


def bits(x):
    return struct.pack("<d", float(x))


def bit_list(values):
    return [bits(v) for v in values]


def array_bits(array):
    assert array.dtype == np.float64
    return [bits(v) for v in array.tolist()]


def assert_worked(actual, expected):
    """Worked values are exact bits; a NaN there only says "some NaN"."""
    assert len(actual) == len(expected)
    for a, e in zip(actual, expected):
        assert type(a) is float
        if math.isnan(e):
            assert math.isnan(a), (actual, expected)
        else:
            assert bits(a) == bits(e), (actual, expected)


# ---------------------------------------------------------------------------
# Plain sequential Python references (IEEE binary64, operation order fixed)
# ---------------------------------------------------------------------------


def ieee_div(a, b):
    """a / b with IEEE results where Python would raise ZeroDivisionError."""
    if b != 0.0 or b != b:
        return a / b
    if a != a:
        return a
    if a == 0.0:
        return DEFAULT_NAN
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def ref_mean_stderr_of_sums(s1, s2, n):
    count = float(n)
    mean = ieee_div(s1, count)
    m2 = ieee_div(s2, count)
    var = m2 - mean * mean
    if not var > 0.0:
        var = 0.0
    q = ieee_div(var, count)
    return mean, q if q != q else math.sqrt(q)


def ref_sums(values):
    s1 = 0.0
    s2 = 0.0
    for v in values:
        s1 = s1 + v
        s2 = s2 + v * v
    return s1, s2


def ref_mean_stderr(values):
    s1, s2 = ref_sums(values)
    return ref_mean_stderr_of_sums(s1, s2, len(values))


def ref_reciprocal(horizon, sigma_at_x0):
    return ieee_div(1.0, horizon * sigma_at_x0)


def ref_weights(w, horizon, sigma_at_x0):
    r = ref_reciprocal(horizon, sigma_at_x0)
    return [v * r for v in w]


def ref_payoff(name, x, strike):
    if name == "identity":
        return x
    if name == "call":
        d = x - strike
        return d if d > 0 else 0.0
    if name == "put":
        d = strike - x
        return d if d > 0 else 0.0
    assert name == "digital_call"
    return 1.0 if strike < x else 0.0


def ref_price_and_delta(xs, ws, horizon, sigma_at_x0, payoff, strike=0.0):
    r = ref_reciprocal(horizon, sigma_at_x0)
    p1 = p2 = d1 = d2 = 0.0
    for x, w in zip(xs, ws):
        p = ref_payoff(payoff, x, strike)
        d = (w * p) * r
        p1 = p1 + p
        p2 = p2 + p * p
        d1 = d1 + d
        d2 = d2 + d * d
    price, price_stderr = ref_mean_stderr_of_sums(p1, p2, len(xs))
    delta, delta_stderr = ref_mean_stderr_of_sums(d1, d2, len(xs))
    return price, delta, price_stderr, delta_stderr


# ---------------------------------------------------------------------------
# Random values and array layouts
# ---------------------------------------------------------------------------

SPECIALS = [0.0, -0.0, math.inf, -math.inf, DEFAULT_NAN, 5e-324, -5e-324,
            2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
            1e200, -1e200, 1e-200]


def random_values(rng, n, special_rate=0.15):
    out = []
    for _ in range(n):
        u = rng.random()
        if u < special_rate:
            out.append(rng.choice(SPECIALS))
        elif u < special_rate + 0.1:
            out.append(math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-1074, 1023)))
        else:
            out.append(rng.gauss(100.0, 30.0))
    return out


FILLER = 1.2345e300  # sits in the gaps of strided layouts; reading it changes results


def _raw_strided(values, stride, offset_pad):
    """A float64 view with byte stride `stride` (maybe odd or negative) into a bytearray."""
    n = len(values)
    span = abs(stride) * max(n - 1, 0) + 8
    buf = bytearray(span + offset_pad + 8)
    start = offset_pad + (abs(stride) * (n - 1) if stride < 0 and n else 0)
    arr = np.ndarray((n,), dtype="<f8", buffer=buf, offset=start, strides=(stride,))
    arr[:] = values
    return arr


def make_layout(values, layout):
    """A 1-D float64 array holding `values` in logical order, laid out as asked."""
    n = len(values)
    if layout == "contiguous":
        return np.array(values, dtype=np.float64)
    if layout == "reversed":
        return np.array(values[::-1], dtype=np.float64)[::-1]
    if layout == "step3":
        base = np.full(3 * n, FILLER)
        base[::3] = values
        return base[::3]
    if layout == "reversed_step2":
        base = np.full(2 * n, FILLER)
        view = base[::-2]
        view[:] = values
        return view
    if layout == "unaligned_stride12":
        return _raw_strided(values, 12, 1)
    if layout == "unaligned_reversed":
        return _raw_strided(values, -12, 3)
    if layout == "packed_record":
        rec = np.zeros(n, dtype=np.dtype([("tag", "u1"), ("x", "<f8")], align=False))
        rec["tag"] = 0xAB
        rec["x"] = values
        return rec["x"]
    if layout == "readonly":
        arr = np.array(values, dtype=np.float64)
        arr.setflags(write=False)
        return arr
    if layout == "fortran_column":
        base = np.asfortranarray(np.full((n, 3), FILLER))
        base[:, 1] = values
        return base[:, 1]
    if layout == "matrix_row":
        base = np.full((3, n), FILLER)
        base[2, :] = values
        return base.T[:, 2]
    raise AssertionError(layout)


LAYOUTS = ["contiguous", "reversed", "step3", "reversed_step2", "unaligned_stride12",
           "unaligned_reversed", "packed_record", "readonly", "fortran_column", "matrix_row"]


@pytest.fixture
def rng(request):
    return random.Random(request.node.nodeid)


class Holder:
    """Holds the value that a subclass's conversion method returns (or raises)."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class Floaty(Holder):
    """Converts to a float only through __float__."""

    def __float__(self):
        return self.value


class Indexy(Holder):
    """Converts to a float only through __index__."""

    def __index__(self):
        return self.value


# ---------------------------------------------------------------------------
# PanicException
# ---------------------------------------------------------------------------


def _provoke_panic():
    a = np.zeros(1)
    try:
        _quorvane.price_and_delta_constant_flow(a, a, 0.0, 1.0, "call")
    except BaseException as e:  # noqa: BLE001 - PanicException is not an Exception
        return type(e)
    raise AssertionError("no PanicException was raised")


@pytest.fixture(scope="session")
def panic_type():
    cls = _provoke_panic()
    assert cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    return cls


# ---------------------------------------------------------------------------
# Shared borrow registry
# ---------------------------------------------------------------------------

# The registry's function table (a child process may build one of its own from these).
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object, ctypes.c_int)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object, ctypes.c_int)
COUNT = ctypes.PYFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p)


class RegistryApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("acquire", ACQUIRE), ("release", RELEASE), ("count", COUNT)]


def _multiarray():
    major = int(np.__version__.split(".")[0])
    if major >= 2:
        import numpy._core.multiarray as multiarray
    else:  # pragma: no cover - NumPy 1
        import numpy.core.multiarray as multiarray
    return multiarray


_registry_cache = []


def registry():
    if not _registry_cache:
        _quorvane.price_from_samples(np.zeros(0))  # the first intake creates it
        capsule = getattr(_multiarray(), "_shared_borrow_registry")
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        address = get_pointer(capsule, b"shared_borrow_registry.v1")
        api = RegistryApi.from_address(address)
        assert api.version >= 1
        _registry_cache.append((capsule, api))
    return _registry_cache[0][1]


def borrow_count():
    api = registry()
    return api.count(api.state)


@contextlib.contextmanager
def exclusive_borrow(array):
    api = registry()
    assert api.acquire(api.state, array, 1) == 0, "exclusive borrow refused"
    try:
        yield array
    finally:
        api.release(api.state, array, 1)


@pytest.fixture(autouse=True)
def no_borrow_left():
    """Every test: whatever the calls did, no borrow outlives them."""
    before = borrow_count()
    yield
    assert borrow_count() == before == 0


# ---------------------------------------------------------------------------
# Subprocesses
# ---------------------------------------------------------------------------

# Run inside a second interpreter: tries the import and writes what happened to
# the marker file (the caller formats in its sys.path and the marker's path).
SUBINTERPRETER_IMPORT = """
import sys
sys.path[:0] = {path!r}
try:
    import _quorvane
except ImportError as e:
    result = "ImportError: " + str(e)
except BaseException as e:
    result = "other: " + type(e).__name__ + ": " + str(e)
else:
    result = "imported"
with open({marker!r}, "w") as f:
    f.write(result)
"""


# A child process's check that the parallel form of a tangent-flow weight function
# gives the serial form's bits for path counts around the pool's blocks, in every
# two-dimensional layout; then it runs ``then`` (which sees the module as ``m`` and
# the batch maker as ``batch``) and prints "ok" and the number of threads it
# started (the pool's workers).
PARALLEL_BIT_IDENTITY = """
import numpy as np, sys, os
base = len(os.listdir("/proc/self/task"))  # NumPy's BLAS may run threads of its own
sys.path.insert(0, {tests!r})
import {function.__module__} as m
from {batch.__module__} import {batch.__name__} as batch
from test_tangent_flow import layout2d, LAYOUTS_2D
for n_paths in (0, 1, 2, 3, 7, 10, 64, 129, 1000):
    arrays = batch(np.random.default_rng(n_paths), n_paths, 9, specials=True)
    for layout in LAYOUTS_2D:
        laid = [layout2d(a, layout) for a in arrays]
        serial = m.{function.__name__}(*laid, 1.5)
        parallel = m.{function.__name__}_parallel(*laid, 1.5)
        assert serial.tobytes() == parallel.tobytes(), (n_paths, layout)
{then}
print("ok", len(os.listdir("/proc/self/task")) - base)
"""


def parallel_bit_identity(threads, function, batch, then=""):
    """Runs PARALLEL_BIT_IDENTITY for ``function`` (the serial form) on batches
    ``batch(rng, n_paths, n_steps, specials=True)`` with RAYON_NUM_THREADS=threads;
    returns the lines it printed."""
    code = PARALLEL_BIT_IDENTITY.format(tests=os.path.dirname(__file__), function=function, batch=batch,
                                        then=then)
    done = run_python(code, env_extra={"RAYON_NUM_THREADS": threads})
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def progress_during(call):
    """Runs call() while another thread records timestamps as fast as the
    interpreter lets it; returns (result, ticks inside the call, longest gap
    without a tick, duration)."""
    ticks, running, stop = [], threading.Event(), threading.Event()

    def count():
        running.set()
        while not stop.is_set():
            ticks.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        t = threading.Thread(target=count)
        t.start()
        running.wait()
        time.sleep(0.01)
        begin = time.perf_counter()
        result = call()
        end = time.perf_counter()
        stop.set()
        t.join()
    finally:
        sys.setswitchinterval(interval)
    inside = [x for x in ticks if begin < x < end]
    points = [begin] + inside + [end]
    gap = max(b - a for a, b in zip(points, points[1:]))
    return result, len(inside), gap, end - begin


def run_python(code, *, python=sys.executable, env_extra=None, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(_quorvane.__file__)] + env.get("PYTHONPATH", "").split(os.pathsep))
    env.update(env_extra or {})
    return subprocess.run([python, "-c", code], capture_output=True, text=True, env=env,
                          timeout=timeout)


def value_errors(functions, *args):
    """The args of the ValueError each of ``functions`` raises on ``args`` (none when it
    returns), in order: for comparing the messages of two forms of one estimator."""
    messages = []
    for f in functions:
        try:
            f(*args)
        except ValueError as e:
            messages.append(e.args)
    return messages


def run_on_threads(script, threads):
    """Runs ``script`` (a format string with ``{tests}``, this folder, that records the
    thread count ``base`` and then checks its forms) with RAYON_NUM_THREADS=``threads``,
    and checks that it ends well and that the worker pool has exactly that many threads."""
    tail = 'print("ok", len(os.listdir("/proc/self/task")) - base)\n'
    done = run_python(script.format(tests=os.path.dirname(__file__)) + tail,
                      env_extra={"RAYON_NUM_THREADS": threads})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok", threads]


# ---------------------------------------------------------------------------
# Function descriptors: module, name, parameter names, required count, valid
# arguments. FUNCTIONS is _quorvane's six; GREEKS_FUNCTIONS is quorvane._greeks's;
# the suites that harden every native entry (fuzzing, repetition, threads,
# processes, the pool) run over ALL_FUNCTIONS. Functions built later join the
# table of their module.
# ---------------------------------------------------------------------------


class FunctionCase:
    def __init__(self, name, parameters, required, valid_args, module=_quorvane):
        self.name = name
        self.parameters = parameters
        self.required = required
        self._valid_args = valid_args
        self.module = module

    @property
    def function(self):
        return getattr(self.module, self.name)

    def valid_args(self):
        return self._valid_args()

    def __repr__(self):
        return self.name


def _vector():
    return np.array([90.0, 100.0, 110.0, 120.0])


def _path_batch():
    """Two paths of three steps: states, dws and the three coefficient arrays."""
    return (np.array([[1.0, 1.05, 1.12, 1.08], [1.0, 0.97, 1.01, 1.15]]),
            np.array([[0.1, -0.2, 0.3], [-0.05, 0.15, 0.25]]),
            np.array([[0.5, 0.6, 0.7], [0.4, 0.45, 0.5]]),
            np.full((2, 3), 0.03),
            np.full((2, 3), 0.2))


def _gamma_path_batch():
    """The two paths of _path_batch with the two second-derivative arrays."""
    return (*_path_batch(), np.array([[0.01, -0.02, 0.0], [0.03, 0.0, -0.01]]),
            np.array([[-0.1, 0.05, 0.2], [0.0, 0.1, -0.3]]))


TANGENT_FLOW_PARAMETERS = ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "horizon")

FUNCTIONS = [
    FunctionCase("bel_weights_constant_flow", ("w_terminals", "horizon", "sigma_at_x0"), 3,
                 lambda: (_vector(), 1.0, 20.0)),
    FunctionCase("bel_weights_tangent_flow", TANGENT_FLOW_PARAMETERS, 6,
                 lambda: (*_path_batch(), 2.0)),
    FunctionCase("bel_weights_tangent_flow_parallel", TANGENT_FLOW_PARAMETERS, 6,
                 lambda: (*_path_batch(), 2.0)),
    FunctionCase("price_from_samples", ("samples",), 1, lambda: (_vector(),)),
    FunctionCase("price_and_delta_constant_flow",
                 ("terminal_states", "w_terminals", "horizon", "sigma_at_x0", "payoff", "strike"),
                 5, lambda: (_vector(), _vector(), 1.0, 20.0, "call", 100.0)),
    FunctionCase("price_and_delta_tangent_flow",
                 ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "horizon",
                  "payoff", "strike"),
                 7, lambda: (*_path_batch(), 2.0, "call", 1.0)),
]

GAMMA_PARAMETERS = ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2",
                    "horizon")

GREEKS_FUNCTIONS = [
    FunctionCase("bel_weights_gamma_constant_flow",
                 ("w_terminals", "horizon", "sigma_at_x0", "d_sigma_dx"), 4,
                 lambda: (_vector(), 1.0, 20.0, 0.2), _greeks),
    FunctionCase("bel_weights_vega_constant_flow",
                 ("w_terminals", "horizon", "d_sigma_dx", "volatility"), 4,
                 lambda: (_vector(), 1.0, 0.2, 0.2), _greeks),
    FunctionCase("bel_weights_gamma_tangent_flow", GAMMA_PARAMETERS, 8,
                 lambda: (*_gamma_path_batch(), 2.0), _greeks),
    FunctionCase("bel_weights_gamma_tangent_flow_parallel", GAMMA_PARAMETERS, 8,
                 lambda: (*_gamma_path_batch(), 2.0), _greeks),
    FunctionCase("price_and_greeks_constant_flow",
                 ("terminal_states", "w_terminals", "horizon", "sigma_at_x0", "d_sigma_dx",
                  "volatility", "payoff", "strike"), 7,
                 lambda: (_vector(), _vector() / 100, 1.0, 20.0, 0.2, 0.2, "call", 100.0), _greeks),
    FunctionCase("price_and_greeks_tangent_flow",
                 ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field",
                  "d2_mu_dx2_field", "d2_sigma_dx2_field", "horizon", "payoff", "strike"), 9,
                 lambda: (*_gamma_path_batch(), 2.0, "call", 1.0), _greeks),
    FunctionCase("price_and_delta_tangent_flow_parallel",
                 ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "horizon",
                  "payoff", "strike"),
                 7, lambda: (*_path_batch(), 2.0, "call", 1.0), _greeks),
    FunctionCase("price_and_greeks_tangent_flow_parallel",
                 ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field",
                  "d2_mu_dx2_field", "d2_sigma_dx2_field", "horizon", "payoff", "strike"), 9,
                 lambda: (*_gamma_path_batch(), 2.0, "call", 1.0), _greeks),
]

ALL_FUNCTIONS = FUNCTIONS + GREEKS_FUNCTIONS


def same_result(a, b):
    """Two results of one function are the same, bit for bit."""
    if isinstance(a, np.ndarray):
        return type(b) is np.ndarray and array_bits(a) == array_bits(b)
    return type(a) is type(b) is tuple and bit_list(a) == bit_list(b)


# ---------------------------------------------------------------------------
# Outcomes: what a call did, comparable bit for bit
# ---------------------------------------------------------------------------


def outcome(call):
    """("array", bits), ("tuple", bits) or ("raised", class, message) of call()."""
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001 - PanicException is not an Exception
        return ("raised", type(e), str(e))
    if type(result) is np.ndarray:
        assert result.dtype == np.float64 and result.ndim == 1
        return ("array", result.tobytes())
    assert type(result) is tuple and all(type(v) is float for v in result), result
    return ("tuple", b"".join(bit_list(result)))
