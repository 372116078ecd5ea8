"""Argument binding (positional and keyword), its messages and their order, and
the conversion of scalar and text arguments."""

import ctypes

import numpy as np
import pytest

import _quorvane as q

from conftest import FUNCTIONS, Floaty, Holder, Indexy, bits, run_python, same_result

# ---------------------------------------------------------------------------
# The message rules, as a reference for the generic table tests
# ---------------------------------------------------------------------------


def too_many_message(case, given):
    n = len(case.parameters)
    takes = str(n) if case.required == n else f"from {case.required} to {n}"
    verb = "was" if given == 1 else "were"
    return f"{case.name}() takes {takes} positional arguments but {given} {verb} given"


def missing_message(case, names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        listed = quoted[0]
    elif len(quoted) == 2:
        listed = " and ".join(quoted)
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    plural = "argument" if len(names) == 1 else "arguments"
    return f"{case.name}() missing {len(names)} required positional {plural}: {listed}"


def raises_type_error(call, message, capfd=None):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)
    if capfd is not None:
        assert capfd.readouterr().err == ""
    return info.value


@pytest.mark.parametrize("case", FUNCTIONS, ids=repr)
def test_too_many_positional_is_reported_before_any_keyword(case, capfd):
    args = case.valid_args() + (None,) * (len(case.parameters) + 1 - len(case.valid_args()))
    given = len(args)
    raises_type_error(lambda: case.function(*args), too_many_message(case, given), capfd)
    raises_type_error(lambda: case.function(*args, bogus=1), too_many_message(case, given))
    name = case.parameters[0]
    raises_type_error(lambda: case.function(*args, None, **{name: 1}),
                      too_many_message(case, given + 1))


@pytest.mark.parametrize("case", FUNCTIONS, ids=repr)
def test_missing_lists_every_empty_required_slot(case, capfd):
    args = case.valid_args()
    for k in range(case.required):
        raises_type_error(lambda: case.function(*args[:k]),
                          missing_message(case, case.parameters[k:case.required]), capfd)
    # Keywords fill slots too: only the required ones left empty are listed.
    for k in range(case.required):
        kwargs = {p: a for i, (p, a) in enumerate(zip(case.parameters, args)) if i != k}
        raises_type_error(lambda: case.function(**kwargs),
                          missing_message(case, [case.parameters[k]]))


@pytest.mark.parametrize("case", FUNCTIONS, ids=repr)
def test_multiple_values_for_every_parameter(case):
    args = case.valid_args()
    for name, value in zip(case.parameters, args):
        raises_type_error(lambda: case.function(*args, **{name: value}),
                          f"{case.name}() got multiple values for argument '{name}'")


@pytest.mark.parametrize("case", FUNCTIONS, ids=repr)
def test_keywords_bind_like_positions_in_any_order(case):
    args = case.valid_args()
    expected = case.function(*args)
    kwargs = dict(zip(case.parameters, args))
    assert same_result(case.function(**kwargs), expected)
    assert same_result(case.function(**dict(reversed(list(kwargs.items())))), expected)
    assert same_result(case.function(args[0], **dict(list(kwargs.items())[1:])), expected)


@pytest.mark.parametrize("case", FUNCTIONS, ids=repr)
def test_unknown_keyword_names(case):
    args = case.valid_args()
    for bad in ("foo", case.parameters[0].upper(), case.parameters[0] + " ", "", "samples_"):
        if bad in case.parameters:
            continue
        raises_type_error(lambda: case.function(*args, **{bad: 1}),
                          f"{case.name}() got an unexpected keyword argument '{bad}'")


W = np.array([1.0, 2.0])


