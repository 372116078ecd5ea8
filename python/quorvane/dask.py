"""quorvane on Dask: BEL weights, prices and Greeks for path batches chunked along the path axis.

Path batches too large for one machine live as Dask arrays with one row per path,
chunked along the path axis only: every chunk holds whole paths and all their
steps. Every function of the native modules has its form here, under the same
name and with the same arguments as Dask arrays; each runs the native code on each
chunk, in whatever Dask scheduler is active (the ``dask.distributed`` client you
created, the threaded default, or ``dask.config.set(scheduler="synchronous")``).

Weights (lazy). The ``bel_weights_*`` functions return a lazy one-dimensional Dask
array of per-path weights, chunked like the path axis of the inputs. A weight
depends on its own path only, so every chunk has exactly the bits that the module
returns for the same rows in one process.

Estimates. ``price_from_samples``, ``price_and_delta_*`` and ``price_and_greeks_*``
return what the package's functions of the same names return
(``quorvane.MeanEstimate``, ``Estimate``, ``Greeks``, ``TangentFlowGreeks``):

- with one chunk, the task calls the module's own function on it, so the result
  is the module's own, bit for bit;
- with several chunks, each task calls the function of the same name in
  ``quorvane._chunks``, which returns the chunk's count n and, for each lane
  (payoff, delta, gamma, vega as the estimate has them), the sum S1 of the samples
  and the sum S2 of their squares: exactly the sums the module's function
  accumulates, plain sequential sums in row order starting at +0.0. Then
  ``quorvane._chunks.estimate_from_sums`` adds the chunk sums in chunk order,
  starting at +0.0, and applies the module's statistics rule once: mean = S1 / N,
  variance = S2 / N - mean * mean, replaced by +0.0 unless strictly positive,
  stderr = sqrt(variance / N); for ``price_and_greeks_*`` the Greeks module's
  variant, where an estimate that is NaN or infinite, or a NaN variance, has a NaN
  stderr.

The combined figures are the same estimator as one single-process call, but not
bit-identical to it: one call adds all paths into one running sum, the chunked
form adds each chunk's own running sum to the total, and the two orders round
differently (typically in the last few bits). They are reproducible: the same
chunks give the same bits on every run and under every scheduler. One exception
to "the same estimator": where the squares of an estimate's samples leave the
doubles (GBM scaled by 2^510 or 2^-520), the module's
``price_and_greeks_constant_flow`` takes the standard error from the samples
scaled by a power of two; chunk sums cannot, so with several chunks those
standard errors are what the rule gives on the out-of-range sums (an infinity, 0.0
or NaN), as before this module used native sums.

Discounting. The estimates take the keyword-only ``discount`` of ``quorvane`` (a
factor such as exp(-r T), default 1.0, a finite number > 0, checked before
anything else): each field of the result, combined or not, is multiplied by it
once, so the default gives the bits described here and ``discount=d`` exactly
``x * d`` for each of them.

Errors. Everything that can be checked without the data is checked on the
calling thread before any task is submitted: ``discount``, Dask arrays of float64
with the expected number of dimensions, not masked (``TypeError``), known chunk
sizes, a single chunk along the step axis, the same path-axis chunks and exact
shapes for all arguments (``ValueError``), and the scalar arguments, which are
checked by calling the ``quorvane`` function itself on empty arrays, so they fail
with its own exception and message (``TypeError``, ``ValueError``). The shapes are
those of ``quorvane``: ``states`` (n_paths, n_steps + 1) and every per-step array
(n_paths, n_steps), exactly, and the message names the array that is off (the
module would read the leading block of a larger field, and silently drop the last
step of a ``states`` passed without its X_0 column).

Masked arrays are refused. A Dask array from ``dask.array.ma`` has chunks of
``numpy.ma.MaskedArray``: the module itself accepts a NumPy masked array as the
ndarray it is and reads its data, masked values included, ignoring the mask; that
is not the estimate of the unmasked paths. Fill the masked values
(``dask.array.ma.filled(x, value)``) or drop the masked paths from every argument
first.

A failure found in the data by a task, such as a zero sigma, surfaces from
``compute`` as the module's own exception, unchanged: ``ValueError`` with the
module's message, whose row index counts from the start of the chunk (on Python
3.11 and later a note on the exception gives the chunk's first row). The module's
``quorvane.PanicException`` derives from ``BaseException``; the distributed client
cannot deliver such an exception (its workers catch only ``Exception``, so it
escapes the client's event loop and ``compute`` never returns), so every task
built here that meets one raises :class:`PanicError`, a ``RuntimeError`` carrying
the same message, instead. With the validation above, ordinary inputs do not
reach it; a worker whose thread pool cannot be built does (the parallel weights).

Threads. Every function but the ``*_parallel`` weights runs each chunk on one
thread with the interpreter lock held, so use worker processes (for example
``LocalCluster(processes=True, threads_per_worker=1)``) rather than threads to run
chunks side by side. The ``*_parallel`` weights use the module's thread pool in
each worker process, one thread per logical processor unless
``RAYON_NUM_THREADS`` is set in the workers' environment; give each worker
process its share of the cores so that the pools do not oversubscribe them.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Sequence
from types import ModuleType
from typing import Any, Literal, NamedTuple, TypeVar, cast, overload

try:
    import dask.array as da
    from dask.delayed import Delayed, delayed
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quorvane.dask needs Dask: install it with  pip install 'quorvane[dask]'") from error

import numpy as np
import numpy.typing as npt

import _quorvane
import quorvane
from quorvane import _chunks, _greeks
from quorvane._results import (Estimate, Greeks, MeanEstimate, TangentFlowGreeks, _discount_factor,
                               _discounted, _Float, _path_batch_error, _Payoff)
from quorvane_runtime import PanicException

# Every function of the native modules has its chunked form here, under the same
# name (a literal list, which a type checker reads; a test checks it against the
# modules' own lists and the functions defined here).
__all__ = [
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "bel_weights_tangent_flow_parallel",
    "price_from_samples",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "PanicError",
    "bel_weights_gamma_constant_flow",
    "bel_weights_vega_constant_flow",
    "bel_weights_gamma_tangent_flow",
    "bel_weights_gamma_tangent_flow_parallel",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
]

_Block = npt.NDArray[np.float64]
_T = TypeVar("_T")

# dask.array's functions carry no annotations; these typed aliases keep the
# calls below checked under mypy --strict.
_blockwise: Callable[..., da.Array] = da.blockwise
_from_array: Callable[..., da.Array] = da.from_array
_compute: Callable[[Delayed], Any] = Delayed.compute


class _Row(NamedTuple):
    """One function of the table: everything the Dask layer knows about it."""

    module: ModuleType  # the native module whose function of that name runs on a chunk
    arrays: tuple[str, ...]  # the array parameters in order (a path batch: states first)
    ndim: int  # 1: one value per path; 2: a path batch
    result: type[Any] | None = None  # an estimate's named tuple; None: lazy weights
    undefined_stderr: Literal["zero", "nan"] = "zero"  # the variant of the statistics rule


_TANGENT = ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx")
_GAMMA = (*_TANGENT, "d2_mu_dx2", "d2_sigma_dx2")
_FIELDS = ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field")
_TERMINAL = ("terminal_states", "w_terminals")

# One row per function. A new function is a row, its signature and docstring below;
# a new estimate also needs its sums function in quorvane._chunks.
_ROWS: dict[str, _Row] = {
    "bel_weights_constant_flow": _Row(_quorvane, ("w_terminals",), 1),
    "bel_weights_tangent_flow": _Row(_quorvane, _TANGENT, 2),
    "bel_weights_tangent_flow_parallel": _Row(_quorvane, _TANGENT, 2),
    "price_from_samples": _Row(_quorvane, ("samples",), 1, MeanEstimate),
    "price_and_delta_constant_flow": _Row(_quorvane, _TERMINAL, 1, Estimate),
    "price_and_delta_tangent_flow": _Row(_quorvane, _FIELDS, 2, Estimate),
    "bel_weights_gamma_constant_flow": _Row(_greeks, ("w_terminals",), 1),
    "bel_weights_vega_constant_flow": _Row(_greeks, ("w_terminals",), 1),
    "bel_weights_gamma_tangent_flow": _Row(_greeks, _GAMMA, 2),
    "bel_weights_gamma_tangent_flow_parallel": _Row(_greeks, _GAMMA, 2),
    "price_and_greeks_constant_flow": _Row(_greeks, _TERMINAL, 1, Greeks, "nan"),
    "price_and_greeks_tangent_flow": _Row(
        _greeks, (*_FIELDS, "d2_mu_dx2_field", "d2_sigma_dx2_field"), 2, TangentFlowGreeks, "nan"),
}


class PanicError(RuntimeError):
    """The module raised its internal-failure ``PanicException`` inside a Dask task.

    ``PanicException`` derives from ``BaseException``, which the distributed
    client cannot deliver, so the task raises this ``RuntimeError`` with the same
    message instead.
    """


def _call(function: Callable[..., _T], *args: Any) -> _T:
    """Runs a task's function, turning PanicException into PanicError.

    Every task built here runs through it (the chunks' tasks and the final
    combination), whichever module functions the task calls.
    """
    try:
        return function(*args)
    except PanicException as error:
        raise PanicError(str(error)) from None


# ---------------------------------------------------------------------------
# Tasks
# ---------------------------------------------------------------------------


def _chunk(name: str, *args: Any) -> _Block:
    """The task of one chunk: args are its blocks, the scalars, then first_row (a
    1-element array holding the chunk's first row) and the number of chunks.

    Weights and a one-chunk estimate come from the module's function, several
    chunks' estimates from the sums of quorvane._chunks. The function is looked up
    when the task runs.
    """
    *arguments, first_row, n_chunks = args
    row = _ROWS[name]
    module = _chunks if row.result is not None and n_chunks > 1 else row.module
    try:
        out = getattr(module, name)(*arguments)
    except ValueError as error:
        if n_chunks > 1 and hasattr(error, "add_note"):  # Python 3.11 and later
            error.add_note(f"raised for the Dask chunk starting at row {int(first_row[0])}: "
                           "row indices in the message count from the start of the chunk")
        raise
    return out if row.result is None else np.array(out, dtype=np.float64).reshape(1, -1)


def _finish(parts: _Block, name: str, single: bool, discount: float) -> Any:
    """The estimate of the chunks' rows, each field times ``discount`` (one product each)."""
    row = _ROWS[name]
    values = parts[0] if single else _chunks.estimate_from_sums(parts, row.undefined_stderr)
    return _discounted(cast("type[Any]", row.result), values.tolist(), discount)


def _map_rows(name: str, arrays: Sequence[da.Array], scalars: Sequence[object],
              width: int | None = None) -> da.Array:
    """The tasks of ``_chunk(name, ...)``, one per path-axis chunk, each through ``_call``.

    The arrays share their path-axis chunks and have one chunk along the step axis
    (checked before). The result has the path-axis chunks of the inputs (a weight
    per path) or, with ``width``, one row of ``width`` values per chunk.
    """
    task = functools.partial(_call, _chunk, name)
    row_chunks = arrays[0].chunks[0]
    starts = np.cumsum((0,) + tuple(row_chunks[:-1]), dtype=np.int64)
    pairs: list[object] = []
    for k, array in enumerate(arrays):
        pairs += [array, "i" if array.ndim == 1 else ("ij" if k == 0 else "ik")]
    for value in scalars:
        pairs += [value, None]
    pairs += [_from_array(starts, chunks=1), "i", len(row_chunks), None]
    token = name.replace("_", "-")
    if width is None:
        return _blockwise(task, "i", *pairs, token=token, dtype=np.float64, concatenate=True,
                          align_arrays=False, meta=_empty(0))
    return _blockwise(task, "iw", *pairs, token=token, new_axes={"w": width},
                      adjust_chunks={"i": 1}, dtype=np.float64, concatenate=True,
                      align_arrays=False, meta=_empty(0, 0))


# ---------------------------------------------------------------------------
# Validation on the calling thread
# ---------------------------------------------------------------------------


def _show_chunks(chunks: Sequence[float]) -> str:
    if len(chunks) <= 8:
        return repr(tuple(chunks))
    head = ", ".join(str(c) for c in chunks[:4])
    return f"({head}, ..., {chunks[-1]}; {len(chunks)} chunks)"


def _check_array(name: str, array: object, ndim: int) -> da.Array:
    if not isinstance(array, da.Array):
        kind = "1-D" if ndim == 1 else "2-D"
        raise TypeError(
            f"{name} must be a dask array, not {type(array).__module__}.{type(array).__name__}; "
            f"wrap a {kind} NumPy array with dask.array.from_array({name}, chunks=...) "
            "and chunk it along the path axis only")
    if array.ndim != ndim:
        raise TypeError(f"{name} must be a {ndim}-dimensional dask array, got {array.ndim} "
                        f"dimensions (shape {array.shape})")
    if array.dtype != np.float64:
        raise TypeError(f"{name} has dtype {array.dtype}; quorvane needs float64: "
                        f"pass {name}.astype(numpy.float64)")
    if isinstance(array._meta, np.ma.MaskedArray):
        # Its chunks are numpy.ma.MaskedArray: the module would read the data without the mask.
        raise TypeError(
            f"{name} is a masked array; fill it (dask.array.ma.filled({name}, value)) or drop "
            "the masked paths (boolean indexing of every argument, then compute_chunk_sizes()) "
            "first")
    if any(math.isnan(c) for axis in array.chunks for c in axis):
        raise ValueError(f"{name} has unknown chunk sizes; call {name}.compute_chunk_sizes() first")
    if ndim == 2 and len(array.chunks[1]) > 1:
        raise ValueError(
            f"{name} is chunked along the step axis (chunks {_show_chunks(array.chunks[1])}); "
            f"rechunk with {name}.rechunk({{1: -1}})")
    return array


def _checked(name: str, arrays: Sequence[object],
             scalars: Sequence[object]) -> tuple[list[da.Array], list[object]]:
    """The checks made before any task, in this order: each array (type, dimensions,
    dtype, mask, chunks), rows and path-axis chunks against the first array, the
    scalars by the ``quorvane`` function itself on empty arrays (for a path batch,
    of the column counts of the arguments), then the exact shapes of a path batch.
    Returns the arrays and the scalars as the tasks take them (floats, the payoff)."""
    row = _ROWS[name]
    checked = [_check_array(n, a, row.ndim) for n, a in zip(row.arrays, arrays)]
    first, reference = row.arrays[0], checked[0]
    for n, array in zip(row.arrays[1:], checked[1:]):
        if array.shape[0] != reference.shape[0]:
            raise ValueError(f"{n} has {array.shape[0]} rows but {first} has "
                             f"{reference.shape[0]}: one row per path in every argument")
        if array.chunks[0] != reference.chunks[0]:
            raise ValueError(
                f"{n} is chunked differently from {first} along the path axis "
                f"({n}: {_show_chunks(array.chunks[0])}, {first}: "
                f"{_show_chunks(reference.chunks[0])}); rechunk with "
                f"{n}.rechunk({{0: {first}.chunks[0]}})")
    if row.ndim == 1:
        getattr(quorvane, name)(*[_empty(0)] * len(checked), *scalars)
    else:
        columns = reference.shape[1]
        steps = [_empty(0, max(columns - 1, 0))] * (len(checked) - 1)
        getattr(quorvane, name)(_empty(0, columns), *steps, *scalars)
        message = _path_batch_error({n: a.shape for n, a in zip(row.arrays, checked)})
        if message is not None:
            raise ValueError(message)
    return checked, [value if isinstance(value, str) else float(cast(Any, value)) for value in scalars]


def _empty(*shape: int) -> _Block:
    return np.zeros(shape, dtype=np.float64)


def _weights(name: str, arrays: Sequence[object], scalars: Sequence[object]) -> da.Array:
    return _map_rows(name, *_checked(name, arrays, scalars))


def _estimate(name: str, arrays: Sequence[object], scalars: Sequence[object], compute: bool,
              discount: _Float) -> Any:
    factor = _discount_factor(discount)
    checked, converted = _checked(name, arrays, scalars)
    single = len(checked[0].chunks[0]) == 1
    fields = len(cast("type[Any]", _ROWS[name].result)._fields)
    parts = _map_rows(name, checked, converted, width=fields if single else 1 + fields)
    result: Delayed = delayed(_call, pure=True)(_finish, parts, name, single, factor)
    return _compute(result) if compute else result


# ---------------------------------------------------------------------------
# The functions
# ---------------------------------------------------------------------------


def bel_weights_constant_flow(w_terminals: da.Array, horizon: _Float,
                              sigma_at_x0: _Float) -> da.Array:
    """Constant-flow BEL weights W_T / (T * sigma(X_0)) of a Dask array of terminal
    Brownian values, as a lazy 1-D Dask array chunked like ``w_terminals``.

    Every chunk has the bits of ``quorvane.bel_weights_constant_flow`` on the same
    values. ``horizon`` and ``sigma_at_x0`` are checked by the module before any
    task runs (``ValueError`` unless positive).
    """
    return _weights("bel_weights_constant_flow", [w_terminals], [horizon, sigma_at_x0])


def bel_weights_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                             d_sigma_dx: da.Array, horizon: _Float) -> da.Array:
    """Tangent-flow BEL weights of a path batch held in Dask arrays, as a lazy 1-D
    Dask array with one weight per path, chunked like the path axis of ``states``.

    ``states`` is (n_paths, n_steps + 1); ``dws``, ``sigma``, ``d_mu_dx`` and
    ``d_sigma_dx`` are (n_paths, n_steps), column j at the state before step j.
    All five are float64, chunked alike along the path axis and not at all along
    the step axis. Every chunk has the bits of ``quorvane.bel_weights_tangent_flow``
    on the same rows; a zero sigma raises the module's ``ValueError`` at compute
    time, its row index counted from the start of the chunk.
    """
    return _weights("bel_weights_tangent_flow", [states, dws, sigma, d_mu_dx, d_sigma_dx], [horizon])


