"""The module surface: names and their order, docstrings, signatures, import."""

import ast
import importlib
import inspect
import pathlib
import sys

import numpy as np
import pytest

import _quorvane
import quorvane
from quorvane import _average, _chunks, _greeks, _localised

from conftest import SUBINTERPRETER_IMPORT, run_python

# Every function of the module, in table order, and its text signature.
SIGNATURES = {
    "bel_weights_constant_flow": "(w_terminals, horizon, sigma_at_x0)",
    "bel_weights_tangent_flow": "(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)",
    "bel_weights_tangent_flow_parallel": "(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)",
    "price_from_samples": "(samples)",
    "price_and_delta_constant_flow":
        "(terminal_states, w_terminals, horizon, sigma_at_x0, payoff, strike=0.0)",
    "price_and_delta_tangent_flow":
        "(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon, payoff, strike=0.0)",
}
FUNCTION_TABLE = list(SIGNATURES)

DOC_START = {
    "bel_weights_constant_flow": "Low-level",
    "bel_weights_tangent_flow": "Low-level",
    "bel_weights_tangent_flow_parallel": "Low-level (parallel)",
    "price_from_samples": "Low-level",
    "price_and_delta_constant_flow": "High-level",
    "price_and_delta_tangent_flow": "High-level",
}


def test_all_lists_the_functions_in_table_order_then_version():
    assert type(_quorvane.__all__) is list
    assert _quorvane.__all__ == FUNCTION_TABLE + ["__version__"]
    assert [n for n in dir(_quorvane) if not n.startswith("_")] == sorted(FUNCTION_TABLE)


def test_version_and_module_doc():
    assert _quorvane.__version__ == "0.1.3"
    assert type(_quorvane.__version__) is str
    assert _quorvane.__doc__ == ""


@pytest.mark.parametrize("name", FUNCTION_TABLE)
def test_function_attributes(name):
    f = getattr(_quorvane, name)
    assert f.__name__ == name
    assert f.__text_signature__ == SIGNATURES[name]
    assert f.__doc__.startswith(DOC_START[name])
    assert "\n--\n" not in f.__doc__ and not f.__doc__.endswith("\n")
    assert f.__module__ == "_quorvane"
    assert f.__self__ is _quorvane
    assert str(inspect.signature(f)) == SIGNATURES[name]


def test_signature_of_high_level_estimator_ends_with_strike_default():
    params = list(inspect.signature(_quorvane.price_and_delta_constant_flow).parameters.values())
    assert [p.name for p in params] == ["terminal_states", "w_terminals", "horizon",
                                        "sigma_at_x0", "payoff", "strike"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params[:5])
    assert params[-1].default == 0.0 and type(params[-1].default) is float


def test_docstrings_carry_the_documented_content():
    doc = _quorvane.bel_weights_constant_flow.__doc__
    assert "bel_weights_constant_flow(w_terminals, horizon=1.0, sigma_at_x0=20.0)" in doc
    assert "```python" in doc and "bel_weights_tangent_flow" in doc
    doc = _quorvane.price_and_delta_constant_flow.__doc__
    assert "(price, delta, price_stderr, delta_stderr)" in doc
    for payoff in ("identity", "call", "put", "digital_call"):
        assert payoff in doc


# The stubs of the modules. mypy.stubtest (.ci/typing.sh) holds their `def`s to the
# functions' text signatures and checks __all__. It never reads a result type, nor
# the parameters of a function declared through a shared signature: this checks both.
STUBS = {_quorvane: "python/_quorvane-stubs/__init__.pyi", _greeks: "python/quorvane/_greeks.pyi",
         _chunks: "python/quorvane/_chunks.pyi", _localised: "python/quorvane/_localised.pyi",
         _average: "python/quorvane/_average.pyi"}
SIGNATURES_STUB = "python/quorvane/_signatures.pyi"  # the parameter lists the stubs share
N_PATHS, N_STEPS = 5, 4


def stub_functions():
    # A list, not a generator: newer pytest deprecates parametrizing over an iterator.
    root = pathlib.Path(__file__).resolve().parents[1]
    # A function declared as `name: Signature[Result]` has the parameters of the
    # Protocol's __call__ (without self) and returns Result.
    signatures = {node.name: next(f for f in node.body if isinstance(f, ast.FunctionDef))
                  for node in ast.parse((root / SIGNATURES_STUB).read_text()).body
                  if isinstance(node, ast.ClassDef)}
    functions = []
    for module, path in STUBS.items():
        declared = {}
        for node in ast.parse((root / path).read_text()).body:
            if isinstance(node, ast.FunctionDef):
                declared[node.name] = node
            elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
                declared[node.targets[0].id] = declared[node.value.id]  # a form declared as another
            elif isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Subscript):
                call = signatures[node.annotation.value.id]
                arguments = ast.arguments(posonlyargs=[], args=call.args.args[1:], kwonlyargs=[],
                                          kw_defaults=[], defaults=call.args.defaults)
                declared[node.target.id] = ast.FunctionDef(node.target.id, arguments, [], [],
                                                           node.annotation.slice)
        for name, node in declared.items():
            functions.append(pytest.param(module, name, node, id=f"{module.__name__}.{name}"))
    return functions