@pytest.mark.parametrize("call, message", [
    (lambda: q.bel_weights_constant_flow(W, 1.0, 2.0, 3.0),
     "bel_weights_constant_flow() takes 3 positional arguments but 4 were given"),
    (lambda: q.bel_weights_constant_flow(W, 1.0, 2.0, 3.0, T=1.0),
     "bel_weights_constant_flow() takes 3 positional arguments but 4 were given"),
    (lambda: q.price_and_delta_constant_flow(W, W, 1.0, 2.0, "call", 1.0, 1.0),
     "price_and_delta_constant_flow() takes from 5 to 6 positional arguments but 7 were given"),
    (lambda: q.price_from_samples(W, W),
     "price_from_samples() takes 1 positional arguments but 2 were given"),
    (lambda: q.price_from_samples(),
     "price_from_samples() missing 1 required positional argument: 'samples'"),
    (lambda: q.price_and_delta_constant_flow(W, W),
     "price_and_delta_constant_flow() missing 3 required positional arguments: "
     "'horizon', 'sigma_at_x0', and 'payoff'"),
    (lambda: q.price_and_delta_constant_flow(W, W, 1.0),
     "price_and_delta_constant_flow() missing 2 required positional arguments: "
     "'sigma_at_x0' and 'payoff'"),
    (lambda: q.price_and_delta_constant_flow(W, horizon=1.0, payoff="call", strike=1.0),
     "price_and_delta_constant_flow() missing 2 required positional arguments: "
     "'w_terminals' and 'sigma_at_x0'"),
    (lambda: q.price_and_delta_constant_flow(strike=1.0),
     "price_and_delta_constant_flow() missing 5 required positional arguments: "
     "'terminal_states', 'w_terminals', 'horizon', 'sigma_at_x0', and 'payoff'"),
    (lambda: q.bel_weights_constant_flow(W, T=1.0, sigma_at_x0=2.0),
     "bel_weights_constant_flow() got an unexpected keyword argument 'T'"),
    (lambda: q.price_from_samples(W, samples=W),
     "price_from_samples() got multiple values for argument 'samples'"),
    (lambda: q.price_from_samples(W, foo=1),
     "price_from_samples() got an unexpected keyword argument 'foo'"),
    # keywords in the caller's order: the first bad one wins
    (lambda: q.price_from_samples(W, zzz=1, samples=W),
     "price_from_samples() got an unexpected keyword argument 'zzz'"),
    (lambda: q.price_from_samples(W, samples=W, zzz=1),
     "price_from_samples() got multiple values for argument 'samples'"),
    (lambda: q.bel_weights_constant_flow(W, 1.0, sigma_at_x0=2.0, horizon=1.0),
     "bel_weights_constant_flow() got multiple values for argument 'horizon'"),
    # a keyword problem is reported before missing arguments
    (lambda: q.price_and_delta_constant_flow(W, foo=1),
     "price_and_delta_constant_flow() got an unexpected keyword argument 'foo'"),
    # binding comes before any conversion
    (lambda: q.bel_weights_constant_flow([1.0], "x", None, None),
     "bel_weights_constant_flow() takes 3 positional arguments but 4 were given"),
    (lambda: q.price_from_samples(None, Samples=None),
     "price_from_samples() got an unexpected keyword argument 'Samples'"),
    # a name that cannot be encoded names no parameter; it is shown with U+FFFD
    (lambda: q.price_from_samples(W, **{"\ud800": 1}),
     "price_from_samples() got an unexpected keyword argument '\ufffd'"),
    (lambda: q.price_from_samples(W, **{"x\udcffy": 1}),
     "price_from_samples() got an unexpected keyword argument 'x\ufffdy'"),
    # names are compared as whole byte strings
    (lambda: q.price_from_samples(**{"samples\x00": W}),
     "price_from_samples() got an unexpected keyword argument 'samples\x00'"),
])
def test_binding_messages(call, message, capfd):
    raises_type_error(call, message, capfd)


class ShownAs(str):
    def __str__(self):
        return "shown"


def test_keyword_name_is_matched_by_its_text_and_rendered_by_str():
    assert same_result(q.price_from_samples(**{ShownAs("samples"): W}), q.price_from_samples(W))
    raises_type_error(lambda: q.price_from_samples(W, **{ShownAs("other"): 1}),
                      "price_from_samples() got an unexpected keyword argument 'shown'")


def test_strike_omitted_is_zero_and_keyword_strike_binds_like_position():
    ts = np.array([90.0, 100.0, 110.0, 120.0])
    w = np.array([-1.0, 0.0, 0.5, 1.5])
    f = q.price_and_delta_constant_flow
    positional = f(ts, w, 1.0, 0.2, "call", 1.5)
    assert same_result(f(ts, w, 1.0, 0.2, "call", strike=1.5), positional)
    assert same_result(f(ts, w, 1.0, 0.2, "call"), f(ts, w, 1.0, 0.2, "call", 0.0))
    assert same_result(f(ts, w, 1.0, 0.2, "digital_call"), f(ts, w, 1.0, 0.2, "digital_call", -0.0))
    assert not same_result(f(ts, w, 1.0, 0.2, "call"), positional)


# ---------------------------------------------------------------------------
# Scalar conversion
# ---------------------------------------------------------------------------


def interpreter_float_error(obj):
    """The exception the interpreter's own float conversion raises for obj."""
    as_double = ctypes.pythonapi.PyFloat_AsDouble
    as_double.restype = ctypes.c_double
    as_double.argtypes = [ctypes.py_object]
    with pytest.raises(Exception) as info:
        as_double(obj)
    return info.value


