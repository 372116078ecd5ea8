"""The package's layer over ``quorvane._localised``: named tuples and ``discount``.

``price_and_greeks_constant_flow_localised`` and
``price_and_greeks_tangent_flow_localised`` take the module's arguments, bound the
same way, plus the keyword-only ``discount`` of every estimator, and return the
module's floats as ``LocalisedGreeks`` and ``LocalisedTangentFlowGreeks``: the
fields of ``Greeks`` and ``TangentFlowGreeks``, each times ``discount`` (one
rounded product), then ``bandwidth``, the half-width of the band each Greek used,
in units of X and never discounted (0.0 where plain BEL won the automatic choice).
The tangent-flow form checks the shapes of the path batch exactly, as
``price_and_greeks_tangent_flow`` does.
"""

from __future__ import annotations

from typing import Callable, NamedTuple, Optional, Sequence, TypeVar

from quorvane import _localised
from quorvane._results import _Array, _check_path_batch, _discount_factor, _Float, _Payoff


class Bandwidths(NamedTuple):
    """The band half-width each Greek used, in units of X; 0.0 means plain BEL."""

    delta: float
    gamma: float
    vega: float


class TangentFlowBandwidths(NamedTuple):
    """The band half-width the delta and the gamma used, in units of X; 0.0 means plain BEL."""

    delta: float
    gamma: float


class LocalisedGreeks(NamedTuple):
    """``Greeks`` by localised BEL, and the bandwidths used (GBM or ABM).

    Returned by ``price_and_greeks_constant_flow_localised``. Every figure but
    ``bandwidth`` is multiplied by ``discount``.
    """

    price: float
    delta: float
    gamma: float
    vega: float
    price_stderr: float
    delta_stderr: float
    gamma_stderr: float
    vega_stderr: float
    bandwidth: Bandwidths


class LocalisedTangentFlowGreeks(NamedTuple):
    """``TangentFlowGreeks`` by localised BEL, and the bandwidths used (any scalar diffusion).

    Returned by ``price_and_greeks_tangent_flow_localised``. Every figure but
    ``bandwidth`` is multiplied by ``discount``.
    """

    price: float
    delta: float
    gamma: float
    price_stderr: float
    delta_stderr: float
    gamma_stderr: float
    bandwidth: TangentFlowBandwidths


def price_and_greeks_constant_flow_localised(
        terminal_states: _Array, w_terminals: _Array, horizon: _Float, sigma_at_x0: _Float,
        d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0,
        bandwidth: Optional[_Float] = None, *, discount: _Float = 1.0) -> LocalisedGreeks:
    """Price, delta, gamma and vega of a built-in payoff for GBM or ABM by localised BEL.

    Arguments as for ``price_and_greeks_constant_flow``. The payoff f is split
    f = g + (f - g), g smooth around the strike: g is differentiated along the path
    (GBM: Y = X_T / X_0 with X_0 = sigma_at_x0 / d_sigma_dx, dX_T/ds = X_T (W_T - s T);
    ABM, ``d_sigma_dx = 0.0``: Y = 1, dX_T/dsigma = W_T) and only the rest f - g,
    zero outside (K - bandwidth, K + bandwidth), takes the BEL weight. Unbiased for
    every bandwidth. The payoff is of X_T alone; for payoffs of the path see
    ``bel_weights_constant_flow`` (with W and the horizon at the first monitoring
    date, as ``first_window`` cuts Euler paths) and
    ``price_and_delta_average_constant_flow``.

    ``bandwidth`` (units of X) fixes the band's half-width; it must be positive and
    finite (``ValueError``). None, the default, chooses it per Greek in the same pass:
    plain BEL and the bands 0.5, 1, 2 and 4 standard deviations of the terminal
    states are candidates, and each Greek keeps the one with the least standard
    error, so it is never worse than plain BEL on the sample; the choice is
    deterministic. Returns a ``LocalisedGreeks``; its ``bandwidth`` field reports
    what each Greek used (0.0: plain BEL). The price is the plain mean, with the bits
    of ``price_and_greeks_constant_flow``. ``discount`` (keyword-only, default 1.0)
    multiplies every field but ``bandwidth``.
    """
    factor = _discount_factor(discount)
    return _discounted_localised(LocalisedGreeks, Bandwidths, _localised.price_and_greeks_constant_flow_localised(
        terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike,
        bandwidth), factor)


