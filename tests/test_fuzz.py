"""Property-based fuzzing of the module boundary.

For every function of both extension modules, hypothesis draws whole argument lists: arrays of many dtypes,
dimensionalities, shapes and layouts, scalars of many types (some of whose
conversions raise), payoff names that are not names, and random splits into
positional and keyword arguments with surplus, missing, duplicated and unknown
keywords. A small Python model of the boundary (binding, conversion, intake,
the estimator's validation and the sequential reference) says what must happen,
and the call must do exactly that: the same bits, or the same exception class
with the same message. Calls with duplicated or non-text keyword names go
through the interpreter's vectorcall entry directly, as C callers can make them.
"""

import ctypes
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import (ALL_FUNCTIONS, DEFAULT_NAN, LAYOUTS, Floaty, Indexy, bit_list, borrow_count,
                      make_layout, outcome, ref_mean_stderr, ref_price_and_delta, ref_weights, scaled)
from test_binding import missing_message, too_many_message
from test_greeks import (ref_cf_gamma_weights, ref_cf_vega_weights, ref_gamma_weights, ref_greeks_constant_flow,
                         ref_greeks_tangent_flow)
from test_tangent_flow import LAYOUTS_2D, layout2d
from test_tangent_flow import ref_price_and_delta as tf_ref_price_and_delta
from test_tangent_flow import ref_weights as tf_ref_weights

PAYOFFS = ("identity", "call", "put", "digital_call")
ONE_D = {"samples", "w_terminals", "terminal_states"}
TWO_D = {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2", "sigma_field",
         "d_mu_dx_field", "d_sigma_dx_field", "d2_mu_dx2_field", "d2_sigma_dx2_field"}


def array_dims(case):
    """{parameter: dimensions} of the case's arrays. A tangent-flow function (its
    first parameter is `states`) takes 2-D arrays, and its `d_sigma_dx` is one of
    them; elsewhere `d_sigma_dx` is a scalar."""
    names = TWO_D if case.parameters[0] == "states" else ONE_D
    return {name: 2 if names is TWO_D else 1 for name in case.parameters if name in names}


# The estimators' payoff message; price_and_delta_tangent_flow's leaves out the list.
EXPECTED_PAYOFFS = "': expected 'identity', 'call', 'put', or 'digital_call'"
EMPTY = object()  # an argument slot that binding left empty


# ---------------------------------------------------------------------------
# The interpreter's own conversion and call entry, reached through ctypes
# ---------------------------------------------------------------------------

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]

_vectorcall = getattr(ctypes.pythonapi, "PyObject_Vectorcall", None)
if _vectorcall is not None:
    _vectorcall.restype = ctypes.py_object
    _vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                            ctypes.c_void_p]


def vectorcall(function, positional, keywords):
    """function(*positional, **keywords) with the keyword names exactly as given:
    duplicates and objects that are not str included."""
    values = list(positional) + [v for _, v in keywords]
    argv = (ctypes.py_object * max(len(values), 1))(*values)
    kwnames = tuple(k for k, _ in keywords)
    return _vectorcall(function, argv, len(positional), id(kwnames) if kwnames else None)


def lossy(text):
    return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in text)


# ---------------------------------------------------------------------------
# Scalars
# ---------------------------------------------------------------------------


class FloatSub(float):
    pass


class StrSub(str):
    pass


class MyTypeError(TypeError):
    pass


class FloatRaises:
    """__float__ raises a new cls(*args) each time (an exception instance raised
    again would grow its traceback with every call)."""

    def __init__(self, cls, *args):
        self.cls, self.args = cls, args

    def __float__(self):
        raise self.cls(*self.args)


class IndexRaises:
    def __init__(self, cls, *args):
        self.cls, self.args = cls, args

    def __index__(self):
        raise self.cls(*self.args)


class Opaque:
    pass


def good_floats():
    return st.one_of(
        st.sampled_from([1.0, 0.5, 2.0, 20.0, 1.25, 3.0, 1e-3]),
        st.floats(min_value=1e-6, max_value=1e6),
    )