def weights(horizon, sigma=2.0):
    return q.bel_weights_constant_flow(np.array([1.0, -3.0]), horizon, sigma)




@pytest.mark.parametrize("value, expected", [
    (True, 1.0), (False, 0.0), (3, 3.0), (2**53 + 1, 9007199254740992.0),
    (np.float64(0.5), 0.5), (np.float32(0.1), float(np.float32(0.1))), (np.int64(7), 7.0),
    (np.True_, 1.0), (Floaty(0.25), 0.25), (Indexy(5), 5.0), (-1.0, -1.0), (-1, -1.0),
])
def test_float_conversion_accepts_what_the_interpreter_converts(value, expected):
    # ts of one path: price = x and the estimate depends on strike exactly.
    ts = np.array([expected + 10.0])
    got = q.price_and_delta_constant_flow(ts, ts, 1.0, 1.0, "call", value)
    assert bits(got[0]) == bits(ref_call(expected + 10.0, expected))
    if expected > 0:
        assert [bits(v) for v in weights(value).tolist()] == [bits(v) for v in weights(expected).tolist()]


def ref_call(x, k):
    d = x - k
    return d if d > 0 else 0.0


def test_minus_one_without_pending_error_is_a_value():
    # -1.0 is the conversion's error marker; with no error pending it is just -1.0.
    with pytest.raises(ValueError, match="^horizon must be positive$"):
        weights(Floaty(-1.0))
    with pytest.raises(ValueError, match="^sigma_at_x0 must be positive$"):
        weights(1.0, Indexy(-1))


@pytest.mark.parametrize("value", ["1", None, b"1", [1.0], Floaty("1.0"), Floaty(1)])
def test_plain_type_error_gets_the_argument_prefix(value):
    expected = interpreter_float_error(value)
    assert type(expected) is TypeError
    error = raises_type_error(lambda: weights(value), "argument 'horizon': " + str(expected))
    assert error.__cause__ is None


def test_strike_none_fails_conversion_instead_of_selecting_the_default():
    ts = np.array([1.0])
    expected = "argument 'strike': " + str(interpreter_float_error(None))
    raises_type_error(lambda: q.price_and_delta_constant_flow(ts, ts, 1.0, 1.0, "call", None),
                      expected)
    raises_type_error(lambda: q.price_and_delta_constant_flow(ts, ts, 1.0, 1.0, "call", strike=None),
                      expected)


@pytest.mark.parametrize("value", [10**400, -(10**400), Indexy(10**400)])
def test_overflow_is_raised_unchanged(value):
    expected = interpreter_float_error(value)
    with pytest.raises(OverflowError) as info:
        weights(value)
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected)
    assert not str(info.value).startswith("argument")


class Raising(Holder):
    def __float__(self):
        raise self.value


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("no float here"), MyTypeError("sub"),
                                   ZeroDivisionError("z"), KeyError("k")])
def test_other_exceptions_are_the_very_same_object(error):
    with pytest.raises(type(error)) as info:
        weights(Raising(error))
    assert info.value is error
    assert str(info.value) == str(error)


def test_exact_type_error_keeps_its_cause():
    cause = KeyError("root")
    error = TypeError("boom")
    error.__cause__ = cause
    raised = raises_type_error(lambda: weights(Raising(error)), "argument 'horizon': boom")
    assert raised is not error
    assert raised.__cause__ is cause
    raises_type_error(lambda: weights(1.0, Raising(TypeError("x", "y"))),
                      "argument 'sigma_at_x0': ('x', 'y')")


def test_scalars_convert_in_parameter_order_and_stop_at_the_first_failure():
    calls = []

    class Recorded:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __float__(self):
            calls.append(self.name)
            return self.value

    ts = np.array([1.0])
    q.price_and_delta_constant_flow(ts, ts, Recorded("horizon", 1.0), Recorded("sigma", 1.0),
                                    "call", Recorded("strike", 0.0))
    assert calls == ["horizon", "sigma", "strike"]
    calls.clear()
    with pytest.raises(TypeError, match="^argument 'sigma_at_x0': "):
        q.price_and_delta_constant_flow(ts, ts, Recorded("horizon", 1.0), "bad", "call",
                                        Recorded("strike", 0.0))
    assert calls == ["horizon"]
    calls.clear()
    with pytest.raises(TypeError, match="^argument 'terminal_states': "):
        q.price_and_delta_constant_flow([1.0], ts, Recorded("horizon", 1.0), 1.0, "call")
    assert calls == []


TS = np.array([1.0, 2.0])


