# The parameter lists of the extension modules' functions, each declared once.
#
# Several modules serve one parameter list (an estimator, its chunk sums, its
# parallel form), each with its own result: a stub declares such a function as
#     name: Signature[Result]
# so that the names, order and defaults of its parameters are written here only.
# A function whose parameter list no other shares stays a plain `def`.
import numpy as np
import numpy.typing as npt
from typing import Literal, Optional, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Vector: TypeAlias = npt.NDArray[np.float64]
_Matrix: TypeAlias = npt.NDArray[np.float64]
# The four built-in payoffs. Any str is accepted at run time (an unknown name
# raises ValueError); a Literal lets a type checker catch a misspelt name.
_Payoff: TypeAlias = Literal["identity", "call", "put", "digital_call"]

_Result = TypeVar("_Result", covariant=True)

# GBM or ABM from terminal values: X_T and W_T, then the model's scalars, then the
# payoff. The localised forms add the band's half-width (None: chosen per Greek).
class ConstantFlowDelta(Protocol[_Result]):
    def __call__(self, terminal_states: _Vector, w_terminals: _Vector, horizon: _Float,
                 sigma_at_x0: _Float, payoff: _Payoff, strike: _Float = 0.0) -> _Result: ...

class ConstantFlowGreeks(Protocol[_Result]):
    def __call__(self, terminal_states: _Vector, w_terminals: _Vector, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0) -> _Result: ...

class ConstantFlowGreeksLocalised(Protocol[_Result]):
    def __call__(self, terminal_states: _Vector, w_terminals: _Vector, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0,
                 bandwidth: Optional[_Float] = None) -> _Result: ...

# A chunk's sums of the localised estimator: `spread`, that of all the chunks'
# terminal values, for the automatic bandwidth (None: this chunk's).
class ConstantFlowGreeksLocalisedSums(Protocol[_Result]):
    def __call__(self, terminal_states: _Vector, w_terminals: _Vector, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0,
                 bandwidth: Optional[_Float] = None, spread: Optional[_Float] = None) -> _Result: ...

# Any scalar diffusion from full path batches: the states, the increments, then
# the coefficient fields at the state before each step (the estimators name them
# `*_field`, the weights do not), the horizon, then the payoff.
class TangentFlowDelta(Protocol[_Result]):
    def __call__(self, states: _Matrix, dws: _Matrix, sigma_field: _Matrix, d_mu_dx_field: _Matrix,
                 d_sigma_dx_field: _Matrix, horizon: _Float, payoff: _Payoff, strike: _Float = 0.0) -> _Result: ...

class TangentFlowGreeks(Protocol[_Result]):
    def __call__(self, states: _Matrix, dws: _Matrix, sigma_field: _Matrix, d_mu_dx_field: _Matrix,
                 d_sigma_dx_field: _Matrix, d2_mu_dx2_field: _Matrix, d2_sigma_dx2_field: _Matrix,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0) -> _Result: ...

class TangentFlowGreeksLocalised(Protocol[_Result]):
    def __call__(self, states: _Matrix, dws: _Matrix, sigma_field: _Matrix, d_mu_dx_field: _Matrix,
                 d_sigma_dx_field: _Matrix, d2_mu_dx2_field: _Matrix, d2_sigma_dx2_field: _Matrix,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0,
                 bandwidth: Optional[_Float] = None) -> _Result: ...

class TangentFlowGreeksLocalisedSums(Protocol[_Result]):
    def __call__(self, states: _Matrix, dws: _Matrix, sigma_field: _Matrix, d_mu_dx_field: _Matrix,
                 d_sigma_dx_field: _Matrix, d2_mu_dx2_field: _Matrix, d2_sigma_dx2_field: _Matrix,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0,
                 bandwidth: Optional[_Float] = None, spread: Optional[_Float] = None) -> _Result: ...

# The weights' form of the fields, first and second order, then the horizon.
class TangentFlowGammaWeights(Protocol[_Result]):
    def __call__(self, states: _Matrix, dws: _Matrix, sigma: _Matrix, d_mu_dx: _Matrix, d_sigma_dx: _Matrix,
                 d2_mu_dx2: _Matrix, d2_sigma_dx2: _Matrix, horizon: _Float) -> _Result: ...

# Payoffs of a weighted average A = sum_k a_k X_k: a path batch with the first and
# second order fields, or GBM and ABM values at monitoring dates; then the
# average's weights, one per column or date, and the payoff applied to A.
class AverageTangentFlowDelta(Protocol[_Result]):
    def __call__(self, states: _Matrix, dws: _Matrix, sigma_field: _Matrix, d_mu_dx_field: _Matrix,
                 d_sigma_dx_field: _Matrix, d2_mu_dx2_field: _Matrix, d2_sigma_dx2_field: _Matrix,
                 horizon: _Float, average_weights: _Vector, payoff: _Payoff,
                 strike: _Float = 0.0) -> _Result: ...

class AverageConstantFlowDelta(Protocol[_Result]):
    def __call__(self, monitored_states: _Matrix, w_terminals: _Vector, monitoring_times: _Vector,
                 average_weights: _Vector, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float,
                 payoff: _Payoff, strike: _Float = 0.0) -> _Result: ...
