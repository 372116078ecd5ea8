# Type stubs for the quorvane._localised extension module.
from quorvane._signatures import (
    ConstantFlowGreeksLocalised,
    TangentFlowGammaWeights,
    TangentFlowGreeksLocalised,
    _Vector,
)

__all__ = [
    "price_and_greeks_constant_flow_localised",
    "price_and_greeks_tangent_flow_localised",
    "price_and_greeks_tangent_flow_localised_parallel",
    "bel_weights_and_variations_tangent_flow",
    "__version__",
]
__version__: str

price_and_greeks_constant_flow_localised: ConstantFlowGreeksLocalised[
    tuple[float, float, float, float, float, float, float, float, float, float, float]
]
price_and_greeks_tangent_flow_localised: TangentFlowGreeksLocalised[
    tuple[float, float, float, float, float, float, float, float]
]
# The parallel form takes the same arguments and returns the same bits.
price_and_greeks_tangent_flow_localised_parallel = price_and_greeks_tangent_flow_localised
bel_weights_and_variations_tangent_flow: TangentFlowGammaWeights[tuple[_Vector, _Vector, _Vector, _Vector]]
