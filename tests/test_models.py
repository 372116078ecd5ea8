"""quorvane.models: each model's fields are the hand-written NumPy formulas to the
bit, simulate is the Euler loop written out by hand (bit for bit, from a seeded
Generator), LocalVol's fields need the horizon, CEV absorbs at 0, and a GBM delta
on simulated paths agrees with Black-Scholes (fixed seed, 4 standard errors)."""

import math
import re
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

import quorvane
from conftest import scaled
from quorvane import models


def same_bits(got, expected):
    assert got.dtype == np.float64 and got.shape == expected.shape
    assert got.tobytes() == np.asarray(expected, dtype=np.float64).tobytes()


def zeros(x):
    return np.zeros(x.shape)


def above_zero(x, scale, exponent):
    """scale * x ** exponent on the positive states, 0 on the others."""
    out = np.zeros(x.shape)
    alive = x > 0.0
    out[alive] = scale * x[alive] ** exponent
    return out


# LocalVol's coefficients: time-dependent, non-linear in x, two of them scalars.
LV = dict(mu=lambda t, x: 0.03 * x + 1e-4 * t * x * x,
          sigma=lambda t, x: (0.2 + 0.1 * t) * x + 1e-3 * x * x,
          d_mu_dx=lambda t, x: 0.03 + 2e-4 * t * x,
          d_sigma_dx=lambda t, x: (0.2 + 0.1 * t) + 2e-3 * x,
          d2_mu_dx2=lambda t, x: 2e-4 * t,
          d2_sigma_dx2=lambda t, x: 2e-3)


@dataclass
class Case:
    """A model, its start, and its coefficients and fields written out by hand in
    NumPy: mu, sigma and fields take t (a float or a row of t_j) and states x."""

    model: models.Model
    x0: float
    mu: Callable
    sigma: Callable
    fields: Callable
    absorbs: bool = False


CASES = {
    "GBM": Case(models.GBM(rate=0.03, vol=0.2), 100.0, lambda t, x: 0.03 * x, lambda t, x: 0.2 * x,
                lambda t, x: (0.2 * x, np.full(x.shape, 0.03), np.full(x.shape, 0.2), zeros(x), zeros(x))),
    "ABM": Case(models.ABM(drift=-0.4, vol=1.5), 1.0, lambda t, x: -0.4, lambda t, x: 1.5,
                lambda t, x: (np.full(x.shape, 1.5), zeros(x), zeros(x), zeros(x), zeros(x))),
    "OU": Case(models.OU(kappa=2.0, theta=1.0, vol=0.5), 0.3, lambda t, x: 2.0 * (1.0 - x),
               lambda t, x: 0.5,
               lambda t, x: (np.full(x.shape, 0.5), np.full(x.shape, -2.0), zeros(x), zeros(x), zeros(x))),
    # Large enough a vol at x0 = 1 that many paths are absorbed at 0; 0.8 * 0.7 * (0.7 - 1)
    # rounds differently from 0.8 * (0.7 * (0.7 - 1)), so the order of the products shows.
    "CEV": Case(models.CEV(rate=0.03, vol=0.8, beta=0.7), 1.0, lambda t, x: 0.03 * x,
                lambda t, x: above_zero(x, 0.8, 0.7),
                lambda t, x: (above_zero(x, 0.8, 0.7), np.where(x > 0.0, 0.03, 0.0),
                              above_zero(x, 0.8 * 0.7, 0.7 - 1.0), zeros(x),
                              above_zero(x, 0.8 * 0.7 * (0.7 - 1.0), 0.7 - 2.0)),
                absorbs=True),
    "LocalVol": Case(models.LocalVol(**LV), 100.0, LV["mu"], LV["sigma"],
                     lambda t, x: tuple(np.broadcast_to(LV[name](t, x), x.shape) for name in
                                        ("sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2"))),
}
HORIZON, N_PATHS, N_STEPS, SEED = 1.0, 3_000, 40, 20261210


def hand_written_euler(case, seed):
    dt = HORIZON / N_STEPS
    dws = np.sqrt(dt) * np.random.default_rng(seed).standard_normal((N_PATHS, N_STEPS))
    states = np.empty((N_PATHS, N_STEPS + 1))
    states[:, 0] = case.x0
    for j in range(N_STEPS):
        t, x = j * dt, states[:, j]
        step = x + case.mu(t, x) * dt + case.sigma(t, x) * dws[:, j]
        if case.absorbs:
            step[step <= 0.0] = 0.0
        states[:, j + 1] = step
    return states, dws


