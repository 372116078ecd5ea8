"""Named results of the Greeks estimators, and the functions that return them.

``quorvane._greeks`` returns plain tuples of floats; ``quorvane`` re-exports its
two ``price_and_greeks_*`` functions through the wrappers below, which return the
same floats, in the same order, as named tuples::

    g = quorvane.price_and_greeks_constant_flow(x_T, w_T, T, s * x0, s, s, "call", K)
    g.gamma, g.gamma_stderr      # also g[2], g[6]; a Greeks is a tuple
"""

from __future__ import annotations

from typing import Literal, NamedTuple, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

from quorvane import _greeks

_Float = Union[SupportsFloat, SupportsIndex]
_Payoff = Literal["identity", "call", "put", "digital_call"]
_Array = npt.NDArray[np.float64]


class Greeks(NamedTuple):
    """Price, delta, gamma and vega of a payoff with their standard errors (GBM or ABM).

    Returned by ``price_and_greeks_constant_flow``. Prices are plain means of the
    payoff (no discounting); delta and gamma are the first and second derivatives
    in X_0, vega the derivative in the volatility parameter.
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


def price_and_greeks_constant_flow(terminal_states: _Array, w_terminals: _Array, horizon: _Float,
                                   sigma_at_x0: _Float, d_sigma_dx: _Float, volatility: _Float,
                                   payoff: _Payoff, strike: _Float = 0.0) -> Greeks:
    """Price, delta, gamma and vega of a built-in payoff for GBM or ABM, in one pass.

    ``terminal_states`` and ``w_terminals`` are 1-D float64 arrays of X_T and W_T
    (equal lengths, any strides, never copied). ``sigma_at_x0`` is sigma(X_0),
    ``d_sigma_dx`` the constant slope of sigma and ``volatility`` the parameter
    vega is taken in: ``s * x0, s, s`` for GBM sigma(x) = s x, ``sigma, 0.0,
    sigma`` for ABM. ``payoff`` is "identity", "call", "put" or "digital_call".
    Price and delta are those of ``price_and_delta_constant_flow``, bit for bit.
    Invalid values raise ``ValueError`` (a non-positive ``horizon``,
    ``sigma_at_x0`` or ``volatility``, a non-finite ``d_sigma_dx``, unequal
    lengths, an unknown payoff).
    """
    return Greeks(*_greeks.price_and_greeks_constant_flow(
        terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike))


def price_and_greeks_tangent_flow(states: _Array, dws: _Array, sigma_field: _Array,
                                  d_mu_dx_field: _Array, d_sigma_dx_field: _Array,
                                  d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array,
                                  horizon: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0) -> TangentFlowGreeks:
    """Price, delta and gamma of a built-in payoff for a general scalar diffusion.

    ``states`` is (n_paths, n_steps + 1) with n_steps >= 2 (only its last column,
    X_T, is read); ``dws`` and the five fields (sigma, dmu/dx, dsigma/dx,
    d2mu/dx2, d2sigma/dx2 at the state before each step) are (n_paths,
    n_steps), exactly. One native pass, no weights stored; price and delta are
    those of ``price_and_delta_tangent_flow``, bit for bit, and the gamma is the
    mean of ``bel_weights_gamma_tangent_flow`` times the payoff. Invalid values
    raise ``ValueError`` (``horizon`` not positive, wrong shapes, an unknown
    payoff, a zero sigma_field element).
    """
    return TangentFlowGreeks(*_greeks.price_and_greeks_tangent_flow(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
        d2_sigma_dx2_field, horizon, payoff, strike))
