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
# The demo's parameters, its Black-Scholes gamma and vega, Euler paths and CEV model.
from quorvane._demo_greeks import black_scholes_gamma_vega
from quorvane._demo_models import CEV, HORIZON, RATE, STRIKE, VOL, X0, euler_paths, norm_pdf

PAYOFFS = ["call", "put", "digital_call"]


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
    gamma, vega = black_scholes_gamma_vega(payoff)
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
    within(got.vega, got.vega_stderr, math.sqrt(HORIZON) * norm_pdf(z))
    within(got.gamma, got.gamma_stderr, norm_pdf(z) / (sigma * math.sqrt(HORIZON)))


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
    states = euler_paths(X0, dws, dt, lambda x: RATE * x, lambda x: VOL * x)
    tangent = quorvane.price_and_greeks_tangent_flow(states, dws, *gbm_fields(states), HORIZON, payoff,
                                                     STRIKE)
    constant = quorvane.price_and_greeks_constant_flow(states[:, -1], dws.sum(axis=1), HORIZON, VOL * X0,
                                                       VOL, VOL, payoff, STRIKE)
    exact, _ = black_scholes_gamma_vega(payoff)
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
        states = euler_paths(X0, dws, dt, lambda x: RATE * x, lambda x: VOL * x)
        weights = quorvane.bel_weights_gamma_tangent_flow(states, dws, *gbm_fields(states), HORIZON)
        mean, stderr = quorvane.price_from_samples(weights)
        expected = quorvane.bel_weights_gamma_constant_flow(np.array([w_terminal]), HORIZON, VOL * X0, VOL)
        within(mean, stderr, float(expected[0]))


def cev():
    return X0, CEV.mu, CEV.sigma, CEV.gamma_fields


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
    states = euler_paths(x0, dws, dt, mu, sigma)
    got = quorvane.price_and_greeks_tangent_flow(states, dws, *fields(states[:, :-1]), HORIZON, payoff,
                                                 STRIKE)
    delta_samples = []
    for start in (x0 + bump, x0 - bump):
        bumped = euler_paths(start, dws, dt, mu, sigma)
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
    distances = [float(z) for z in re.findall(r"\((?:paired )?z ([-+]\d+\.\d+)", out)]
    assert len(distances) == 8 and all(abs(z) < 5 for z in distances), out
