"""Type-checked with `mypy --strict` against the shipped stubs: calls every function."""

import numpy as np
import numpy.typing as npt

import quorvane

w_terminals: npt.NDArray[np.float64] = np.zeros(4)
states = np.zeros((4, 3))
steps = np.ones((4, 2))

weights: npt.NDArray[np.float64] = quorvane.bel_weights_constant_flow(w_terminals, 1.0, 0.2)
tangent: npt.NDArray[np.float64] = quorvane.bel_weights_tangent_flow(states, steps, steps, steps, steps, 1.0)
parallel: npt.NDArray[np.float64] = quorvane.bel_weights_tangent_flow_parallel(
    states, steps, steps, steps, steps, horizon=1
)
mean, stderr = quorvane.price_from_samples(weights)
price, delta, price_stderr, delta_stderr = quorvane.price_and_delta_constant_flow(
    w_terminals, w_terminals, 1.0, np.float64(0.2), "call", strike=1.0
)
estimate: tuple[float, float, float, float] = quorvane.price_and_delta_tangent_flow(
    states, steps, steps, steps, steps, 1.0, "digital_call"
)
version: str = quorvane.__version__
total: float = mean + stderr + price + delta + price_stderr + delta_stderr + sum(estimate)
try:
    quorvane.price_from_samples(weights)
except quorvane.PanicException as failure:
    panic: BaseException = failure

states3 = np.zeros((4, 4))
steps3 = np.ones((4, 3))
gamma_w: npt.NDArray[np.float64] = quorvane.bel_weights_gamma_constant_flow(w_terminals, 1.0, 20.0, 0.2)
vega_w: npt.NDArray[np.float64] = quorvane.bel_weights_vega_constant_flow(w_terminals, 1.0, 0.2, volatility=0.2)
gamma_tf: npt.NDArray[np.float64] = quorvane.bel_weights_gamma_tangent_flow(
    states3, steps3, steps3, steps3, steps3, steps3, steps3, 1.0
)
gamma_par: npt.NDArray[np.float64] = quorvane.bel_weights_gamma_tangent_flow_parallel(
    states3, steps3, steps3, steps3, steps3, steps3, steps3, horizon=1
)
greeks: quorvane.Greeks = quorvane.price_and_greeks_constant_flow(
    w_terminals, w_terminals, 1.0, 20.0, 0.2, 0.2, "call", strike=1.0
)
tf_greeks: quorvane.TangentFlowGreeks = quorvane.price_and_greeks_tangent_flow(
    states3, steps3, steps3, steps3, steps3, steps3, steps3, 1.0, "put"
)
raw: tuple[float, float, float, float, float, float] = quorvane._greeks.price_and_greeks_tangent_flow(
    states3, steps3, steps3, steps3, steps3, steps3, steps3, 1.0, "put"
)
second: float = greeks.gamma + greeks.vega_stderr + tf_greeks.gamma_stderr + sum(raw)
