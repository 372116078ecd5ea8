# The parameter lists of quorvane.dask's functions, each declared once, as in
# _signatures.pyi but with Dask arrays (_A) and NumPy data every chunk gets whole
# (_W). quorvane.dask declares each function as  name: Signature[Result].
# An estimate returns its result, or with compute=False the Delayed computing it.
import dask.array as da
import numpy.typing as npt
from dask.delayed import Delayed
from typing import Any, Literal, Optional, Protocol, TypeAlias, TypeVar, overload

from quorvane._signatures import _Float, _Payoff

_A: TypeAlias = da.Array
_W: TypeAlias = npt.ArrayLike
_R = TypeVar("_R", covariant=True)

# Lazy per-path weights.
class ConstantFlowWeights(Protocol[_R]):
    def __call__(self, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float) -> _R: ...

class ConstantFlowGammaWeights(Protocol[_R]):
    def __call__(self, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float) -> _R: ...

class ConstantFlowVegaWeights(Protocol[_R]):
    def __call__(self, w_terminals: _A, horizon: _Float, d_sigma_dx: _Float, volatility: _Float) -> _R: ...

class TangentFlowWeights(Protocol[_R]):
    def __call__(self, states: _A, dws: _A, sigma: _A, d_mu_dx: _A, d_sigma_dx: _A, horizon: _Float) -> _R: ...

class TangentFlowGammaWeights(Protocol[_R]):
    def __call__(self, states: _A, dws: _A, sigma: _A, d_mu_dx: _A, d_sigma_dx: _A, d2_mu_dx2: _A,
                 d2_sigma_dx2: _A, horizon: _Float) -> _R: ...

class AverageTangentFlowWeights(Protocol[_R]):
    def __call__(self, states: _A, dws: _A, sigma: _A, d_mu_dx: _A, d_sigma_dx: _A, d2_mu_dx2: _A,
                 d2_sigma_dx2: _A, horizon: _Float, average_weights: _W) -> _R: ...

class AverageConstantFlowWeights(Protocol[_R]):
    def __call__(self, monitored_states: _A, w_terminals: _A, monitoring_times: _W, average_weights: _W,
                 horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float) -> _R: ...

# Estimates, overloaded on compute.
class Samples(Protocol[_R]):
    @overload
    def __call__(self, samples: _A, *, compute: Literal[True] = ..., discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, samples: _A, *, compute: Literal[False], discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, samples: _A, *, compute: bool, discount: _Float = 1.0) -> _R | Delayed: ...

class ConstantFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, terminal_states: _A, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[True] = ...,
                 discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, terminal_states: _A, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[False],
                 discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, terminal_states: _A, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: bool,
                 discount: _Float = 1.0) -> _R | Delayed: ...

class TangentFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[True] = ...,
                 discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[False],
                 discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *, compute: bool,
                 discount: _Float = 1.0) -> _R | Delayed: ...

class AverageTangentFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 d2_mu_dx2_field: _A, d2_sigma_dx2_field: _A, horizon: _Float, average_weights: _W,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[True] = ...,
                 discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 d2_mu_dx2_field: _A, d2_sigma_dx2_field: _A, horizon: _Float, average_weights: _W,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[False],
                 discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 d2_mu_dx2_field: _A, d2_sigma_dx2_field: _A, horizon: _Float, average_weights: _W,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: bool,
                 discount: _Float = 1.0) -> _R | Delayed: ...

class AverageConstantFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, monitored_states: _A, w_terminals: _A, monitoring_times: _W, average_weights: _W,
                 horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float, payoff: _Payoff,
                 strike: _Float = 0.0, *, compute: Literal[True] = ..., discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, monitored_states: _A, w_terminals: _A, monitoring_times: _W, average_weights: _W,
                 horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float, payoff: _Payoff,
                 strike: _Float = 0.0, *, compute: Literal[False], discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, monitored_states: _A, w_terminals: _A, monitoring_times: _W, average_weights: _W,
                 horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float, payoff: _Payoff,
                 strike: _Float = 0.0, *, compute: bool, discount: _Float = 1.0) -> _R | Delayed: ...

# The Greeks' estimates are typed Any, whatever compute is.
class ConstantFlowGreeks(Protocol):
    def __call__(self, terminal_states: _A, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: bool = True, discount: _Float = 1.0) -> Any: ...

class ConstantFlowGreeksLocalised(Protocol):
    def __call__(self, terminal_states: _A, w_terminals: _A, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0,
                 bandwidth: Optional[_Float] = None, *, compute: bool = True, discount: _Float = 1.0) -> Any: ...

class TangentFlowGreeks(Protocol):
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 d2_mu_dx2_field: _A, d2_sigma_dx2_field: _A, horizon: _Float, payoff: _Payoff,
                 strike: _Float = 0.0, *, compute: bool = True, discount: _Float = 1.0) -> Any: ...

class TangentFlowGreeksLocalised(Protocol):
    def __call__(self, states: _A, dws: _A, sigma_field: _A, d_mu_dx_field: _A, d_sigma_dx_field: _A,
                 d2_mu_dx2_field: _A, d2_sigma_dx2_field: _A, horizon: _Float, payoff: _Payoff,
                 strike: _Float = 0.0, bandwidth: Optional[_Float] = None, *, compute: bool = True,
                 discount: _Float = 1.0) -> Any: ...
