# Type stubs for the quorvane._chunks extension module. Each function but the
# last takes the arguments of the estimator of the same name and returns the
# chunk's sums [n, S1, S2 of each lane]; estimate_from_sums returns the means,
# then the standard errors.
from typing import Literal

from _quorvane import _Float, _Matrix, _Payoff, _Vector

__all__ = [
    "price_from_samples",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
    "price_and_delta_tangent_flow_parallel",
    "price_and_greeks_tangent_flow_parallel",
    "estimate_from_sums",
    "__version__",
]
__version__: str

def price_from_samples(samples: _Vector) -> _Vector: ...
def price_and_delta_constant_flow(
    terminal_states: _Vector,
    w_terminals: _Vector,
    horizon: _Float,
    sigma_at_x0: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> _Vector: ...
def price_and_delta_tangent_flow(
    states: _Matrix,
    dws: _Matrix,
    sigma_field: _Matrix,
    d_mu_dx_field: _Matrix,
    d_sigma_dx_field: _Matrix,
    horizon: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> _Vector: ...
def price_and_greeks_constant_flow(
    terminal_states: _Vector,
    w_terminals: _Vector,
    horizon: _Float,
    sigma_at_x0: _Float,
    d_sigma_dx: _Float,
    volatility: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> _Vector: ...
def price_and_greeks_tangent_flow(
    states: _Matrix,
    dws: _Matrix,
    sigma_field: _Matrix,
    d_mu_dx_field: _Matrix,
    d_sigma_dx_field: _Matrix,
    d2_mu_dx2_field: _Matrix,
    d2_sigma_dx2_field: _Matrix,
    horizon: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> _Vector: ...
def estimate_from_sums(sums: _Matrix, undefined_stderr: Literal["zero", "nan"]) -> _Vector: ...
# The parallel forms take the same arguments and return the same bits.
price_and_delta_tangent_flow_parallel = price_and_delta_tangent_flow
price_and_greeks_tangent_flow_parallel = price_and_greeks_tangent_flow
