# Type stubs for the quorvane._greeks extension module.
from quorvane._signatures import (
    ConstantFlowGreeks,
    TangentFlowDelta,
    TangentFlowGammaWeights,
    TangentFlowGreeks,
    _Float,
    _Vector,
)

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
bel_weights_gamma_tangent_flow: TangentFlowGammaWeights[_Vector]
# The parallel form takes the same arguments and returns the same bits.
bel_weights_gamma_tangent_flow_parallel = bel_weights_gamma_tangent_flow
price_and_greeks_constant_flow: ConstantFlowGreeks[tuple[float, float, float, float, float, float, float, float]]
price_and_greeks_tangent_flow: TangentFlowGreeks[tuple[float, float, float, float, float, float]]
price_and_delta_tangent_flow_parallel: TangentFlowDelta[tuple[float, float, float, float]]
# The parallel form takes the same arguments and returns the same bits.
price_and_greeks_tangent_flow_parallel = price_and_greeks_tangent_flow