def price_and_greeks_tangent_flow_localised(
        states: _Array, dws: _Array, sigma_field: _Array, d_mu_dx_field: _Array,
        d_sigma_dx_field: _Array, d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array,
        horizon: _Float, payoff: _Payoff, strike: _Float = 0.0,
        bandwidth: Optional[_Float] = None, *,
        discount: _Float = 1.0) -> LocalisedTangentFlowGreeks:
    """Price, delta and gamma of a built-in payoff for a general scalar diffusion by
    localised BEL.

    Arguments as for ``price_and_greeks_tangent_flow``, ``bandwidth`` as for
    ``price_and_greeks_constant_flow_localised``. One native pass of the gamma
    recursion per path gives the BEL delta and gamma weights and the last variations
    Y_N and Z_N; the delta sample is g'(X_N) Y_N + (f - g)(X_N) pi_delta, the gamma
    sample g''(X_N) Y_N^2 + g'(X_N) Z_N + (f - g)(X_N) pi_gamma. Returns a
    ``LocalisedTangentFlowGreeks``; the price has the bits of
    ``price_and_greeks_tangent_flow``. The payoff is of X_T alone; for a payoff of the
    path, weight it with ``bel_weights_tangent_flow`` and ``bel_weights_gamma_tangent_flow``
    over the first steps (``first_window``), or use
    ``price_and_delta_average_tangent_flow`` for an average of the path. Invalid values
    raise ``ValueError`` as there, and for a bandwidth that is not positive and finite; a
    shape error names the array that is off.
    """
    return _tangent_flow_localised(
        _localised.price_and_greeks_tangent_flow_localised, states, dws, sigma_field,
        d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff,
        strike, bandwidth, discount)


def price_and_greeks_tangent_flow_localised_parallel(
        states: _Array, dws: _Array, sigma_field: _Array, d_mu_dx_field: _Array,
        d_sigma_dx_field: _Array, d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array,
        horizon: _Float, payoff: _Payoff, strike: _Float = 0.0,
        bandwidth: Optional[_Float] = None, *,
        discount: _Float = 1.0) -> LocalisedTangentFlowGreeks:
    """The same as ``price_and_greeks_tangent_flow_localised``, bit for bit, with the
    per-path weights and variations computed on the worker pool (the interpreter lock
    released meanwhile) and the samples then summed in path order.

    Worth it from about 10^5 path-steps; it holds 32 bytes per path while it runs.
    A zero ``sigma_field`` element names the first zero of the lowest block of paths
    that met one.
    """
    return _tangent_flow_localised(
        _localised.price_and_greeks_tangent_flow_localised_parallel, states, dws, sigma_field,
        d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff,
        strike, bandwidth, discount)


def _tangent_flow_localised(
        native: Callable[..., tuple[float, ...]], states: _Array, dws: _Array,
        sigma_field: _Array, d_mu_dx_field: _Array, d_sigma_dx_field: _Array,
        d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array, horizon: _Float, payoff: _Payoff,
        strike: _Float, bandwidth: Optional[_Float], discount: _Float) -> LocalisedTangentFlowGreeks:
    factor = _discount_factor(discount)
    _check_path_batch(native,
                      {"states": states, "dws": dws, "sigma_field": sigma_field,
                       "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field,
                       "d2_mu_dx2_field": d2_mu_dx2_field, "d2_sigma_dx2_field": d2_sigma_dx2_field},
                      horizon, payoff, strike, bandwidth)
    return _discounted_localised(LocalisedTangentFlowGreeks, TangentFlowBandwidths, native(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
        d2_sigma_dx2_field, horizon, payoff, strike, bandwidth), factor)


_Localised = TypeVar("_Localised", LocalisedGreeks, LocalisedTangentFlowGreeks)


def _discounted_localised(kind: type[_Localised], bandwidths: type[tuple[float, ...]],
                          values: Sequence[float], factor: float) -> _Localised:
    """``kind`` of the module's floats: the Greeks, each multiplied by ``factor`` as
    ``_discounted`` does (one rounded product, none for 1.0), then the bandwidths as
    ``bandwidths``, never discounted."""
    split = len(kind._fields) - 1  # the Greeks' fields, then the one of the bandwidths
    greeks: Sequence[float] = values[:split]
    if factor != 1.0:
        greeks = [value * factor for value in greeks]
    return tuple.__new__(kind, (*greeks, tuple.__new__(bandwidths, values[split:])))