def bel_weights_tangent_flow_parallel(states: da.Array, dws: da.Array, sigma: da.Array,
                                      d_mu_dx: da.Array, d_sigma_dx: da.Array,
                                      horizon: _Float) -> da.Array:
    """``bel_weights_tangent_flow`` with each chunk computed by the module's
    parallel form on the worker's thread pool (bound it with ``RAYON_NUM_THREADS``
    in the workers' environment). The bits are those of the serial form.
    """
    return _weights("bel_weights_tangent_flow_parallel", [states, dws, sigma, d_mu_dx, d_sigma_dx],
                    [horizon])


@overload
def price_from_samples(samples: da.Array, *, compute: Literal[True] = ...,
                       discount: _Float = 1.0) -> MeanEstimate: ...
@overload
def price_from_samples(samples: da.Array, *, compute: Literal[False],
                       discount: _Float = 1.0) -> Delayed: ...
@overload
def price_from_samples(samples: da.Array, *, compute: bool,
                       discount: _Float = 1.0) -> MeanEstimate | Delayed: ...
def price_from_samples(samples: da.Array, *, compute: bool = True,
                       discount: _Float = 1.0) -> MeanEstimate | Delayed:
    """``quorvane.MeanEstimate(mean, stderr)`` of a 1-D Dask array of samples, for
    example your own payoff values, or payoff values times the weights of this
    module for a delta.

    One chunk: the module's ``price_from_samples`` on it, bit for bit. Several
    chunks: per-chunk sequential sums combined in chunk order (see the module
    documentation), the same estimator but not the same last bits. With
    ``compute=False`` returns a ``dask.delayed`` object that computes the
    MeanEstimate. ``discount`` (keyword-only, default 1.0) multiplies the mean and
    the standard error, as in ``quorvane.price_from_samples``.
    """
    return cast("MeanEstimate | Delayed",
                _estimate("price_from_samples", [samples], [], compute, discount))


