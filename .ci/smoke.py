"""Smoke test of an installed quorvane: every public name imports, and every
function, model and named tuple is used once on tiny valid inputs.

It walks `__all__` of quorvane, quorvane.dask and quorvane.models, so a name
added later is covered without a change here; a required parameter whose name
it does not know stops it with a message saying so. Names it cannot call
generically (exception classes, abstract bases, type aliases, the version) are
checked to exist and to be what they claim. Run it from outside the source tree:

    python .ci/smoke.py
"""

from __future__ import annotations

import inspect
import sys
import typing
from typing import Any, Callable

import numpy as np

import quorvane
import quorvane.dask
import quorvane.models

N_PATHS, N_STEPS = 8, 4
rng = np.random.default_rng(2024)
DWS = rng.standard_normal((N_PATHS, N_STEPS)) * 0.5
STATES = np.cumsum(np.hstack([np.ones((N_PATHS, 1)), 0.1 * DWS]), axis=1)  # positive, from 1.0

# Values by parameter name. In a function over path batches (one with `states`),
# the per-step names are (paths x steps) arrays; elsewhere the same names are the
# constant-flow scalars.
PATH_ARRAYS = {
    "states": STATES,
    "dws": DWS,
    "sigma": 0.2 * STATES[:, :-1],
    "d_mu_dx": np.full((N_PATHS, N_STEPS), 0.03),
    "d_sigma_dx": np.full((N_PATHS, N_STEPS), 0.2),
    "d2_mu_dx2": np.zeros((N_PATHS, N_STEPS)),
    "d2_sigma_dx2": np.zeros((N_PATHS, N_STEPS)),
}
PATH_ARRAYS.update({f"{name}_field": value for name, value in list(PATH_ARRAYS.items())[2:]})
VALUES: dict[str, Any] = {
    "samples": STATES[:, -1],
    "terminal_states": STATES[:, -1],
    "w_terminals": DWS.sum(axis=1),
    "horizon": 1.0,
    "sigma_at_x0": 0.2,
    "d_sigma_dx": 0.2,
    "volatility": 0.2,
    "payoff": "call",
    "strike": 1.0,
    # models: constructors, simulate, fields
    "rate": 0.03, "drift": 0.01, "vol": 0.2, "kappa": 1.0, "theta": 1.0, "beta": 0.5,
    "x0": 1.0, "n_paths": N_PATHS, "n_steps": N_STEPS,
    # first_window: the first steps of a path batch
    "window_steps": 2,
    # the weights for payoffs of a weighted average: of a batch's N_STEPS + 1
    # columns, or of as many monitoring dates (constant flow)
    "average_weights": np.array([0.0, 0.25, 0.25, 0.25, 0.25]),
    "monitored_states": STATES,
    "monitoring_times": np.linspace(0.2, 1.0, N_STEPS + 1),
}
# LocalVol's coefficients: functions f(t, x) of a time and an array of states.
COEFFICIENTS: dict[str, Callable[[float, np.ndarray], Any]] = {
    "mu": lambda t, x: 0.03 * x,
    "sigma": lambda t, x: (0.2 + 0.01 * t) * x,
    "d_mu_dx": lambda t, x: np.full_like(x, 0.03),
    "d_sigma_dx": lambda t, x: np.full_like(x, 0.2 + 0.01 * t),
    "d2_mu_dx2": lambda t, x: np.zeros_like(x),
    "d2_sigma_dx2": lambda t, x: np.zeros_like(x),
}


def arguments(fn: Callable[..., Any], where: str, *, constructor: bool = False,
              to_array: Callable[[np.ndarray], Any] = lambda a: a) -> dict[str, Any]:
    """A value for each required parameter of fn, by its name."""
    parameters = inspect.signature(fn).parameters
    batch = "states" in parameters
    out: dict[str, Any] = {}
    for name, parameter in parameters.items():
        if parameter.default is not inspect.Parameter.empty or parameter.kind in (
                inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD) or name == "self":
            continue
        if name == "rng":
            value: Any = np.random.default_rng(7)
        elif constructor and name in COEFFICIENTS:
            value = COEFFICIENTS[name]
        elif batch and name in PATH_ARRAYS:
            value = to_array(PATH_ARRAYS[name])
        elif name in VALUES:
            value = VALUES[name]
            value = to_array(value) if isinstance(value, np.ndarray) else value
        else:
            sys.exit(f"smoke: {where} has a parameter '{name}' with no value here; add one to .ci/smoke.py")
        out[name] = value
    return out