def convertible_scalars():
    """Objects the interpreter converts to a float, some of them to odd ones that
    the estimators must refuse or carry through."""
    return st.one_of(
        good_floats(),
        good_floats(),
        st.sampled_from([0.0, -0.0, -1.0, math.inf, -math.inf, DEFAULT_NAN, 5e-324, 1e300, 1e-200]),
        st.floats(allow_nan=False),
        st.integers(min_value=-10, max_value=10),
        st.sampled_from([True, False, 2**53 + 1]),
        st.builds(FloatSub, st.floats(allow_nan=False)),
        st.sampled_from([np.float64(0.75), np.float32(0.1), np.int64(7), np.bool_(True),
                         np.float64(-2.0)]),
        st.builds(Floaty, st.floats(allow_nan=False)),
        st.builds(Indexy, st.integers(min_value=-(10**20), max_value=10**20)),
    )


INCONVERTIBLE = [
    lambda: 10**400, lambda: -(10**400), lambda: Indexy(10**400),
    lambda: FloatRaises(ValueError, "no float"), lambda: FloatRaises(ValueError, "bad"),
    lambda: FloatRaises(TypeError, "not today"), lambda: FloatRaises(TypeError, "\ud800x"),
    lambda: FloatRaises(MyTypeError, "sub"), lambda: IndexRaises(ZeroDivisionError, "index"),
    lambda: FloatRaises(TypeError, "two", 2), lambda: FloatRaises(KeyError, "k"),
    lambda: None, lambda: "1.0", lambda: b"1", lambda: [1.0], lambda: (), lambda: Opaque(),
    lambda: 1j, lambda: StrSub("2"), lambda: IndexRaises(MyTypeError, "index sub"),
]


def inconvertible_scalars():
    """Objects whose conversion to a float fails, in many ways."""
    return st.sampled_from(INCONVERTIBLE).map(lambda make: make())


def float_argument(faulty):
    if faulty:
        return inconvertible_scalars()
    return st.one_of(good_floats(), good_floats(), good_floats(), convertible_scalars())


def payoff_argument(faulty):
    if faulty:
        return st.sampled_from(["\ud800", "call\udfff", "\udcff\ud800", b"call", bytearray(b"put"),
                                None, 1.0, 3, ["call"], Opaque()])
    return st.one_of(
        st.sampled_from(PAYOFFS),
        st.sampled_from(PAYOFFS),
        st.sampled_from(PAYOFFS),
        st.builds(StrSub, st.sampled_from(PAYOFFS)),
        st.sampled_from(["Call", "CALL", "call ", " call", "", "digital", "ca\x00ll", "put\n",
                         "\u00e9t\u00e9"]),
    )


# ---------------------------------------------------------------------------
# Arrays
# ---------------------------------------------------------------------------

VALUE_POOL = [math.inf, -math.inf, DEFAULT_NAN, 5e-324, -5e-324, 1e300, -1e300, 1e-300]


class UserArray(np.ndarray):
    pass


def logical_values(seed, shape):
    rng = np.random.default_rng(seed)
    a = np.asarray(rng.normal(1.0, 0.6, shape), dtype=np.float64)
    mask = np.asarray(rng.random(shape) < 0.1)
    a[mask] = rng.choice(np.array(VALUE_POOL), int(mask.sum()))
    zeros = np.asarray(rng.random(shape) < 0.01)
    a[zeros] = rng.choice(np.array([0.0, -0.0]), int(zeros.sum()))
    return a


def lay_out(a, layout, seed):
    """A float64 array with the values of `a` (broadcast layouts repeat row 0)."""
    if layout == "broadcast":  # zero stride along the first axis
        return np.broadcast_to(a[:1], a.shape) if a.shape[0] else a
    if layout == "broadcast_columns":
        return np.broadcast_to(a[..., :1], a.shape) if a.shape[-1] else a
    if layout == "subclass":
        return np.ascontiguousarray(a).view(UserArray)
    if layout == "matrix":
        return np.ascontiguousarray(a).view(np.matrix)
    if layout == "masked":
        mask = np.random.default_rng(seed).random(a.shape) < 0.5
        return np.ma.masked_array(a, mask=mask)
    if layout == "metadata_dtype":
        return a.astype(np.dtype(np.float64, metadata={"unit": "years"}))
    if layout == "readonly_2d":
        out = np.array(a)
        out.setflags(write=False)
        return out
    if a.ndim == 1:
        return make_layout(a.tolist(), layout)
    return layout2d(a, layout)


