"""The package's own layer over the extension modules.

``quorvane`` re-exports the functions of ``_quorvane`` and ``quorvane._greeks``; a
few go through the wrappers below, which take the same arguments, bind them the
same way and return the same floats, and add what the user's layer owes:

- the estimators return named tuples, ``Estimate`` (``price_and_delta_*``),
  ``MeanEstimate`` (``price_from_samples``), ``Greeks`` and ``TangentFlowGreeks``
  (``price_and_greeks_*``), where the modules return plain tuples of the same
  floats in the same order; they are tuples, so unpacking is unchanged::

      g = quorvane.price_and_greeks_constant_flow(x_T, w_T, T, s * x0, s, s, "call", K)
      g.gamma, g.gamma_stderr      # also g[2], g[6]; a Greeks is a tuple
      price, delta, price_stderr, delta_stderr = quorvane.price_and_delta_constant_flow(...)

- every estimator takes a keyword-only ``discount``, a factor such as
  exp(-r T) (default 1.0), which multiplies each field of the result: the price,
  every Greek and every standard error, one rounded product each, so the default
  gives the module's bits and ``discount=d`` gives exactly ``x * d`` for each
  module figure ``x``. It must be a finite number > 0 (``ValueError``), and is
  checked before anything else;
- ``price_and_delta_constant_flow`` reports a ``horizon`` or ``sigma_at_x0`` that
  is not positive as ``ValueError``, with the module's message, where the module
  stops with its internal-failure ``PanicException``;
- ``price_and_delta_tangent_flow`` and ``price_and_greeks_tangent_flow`` check
  the shapes of a path batch exactly, naming the array that is off, where the
  module reads the leading block of larger arrays (and so silently drops the last
  step of a ``states`` passed without its X_0 column).

Each check runs only where the module would not already fail first: an argument
of the wrong type, a scalar that does not convert or an unknown payoff is still
reported by the module itself, with its own exception and message, in its order.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping
from typing import Literal, NamedTuple, SupportsFloat, SupportsIndex, TypeVar, Union, cast

import numpy as np
import numpy.typing as npt

import _quorvane
from quorvane import _greeks

_Float = Union[SupportsFloat, SupportsIndex]
# The names of the built-in payoffs, in the order of the native payoff table: the
# package's one spelling of them, which quorvane.dask imports. The extension
# modules' stubs spell the same Literal in quorvane/_signatures.pyi (the package
# cannot import a stub); a test checks that the three agree, reading the native
# table's names from its message.
_Payoff = Literal["identity", "call", "put", "digital_call"]
_Array = npt.NDArray[np.float64]


class Estimate(NamedTuple):
    """Price and delta of a payoff with their standard errors.

    Returned by ``price_and_delta_constant_flow`` and ``price_and_delta_tangent_flow``
    (here and in ``quorvane.dask``). The price is the mean of the payoff values, the
    delta its derivative in X_0, each (and each standard error) times ``discount``.
    """

    price: float
    delta: float
    price_stderr: float
    delta_stderr: float


class MeanEstimate(NamedTuple):
    """Mean and standard error of samples; returned by ``price_from_samples``."""

    mean: float
    stderr: float


class Greeks(NamedTuple):
    """Price, delta, gamma and vega of a payoff with their standard errors (GBM or ABM).

    Returned by ``price_and_greeks_constant_flow``. The price is the mean of the
    payoff times ``discount`` (default 1.0, no discounting); delta and gamma are the
    first and second derivatives in X_0, vega the derivative in the volatility
    parameter, all times ``discount`` too.
    """

    price: float
    delta: float
    gamma: float
    vega: float
    price_stderr: float
    delta_stderr: float
    gamma_stderr: float
    vega_stderr: float


class TangentFlowGreeks(NamedTuple):
    """Price, delta and gamma of a payoff with their standard errors (any scalar diffusion).

    Returned by ``price_and_greeks_tangent_flow``.
    """

    price: float
    delta: float
    gamma: float
    price_stderr: float
    delta_stderr: float
    gamma_stderr: float


_Result = TypeVar("_Result", Estimate, MeanEstimate, Greeks, TangentFlowGreeks)


# ---------------------------------------------------------------------------
# Discounting
# ---------------------------------------------------------------------------


def _discount_factor(discount: _Float) -> float:
    """``discount`` as a float, checked: a finite factor > 0, such as exp(-r T).

    Converted as the modules convert their scalars (``__float__``, else
    ``__index__``; a str is refused with ``TypeError``). Zero, a negative value, NaN
    or an infinity is a ``ValueError``: no discount factor takes those values, and
    each would silently turn every figure into 0, a sign flip or NaN.
    """
    if type(discount) is float:
        factor = discount
    elif hasattr(type(discount), "__float__") or hasattr(type(discount), "__index__"):
        factor = float(discount)
    else:
        raise TypeError(f"discount must be a real number, not {type(discount).__name__}")
    if not 0.0 < factor < math.inf:
        raise ValueError("discount must be a finite factor > 0, such as exp(-rate * horizon); "
                         f"got {factor!r}")
    return factor


def _discounted(kind: type[_Result], values: Iterable[float], factor: float) -> _Result:
    """``kind`` of ``values``, each multiplied by ``factor``: one rounded product per
    field (x * factor, in that order), so factor 1.0 keeps every bit."""
    if factor == 1.0:  # the default: x * 1.0 is x, so skip the products
        return tuple.__new__(kind, values)
    return tuple.__new__(kind, [value * factor for value in values])


# ---------------------------------------------------------------------------
# Checks in front of the estimators
# ---------------------------------------------------------------------------

# No paths, for the module's own checks of the other arguments: read-only, never read.
_NO_PATHS = np.zeros(0)
_NO_PATHS.flags.writeable = False
_NOT_POSITIVE = (("horizon must be positive",), ("sigma_at_x0 must be positive",))


def _positivity_error(horizon: _Float, sigma_at_x0: _Float) -> str | None:
    """The message of ``bel_weights_constant_flow`` for a horizon or sigma_at_x0 that is
    not positive (zero, negative, NaN), or None.

    The module converts both scalars by its own rules and tests them in its own
    order (horizon first). A value that it cannot convert gives None, so that the
    estimator's own call reports it, in its place among the estimator's checks.
    """
    if type(horizon) is float and type(sigma_at_x0) is float and horizon > 0.0 and sigma_at_x0 > 0.0:
        return None  # the common case, without a second call into the module
    try:
        _quorvane.bel_weights_constant_flow(_NO_PATHS, horizon, sigma_at_x0)
    except ValueError as error:
        if type(error) is ValueError and error.args in _NOT_POSITIVE:
            return str(error.args[0])
        return None
    except Exception:
        return None
    return None


def _is_float_array(value: object, ndim: int) -> bool:
    """What the module accepts for an array parameter: an ndarray (or subclass) of that
    many dimensions whose dtype is equivalent to float64."""
    return isinstance(value, np.ndarray) and value.ndim == ndim and value.dtype == np.float64


def _path_batch_error(shapes: Mapping[str, tuple[int, ...]]) -> str | None:
    """What is wrong with the shapes of a path batch, or None.

    ``shapes`` maps argument names to shapes: ``states`` first, then the per-step
    arrays (``dws`` first, then the coefficient fields). ``states`` must be
    (n_paths, n_steps + 1) and every per-step array (n_paths, n_steps), exactly.
    When the per-step arrays agree with one another but not with ``states``, it is
    ``states`` that is named: most often it was passed without its X_0 column.
    """
    (_, (n_paths, columns)), *per_step = shapes.items()
    if columns < 2:
        return "states must have at least 2 columns (n_steps + 1)"
    for name, (rows, _) in per_step:
        if rows != n_paths:
            return f"{name} has {rows} rows but states has {n_paths}: one row per path in every argument"
    step_columns = {shape[1] for _, shape in per_step}
    if len(step_columns) == 1 and min(step_columns) >= 1 and columns - 1 not in step_columns:
        n_steps = min(step_columns)
        return (f"states must have n_steps + 1 = {n_steps + 1} columns (the initial state, then one "
                f"per step), got {columns}")
    for name, (_, step_count) in per_step:
        if step_count != columns - 1:
            return (f"{name} must have n_steps = {columns - 1} columns, one per step (states has "
                    f"{columns}: the initial state, then one per step), got {step_count}")
    return None


def _check_path_batch(estimator: Callable[..., object], arrays: Mapping[str, object],
                      *scalars: object) -> None:
    """Raises ValueError unless the path batch in ``arrays`` (NumPy arrays, ``states``
    first) has exactly the shapes of ``_path_batch_error``.

    The estimator's own checks come first: when an argument is not a 2-D float64
    array the estimator refuses it itself, and before a shape error is raised the
    estimator runs on no paths, so that a scalar that does not convert, a ``states``
    that is too narrow or an unknown payoff is reported as the estimator reports it.
    """
    if not all(_is_float_array(array, 2) for array in arrays.values()):
        return
    matrices = cast("list[_Array]", list(arrays.values()))
    message = _path_batch_error({name: array.shape for name, array in zip(arrays, matrices)})
    if message is None:
        return
    no_steps = np.zeros((0, max(matrices[0].shape[1] - 1, 0)))
    estimator(matrices[0][:0], *[no_steps] * (len(matrices) - 1), *scalars)
    raise ValueError(message)


# ---------------------------------------------------------------------------
# The estimators
# ---------------------------------------------------------------------------


def price_from_samples(samples: _Array, *, discount: _Float = 1.0) -> MeanEstimate:
    """Mean and standard error of a 1-D float64 array of samples, as a
    ``MeanEstimate(mean, stderr)``: your own payoff values for a price, or payoff
    values times BEL weights for a delta.

    ``discount`` (keyword-only, default 1.0) multiplies the mean and the standard
    error, as for the built-in payoffs; it must be a finite number > 0. The figures
    are those of ``_quorvane.price_from_samples`` times ``discount``, bit for bit,
    with its errors (``TypeError`` for anything but a 1-D float64 NumPy array).
    """
    factor = _discount_factor(discount)
    return _discounted(MeanEstimate, _quorvane.price_from_samples(samples), factor)


def price_and_delta_constant_flow(terminal_states: _Array, w_terminals: _Array, horizon: _Float,
                                  sigma_at_x0: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0, *, discount: _Float = 1.0) -> Estimate:
    """Price and BEL delta of a built-in payoff for GBM or ABM, in one pass.

    Takes terminal states and terminal Brownian values (as NumPy arrays) plus the
    name of a built-in payoff and returns an ``Estimate(price, delta,
    price_stderr, delta_stderr)``, each multiplied by ``discount``.

    - ``terminal_states``: 1-D float64 array of X_T, one value per path;
    - ``w_terminals``: 1-D float64 array of W_T, of the same length (arrays of any
      strides, never copied);
    - ``horizon``: T; ``sigma_at_x0``: sigma(X_0), ``s * X_0`` for GBM; both must be
      positive;
    - ``payoff``: one of "identity", "call", "put", "digital_call"; for other
      payoffs, use ``bel_weights_constant_flow`` and compose in NumPy;
    - ``strike``: K of the payoff (default 0.0; "identity" ignores it);
    - ``discount`` (keyword-only): a discount factor such as exp(-r T), finite and
      > 0 (default 1.0, the plain mean).

    The payoff is of X_T alone; for payoffs of the path see ``bel_weights_constant_flow``
    (with W and the horizon at the first monitoring date, as ``first_window`` cuts Euler
    paths) and ``price_and_delta_average_constant_flow``.

    Raises TypeError for an argument of the wrong type (arrays must be float64
    NumPy arrays; nothing is converted), and ValueError for a ``discount`` that is
    not a finite number > 0, arrays of different lengths, an unknown payoff, or a
    ``horizon`` or ``sigma_at_x0`` that is not positive (``_quorvane`` itself
    reports the last two with its internal-failure ``PanicException``). The result
    is the module's times ``discount``, bit for bit (the module's own with the
    default).
    """
    factor = _discount_factor(discount)
    message = _positivity_error(horizon, sigma_at_x0)
    if (message is not None and _is_float_array(terminal_states, 1) and _is_float_array(w_terminals, 1)
            and terminal_states.shape == w_terminals.shape):
        # The module would reach its assertion only after checking the arrays, the
        # payoff and the strike: make those checks on no paths, with scalars that
        # pass (horizon and sigma_at_x0 convert, as seen above), then report.
        _quorvane.price_and_delta_constant_flow(terminal_states[:0], w_terminals[:0], 1.0, 1.0,
                                                payoff, strike)
        raise ValueError(message)
    # Otherwise the module fails before its assertion (wrong arrays, unequal lengths)
    # or the scalars are positive.
    return _discounted(Estimate, _quorvane.price_and_delta_constant_flow(
        terminal_states, w_terminals, horizon, sigma_at_x0, payoff, strike), factor)


def price_and_delta_tangent_flow(states: _Array, dws: _Array, sigma_field: _Array,
                                 d_mu_dx_field: _Array, d_sigma_dx_field: _Array, horizon: _Float,
                                 payoff: _Payoff, strike: _Float = 0.0, *,
                                 discount: _Float = 1.0) -> Estimate:
    """Price and tangent-flow BEL delta of a built-in payoff for a general scalar
    diffusion dX = mu(X) dt + sigma(X) dW, over full path batches.

    Accepts ``(states, dws)`` and the three coefficient fields (2-D float64 arrays,
    any strides, never copied) and returns an ``Estimate(price, delta,
    price_stderr, delta_stderr)`` for a built-in payoff, in one native pass
    without collecting the weights, each field multiplied by ``discount``.
    The payoff is of X_T alone; for a payoff of the path, weight it with
    ``bel_weights_tangent_flow`` over the first steps (``first_window``), or use
    ``price_and_delta_average_tangent_flow`` for an average of the path.

    - ``states`` of shape ``(n_paths, n_steps + 1)``, column 0 holding X_0; only its
      last column is read, as X_T;
    - ``dws`` of shape ``(n_paths, n_steps)``: the Brownian increments;
    - ``sigma_field``, ``d_mu_dx_field``, ``d_sigma_dx_field`` of shape ``(n_paths,
      n_steps)``: sigma, d mu/dx and d sigma/dx at the state before each step;
    - ``horizon``: T, positive;
    - ``payoff``: "identity", "call", "put" or "digital_call"; ``strike``: K of the
      payoff (default 0.0);
    - ``discount`` (keyword-only): a discount factor such as exp(-r T), finite and
      > 0 (default 1.0).

    The shapes are checked exactly: a ``states`` passed without its X_0 column is
    refused ("states must have n_steps + 1 = 9 columns (the initial state, then one
    per step), got 8"), where ``_quorvane`` would read the leading block of larger
    arrays and silently drop the last step. Raises TypeError for an argument of the
    wrong type, and ValueError for a ``discount`` that is not a finite number > 0,
    wrong shapes, an unknown payoff, a ``horizon`` that is not positive or a zero
    in ``sigma_field``. The result is the module's times ``discount``, bit for bit.
    """
    factor = _discount_factor(discount)
    _check_path_batch(_quorvane.price_and_delta_tangent_flow,
                      {"states": states, "dws": dws, "sigma_field": sigma_field,
                       "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field},
                      horizon, payoff, strike)
    return _discounted(Estimate, _quorvane.price_and_delta_tangent_flow(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon, payoff, strike), factor)


def price_and_greeks_constant_flow(terminal_states: _Array, w_terminals: _Array, horizon: _Float,
                                   sigma_at_x0: _Float, d_sigma_dx: _Float, volatility: _Float,
                                   payoff: _Payoff, strike: _Float = 0.0, *,
                                   discount: _Float = 1.0) -> Greeks:
    """Price, delta, gamma and vega of a built-in payoff for GBM or ABM, in one pass.

    ``terminal_states`` and ``w_terminals`` are 1-D float64 arrays of X_T and W_T
    (equal lengths, any strides, never copied). ``sigma_at_x0`` is sigma(X_0),
    ``d_sigma_dx`` the constant slope of sigma and ``volatility`` the parameter
    vega is taken in: ``s * x0, s, s`` for GBM sigma(x) = s x, ``sigma, 0.0,
    sigma`` for ABM. ``payoff`` is "identity", "call", "put" or "digital_call".
    The payoff is of X_T alone; for payoffs of the path see ``bel_weights_constant_flow``
    and ``bel_weights_gamma_constant_flow`` (with W and the horizon at the first
    monitoring date, as ``first_window`` cuts Euler paths; vega has no such form) and
    ``price_and_delta_average_constant_flow``.
    ``discount`` (keyword-only, default 1.0) multiplies every field.
    Price and delta are those of ``price_and_delta_constant_flow``, bit for bit.
    Invalid values raise ``ValueError`` (a ``discount`` that is not a finite
    number > 0, a non-positive ``horizon``, ``sigma_at_x0`` or ``volatility``, a
    non-finite ``d_sigma_dx``, unequal lengths, an unknown payoff).
    """
    factor = _discount_factor(discount)
    return _discounted(Greeks, _greeks.price_and_greeks_constant_flow(
        terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike),
        factor)


def price_and_greeks_tangent_flow(states: _Array, dws: _Array, sigma_field: _Array,
                                  d_mu_dx_field: _Array, d_sigma_dx_field: _Array,
                                  d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array,
                                  horizon: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0, *,
                                  discount: _Float = 1.0) -> TangentFlowGreeks:
    """Price, delta and gamma of a built-in payoff for a general scalar diffusion.

    ``states`` is (n_paths, n_steps + 1) with n_steps >= 2 (only its last column,
    X_T, is read); ``dws`` and the five fields (sigma, dmu/dx, dsigma/dx,
    d2mu/dx2, d2sigma/dx2 at the state before each step) are (n_paths,
    n_steps), exactly. One native pass, no weights stored; price and delta are
    those of ``price_and_delta_tangent_flow``, bit for bit, and the gamma is the
    mean of ``bel_weights_gamma_tangent_flow`` times the payoff.
    The payoff is of X_T alone; for a payoff of the path, weight it with
    ``bel_weights_tangent_flow`` and ``bel_weights_gamma_tangent_flow`` over the first
    steps (``first_window``), or use ``price_and_delta_average_tangent_flow`` for an
    average of the path. ``discount`` (keyword-only, default 1.0) multiplies every
    field. Invalid values raise ``ValueError`` (a ``discount`` that is not a finite
    number > 0, ``horizon`` not positive, wrong shapes, an unknown payoff, a zero
    sigma_field element); a shape error names the array that is off, as in
    ``price_and_delta_tangent_flow``.
    """
    factor = _discount_factor(discount)
    _check_path_batch(_greeks.price_and_greeks_tangent_flow,
                      {"states": states, "dws": dws, "sigma_field": sigma_field,
                       "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field,
                       "d2_mu_dx2_field": d2_mu_dx2_field, "d2_sigma_dx2_field": d2_sigma_dx2_field},
                      horizon, payoff, strike)
    return _discounted(TangentFlowGreeks, _greeks.price_and_greeks_tangent_flow(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
        d2_sigma_dx2_field, horizon, payoff, strike), factor)


def price_and_delta_tangent_flow_parallel(states: _Array, dws: _Array, sigma_field: _Array,
                                          d_mu_dx_field: _Array, d_sigma_dx_field: _Array,
                                          horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                          discount: _Float = 1.0) -> Estimate:
    """The same as ``price_and_delta_tangent_flow``, bit for bit, with the per-path
    weights computed on the worker pool (the interpreter lock released meanwhile) and
    the samples then summed in path order.

    Worth it from about 10^5 path-steps; it holds 8 bytes per path while it runs. A
    zero ``sigma_field`` element names the first zero of the lowest block of paths
    that met one.
    """
    factor = _discount_factor(discount)
    _check_path_batch(_greeks.price_and_delta_tangent_flow_parallel,
                      {"states": states, "dws": dws, "sigma_field": sigma_field,
                       "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field},
                      horizon, payoff, strike)
    return _discounted(Estimate, _greeks.price_and_delta_tangent_flow_parallel(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon, payoff, strike), factor)


def price_and_greeks_tangent_flow_parallel(states: _Array, dws: _Array, sigma_field: _Array,
                                           d_mu_dx_field: _Array, d_sigma_dx_field: _Array,
                                           d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array,
                                           horizon: _Float, payoff: _Payoff,
                                           strike: _Float = 0.0, *,
                                           discount: _Float = 1.0) -> TangentFlowGreeks:
    """The same as ``price_and_greeks_tangent_flow``, bit for bit, with the per-path
    delta and gamma weights computed on the worker pool (the interpreter lock released
    meanwhile) and the samples then summed in path order.

    Worth it from about 10^5 path-steps; it holds 16 bytes per path while it runs. A
    zero ``sigma_field`` element names the first zero of the lowest block of paths
    that met one.
    """
    factor = _discount_factor(discount)
    _check_path_batch(_greeks.price_and_greeks_tangent_flow_parallel,
                      {"states": states, "dws": dws, "sigma_field": sigma_field,
                       "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field,
                       "d2_mu_dx2_field": d2_mu_dx2_field, "d2_sigma_dx2_field": d2_sigma_dx2_field},
                      horizon, payoff, strike)
    return _discounted(TangentFlowGreeks, _greeks.price_and_greeks_tangent_flow_parallel(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
        d2_sigma_dx2_field, horizon, payoff, strike), factor)
