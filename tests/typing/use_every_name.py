"""A user's script that takes every public name from `from quorvane import *`,
type-checked with `mypy --strict`: a name missing from `quorvane.__all__` is
reported here as not defined."""

import numpy as np
import numpy.typing as npt

from quorvane import *

rng = np.random.default_rng(3)
x0, vol, horizon, strike = 100.0, 0.2, 1.0, 100.0
w_t: npt.NDArray[np.float64] = rng.standard_normal(1_000) * np.sqrt(horizon)
x_t = x0 * np.exp(-0.5 * vol**2 * horizon + vol * w_t)
paths = models.GBM(rate=0.0, vol=vol).simulate(x0, 1_000, 8, horizon, rng)
f = models.GBM(rate=0.0, vol=vol).fields(paths.states)

delta_w: npt.NDArray[np.float64] = bel_weights_constant_flow(w_t, horizon, vol * x0)
tangent_w = bel_weights_tangent_flow(*paths, *f[:3], horizon)
tangent_par = bel_weights_tangent_flow_parallel(*paths, *f[:3], horizon)
gamma_w = bel_weights_gamma_constant_flow(w_t, horizon, vol * x0, vol)
vega_w = bel_weights_vega_constant_flow(w_t, horizon, vol, vol)
gamma_tf = bel_weights_gamma_tangent_flow(*paths, *f, horizon)
gamma_par = bel_weights_gamma_tangent_flow_parallel(*paths, *f, horizon)
# The weights over the first 4 steps, for payoffs of the path from step 4 on.
window_w = bel_weights_tangent_flow(*first_window(*paths, *f[:3], horizon=horizon, window_steps=4))
window_g: npt.NDArray[np.float64] = bel_weights_gamma_tangent_flow(
    *first_window(*paths, *f, horizon=horizon, window_steps=4))

mean, stderr = price_from_samples(np.maximum(x_t - strike, 0.0) * delta_w)
price, delta, price_se, delta_se = price_and_delta_constant_flow(x_t, w_t, horizon, vol * x0, "call", strike)
# Named estimates: fields by name, and still tuples.
named: Estimate = price_and_delta_tangent_flow(*paths, *f[:3], horizon, "put", strike)
plain: tuple[float, float, float, float] = named
sample_mean: MeanEstimate = price_from_samples(delta_w)
tf_delta: float = named.delta + named.delta_stderr + sample_mean.mean + sample_mean.stderr
greeks: Greeks = price_and_greeks_constant_flow(x_t, w_t, horizon, vol * x0, vol, vol, "call", strike)
tf_greeks: TangentFlowGreeks = price_and_greeks_tangent_flow(*paths, *f, horizon, "digital_call", strike)
named_par: Estimate = price_and_delta_tangent_flow_parallel(*paths, *f[:3], horizon, "put", strike)
tf_greeks_par: TangentFlowGreeks = price_and_greeks_tangent_flow_parallel(*paths, *f, horizon, "call", strike)

# Discounted, by a keyword-only factor: every field times exp(-r T).
rate = 0.03
factor = float(np.exp(-rate * horizon))
pv: Estimate = price_and_delta_constant_flow(x_t, w_t, horizon, vol * x0, "call", strike, discount=factor)
pv_greeks: Greeks = price_and_greeks_constant_flow(x_t, w_t, horizon, vol * x0, vol, vol, "call", strike,
                                                   discount=np.exp(-rate * horizon))
pv_tf: TangentFlowGreeks = price_and_greeks_tangent_flow(*paths, *f, horizon, "call", strike, discount=factor)
pv_tf_delta: Estimate = price_and_delta_tangent_flow(*paths, *f[:3], horizon, "call", strike, discount=1)
pv_mean: MeanEstimate = price_from_samples(delta_w, discount=factor)


def mistakes_the_checker_catches() -> None:
    """Never called: the discount is keyword-only and a number (the ignores must stay needed)."""
    price_from_samples(delta_w, factor)  # type: ignore[call-arg]
    price_and_delta_constant_flow(x_t, w_t, horizon, vol * x0, "call", strike, discount="0.97")  # type: ignore[arg-type]


try:
    price_from_samples(gamma_w + vega_w + gamma_tf + gamma_par + tangent_w + tangent_par + window_w + window_g)
except PanicException as failure:
    panic: BaseException = failure
version: str = __version__
total: float = pv.price + pv_greeks.vega + pv_tf.gamma + pv_tf_delta.delta + pv_mean.stderr
total += mean + stderr + price + delta + price_se + delta_se + sum(greeks) + sum(tf_greeks)
