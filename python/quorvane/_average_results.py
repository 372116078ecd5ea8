"""The package's layer over ``quorvane._average``: named tuples and ``discount``.

``price_and_delta_average_tangent_flow`` and ``price_and_delta_average_constant_flow``
take the module's arguments plus the keyword-only ``discount`` of every estimator
and return the module's four floats as an ``Estimate`` (price, delta and their
standard errors, each times ``discount``: one rounded product per field).
"""

from __future__ import annotations

from quorvane import _average
from quorvane._results import Estimate, _Array, _discount_factor, _discounted, _Float, _Payoff


def price_and_delta_average_tangent_flow(
        states: _Array, dws: _Array, sigma_field: _Array, d_mu_dx_field: _Array,
        d_sigma_dx_field: _Array, d2_mu_dx2_field: _Array, d2_sigma_dx2_field: _Array,
        horizon: _Float, average_weights: _Array, payoff: _Payoff, strike: _Float = 0.0, *,
        discount: _Float = 1.0) -> Estimate:
    """Price and BEL delta of a built-in payoff of the weighted average
    A = sum_k a_k X_k of each path, for a general scalar diffusion on an Euler grid.

    For payoffs of A: arithmetic Asians with any dates and weights, forward-start
    averages (``average_weights`` zero before the first date) and, with a = e_N, the
    European case. The delta is exact for the Euler scheme: its expectation is what a
    central difference of the same scheme with common random numbers estimates.

    - ``states`` of shape ``(n_paths, n_steps + 1)``, column 0 holding X_0;
    - ``dws`` and the five fields ``sigma_field``, ``d_mu_dx_field``,
      ``d_sigma_dx_field``, ``d2_mu_dx2_field``, ``d2_sigma_dx2_field`` of shape
      ``(n_paths, n_steps)``, at the state before each step;
    - ``horizon``: T, positive;
    - ``average_weights``: the n_steps + 1 weights a_k (1-D float64), finite, with a
      nonzero entry after column 0;
    - ``payoff``: "identity", "call", "put" or "digital_call", applied to A;
      ``strike``: K (default 0.0); ``discount`` (keyword-only): a factor such as
      exp(-r T), finite and > 0 (default 1.0).

    Returns an ``Estimate``. Bad input raises ``ValueError`` (a wrong dtype
    ``TypeError``); a zero sigma names its first position, a path whose
    sum_k a_k k Y_k is 0 names the path.
    """
    factor = _discount_factor(discount)
    return _discounted(Estimate, _average.price_and_delta_average_tangent_flow(
        states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
        d2_sigma_dx2_field, horizon, average_weights, payoff, strike), factor)


def price_and_delta_average_constant_flow(
        monitored_states: _Array, w_terminals: _Array, monitoring_times: _Array,
        average_weights: _Array, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float,
        payoff: _Payoff, strike: _Float = 0.0, *, discount: _Float = 1.0) -> Estimate:
    """Price and BEL delta of a built-in payoff of the weighted average A = sum_k a_k S_k
    of values monitored at times t_k in (0, horizon], for GBM (``d_sigma_dx`` = s > 0,
    sigma(x) = s x) or ABM (``d_sigma_dx`` = 0) simulated exactly at the dates.

    - ``monitored_states`` of shape ``(n_paths, n_dates)``; ``w_terminals``: the
      Brownian motion at ``horizon``, one per path;
    - ``monitoring_times`` and ``average_weights``, one per date;
    - ``horizon`` and ``sigma_at_x0`` = sigma(S_0), positive;
    - ``payoff``, ``strike`` and ``discount`` as for
      ``price_and_delta_average_tangent_flow``.

    Returns an ``Estimate``. Any other ``d_sigma_dx`` raises ``ValueError``.
    """
    factor = _discount_factor(discount)
    return _discounted(Estimate, _average.price_and_delta_average_constant_flow(
        monitored_states, w_terminals, monitoring_times, average_weights, horizon, sigma_at_x0,
        d_sigma_dx, payoff, strike), factor)
