"""A user's script, type-checked with `mypy --strict` against the installed package.

Dask's own functions carry no annotations and `dask` re-exports `compute`
implicitly, so the check runs with the configuration docs/guide.md gives users
(untyped calls allowed into dask and distributed, their re-exports read as
exports); quorvane's files need no such allowance.
The `type: ignore` comments below must stay needed: `--strict` reports an
unused one, so a payoff type that admits any str, or a `compute=False` that
still claims to return a tuple, fails this check.
"""

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.delayed import Delayed

import quorvane
import quorvane.dask as qd

rng = np.random.default_rng(1)
x0, vol, horizon, strike = 100.0, 0.2, 1.0, 100.0
w_t: npt.NDArray[np.float64] = rng.standard_normal(10_000) * np.sqrt(horizon)
x_t = x0 * np.exp(-0.5 * vol**2 * horizon + vol * w_t)

price, delta, price_se, delta_se = quorvane.price_and_delta_constant_flow(
    x_t, w_t, horizon, vol * x0, "call", strike)

n_steps = 8
dws = da.from_array(rng.standard_normal((10_000, n_steps)) * np.sqrt(horizon / n_steps),
                    chunks=(2_500, -1))
growth = 1.0 + vol * dws
states = da.concatenate([da.full((10_000, 1), x0), x0 * da.cumprod(growth, axis=1)], axis=1).rechunk({1: -1})
before = states[:, :-1]
sigma, d_mu_dx, d_sigma_dx = vol * before, da.zeros_like(before), da.full_like(before, vol)

weights: da.Array = qd.bel_weights_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)
parallel: da.Array = qd.bel_weights_tangent_flow_parallel(states, dws, sigma, d_mu_dx, d_sigma_dx, 1)
constant: da.Array = qd.bel_weights_constant_flow(dws.sum(axis=1), horizon, np.float64(vol * x0))

estimate: tuple[float, float, float, float] = qd.price_and_delta_tangent_flow(
    states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, "digital_call", strike=strike)
mean, stderr = qd.price_from_samples(da.maximum(states[:, -1] - strike, 0.0) * weights)
lazy: Delayed = qd.price_and_delta_constant_flow(
    states[:, -1], dws.sum(axis=1), horizon, vol * x0, "put", strike, compute=False)
both = dask.compute(lazy, qd.price_from_samples(constant, compute=False))


def mistakes_the_checker_catches() -> None:
    """Never called: each line would fail at run time, and mypy says so first."""
    quorvane.price_and_delta_constant_flow(x_t, w_t, horizon, vol * x0, "digitl_call")  # type: ignore[arg-type]
    qd.price_and_delta_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, 1.0, "Call")  # type: ignore[call-overload]
    pair: tuple[float, float] = qd.price_from_samples(weights, compute=False)  # type: ignore[assignment]
    quorvane.price_from_samples([1.0, 2.0])  # type: ignore[arg-type]


try:
    qd.bel_weights_constant_flow(constant, 0.0, 1.0)
except ValueError:
    pass
except qd.PanicError as error:
    message: str = str(error)

total: float = price + delta + price_se + delta_se + mean + stderr + sum(estimate)

# Every name of quorvane.dask through its __all__ (a literal list, so mypy sees them).
from quorvane.dask import *  # noqa: E402

lazy_weights: da.Array = bel_weights_gamma_constant_flow(constant, horizon, vol * x0, vol)
star_estimate: tuple[float, float, float, float] = price_and_delta_tangent_flow(
    states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, "call", strike)
star_mean, star_stderr = price_from_samples(constant)
named_mean: quorvane.MeanEstimate = price_from_samples(constant, discount=0.97)
named_delta: float = qd.price_and_delta_constant_flow(
    states[:, -1], dws.sum(axis=1), horizon, vol * x0, "call", strike).delta + named_mean.stderr
star_error: type[RuntimeError] = PanicError
lazy_pv: Delayed = price_and_delta_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, "call",
                                                strike, compute=False, discount=np.exp(-0.03 * horizon))
pv_greeks = price_and_greeks_constant_flow(states[:, -1], dws.sum(axis=1), horizon, vol * x0, vol, vol,
                                           "call", strike, discount=0.97)