def stub_argument(parameter):
    annotation = parameter.annotation
    if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal":
        allowed = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
        return allowed[0].value
    kind = ast.unparse(annotation)
    if kind == "_Matrix" and parameter.arg == "sums":  # chunks of one path: n, then S1 and S2 of one lane
        return np.ones((N_PATHS, 3))
    if kind == "_Matrix" and parameter.arg == "monitored_states":  # as many dates as the vectors have
        return np.full((N_PATHS, N_PATHS), 0.2)
    if kind == "_Matrix":
        return np.full((N_PATHS, N_STEPS + (parameter.arg == "states")), 0.2)
    if parameter.arg == "monitoring_times":  # in (0, horizon]
        return np.linspace(0.2, 1.0, N_PATHS)
    return {"_Vector": np.linspace(0.5, 1.5, N_PATHS), "_Float": 1.0, "_Payoff": "call"}[kind]


def vector_length(module, name, arguments):
    if module is not _chunks:
        return N_PATHS  # weights, one per path
    if name == "estimate_from_sums":
        return arguments[0].shape[1] - 1  # the mean, then the stderr, of each lane
    if name.endswith("_localised"):  # the price, then per Greek plain BEL and four bands
        greeks = (len(getattr(_localised, name)(*arguments)) - 2) // 3
        return 1 + 2 * (1 + 5 * greeks)
    estimator = getattr(_quorvane, name, None) or getattr(_greeks, name, None) or getattr(_average, name)
    return 1 + len(estimator(*arguments))  # n, then S1 and S2 of each of the estimator's lanes


@pytest.mark.parametrize(("module", "name", "stub"), stub_functions())
def test_stub_parameters_and_result_types_are_the_functions(module, name, stub):
    # stubtest passed a stub that declared price_from_samples -> tuple[float, float, float].
    defaults = [None] * (len(stub.args.args) - len(stub.args.defaults)) + stub.args.defaults
    parameters = [p.arg if d is None else f"{p.arg}={ast.unparse(d)}" for p, d in zip(stub.args.args, defaults)]
    assert f"({', '.join(parameters)})" == getattr(module, name).__text_signature__
    required = stub.args.args[:len(stub.args.args) - len(stub.args.defaults)]
    arguments = [stub_argument(parameter) for parameter in required]
    result = getattr(module, name)(*arguments)
    declared = ast.unparse(stub.returns)
    if declared == "_Vector":
        items, result = ["_Vector"], (result,)
    else:
        assert declared.startswith("tuple[") and declared.endswith("]"), declared
        assert type(result) is tuple
        items = declared[len("tuple["):-1].split(", ")
    assert len(items) == len(result)
    for item, value in zip(items, result):
        if item == "_Vector":
            assert type(value) is np.ndarray and value.dtype == np.float64
            assert value.shape == (vector_length(module, name, arguments),)
        else:
            assert item == "float" and type(value) is float, item


def test_reimport_after_deleting_from_sys_modules_is_the_same_object():
    module = sys.modules.pop("_quorvane")
    try:
        again = importlib.import_module("_quorvane")
        assert again is module
        assert again.__all__ == FUNCTION_TABLE + ["__version__"]
        assert again.__version__ == "0.1.3"
    finally:
        sys.modules["_quorvane"] = module


# The package's wrappers (named estimates, checks) in front of these; the others are the
# module's objects.
WRAPPED = {"price_from_samples", "price_and_delta_constant_flow", "price_and_delta_tangent_flow"}


def test_package_reexports_the_same_objects_or_wrappers_binding_like_them():
    for name in _quorvane.__all__:
        ours, module = getattr(quorvane, name), getattr(_quorvane, name)
        if name not in WRAPPED:
            assert ours is module
            continue
        assert ours.__name__ == name and ours.__module__ == "quorvane._results"
        signature = inspect.signature(ours).replace(return_annotation=inspect.Signature.empty)
        unannotated = [p.replace(annotation=inspect.Parameter.empty)
                       for p in signature.parameters.values()]
        # the module's parameters, then the package's keyword-only discount factor
        assert str(signature.replace(parameters=unannotated)) == SIGNATURES[name][:-1] + ", *, discount=1.0)"
    # and the exception class of internal failures, which the extension does not carry
    assert set(_quorvane.__all__) | {"PanicException"} <= set(quorvane.__all__)


def test_import_does_not_import_numpy_but_the_first_array_call_does():
    code = (
        "import sys\n"
        "import _quorvane\n"
        "print('numpy' in sys.modules)\n"
        "try:\n"
        "    _quorvane.price_from_samples([1.0])\n"
        "except TypeError as e:\n"
        "    print(e)\n"
        "print('numpy' in sys.modules)\n"
    )
    # with warnings as errors: no deprecated NumPy module is touched either
    out = run_python(code, env_extra={"PYTHONWARNINGS": "error"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "False",
        "argument 'samples': 'list' object cannot be converted to 'PyArray<T, D>'",
        "True",
    ]



OUTER_CODE = """
import sys
import _quorvane
code = {inner!r}
try:
    from _testcapi import run_in_subinterp
except ImportError:
    run_in_subinterp = None
if run_in_subinterp is not None:
    run_in_subinterp(code)
else:
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
"""


def test_sub_interpreter_import_is_refused(tmp_path):
    marker = tmp_path / "result.txt"
    inner = SUBINTERPRETER_IMPORT.format(path=sys.path, marker=str(marker))
    out = run_python(OUTER_CODE.format(inner=inner))
    assert out.returncode == 0, out.stderr
    result = marker.read_text()
    assert result.startswith("ImportError: "), result
    assert "sub-interpreter" in result
