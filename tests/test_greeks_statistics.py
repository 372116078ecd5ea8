"""Gamma and vega as estimators: on GBM against the Black-Scholes closed forms, the
tangent-flow gamma against the constant-flow gamma (also in distribution, given
W_T), and on CEV and Ornstein-Uhlenbeck paths against a central finite difference
of the BEL delta with common random numbers. Fixed seeds; every comparison within
4 standard errors."""

import math
import re

import numpy as np
import pytest

import quorvane
from conftest import scaled

X0, RATE, VOL, HORIZON, STRIKE = 100.0, 0.03, 0.2, 1.0, 100.0
PAYOFFS = ["call", "put", "digital_call"]


def _cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def _pdf(x):
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def black_scholes(payoff):
    """Undiscounted E[f(X_T)] of GBM and its gamma (in X_0) and vega (in the volatility)."""
    sd = VOL * math.sqrt(HORIZON)
    growth = math.exp(RATE * HORIZON)
    d1 = (math.log(X0 * growth / STRIKE) + 0.5 * sd * sd) / sd
    d2 = d1 - sd
    if payoff in ("call", "put"):
        return growth * _pdf(d1) / (X0 * sd), X0 * growth * _pdf(d1) * math.sqrt(HORIZON)
    return -_pdf(d2) * d1 / (X0 * X0 * sd * sd), -_pdf(d2) * d1 / VOL


def within(estimate, stderr, exact, sigmas=4.0):
    assert stderr > 0.0
    assert abs(estimate - exact) < sigmas * stderr, (estimate, stderr, exact)


@pytest.mark.parametrize("payoff", PAYOFFS)
def test_constant_flow_gamma_and_vega_match_black_scholes(payoff):
    rng = np.random.default_rng(20261209)
    w_terminal = rng.standard_normal(scaled(400_000, minimum=50_000)) * math.sqrt(HORIZON)
    x_terminal = X0 * np.exp((RATE - 0.5 * VOL * VOL) * HORIZON + VOL * w_terminal)
    got = quorvane.price_and_greeks_constant_flow(x_terminal, w_terminal, HORIZON, VOL * X0, VOL, VOL,
                                                  payoff, STRIKE)
    gamma, vega = black_scholes(payoff)
    within(got.gamma, got.gamma_stderr, gamma)
    within(got.vega, got.vega_stderr, vega)
    # for GBM the two weights are proportional: vega = s T X_0^2 gamma, sample by sample
    assert math.isclose(got.vega, VOL * HORIZON * X0 * X0 * got.gamma, rel_tol=1e-12)


def test_constant_flow_vega_of_abm_is_the_derivative_in_sigma():
    # X_T = X_0 + sigma W_T: the call's vega is sqrt(T) pdf((X_0 - K) / (sigma sqrt(T))).
    rng = np.random.default_rng(5)
    sigma, x0 = 15.0, 95.0
    w_terminal = rng.standard_normal(scaled(400_000, minimum=50_000)) * math.sqrt(HORIZON)
    got = quorvane.price_and_greeks_constant_flow(x0 + sigma * w_terminal, w_terminal, HORIZON, sigma, 0.0,
                                                  sigma, "call", STRIKE)
    z = (x0 - STRIKE) / (sigma * math.sqrt(HORIZON))
    within(got.vega, got.vega_stderr, math.sqrt(HORIZON) * _pdf(z))
    within(got.gamma, got.gamma_stderr, _pdf(z) / (sigma * math.sqrt(HORIZON)))


def euler(x0, dws, dt, mu, sigma):
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = x0
    for j in range(dws.shape[1]):
        x = states[:, j]
        states[:, j + 1] = x + mu(x) * dt + sigma(x) * dws[:, j]
    return states


def gbm_fields(states):
    pre = states[:, :-1]
    zero = np.zeros_like(pre)
    return VOL * pre, np.full_like(pre, RATE), np.full_like(pre, VOL), zero, zero


@pytest.mark.parametrize("payoff", PAYOFFS)
def test_tangent_flow_gamma_on_gbm_matches_the_constant_flow_and_black_scholes(payoff):
    n_paths, n_steps = scaled(60_000, minimum=10_000), 32
    dt = HORIZON / n_steps
    rng = np.random.default_rng(7)
    dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    states = euler(X0, dws, dt, lambda x: RATE * x, lambda x: VOL * x)
    tangent = quorvane.price_and_greeks_tangent_flow(states, dws, *gbm_fields(states), HORIZON, payoff,
                                                     STRIKE)
    constant = quorvane.price_and_greeks_constant_flow(states[:, -1], dws.sum(axis=1), HORIZON, VOL * X0,
                                                       VOL, VOL, payoff, STRIKE)
    exact, _ = black_scholes(payoff)
    within(tangent.gamma, tangent.gamma_stderr, exact)
    within(constant.gamma, constant.gamma_stderr, exact)
    within(tangent.gamma - constant.gamma, math.hypot(tangent.gamma_stderr, constant.gamma_stderr), 0.0)


