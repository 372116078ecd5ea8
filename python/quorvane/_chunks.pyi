# Type stubs for the quorvane._chunks extension module. Each function but the
# last takes the arguments of the estimator of the same name and returns the
# chunk's sums [n, S1, S2 of each lane]; estimate_from_sums returns the means,
# then the standard errors.
from typing import Literal

from quorvane._signatures import (
    AverageConstantFlowDelta,
    AverageTangentFlowDelta,
    ConstantFlowDelta,
    ConstantFlowGreeks,
    ConstantFlowGreeksLocalisedSums,
    TangentFlowDelta,
    TangentFlowGreeks,
    TangentFlowGreeksLocalisedSums,
    _Matrix,
    _Vector,
)

__all__ = [
    "price_from_samples",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
    "price_and_greeks_constant_flow_localised",
    "price_and_greeks_tangent_flow_localised",
    "price_and_delta_tangent_flow_parallel",
    "price_and_greeks_tangent_flow_parallel",
    "price_and_delta_average_tangent_flow",
    "price_and_delta_average_constant_flow",
    "estimate_from_sums",
    "__version__",
]
__version__: str

def price_from_samples(samples: _Vector) -> _Vector: ...
price_and_delta_constant_flow: ConstantFlowDelta[_Vector]
price_and_delta_tangent_flow: TangentFlowDelta[_Vector]
price_and_greeks_constant_flow: ConstantFlowGreeks[_Vector]
price_and_greeks_tangent_flow: TangentFlowGreeks[_Vector]
price_and_greeks_constant_flow_localised: ConstantFlowGreeksLocalisedSums[_Vector]
price_and_greeks_tangent_flow_localised: TangentFlowGreeksLocalisedSums[_Vector]
price_and_delta_average_tangent_flow: AverageTangentFlowDelta[_Vector]
price_and_delta_average_constant_flow: AverageConstantFlowDelta[_Vector]
def estimate_from_sums(sums: _Matrix, undefined_stderr: Literal["zero", "nan"]) -> _Vector: ...
# The parallel forms take the same arguments and return the same bits.
price_and_delta_tangent_flow_parallel = price_and_delta_tangent_flow
price_and_greeks_tangent_flow_parallel = price_and_greeks_tangent_flow
