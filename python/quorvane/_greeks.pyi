# Type stubs for the quorvane._greeks extension module.
import numpy as np
import numpy.typing as npt
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias

__all__ = [
    "bel_weights_gamma_constant_flow",
    "bel_weights_vega_constant_flow",
    "bel_weights_gamma_tangent_flow",
    "bel_weights_gamma_tangent_flow_parallel",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
    "__version__",
]
__version__: str

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Vector: TypeAlias = npt.NDArray[np.float64]
_Matrix: TypeAlias = npt.NDArray[np.float64]
_Payoff: TypeAlias = Literal["identity", "call", "put", "digital_call"]

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
def bel_weights_gamma_tangent_flow_parallel(
    states: _Matrix,
    dws: _Matrix,
    sigma: _Matrix,
    d_mu_dx: _Matrix,
    d_sigma_dx: _Matrix,
    d2_mu_dx2: _Matrix,
    d2_sigma_dx2: _Matrix,
    horizon: _Float,
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
