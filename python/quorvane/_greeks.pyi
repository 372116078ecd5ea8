# Type stubs for the quorvane._greeks extension module.
from _quorvane import _Float, _Matrix, _Payoff, _Vector

__all__ = [
    "bel_weights_gamma_constant_flow",
    "bel_weights_vega_constant_flow",
    "bel_weights_gamma_tangent_flow",
    "bel_weights_gamma_tangent_flow_parallel",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
    "price_and_delta_tangent_flow_parallel",
    "price_and_greeks_tangent_flow_parallel",
    "__version__",
]
__version__: str

def bel_weights_gamma_constant_flow(
    w_terminals: _Vector, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float
) -> _Vector: ...
def bel_weights_vega_constant_flow(
    w_terminals: _Vector, horizon: _Float, d_sigma_dx: _Float, volatility: _Float
) -> _Vector: ...
def bel_weights_gamma_tangent_flow(
    states: _Matrix,
    dws: _Matrix,
    sigma: _Matrix,
    d_mu_dx: _Matrix,
    d_sigma_dx: _Matrix,
    d2_mu_dx2: _Matrix,
    d2_sigma_dx2: _Matrix,
    horizon: _Float,
) -> _Vector: ...
# The parallel form takes the same arguments and returns the same bits.
bel_weights_gamma_tangent_flow_parallel = bel_weights_gamma_tangent_flow
def price_and_greeks_constant_flow(
    terminal_states: _Vector,
    w_terminals: _Vector,
    horizon: _Float,
    sigma_at_x0: _Float,
    d_sigma_dx: _Float,
    volatility: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> tuple[float, float, float, float, float, float, float, float]: ...
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
) -> tuple[float, float, float, float, float, float]: ...
def price_and_delta_tangent_flow_parallel(
    states: _Matrix,
    dws: _Matrix,
    sigma_field: _Matrix,
    d_mu_dx_field: _Matrix,
    d_sigma_dx_field: _Matrix,
    horizon: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> tuple[float, float, float, float]: ...
# The parallel form takes the same arguments and returns the same bits.
price_and_greeks_tangent_flow_parallel = price_and_greeks_tangent_flow