def test_tangent_flow_gamma_given_the_terminal_brownian_value_is_the_constant_flow_weight():
    """On GBM inputs Z = 0 and Y / sigma = 1 / (s X_0), so the weight is a function
    of W_T1 and W_T whose expectation given W_T is the constant-flow weight, exactly
    for the discrete scheme: averaged over Brownian bridges to a fixed W_T, the
    tangent-flow weights give the constant-flow weight of that W_T."""
    n_paths, n_steps = scaled(40_000, minimum=5_000), 7  # m = 3: an odd split
    dt = HORIZON / n_steps
    rng = np.random.default_rng(13)
    for w_terminal in (-1.3, 0.2, 2.1):
        z = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
        dws = z - (z.sum(axis=1, keepdims=True) - w_terminal) / n_steps  # bridges to w_terminal
        states = euler(X0, dws, dt, lambda x: RATE * x, lambda x: VOL * x)
        weights = quorvane.bel_weights_gamma_tangent_flow(states, dws, *gbm_fields(states), HORIZON)
        mean, stderr = quorvane.price_from_samples(weights)
        expected = quorvane.bel_weights_gamma_constant_flow(np.array([w_terminal]), HORIZON, VOL * X0, VOL)
        within(mean, stderr, float(expected[0]))


def cev():
    beta, floor = 0.7, 1e-8
    s = VOL * X0 ** (1.0 - beta)  # 20% local volatility at X_0

    def fields(pre):
        x = np.maximum(pre, floor)
        return (s * x ** beta, np.full_like(pre, RATE), s * beta * x ** (beta - 1.0), np.zeros_like(pre),
                s * beta * (beta - 1.0) * x ** (beta - 2.0))

    return X0, (lambda x: RATE * x), (lambda x: s * np.maximum(x, floor) ** beta), fields


def ornstein_uhlenbeck():
    kappa, theta, sigma = 1.5, 100.0, 20.0

    def fields(pre):
        zero = np.zeros_like(pre)
        return np.full_like(pre, sigma), np.full_like(pre, -kappa), zero, zero, zero

    return 95.0, (lambda x: kappa * (theta - x)), (lambda x: np.full_like(x, sigma)), fields


@pytest.mark.parametrize("payoff", ["call", "digital_call"])
@pytest.mark.parametrize("model", [cev, ornstein_uhlenbeck])
def test_tangent_flow_gamma_matches_a_central_difference_of_the_bel_delta(model, payoff):
    """The finite difference bumps X_0 with the same increments (common random
    numbers) and differentiates the BEL delta of the Euler paths. The two differ
    by O(dt) through the Euler scheme itself, far below the errors at these sizes."""
    x0, mu, sigma, fields = model()
    n_paths, n_steps, bump = scaled(40_000, minimum=5_000), 64, 1.0
    dt = HORIZON / n_steps
    dws = np.random.default_rng(11).standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    states = euler(x0, dws, dt, mu, sigma)
    got = quorvane.price_and_greeks_tangent_flow(states, dws, *fields(states[:, :-1]), HORIZON, payoff,
                                                 STRIKE)
    delta_samples = []
    for start in (x0 + bump, x0 - bump):
        bumped = euler(start, dws, dt, mu, sigma)
        s, dmu, dsig, _, _ = fields(bumped[:, :-1])
        weights = quorvane.bel_weights_tangent_flow(bumped, dws, s, dmu, dsig, HORIZON)
        x_terminal = bumped[:, -1]
        pay = np.maximum(x_terminal - STRIKE, 0.0) if payoff == "call" else (x_terminal > STRIKE) * 1.0
        delta_samples.append(weights * pay)
    fd, fd_stderr = quorvane.price_from_samples((delta_samples[0] - delta_samples[1]) / (2.0 * bump))
    within(got.gamma, math.hypot(got.gamma_stderr, fd_stderr), fd)


def test_the_demo_section_agrees_with_its_references(capsys):
    from quorvane._demo_greeks import greeks_section

    greeks_section(1_000_000, 50_000, 64, 20261210)
    out = capsys.readouterr().out
    distances = [float(z) for z in re.findall(r"\(z ([-+]\d+\.\d+)", out)]
    assert len(distances) == 8 and all(abs(z) < 5 for z in distances), out