LAYOUTS_1D_ALL = LAYOUTS + ["broadcast", "subclass", "masked", "metadata_dtype"]
LAYOUTS_2D_ALL = LAYOUTS_2D + ["broadcast", "broadcast_columns", "subclass", "matrix", "masked",
                               "metadata_dtype", "readonly_2d"]

WRONG_DTYPES = [np.float32, np.int64, np.complex128, object, np.bool_, np.dtype(">f8"),
                np.longdouble]


@st.composite
def array_argument(draw, dims, shape, faulty):
    """A float64 array of `dims` dimensions and `shape` in any layout, or when
    `faulty` something the intake must refuse."""
    seed = draw(st.integers(0, 2**32 - 1))
    kind = draw(st.sampled_from(["dtype", "dims", "object"])) if faulty else "valid"
    if kind == "valid":
        layout = draw(st.sampled_from(LAYOUTS_1D_ALL if dims == 1 else LAYOUTS_2D_ALL))
        return lay_out(logical_values(seed, shape), layout, seed)
    if kind == "dtype":
        dtype = draw(st.sampled_from(WRONG_DTYPES))
        with np.errstate(all="ignore"):
            out = logical_values(seed, shape).astype(dtype)
        return out if draw(st.booleans()) else np.asfortranarray(out)
    if kind == "dims":
        nd = draw(st.sampled_from([d for d in (0, 1, 2, 3) if d != dims]))
        other = tuple(draw(st.integers(0, 3)) for _ in range(nd))
        out = logical_values(seed, other)
        return out.view(UserArray) if draw(st.booleans()) else out
    return draw(st.sampled_from([
        [1.0, 2.0], (1.0,), None, 1.5, np.float64(2.0), memoryview(b"\0" * 8), "abc",
        np.zeros(2).tolist(), Opaque(),
    ]))


# ---------------------------------------------------------------------------
# Whole calls
# ---------------------------------------------------------------------------


def parameter_values(draw, case, faulty):
    """One value per parameter of `case`, shapes mostly consistent with each other;
    the parameters named in `faulty` get values their conversion refuses."""
    names = case.parameters
    values = {}
    dims = array_dims(case)
    if names[0] in ONE_D:
        n = draw(st.integers(0, 7))
        for name in names:
            if name in ONE_D:
                length = n if draw(st.integers(0, 11)) else draw(st.integers(0, 7))
                values[name] = draw(array_argument(1, (length,), name in faulty))
    else:
        n_paths = draw(st.integers(0, 6))
        n_steps = draw(st.integers(0, 4)) if draw(st.integers(0, 11)) == 0 else draw(st.integers(1, 4))
        for name in names:
            if name not in dims:
                continue
            if name == "states":
                shape = (n_paths, n_steps + 1)
            elif draw(st.integers(0, 15)):
                shape = (n_paths, n_steps)
            else:
                shape = (draw(st.integers(0, 7)), draw(st.integers(0, 6)))
            values[name] = draw(array_argument(2, shape, name in faulty))
    for name in names:
        if name == "payoff":
            values[name] = draw(payoff_argument(name in faulty))
        elif name not in values:
            values[name] = draw(float_argument(name in faulty))
    return [values[name] for name in names]


UNKNOWN_NAMES = ["foo", "T", "", "horizon ", "Samples", "samples\x00", "\ud800", "x\udcffy",
                 "payoff_", "\u00e9"]
FAULTS = ["value", "value", "value", "surplus", "unknown", "twice", "missing", "same_name",
          "not_str"]


