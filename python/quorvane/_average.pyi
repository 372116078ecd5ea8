# Type stubs for the quorvane._average extension module.
from quorvane._signatures import (
    AverageConstantFlowDelta,
    AverageTangentFlowDelta,
    _Float,
    _Matrix,
    _Vector,
)

__all__ = [
    "bel_weights_average_tangent_flow",
    "bel_weights_average_tangent_flow_parallel",
    "price_and_delta_average_tangent_flow",
    "bel_weights_average_constant_flow",
    "price_and_delta_average_constant_flow",
    "__version__",
]
__version__: str

def bel_weights_average_tangent_flow(
    states: _Matrix,
    dws: _Matrix,
    sigma: _Matrix,
    d_mu_dx: _Matrix,
    d_sigma_dx: _Matrix,
    d2_mu_dx2: _Matrix,
    d2_sigma_dx2: _Matrix,
    horizon: _Float,
    average_weights: _Vector,
) -> _Vector: ...
bel_weights_average_tangent_flow_parallel = bel_weights_average_tangent_flow
price_and_delta_average_tangent_flow: AverageTangentFlowDelta[tuple[float, float, float, float]]
def bel_weights_average_constant_flow(
    monitored_states: _Matrix,
    w_terminals: _Vector,
    monitoring_times: _Vector,
    average_weights: _Vector,
    horizon: _Float,
    sigma_at_x0: _Float,
    d_sigma_dx: _Float,
) -> _Vector: ...
price_and_delta_average_constant_flow: AverageConstantFlowDelta[tuple[float, float, float, float]]
