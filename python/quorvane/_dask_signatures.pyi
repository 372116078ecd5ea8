# The parameter lists of quorvane.dask's functions, each declared once, as in
# _signatures.pyi but with Dask arrays. quorvane.dask declares each function as
#     name: Signature[Result]
# An estimate returns its result, or with compute=False the Delayed computing it.
import dask.array as da
import numpy.typing as npt
from dask.delayed import Delayed
from typing import Any, Literal, Optional, Protocol, TypeVar, overload

from quorvane._signatures import _Float, _Payoff

_R = TypeVar("_R", covariant=True)

# Lazy per-path weights.
class ConstantFlowWeights(Protocol[_R]):
    def __call__(self, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float) -> _R: ...

class ConstantFlowGammaWeights(Protocol[_R]):
    def __call__(self, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float) -> _R: ...

class ConstantFlowVegaWeights(Protocol[_R]):
    def __call__(self, w_terminals: da.Array, horizon: _Float, d_sigma_dx: _Float,
                 volatility: _Float) -> _R: ...

class TangentFlowWeights(Protocol[_R]):
    def __call__(self, states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                 d_sigma_dx: da.Array, horizon: _Float) -> _R: ...

class TangentFlowGammaWeights(Protocol[_R]):
    def __call__(self, states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                 d_sigma_dx: da.Array, d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                 horizon: _Float) -> _R: ...

class AverageTangentFlowWeights(Protocol[_R]):
    def __call__(self, states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                 d_sigma_dx: da.Array, d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array, horizon: _Float,
                 average_weights: npt.ArrayLike) -> _R: ...

class AverageConstantFlowWeights(Protocol[_R]):
    def __call__(self, monitored_states: da.Array, w_terminals: da.Array, monitoring_times: npt.ArrayLike,
                 average_weights: npt.ArrayLike, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float) -> _R: ...

# Estimates: the result, or with compute=False a Delayed.
class Samples(Protocol[_R]):
    @overload
    def __call__(self, samples: da.Array, *, compute: Literal[True] = ..., discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, samples: da.Array, *, compute: Literal[False], discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, samples: da.Array, *, compute: bool, discount: _Float = 1.0) -> _R | Delayed: ...

class ConstantFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, terminal_states: da.Array, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[True] = ...,
                 discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, terminal_states: da.Array, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[False],
                 discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, terminal_states: da.Array, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: bool,
                 discount: _Float = 1.0) -> _R | Delayed: ...

class TangentFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: Literal[True] = ..., discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: Literal[False], discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: bool, discount: _Float = 1.0) -> _R | Delayed: ...

class AverageTangentFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                 horizon: _Float, average_weights: npt.ArrayLike, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: Literal[True] = ..., discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                 horizon: _Float, average_weights: npt.ArrayLike, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: Literal[False], discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                 horizon: _Float, average_weights: npt.ArrayLike, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: bool, discount: _Float = 1.0) -> _R | Delayed: ...

class AverageConstantFlowDelta(Protocol[_R]):
    @overload
    def __call__(self, monitored_states: da.Array, w_terminals: da.Array, monitoring_times: npt.ArrayLike,
                 average_weights: npt.ArrayLike, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[True] = ...,
                 discount: _Float = 1.0) -> _R: ...
    @overload
    def __call__(self, monitored_states: da.Array, w_terminals: da.Array, monitoring_times: npt.ArrayLike,
                 average_weights: npt.ArrayLike, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[False],
                 discount: _Float = 1.0) -> Delayed: ...
    @overload
    def __call__(self, monitored_states: da.Array, w_terminals: da.Array, monitoring_times: npt.ArrayLike,
                 average_weights: npt.ArrayLike, horizon: _Float, sigma_at_x0: _Float, d_sigma_dx: _Float,
                 payoff: _Payoff, strike: _Float = 0.0, *, compute: bool,
                 discount: _Float = 1.0) -> _R | Delayed: ...

# The Greeks' estimates, typed Any as a whole (compute either way).
class ConstantFlowGreeks(Protocol):
    def __call__(self, terminal_states: da.Array, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                 compute: bool = True, discount: _Float = 1.0) -> Any: ...

class ConstantFlowGreeksLocalised(Protocol):
    def __call__(self, terminal_states: da.Array, w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                 d_sigma_dx: _Float, volatility: _Float, payoff: _Payoff, strike: _Float = 0.0,
                 bandwidth: Optional[_Float] = None, *, compute: bool = True,
                 discount: _Float = 1.0) -> Any: ...

class TangentFlowGreeks(Protocol):
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *, compute: bool = True,
                 discount: _Float = 1.0) -> Any: ...

class TangentFlowGreeksLocalised(Protocol):
    def __call__(self, states: da.Array, dws: da.Array, sigma_field: da.Array, d_mu_dx_field: da.Array,
                 d_sigma_dx_field: da.Array, d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, bandwidth: Optional[_Float] = None, *,
                 compute: bool = True, discount: _Float = 1.0) -> Any: ...