@overload
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: _Float,
                                  sigma_at_x0: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                  compute: Literal[True] = ..., discount: _Float = 1.0) -> Estimate: ...
@overload
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: _Float,
                                  sigma_at_x0: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                  compute: Literal[False], discount: _Float = 1.0) -> Delayed: ...
@overload
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: _Float,
                                  sigma_at_x0: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                  compute: bool, discount: _Float = 1.0) -> Estimate | Delayed: ...
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: _Float,
                                  sigma_at_x0: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                  compute: bool = True, discount: _Float = 1.0) -> Estimate | Delayed:
    """``quorvane.Estimate(price, delta, price_stderr, delta_stderr)`` for GBM or ABM
    from 1-D Dask arrays of terminal states and terminal Brownian values, chunked
    alike.

    One chunk: the module's ``price_and_delta_constant_flow`` on it, bit for bit.
    Several chunks: per-chunk sequential sums combined in chunk order, the same
    estimator but not the same last bits as one single-process call. The scalar
    arguments are checked by ``quorvane.price_and_delta_constant_flow`` before any
    task runs, with its exceptions (a non-positive ``horizon`` or ``sigma_at_x0``
    raises ``ValueError``). With ``compute=False`` returns a ``dask.delayed`` object
    that computes the Estimate, so that several estimates can share one
    ``dask.compute``. ``discount`` (keyword-only, default 1.0) multiplies every
    field, as in ``quorvane``.
    """
    return cast("Estimate | Delayed", _estimate(
        "price_and_delta_constant_flow", [terminal_states, w_terminals],
        [horizon, sigma_at_x0, payoff, strike], compute, discount))