def check_result(result: Any, where: str) -> None:
    """Something of the size the inputs imply, and finite numbers."""
    if isinstance(result, np.ndarray):
        assert result.dtype == np.float64 and result.shape == (N_PATHS,), (where, result.dtype, result.shape)
        assert np.isfinite(result).all(), where
    else:
        assert isinstance(result, tuple) and len(result) >= 2, (where, result)
        # floats, per-path arrays, or named tuples of floats (the bandwidths)
        for value in result:
            assert np.isfinite(np.asarray(value, dtype=np.float64)).all(), (where, result)


def use_model(cls: type, where: str) -> None:
    model = cls(**arguments(cls, where, constructor=True))
    states, dws = model.simulate(**arguments(model.simulate, f"{where}.simulate"))
    assert states.shape == (N_PATHS, N_STEPS + 1) and dws.shape == (N_PATHS, N_STEPS), where
    fields = model.fields(states, horizon=VALUES["horizon"])
    assert all(f.shape == (N_PATHS, N_STEPS) for f in fields), where
    # The paths and fields are the inputs the package's functions take.
    check_result(quorvane.bel_weights_tangent_flow(states, dws, fields.sigma, fields.d_mu_dx, fields.d_sigma_dx,
                                                   VALUES["horizon"]), where)


def smoke(module: Any, to_array: Callable[[np.ndarray], Any] = lambda a: a) -> list[str]:
    used = []
    for name in module.__all__:
        obj = getattr(module, name)  # AttributeError: a name in __all__ that is not there
        where = f"{module.__name__}.{name}"
        if typing.get_origin(obj) is not None:
            continue  # a type alias (Coefficient): its import is the check
        if name == "__version__":
            assert isinstance(obj, str) and obj, where
        elif inspect.ismodule(obj):
            pass  # a submodule (quorvane.models): smoked on its own
        elif inspect.isclass(obj) and issubclass(obj, BaseException):
            pass  # an exception class (PanicException derives from BaseException itself)
        elif inspect.isclass(obj) and issubclass(obj, tuple) and hasattr(obj, "_fields"):
            value = obj(*range(len(obj._fields)))
            assert [getattr(value, f) for f in obj._fields] == list(range(len(obj._fields))), where
        elif inspect.isclass(obj) and inspect.isabstract(obj):
            pass  # an abstract base: exists, and its subclasses are used
        elif inspect.isclass(obj):
            use_model(obj, where)
        elif inspect.isfunction(obj) or inspect.isbuiltin(obj):
            result = obj(**arguments(obj, where, to_array=to_array))
            check_result(result.compute() if hasattr(result, "compute") else result, where)
        else:
            continue  # another annotation helper: its import is the check
        used.append(name)
    return used


def main() -> None:
    import dask.array as da

    plain: Callable[[np.ndarray], Any] = lambda a: a
    modules = [(quorvane, plain),
               (quorvane.dask, lambda a: da.from_array(a, chunks=(N_PATHS // 2,) + (-1,) * (a.ndim - 1))),
               (quorvane.models, plain)]
    # A submodule that quorvane.__all__ names later is smoked too.
    modules += [(getattr(quorvane, n), plain) for n in quorvane.__all__
                if inspect.ismodule(getattr(quorvane, n)) and all(getattr(quorvane, n) is not m for m, _ in modules)]
    counts = {}
    for module, to_array in modules:
        used = smoke(module, to_array)
        counts[module.__name__] = f"{len(used)} of {len(module.__all__)} names used"
    print(f"smoke: quorvane {quorvane.__version__} from {quorvane.__file__}, NumPy {np.__version__}: "
          + "; ".join(f"{m} {c}" for m, c in counts.items()))


if __name__ == "__main__":
    main()