@pytest.mark.parametrize("kwargs, message", [
    (dict(terminal_states=[1.0], w_terminals=[1.0], horizon="x"),
     "argument 'terminal_states': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (dict(w_terminals=np.zeros(2, np.float32), horizon="x"),
     "argument 'w_terminals': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (dict(horizon="x", sigma_at_x0="y"), "argument 'horizon': must be real number, not str"),
    (dict(sigma_at_x0="y", payoff=b"call"), "argument 'sigma_at_x0': must be real number, not str"),
    (dict(payoff=b"call", strike=None),
     "argument 'payoff': 'bytes' object cannot be converted to 'PyString'"),
    (dict(payoff=None), "argument 'payoff': 'NoneType' object cannot be converted to 'PyString'"),
    # conversion of every argument comes before any validation of the estimator
    (dict(payoff="nope", strike=None), "argument 'strike': must be real number, not NoneType"),
    (dict(w_terminals=np.zeros(5), horizon=-1.0, strike="1"),
     "argument 'strike': must be real number, not str"),
])
def test_first_failing_conversion_is_reported(kwargs, message, capfd):
    args = dict(terminal_states=TS, w_terminals=TS, horizon=1.0, sigma_at_x0=1.0, payoff="call")
    args.update(kwargs)
    raises_type_error(lambda: q.price_and_delta_constant_flow(**args), message, capfd)


def test_wrong_array_together_with_wrong_horizon_reports_the_array():
    raises_type_error(lambda: q.bel_weights_constant_flow((1.0,), "1", None),
                      "argument 'w_terminals': 'tuple' object cannot be converted to 'PyArray<T, D>'")


def test_payoff_type_name_is_the_qualified_name():
    class Payoff:
        pass

    raises_type_error(lambda: q.price_and_delta_constant_flow(TS, TS, 1.0, 1.0, Payoff()),
                      "argument 'payoff': 'test_payoff_type_name_is_the_qualified_name.<locals>."
                      "Payoff' object cannot be converted to 'PyString'")


class CallText(str):
    def __str__(self):
        return "put"

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


def test_str_subclass_payoff_is_read_by_its_text():
    ts = np.array([90.0, 100.0, 110.0, 120.0])
    assert same_result(q.price_and_delta_constant_flow(ts, ts, 1.0, 1.0, CallText("call"), 100.0),
                       q.price_and_delta_constant_flow(ts, ts, 1.0, 1.0, "call", 100.0))


@pytest.mark.parametrize("text", ["\ud800", "call\udfff"])
def test_unencodable_payoff_raises_the_interpreters_unicode_error(text):
    with pytest.raises(UnicodeEncodeError) as info:
        q.price_and_delta_constant_flow(TS, TS, 1.0, 1.0, text)
    with pytest.raises(UnicodeEncodeError) as direct:
        text.encode("utf-8")
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(direct.value)


def test_panic_inside_a_conversion_is_resumed_with_its_message(panic_type, capfd):
    a = np.zeros(1)

    class Reentrant:
        def __float__(self):
            q.price_and_delta_constant_flow(a, a, 1.0, float("nan"), "call")
            return 1.0

    with pytest.raises(panic_type) as info:
        q.bel_weights_constant_flow(a, Reentrant(), 1.0)
    assert type(info.value) is panic_type
    assert str(info.value) == "sigma_at_x0 must be positive"
    assert info.value.args == ("sigma_at_x0 must be positive",)
    err = capfd.readouterr().err
    assert "sigma_at_x0 must be positive" in err and "Python stack trace below:" in err
    # and nothing is left behind: the next call works
    assert same_result(q.bel_weights_constant_flow(a, 1.0, 1.0), q.bel_weights_constant_flow(a, 1.0, 1.0))


def test_panic_caught_inside_a_conversion_does_not_leak_out(panic_type):
    a = np.array([2.0])

    class Swallowing:
        def __float__(self):
            try:
                q.price_and_delta_constant_flow(a, a, 0.0, 1.0, "call")
            except panic_type:
                return 4.0
            return 0.0

    assert q.bel_weights_constant_flow(a, Swallowing(), 1.0).tolist() == [0.5]


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot show")


def test_unprintable_texts_are_reported_as_unraisable_and_replaced(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    error = TypeError(Unprintable())
    raises_type_error(lambda: weights(Raising(error)), "argument 'horizon': <unprintable TypeError object>")
    assert len(seen) == 1 and seen[0].exc_type is RuntimeError and seen[0].object is error

    class Key(str):
        def __str__(self):
            raise RuntimeError("no")

    raises_type_error(lambda: q.price_from_samples(W, **{Key("k"): 1}),
                      "price_from_samples() got an unexpected keyword argument '<unprintable Key object>'")
    assert len(seen) == 2 and seen[1].exc_type is RuntimeError and seen[1].object == "k"


def test_lone_surrogates_in_an_exception_text_become_replacement_characters():
    raises_type_error(lambda: weights(Raising(TypeError("a\ud800b\udfff"))),
                      "argument 'horizon': a\ufffdb\ufffd")


@pytest.mark.parametrize("error", [SystemExit(3), KeyboardInterrupt(), GeneratorExit()])
def test_base_exceptions_from_a_conversion_pass_through_unchanged(error):
    with pytest.raises(BaseException) as info:
        weights(Raising(error))
    assert info.value is error


def test_panic_raised_by_python_code_is_resumed(panic_type, capfd):
    with pytest.raises(panic_type) as info:
        weights(Raising(panic_type("raised in Python")))
    assert info.value.args == ("raised in Python",)

    class SubPanic(panic_type):
        pass

    with pytest.raises(panic_type) as info:
        weights(1.0, Raising(SubPanic("sub")))
    assert type(info.value) is panic_type and str(info.value) == "sub"
    # a PanicException whose str() fails is resumed with a fixed message
    with pytest.raises(panic_type) as info:
        weights(Raising(panic_type(Unprintable())))
    assert str(info.value) == "Unwrapped panic from Python code"
    assert capfd.readouterr().err.count("Python stack trace below:") == 3


# ---------------------------------------------------------------------------
# PanicException: one importable class, so it survives pickling
# ---------------------------------------------------------------------------


def test_panic_exception_is_the_importable_runtime_class(panic_type):
    import quorvane
    import quorvane_runtime

    assert panic_type is quorvane_runtime.PanicException is quorvane.PanicException
    assert not hasattr(q, "PanicException")
    # exactly the class the C API makes for an exception with a docstring
    new_exception = ctypes.pythonapi.PyErr_NewExceptionWithDoc
    new_exception.restype = ctypes.py_object
    new_exception.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.py_object, ctypes.c_void_p]
    made = new_exception(b"quorvane_runtime.PanicException", panic_type.__doc__.encode(),
                         BaseException, None)
    assert (panic_type.__name__, panic_type.__qualname__, panic_type.__module__, panic_type.__bases__) \
        == (made.__name__, made.__qualname__, made.__module__, made.__bases__)
    assert sorted(vars(panic_type)) == sorted(vars(made))
    doc = panic_type.__doc__
    assert doc.startswith("\nThe exception raised when the native code") and doc.endswith("exit.\n")
    assert len(doc.strip("\n").split("\n\n")) == 2 and "SystemExit" in doc


def test_fallback_panic_exception_is_the_runtime_class_when_that_module_is_missing(panic_type):
    # Without quorvane_runtime the native code makes the class itself, with its
    # own copy of the docstring, and registers it under the runtime module's name.
    out = run_python(
        "import sys\n"
        "class Missing:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'quorvane_runtime':\n"
        "            raise ImportError('no runtime module')\n"
        "sys.meta_path.insert(0, Missing())\n"
        "import numpy as np, _quorvane\n"
        "a = np.zeros(1)\n"
        "try:\n"
        "    _quorvane.price_and_delta_constant_flow(a, a, 0.0, 1.0, 'call')\n"
        "except BaseException as e:\n"
        "    cls = type(e)\n"
        "assert sys.modules['quorvane_runtime'].PanicException is cls\n"
        "print(repr((cls.__doc__, cls.__module__, cls.__qualname__, cls.__bases__, sorted(vars(cls)))))")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr((panic_type.__doc__, panic_type.__module__, panic_type.__qualname__,
                                       panic_type.__bases__, sorted(vars(panic_type))))


def test_runtime_module_imports_nothing():
    out = run_python("import sys\nbefore = set(sys.modules)\nimport quorvane_runtime\n"
                     "print(sorted(set(sys.modules) - before))")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['quorvane_runtime']"


def test_panic_exception_crosses_a_process_boundary(panic_type):
    import concurrent.futures
    import multiprocessing
    import pickle

    a = np.zeros(3)
    caught = None
    try:
        q.price_and_delta_constant_flow(a, a, 0.0, 0.2, "call")
    except panic_type as error:
        caught = error
    again = pickle.loads(pickle.dumps(caught))
    assert type(again) is panic_type and again.args == ("horizon must be positive",)
    # A fresh process sends the worker's exception back by pickle.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        future = pool.submit(q.price_and_delta_constant_flow, a, a, 0.0, 0.2, "call")
        error = future.exception(timeout=120)
    assert type(error) is panic_type and str(error) == "horizon must be positive"