@overload
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array, horizon: _Float,
                                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[True] = ...,
                                 discount: _Float = 1.0) -> Estimate: ...
@overload
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array, horizon: _Float,
                                 payoff: _Payoff, strike: _Float = 0.0, *, compute: Literal[False],
                                 discount: _Float = 1.0) -> Delayed: ...
@overload
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array, horizon: _Float,
                                 payoff: _Payoff, strike: _Float = 0.0, *, compute: bool,
                                 discount: _Float = 1.0) -> Estimate | Delayed: ...
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array, horizon: _Float,
                                 payoff: _Payoff, strike: _Float = 0.0, *, compute: bool = True,
                                 discount: _Float = 1.0) -> Estimate | Delayed:
    """``quorvane.Estimate(price, delta, price_stderr, delta_stderr)`` for a general
    scalar diffusion from a path batch held in Dask arrays (shapes and chunking as
    for ``bel_weights_tangent_flow``; only the last column of ``states`` is used).

    One chunk: the module's ``price_and_delta_tangent_flow`` on it, bit for bit.
    Several chunks: per-chunk sequential sums combined in chunk order, the same
    estimator but not the same last bits as one single-process call. The shapes
    are checked exactly, as ``quorvane.price_and_delta_tangent_flow`` checks them:
    the fields must have the shape of ``dws``, with one column less than
    ``states``. A zero sigma raises the module's ``ValueError`` at compute time.
    With ``compute=False`` returns a ``dask.delayed`` object that computes the
    Estimate. ``discount`` (keyword-only, default 1.0) multiplies every field.
    """
    return cast("Estimate | Delayed", _estimate(
        "price_and_delta_tangent_flow", [states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field],
        [horizon, payoff, strike], compute, discount))


