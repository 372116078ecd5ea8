# Type stubs for the _quorvane extension module.
import numpy as np
import numpy.typing as npt
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias

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

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Vector: TypeAlias = npt.NDArray[np.float64]
_Matrix: TypeAlias = npt.NDArray[np.float64]
# The four built-in payoffs. Any str is accepted at run time (an unknown name
# raises ValueError); a Literal lets a type checker catch a misspelt name.
_Payoff: TypeAlias = Literal["identity", "call", "put", "digital_call"]

def bel_weights_constant_flow(w_terminals: _Vector, horizon: _Float, sigma_at_x0: _Float) -> _Vector: ...
def bel_weights_tangent_flow(
    states: _Matrix, dws: _Matrix, sigma: _Matrix, d_mu_dx: _Matrix, d_sigma_dx: _Matrix, horizon: _Float
) -> _Vector: ...
# The parallel form takes the same arguments and returns the same bits.
bel_weights_tangent_flow_parallel = bel_weights_tangent_flow
def price_from_samples(samples: _Vector) -> tuple[float, float]: ...
def price_and_delta_constant_flow(
    terminal_states: _Vector,
    w_terminals: _Vector,
    horizon: _Float,
    sigma_at_x0: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> tuple[float, float, float, float]: ...
def price_and_delta_tangent_flow(
    states: _Matrix,
    dws: _Matrix,
    sigma_field: _Matrix,
    d_mu_dx_field: _Matrix,
    d_sigma_dx_field: _Matrix,
    horizon: _Float,
    payoff: _Payoff,
    strike: _Float = 0.0,
) -> tuple[float, float, float, float]: ...
