# Type stubs for the quorvane._localised extension module.
from typing import Optional

from _quorvane import _Float, _Matrix, _Payoff, _Vector

__all__ = [
    "price_and_greeks_constant_flow_localised",
    "price_and_greeks_tangent_flow_localised",
    "price_and_greeks_tangent_flow_localised_parallel",
    "bel_weights_and_variations_tangent_flow",
    "__version__",
]
__version__: str

def price_and_greeks_constant_flow_localised(
    terminal_states: _Vector,
    w_terminals: _Vector,
    horizon: _Float,
    sigma_at_x0: _Float,
    d_sigma_dx: _Float,
    volatility: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
    bandwidth: Optional[_Float] = None,
) -> tuple[float, float, float, float, float, float, float, float, float, float, float]: ...
def price_and_greeks_tangent_flow_localised(
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
    bandwidth: Optional[_Float] = None,
) -> tuple[float, float, float, float, float, float, float, float]: ...
price_and_greeks_tangent_flow_localised_parallel = price_and_greeks_tangent_flow_localised
def bel_weights_and_variations_tangent_flow(
    states: _Matrix,
    dws: _Matrix,
    sigma: _Matrix,
    d_mu_dx: _Matrix,
    d_sigma_dx: _Matrix,
    d2_mu_dx2: _Matrix,
    d2_sigma_dx2: _Matrix,
    horizon: _Float,
) -> tuple[_Vector, _Vector, _Vector, _Vector]: ...