def bel_weights_gamma_constant_flow(w_terminals: da.Array, horizon: _Float, sigma_at_x0: _Float,
                                    d_sigma_dx: _Float) -> da.Array:
    """Constant-flow gamma weights (W^2 - sigma' T W - T) / (sigma0^2 T^2) of a Dask array
    of terminal Brownian values, as a lazy 1-D Dask array chunked like ``w_terminals``.

    Every chunk has the bits of ``quorvane.bel_weights_gamma_constant_flow``; the
    scalars are checked by the module before any task runs.
    """
    return _weights("bel_weights_gamma_constant_flow", [w_terminals],
                    [horizon, sigma_at_x0, d_sigma_dx])


def bel_weights_vega_constant_flow(w_terminals: da.Array, horizon: _Float, d_sigma_dx: _Float,
                                   volatility: _Float) -> da.Array:
    """Constant-flow vega weights (W^2 - sigma' T W - T) / (T v), lazily, chunk by chunk
    with the bits of ``quorvane.bel_weights_vega_constant_flow``."""
    return _weights("bel_weights_vega_constant_flow", [w_terminals], [horizon, d_sigma_dx, volatility])


def bel_weights_gamma_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                                   d_sigma_dx: da.Array, d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                                   horizon: _Float) -> da.Array:
    """Tangent-flow gamma weights of a path batch held in Dask arrays (shapes and
    chunking as for ``bel_weights_tangent_flow``, n_steps >= 2), as a lazy 1-D Dask
    array with one weight per path. Every chunk has the bits of
    ``quorvane.bel_weights_gamma_tangent_flow`` on the same rows; a zero sigma raises
    the module's ``ValueError`` at compute time, its row counted within the chunk.
    """
    return _weights("bel_weights_gamma_tangent_flow",
                    [states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2], [horizon])