@st.composite
def calls(draw, case):
    """(positional values, keyword pairs in the caller's order, through vectorcall?).
    About half the calls are clean; the others carry one or two faults."""
    names = case.parameters
    n = len(names)
    count = draw(st.sampled_from([0, 0, 0, 0, 0, 1, 1, 1, 2, 2]))
    faults = set(draw(st.lists(st.sampled_from(FAULTS), min_size=count, max_size=count)))
    faulty = {draw(st.sampled_from(names))} if "value" in faults else set()
    values = parameter_values(draw, case, faulty)
    m = n if "surplus" in faults else draw(st.integers(0, n))
    positional = values[:m]
    if "surplus" in faults:
        positional += [draw(float_argument(False)) for _ in range(draw(st.integers(1, 2)))]
    # Optional parameters are often left out, and a required one when faulty.
    dropped = draw(st.integers(m, n - 1)) if "missing" in faults and m < case.required else None
    present = [i for i in range(m, n)
               if i != dropped and (i < case.required or draw(st.booleans()))]
    keywords = [(names[i], values[i]) for i in present]
    keywords = list(draw(st.permutations(keywords))) if keywords else []
    if "unknown" in faults:  # a keyword that names no parameter
        keywords.insert(draw(st.integers(0, len(keywords))),
                        (draw(st.sampled_from(UNKNOWN_NAMES + [n.upper() for n in names])), 1.0))
    if "twice" in faults and m:  # a value given by position and by keyword
        i = draw(st.integers(0, m - 1))
        keywords.insert(draw(st.integers(0, len(keywords))), (names[i], values[i]))
    direct = _vectorcall is not None and (draw(st.integers(0, 7)) == 0 or bool(
        faults & {"same_name", "not_str"}))
    if direct and "same_name" in faults and keywords:  # the same keyword name twice
        k = draw(st.integers(0, len(keywords) - 1))
        keywords.insert(draw(st.integers(0, len(keywords))), keywords[k])
    if direct and "not_str" in faults:  # a keyword name that is not a str
        keywords.insert(draw(st.integers(0, len(keywords))),
                        (draw(st.sampled_from([5, b"horizon", None, 2.5])), 1.0))
    return positional, keywords, direct


# ---------------------------------------------------------------------------
# The model
# ---------------------------------------------------------------------------


class Raised(Exception):
    """The model's verdict that the call raises `cls` with `message`."""

    def __init__(self, cls, message):
        super().__init__(cls, message)
        self.cls, self.message = cls, message


def bind(case, positional, keywords):
    n = len(case.parameters)
    slots = [EMPTY] * n
    for i, v in enumerate(positional[:n]):
        slots[i] = v
    if len(positional) > n:
        raise Raised(TypeError, too_many_message(case, len(positional)))
    for key, value in keywords:
        index = None
        if isinstance(key, str):
            try:
                text = str.encode(key, "utf-8")
            except UnicodeEncodeError:
                text = None
            for i, name in enumerate(case.parameters):
                if text is not None and name.encode() == text:
                    index = i
                    break
        if index is None:
            raise Raised(TypeError, f"{case.name}() got an unexpected keyword argument "
                                    f"'{lossy(str(key))}'")
        if slots[index] is not EMPTY:
            raise Raised(TypeError, f"{case.name}() got multiple values for argument "
                                    f"'{lossy(str(key))}'")
        slots[index] = value
    missing = [name for name, v in zip(case.parameters[:case.required], slots) if v is EMPTY]
    if missing:
        raise Raised(TypeError, missing_message(case, missing))
    return dict(zip(case.parameters, slots))


def convert(case, slots):
    converted = {}
    arrays = array_dims(case)
    for name in case.parameters:  # arrays first: they always lead
        if name not in arrays:
            continue
        obj = slots[name]
        dims = arrays[name]
        if not (isinstance(obj, np.ndarray) and obj.ndim == dims
                and obj.dtype == np.dtype(np.float64)):
            raise Raised(TypeError, f"argument '{name}': '{type(obj).__qualname__}' object "
                                    "cannot be converted to 'PyArray<T, D>'")
        converted[name] = np.asarray(obj).view(np.ndarray)  # the data buffer, mask ignored
    for name in case.parameters:
        if name in converted:
            continue
        obj = slots[name]
        if name == "payoff":
            if not isinstance(obj, str):
                raise Raised(TypeError, f"argument 'payoff': '{type(obj).__qualname__}' object "
                                        "cannot be converted to 'PyString'")
            try:
                converted[name] = str.encode(obj, "utf-8").decode("utf-8")
            except UnicodeEncodeError as e:
                raise Raised(UnicodeEncodeError, str(e)) from None
        elif name == "strike" and obj is EMPTY:
            converted[name] = 0.0
        else:
            try:
                converted[name] = _as_double(obj)
            except BaseException as e:  # noqa: BLE001 - whatever the interpreter raised
                if type(e) is TypeError:
                    raise Raised(TypeError, f"argument '{name}': {lossy(str(e))}") from None
                raise Raised(type(e), str(e)) from None
    return converted


