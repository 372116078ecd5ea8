# Type stubs for the _quorvane extension module.
from quorvane._signatures import ConstantFlowDelta, TangentFlowDelta
# The argument types, declared in quorvane/_signatures.pyi, where stubs import
# them from; re-exported for stubs that still take them from here.
from quorvane._signatures import _Float as _Float, _Matrix as _Matrix, _Payoff as _Payoff, _Vector as _Vector

__all__ = [
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "bel_weights_tangent_flow_parallel",
    "price_from_samples",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "__version__",
]
__version__: str

def bel_weights_constant_flow(w_terminals: _Vector, horizon: _Float, sigma_at_x0: _Float) -> _Vector: ...
def bel_weights_tangent_flow(
    states: _Matrix, dws: _Matrix, sigma: _Matrix, d_mu_dx: _Matrix, d_sigma_dx: _Matrix, horizon: _Float
) -> _Vector: ...
# The parallel form takes the same arguments and returns the same bits.
bel_weights_tangent_flow_parallel = bel_weights_tangent_flow
def price_from_samples(samples: _Vector) -> tuple[float, float]: ...
price_and_delta_constant_flow: ConstantFlowDelta[tuple[float, float, float, float]]
price_and_delta_tangent_flow: TangentFlowDelta[tuple[float, float, float, float]]