def bel_weights_gamma_tangent_flow_parallel(states: da.Array, dws: da.Array, sigma: da.Array,
                                            d_mu_dx: da.Array, d_sigma_dx: da.Array,
                                            d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                                            horizon: _Float) -> da.Array:
    """``bel_weights_gamma_tangent_flow`` with each chunk on the worker's thread pool
    (``RAYON_NUM_THREADS`` in the workers' environment bounds it); the serial bits."""
    return _weights("bel_weights_gamma_tangent_flow_parallel",
                    [states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2], [horizon])


def price_and_greeks_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: _Float,
                                   sigma_at_x0: _Float, d_sigma_dx: _Float, volatility: _Float,
                                   payoff: _Payoff, strike: _Float = 0.0, *, compute: bool = True,
                                   discount: _Float = 1.0) -> Any:
    """``quorvane.Greeks`` (price, delta, gamma, vega and their standard errors) for GBM
    or ABM from 1-D Dask arrays of terminal states and terminal Brownian values,
    chunked alike.

    One chunk: the module's ``price_and_greeks_constant_flow`` on it, bit for bit.
    Several chunks: per-chunk sequential sums combined in chunk order, the same
    estimator but not the same last bits (and, at scales where the squares of the
    samples leave the doubles, without the module's rescue of the standard errors:
    see the module documentation). The scalars and the payoff are checked by the
    module before any task runs. With ``compute=False`` returns a ``dask.delayed``
    object that computes the named tuple. ``discount`` (keyword-only, default 1.0)
    multiplies every field.
    """
    return _estimate("price_and_greeks_constant_flow", [terminal_states, w_terminals],
                     [horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike], compute, discount)


def price_and_greeks_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                  d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                  d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array, horizon: _Float,
                                  payoff: _Payoff, strike: _Float = 0.0, *, compute: bool = True,
                                  discount: _Float = 1.0) -> Any:
    """``quorvane.TangentFlowGreeks`` (price, delta, gamma and their standard errors) for a
    general scalar diffusion from a path batch held in Dask arrays (shapes and chunking
    as for ``bel_weights_gamma_tangent_flow``; only the last column of ``states`` is
    used).

    One chunk: the module's ``price_and_greeks_tangent_flow`` on it, bit for bit.
    Several chunks: per-chunk sequential sums combined in chunk order. A zero sigma
    raises the module's ``ValueError`` at compute time. With ``compute=False``
    returns a ``dask.delayed`` object that computes the named tuple. ``discount``
    (keyword-only, default 1.0) multiplies every field.
    """
    return _estimate("price_and_greeks_tangent_flow",
                     [states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
                      d2_sigma_dx2_field], [horizon, payoff, strike], compute, discount)