@pytest.mark.parametrize("name", CASES)
def test_simulate_is_the_euler_loop_bit_for_bit_from_a_seeded_generator(name):
    case = CASES[name]
    paths = case.model.simulate(case.x0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(SEED))
    again = case.model.simulate(case.x0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(SEED))
    states, dws = hand_written_euler(case, SEED)
    for got, rerun, expected in zip(paths, again, (states, dws)):
        same_bits(got, expected)
        same_bits(rerun, expected)
        assert got.flags.f_contiguous  # the layout the docstring promises
    other = case.model.simulate(case.x0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(SEED + 1))
    assert not np.array_equal(other.dws, dws)


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("name", CASES)
def test_fields_are_the_hand_written_formulas_at_the_state_before_each_step(name, layout):
    case = CASES[name]
    states = np.asarray(case.model.simulate(case.x0, N_PATHS, N_STEPS, HORIZON,
                                            np.random.default_rng(SEED)).states, order=layout)
    t_row = (np.arange(N_STEPS) * (HORIZON / N_STEPS))[np.newaxis, :]  # t_j = j * dt
    got = case.model.fields(states, horizon=HORIZON)
    assert isinstance(got, models.Fields) and len(got) == 5
    for field, expected in zip(got, case.fields(t_row, states[:, :-1])):
        same_bits(field, expected)
        assert field.flags.writeable and not np.shares_memory(field, states)
    if not case.model.time_dependent:  # the horizon is ignored
        for field, with_horizon in zip(case.model.fields(states), got):
            same_bits(field, with_horizon)
    if case.absorbs:  # the parameters must reach the absorbed branch
        assert 0 < np.count_nonzero(states == 0.0) < states.size


def test_local_vol_fields_without_horizon_raise_and_say_to_pass_it():
    model = CASES["LocalVol"].model
    states = model.simulate(100.0, 10, 4, HORIZON, np.random.default_rng(1)).states
    with pytest.raises(ValueError, match=r"LocalVol depends on time: pass horizon="):
        model.fields(states)
    with pytest.raises(ValueError, match=r"horizon must be positive"):
        model.fields(states, horizon=0.0)


def test_cev_absorbs_at_zero_and_its_absorbed_paths_are_the_ones_the_weights_refuse():
    model = models.CEV(rate=0.03, vol=0.8, beta=0.5)
    states, dws = model.simulate(1.0, 4_000, 50, HORIZON, np.random.default_rng(3))
    absorbed = model.absorbed(states)
    assert 0 < absorbed.sum() < len(absorbed)
    # never below 0, and a path that reaches 0 stays there
    assert states.min() == 0.0
    at_zero = states == 0.0
    assert np.array_equal(at_zero, np.logical_or.accumulate(at_zero, axis=1))
    assert np.array_equal(absorbed, at_zero[:, -1])
    fields = model.fields(states)
    before = states[:, :-1]
    for field in fields:
        assert np.isfinite(field).all()
        assert (field[before == 0.0] == 0.0).all()
    assert (fields.sigma[before > 0.0] > 0.0).all()
    # the weight functions name a zero sigma of an absorbed path ...
    with pytest.raises(ValueError, match=r"sigma\[\d+, \d+\] = 0") as error:
        quorvane.bel_weights_tangent_flow(states, dws, *fields[:3], HORIZON)
    row, step = map(int, re.search(r"\[(\d+), (\d+)\]", str(error.value)).groups())
    assert absorbed[row] and before[row, step] == 0.0
    # ... and take the surviving ones
    keep = ~absorbed
    weights = quorvane.bel_weights_tangent_flow(states[keep], dws[keep], *(f[keep] for f in fields[:3]),
                                                HORIZON)
    assert weights.shape == (keep.sum(),) and np.isfinite(weights).all()


def test_gbm_delta_on_simulated_paths_matches_black_scholes():
    x0, strike, rate, vol = 100.0, 100.0, 0.03, 0.2
    model = models.GBM(rate=rate, vol=vol)
    # 64 steps: the Euler bias of the delta (about -0.001) is well inside the band.
    states, dws = model.simulate(x0, scaled(200_000, minimum=50_000), 64, HORIZON, np.random.default_rng(17))
    f = model.fields(states)
    price, delta, price_se, delta_se = quorvane.price_and_delta_tangent_flow(
        states, dws, f.sigma, f.d_mu_dx, f.d_sigma_dx, HORIZON, "call", strike)
    d1 = (math.log(x0 / strike) + (rate + 0.5 * vol * vol) * HORIZON) / (vol * math.sqrt(HORIZON))
    cdf = lambda z: 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))  # noqa: E731
    # Undiscounted: E[(X_T - K)+] = e^{rT} C_BS, whose derivative in x0 is e^{rT} N(d1).
    exact_price = x0 * math.exp(rate * HORIZON) * cdf(d1) - strike * cdf(d1 - vol * math.sqrt(HORIZON))
    exact_delta = math.exp(rate * HORIZON) * cdf(d1)
    assert delta_se > 0.0 and abs(delta - exact_delta) < 4.0 * delta_se, (delta, delta_se, exact_delta)
    assert abs(price - exact_price) < 4.0 * price_se, (price, price_se, exact_price)