def array_result(values):
    return ("array", np.array(values, dtype=np.float64).tobytes())


def tuple_result(values):
    return ("tuple", b"".join(bit_list(values)))


def model_thread_count():
    """The worker count the process-wide pool is built with in this process."""
    def parse(text):
        if text is None:
            return None
        digits = text[1:] if text.startswith("+") else text
        if not digits or not all("0" <= c <= "9" for c in digits) or int(digits) >= 2**64:
            return None
        return int(digits)

    cpus = max(len(os.sched_getaffinity(0)), 1)
    requested = parse(os.environ.get("RAYON_NUM_THREADS"))
    if requested is not None:
        count = requested or cpus
    else:
        fallback = parse(os.environ.get("RAYON_RS_NUM_CPUS"))
        count = fallback if fallback else cpus
    return min(count, 65535)


def zero_sigma_candidates(sigma, parallel):
    """The zero-sigma reports allowed: the first zero in row-major order, or, on
    the pool, the first zero of the first failing path of any block."""
    n_paths = sigma.shape[0]
    first_zero = {}
    for i in range(n_paths):
        for j in range(sigma.shape[1]):
            if sigma[i, j] == 0.0:
                first_zero[i] = j
                break
    if not first_zero:
        return []
    if not parallel:
        i = min(first_zero)
        return [(i, first_zero[i])]
    threads = model_thread_count()
    size = max(1, -(-n_paths // threads))
    found = []
    for start in range(0, n_paths, size):
        failing = [i for i in range(start, min(start + size, n_paths)) if i in first_zero]
        if failing:
            found.append((failing[0], first_zero[failing[0]]))
    return found


def tangent_flow_steps(a, gamma=False):
    """(n_paths, n_steps) of the states, after the checks that every tangent-flow
    function makes first: a positive horizon, at least two columns of states (three
    for a gamma, which needs a step in each half of the path)."""
    if not a["horizon"] > 0:
        raise Raised(ValueError, "horizon must be positive")
    if gamma and a["states"].shape[1] < 3:
        raise Raised(ValueError, "states must have at least 3 columns (n_steps + 1, and gamma needs "
                                 "n_steps >= 2)")
    if a["states"].shape[1] < 2:
        raise Raised(ValueError, "states must have at least 2 columns (n_steps + 1)")
    return a["states"].shape[0], a["states"].shape[1] - 1


def check_shapes(a, names, n_paths, n_steps):
    for key in names:
        rows, cols = a[key].shape
        if (rows, cols) != (n_paths, n_steps):
            raise Raised(ValueError, f"{key} shape [{rows}, {cols}] != expected ({n_paths}, {n_steps})")


def check_constant_flow_scalars(a, names):
    """The scalar checks of the constant-flow Greeks, in the order given."""
    for key in names:
        if key == "d_sigma_dx":
            if not math.isfinite(a[key]):
                raise Raised(ValueError, "d_sigma_dx must be finite")
        elif not a[key] > 0:
            raise Raised(ValueError, f"{key} must be positive")


def model_greeks(name, a):
    """quorvane._greeks: every check is a validation error, in a fixed order."""
    if name == "bel_weights_gamma_constant_flow":
        check_constant_flow_scalars(a, ("horizon", "sigma_at_x0", "d_sigma_dx"))
        return [array_result(ref_cf_gamma_weights(a["w_terminals"].tolist(), a["horizon"], a["sigma_at_x0"],
                                                  a["d_sigma_dx"]))]
    if name == "bel_weights_vega_constant_flow":
        check_constant_flow_scalars(a, ("horizon", "d_sigma_dx", "volatility"))
        return [array_result(ref_cf_vega_weights(a["w_terminals"].tolist(), a["horizon"], a["d_sigma_dx"],
                                                 a["volatility"]))]
    if name == "price_and_greeks_constant_flow":
        check_constant_flow_scalars(a, ("horizon", "sigma_at_x0", "d_sigma_dx", "volatility"))
        ts, w = a["terminal_states"], a["w_terminals"]
        if len(ts) != len(w):
            raise Raised(ValueError, "terminal_states and w_terminals must have the same length")
        if a["payoff"] not in PAYOFFS:
            raise Raised(ValueError, f"unknown payoff '{a['payoff']}{EXPECTED_PAYOFFS}")
        return [tuple_result(ref_greeks_constant_flow(
            ts.tolist(), w.tolist(), *(a[k] for k in ("horizon", "sigma_at_x0", "d_sigma_dx", "volatility",
                                                       "payoff", "strike"))))]
    if name == "price_and_delta_tangent_flow_parallel":
        # Exact shapes, as the parallel weights check theirs, then the serial form's checks.
        n_paths, n_steps = tangent_flow_steps(a)
        fields = ["dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field"]
        check_shapes(a, fields, n_paths, n_steps)
        if a["payoff"] not in PAYOFFS:
            raise Raised(ValueError, f"unknown payoff '{a['payoff']}'")
        zeros = zero_sigma_candidates(a["sigma_field"], True)
        if zeros:
            return [("raised", ValueError, f"sigma_field[{i}, {j}] = 0 produces division by zero")
                    for i, j in zeros]
        return [tuple_result(tf_ref_price_and_delta(a["states"], *[a[k] for k in fields], a["horizon"],
                                                    a["payoff"], a["strike"]))]
    fused = name.startswith("price_and_greeks_tangent_flow")
    assert fused or name in ("bel_weights_gamma_tangent_flow", "bel_weights_gamma_tangent_flow_parallel")
    n_paths, n_steps = tangent_flow_steps(a, gamma=True)
    suffix = "_field" if fused else ""
    fields = ["dws"] + [k + suffix for k in ("sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")]
    check_shapes(a, fields, n_paths, n_steps)
    if fused and a["payoff"] not in PAYOFFS:
        raise Raised(ValueError, f"unknown payoff '{a['payoff']}{EXPECTED_PAYOFFS}")
    zeros = zero_sigma_candidates(a[fields[1]], name.endswith("parallel"))
    if zeros:
        return [("raised", ValueError, f"{fields[1]}[{i}, {j}] = 0 produces division by zero in BEL weight")
                for i, j in zeros]
    arrays = [a[k] for k in fields]
    if fused:
        return [tuple_result(ref_greeks_tangent_flow(a["states"], *arrays, a["horizon"], a["payoff"],
                                                     a["strike"]))]
    return [array_result(ref_gamma_weights(*arrays, a["horizon"]))]


def model_estimator(name, a):
    if name == "price_from_samples":
        return [tuple_result(ref_mean_stderr(a["samples"].tolist()))]
    if name == "bel_weights_constant_flow":
        if not a["horizon"] > 0:
            raise Raised(ValueError, "horizon must be positive")
        if not a["sigma_at_x0"] > 0:
            raise Raised(ValueError, "sigma_at_x0 must be positive")
        return [array_result(ref_weights(a["w_terminals"].tolist(), a["horizon"], a["sigma_at_x0"]))]
    if name == "price_and_delta_constant_flow":
        ts, w = a["terminal_states"], a["w_terminals"]
        if len(ts) != len(w):
            raise Raised(ValueError, "terminal_states and w_terminals must have the same length")
        if a["payoff"] not in PAYOFFS:
            raise Raised(ValueError, f"unknown payoff '{a['payoff']}{EXPECTED_PAYOFFS}")
        if not a["horizon"] > 0:
            raise Raised("panic", "horizon must be positive")
        if not a["sigma_at_x0"] > 0:
            raise Raised("panic", "sigma_at_x0 must be positive")
        return [tuple_result(ref_price_and_delta(ts.tolist(), w.tolist(), a["horizon"],
                                                 a["sigma_at_x0"], a["payoff"], a["strike"]))]
    if name in ("bel_weights_tangent_flow", "bel_weights_tangent_flow_parallel"):
        n_paths, n_steps = tangent_flow_steps(a)
        check_shapes(a, ("dws", "sigma", "d_mu_dx", "d_sigma_dx"), n_paths, n_steps)
        zeros = zero_sigma_candidates(a["sigma"], name.endswith("parallel"))
        if zeros:
            return [("raised", ValueError,
                     f"sigma[{i}, {j}] = 0 produces division by zero in BEL weight")
                    for i, j in zeros]
        return [array_result(tf_ref_weights(a["dws"], a["sigma"], a["d_mu_dx"], a["d_sigma_dx"],
                                            a["horizon"]))]
    if name != "price_and_delta_tangent_flow":
        return model_greeks(name, a)
    n_paths, n_steps = tangent_flow_steps(a)
    states = a["states"]
    dws, sigma = a["dws"], a["sigma_field"]
    d_mu_dx, d_sigma_dx = a["d_mu_dx_field"], a["d_sigma_dx_field"]
    if n_paths and (dws.shape[0] < n_paths or dws.shape[1] < n_steps):
        raise Raised("panic", "ndarray: index out of bounds")
    if a["payoff"] not in PAYOFFS:
        raise Raised(ValueError, f"unknown payoff '{a['payoff']}'")

    def inside(m, i, j):
        return i < m.shape[0] and j < m.shape[1]

    for i in range(n_paths):
        for j in range(n_steps):
            if not inside(sigma, i, j):
                raise Raised("panic", "ndarray: index out of bounds")
            if sigma[i, j] == 0.0:
                raise Raised(ValueError, f"sigma_field[{i}, {j}] = 0 produces division by zero")
            if not (inside(d_mu_dx, i, j) and inside(d_sigma_dx, i, j)):
                raise Raised("panic", "ndarray: index out of bounds")
    return [tuple_result(tf_ref_price_and_delta(states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                a["horizon"], a["payoff"], a["strike"]))]


def expected_outcomes(case, positional, keywords, panic_type):
    try:
        converted = convert(case, bind(case, positional, keywords))
        return model_estimator(case.name, converted)
    except Raised as verdict:
        cls = panic_type if verdict.cls == "panic" else verdict.cls
        return [("raised", cls, verdict.message)]


# ---------------------------------------------------------------------------
# The properties
# ---------------------------------------------------------------------------

FUZZ = settings(max_examples=scaled(400, minimum=25), derandomize=True, deadline=None,
                database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                       HealthCheck.data_too_large, HealthCheck.filter_too_much])


def check_call(case, positional, keywords, direct, panic_type):
    expected = expected_outcomes(case, positional, keywords, panic_type)
    if direct:
        actual = outcome(lambda: vectorcall(case.function, positional, keywords))
    else:
        actual = outcome(lambda: case.function(*positional, **dict(keywords)))
    assert actual in expected, (actual, expected)
    assert borrow_count() == 0


@pytest.mark.parametrize("case", ALL_FUNCTIONS, ids=repr)
def test_every_argument_list_gets_the_models_outcome(case, panic_type):
    @FUZZ
    @given(data=st.data())
    def run(data):
        positional, keywords, direct = data.draw(calls(case), label="call")
        if not direct:  # what a Python call can express: distinct str names
            assert len({k for k, _ in keywords}) == len(keywords)
            assert all(type(k) is str for k, _ in keywords)
        check_call(case, positional, keywords, direct, panic_type)

    run()


@pytest.mark.skipif(_vectorcall is None, reason="PyObject_Vectorcall is not exported")
@pytest.mark.parametrize("case", ALL_FUNCTIONS, ids=repr)
def test_direct_vectorcall_agrees_with_a_python_call(case, panic_type):
    """The ctypes route reaches the same entry as a Python call, with the same
    results and messages: the model's verdicts apply to it unchanged."""
    args = case.valid_args()
    keywords = list(zip(case.parameters[1:], args[1:]))
    for positional, kw in [(args, []), (args[:1], keywords), ((), list(zip(case.parameters, args)))]:
        direct = outcome(lambda: vectorcall(case.function, positional, kw))
        python = outcome(lambda: case.function(*positional, **dict(kw)))
        assert direct == python == expected_outcomes(case, list(positional), kw, panic_type)[0]
        assert direct[0] in ("array", "tuple")
    name = case.parameters[-1]
    twice = [(name, args[-1]), (name, args[-1])]
    assert outcome(lambda: vectorcall(case.function, args[:-1], twice)) == \
        ("raised", TypeError, f"{case.name}() got multiple values for argument '{name}'")
    assert len(args) == len(case.parameters)
    assert outcome(lambda: vectorcall(case.function, args + (None,), [(7, 1.0)])) == \
        ("raised", TypeError, too_many_message(case, len(args) + 1))
    assert outcome(lambda: vectorcall(case.function, args[:case.required], [(7, 1.0)])) == \
        ("raised", TypeError, f"{case.name}() got an unexpected keyword argument '7'")
