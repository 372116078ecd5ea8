"""A user's script with quorvane.models, type-checked with `mypy --strict`: every model,
its paths and fields passed on to the delta and gamma functions, and a LocalVol
built from lambdas."""

import numpy as np
import numpy.typing as npt

import quorvane
from quorvane.models import ABM, CEV, GBM, OU, Fields, LocalVol, Model, Paths

rng = np.random.default_rng(1)
horizon, strike = 1.0, 100.0

local_vol = LocalVol(mu=lambda t, x: 0.03 * x, sigma=lambda t, x: (0.2 + 0.1 * t) * x,
                     d_mu_dx=lambda t, x: 0.03, d_sigma_dx=lambda t, x: 0.2 + 0.1 * t,
                     d2_mu_dx2=lambda t, x: 0.0, d2_sigma_dx2=lambda t, x: np.zeros_like(x))
chosen: list[Model] = [GBM(rate=0.03, vol=0.2), ABM(drift=0.0, vol=20.0), OU(kappa=2.0, theta=100.0, vol=20.0),
                       CEV(rate=0.03, vol=2.0, beta=0.5), local_vol]

for model in chosen:
    paths: Paths = model.simulate(100.0, 1_000, 16, horizon, rng)
    states, dws = paths
    fields: Fields = model.fields(states, horizon=horizon)
    sigma: npt.NDArray[np.float64] = fields.sigma
    drift: npt.NDArray[np.float64] = model.mu(0.0, states[:, 0])
    estimate: tuple[float, float, float, float] = quorvane.price_and_delta_tangent_flow(
        states, dws, *fields[:3], horizon, "call", strike)
    weights: npt.NDArray[np.float64] = quorvane.bel_weights_gamma_tangent_flow(states, dws, *fields, horizon)
    greeks: quorvane.TangentFlowGreeks = quorvane.price_and_greeks_tangent_flow(
        paths.states, paths.dws, *fields, horizon, "digital_call", strike)

cev = CEV(rate=0.03, vol=2.0, beta=0.5)
cev_states, cev_dws = cev.simulate(100.0, 1_000, 16, horizon, rng)
keep: npt.NDArray[np.bool_] = ~cev.absorbed(cev_states)
share: float = float(cev.absorbed(cev_states).mean())
# Must stay needed (--strict reports an unused ignore): rng is a Generator, not a seed.
GBM(rate=0.03, vol=0.2).simulate(100.0, 10, 4, horizon, rng=1)  # type: ignore[arg-type]
