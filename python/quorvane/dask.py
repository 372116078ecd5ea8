"""quorvane on Dask: BEL weights, prices and deltas for path batches chunked along the path axis.

Path batches too large for one machine live as Dask arrays with one row per path,
chunked along the path axis only: every chunk holds whole paths and all their
steps. The functions here take such arrays and run quorvane's native functions on
each chunk, in whatever Dask scheduler is active (the ``dask.distributed`` client
you created, the threaded default, or ``dask.config.set(scheduler="synchronous")``).

Weights (lazy). ``bel_weights_constant_flow``, ``bel_weights_tangent_flow`` and
``bel_weights_tangent_flow_parallel`` return a lazy one-dimensional Dask array of
per-path weights, chunked like the path axis of the inputs. A weight depends on its
own path only, so every chunk of weights has exactly the bits that the module
returns for the same rows in one process.

Prices and deltas. ``price_and_delta_constant_flow``,
``price_and_delta_tangent_flow`` and ``price_from_samples`` return what the
package's functions of the same names return, ``quorvane.Estimate(price, delta,
price_stderr, delta_stderr)`` or ``quorvane.MeanEstimate(mean, stderr)``,
computed chunk by chunk:

- with one chunk, the task calls the module's own function on it, so the result
  is the module's own, bit for bit;
- with several chunks, each task returns its count n and, for the payoff and the
  delta lane, the sum S1 of the samples and the sum S2 of their squares, each a
  plain sequential sum in row order starting at +0.0 (``numpy.add.accumulate``,
  which adds strictly left to right; ``numpy.sum`` would add pairwise). The
  samples are those the module accumulates: payoff values by the four built-in
  formulas, delta samples as (W_T * p) * (1 / (horizon * sigma_at_x0)) for the
  constant flow (the last product taken by the module's
  ``bel_weights_constant_flow``) and as weight * p for the tangent flow (the
  weights from the module's ``bel_weights_tangent_flow``). The chunk sums are
  then added in chunk order, starting at +0.0, and the module's statistics rule
  is applied once: mean = S1 / N, variance = S2 / N - mean * mean, replaced by
  +0.0 unless strictly positive, stderr = sqrt(variance / N).

The combined figures are the same estimator as one single-process call, but not
bit-identical to it: one call adds all paths into one running sum, the chunked
form adds each chunk's own running sum to the total, and the two orders round
differently (typically in the last few bits). They are reproducible: the same
chunks give the same bits on every run and under every scheduler.

Discounting. These three and ``price_and_greeks_*`` take the keyword-only
``discount`` of ``quorvane`` (a factor such as exp(-r T), default 1.0, a finite
number > 0, checked before anything else): each field of the result, combined or
not, is multiplied by it once, so the default gives the bits described here and
``discount=d`` exactly ``x * d`` for each of them.

Errors. Everything that can be checked without the data is checked on the
calling thread before any task is submitted: ``discount``, Dask arrays of float64
with the expected number of dimensions, not masked (``TypeError``), known chunk
sizes, a single chunk along the step axis, the same path-axis chunks and exact
shapes for all arguments (``ValueError``), and the scalar arguments, which are
checked by calling the ``quorvane`` function itself on empty arrays, so they fail
with its own exception and message (``TypeError``, ``ValueError``). The shapes are those of
``quorvane``: ``states`` (n_paths, n_steps + 1) and every per-step array
(n_paths, n_steps), exactly, and the message names the array that is off (the
module's ``price_and_delta_tangent_flow`` would read the leading block of a
larger field, and silently drop the last step of a ``states`` passed without its
X_0 column).

Masked arrays are refused. A Dask array from ``dask.array.ma`` has chunks of
``numpy.ma.MaskedArray``: the module itself accepts a NumPy masked array as the
ndarray it is and reads its data, masked values included, ignoring the mask,
while a combination of several chunks would go through NumPy's masked
arithmetic; neither is the estimate of the unmasked paths. Fill the masked
values (``dask.array.ma.filled(x, value)``) or drop the masked paths from every
argument first.

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

Threads. Every function but ``bel_weights_tangent_flow_parallel`` runs each chunk
on one thread with the interpreter lock held, so use worker processes (for
example ``LocalCluster(processes=True, threads_per_worker=1)``) rather than
threads to run chunks side by side. ``bel_weights_tangent_flow_parallel`` uses the
module's thread pool in each worker process, one thread per logical processor
unless ``RAYON_NUM_THREADS`` is set in the workers' environment; give each worker
process its share of the cores so that the pools do not oversubscribe them.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, cast, overload

try:
    import dask.array as da
    from dask.delayed import Delayed, delayed
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quorvane.dask needs Dask: install it with  pip install 'quorvane[dask]'") from error

import numpy as np
import numpy.typing as npt

import _quorvane
from quorvane import _greeks
from quorvane._results import (Estimate, Greeks, MeanEstimate, TangentFlowGreeks, _discount_factor,
                               _discounted, _path_batch_error)
from quorvane._results import price_and_delta_constant_flow as _checked_constant_flow
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

# What the functions take and give. A scalar is anything float() accepts; the
# payoff is one of the module's four names (any other str fails at run time).
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Payoff: TypeAlias = Literal["identity", "call", "put", "digital_call"]
_Block: TypeAlias = npt.NDArray[np.float64]
_T = TypeVar("_T")

# dask.array's functions carry no annotations; these typed aliases keep the
# calls below checked under mypy --strict.
_blockwise: Callable[..., da.Array] = da.blockwise
_from_array: Callable[..., da.Array] = da.from_array
_compute: Callable[[Delayed], Any] = Delayed.compute


class PanicError(RuntimeError):
    """The module raised its internal-failure ``PanicException`` inside a Dask task.

    ``PanicException`` derives from ``BaseException``, which the distributed
    client cannot deliver, so the task raises this ``RuntimeError`` with the same
    message instead.
    """


def _call(function: Callable[..., _T], *args: Any) -> _T:
    """Runs a task's function, turning PanicException into PanicError.

    Every task built here runs through it (see ``_map_rows``), whichever module
    functions the task calls.
    """
    try:
        return function(*args)
    except PanicException as error:
        raise PanicError(str(error)) from None


def _note_chunk(error: BaseException, first_row: _Block, n_chunks: int) -> None:
    """On Python 3.11 and later, notes where the chunk of a failing task starts."""
    if n_chunks > 1 and hasattr(error, "add_note"):
        start = int(first_row[0])
        error.add_note(f"raised for the Dask chunk starting at row {start}: "
                       "row indices in the message count from the start of the chunk")


def _map_rows(block_function: Callable[..., _Block], arrays: Sequence[da.Array],
              scalars: Sequence[object], width: int | None = None) -> da.Array:
    """Runs block_function(*blocks, *scalars, first_row, n_chunks) once per path-axis chunk.

    The arrays share their path-axis chunks and have one chunk along the step axis
    (checked before). ``first_row`` is a 1-element array holding the chunk's first
    row. The result has the path-axis chunks of the inputs (a weight per path) or,
    with ``width``, one row of ``width`` values per chunk. Every task runs
    block_function through ``_call``, so that an internal failure of the module
    reaches ``compute`` as PanicError under every scheduler.
    """
    task = functools.partial(_call, block_function)
    token = block_function.__name__.strip("_").replace("_", "-")
    row_chunks = arrays[0].chunks[0]
    n_chunks = len(row_chunks)
    starts = np.cumsum((0,) + tuple(row_chunks[:-1]), dtype=np.int64)
    pairs: list[object] = []
    for k, array in enumerate(arrays):
        pairs += [array, "i" if array.ndim == 1 else ("ij" if k == 0 else "ik")]
    for value in scalars:
        pairs += [value, None]
    pairs += [_from_array(starts, chunks=1), "i", n_chunks, None]
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
        # Its chunks are numpy.ma.MaskedArray: the module would read the data without
        # the mask, and the combination of chunks would mix in NumPy's masked arithmetic.
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


def _check_batch(arguments: dict[str, object], ndim: int) -> list[da.Array]:
    """Type, dimension, chunk and row checks; the first argument sets the path axis."""
    arrays = {name: _check_array(name, array, ndim) for name, array in arguments.items()}
    names = list(arrays)
    first = names[0]
    reference = arrays[first]
    for name in names[1:]:
        array = arrays[name]
        if array.shape[0] != reference.shape[0]:
            raise ValueError(f"{name} has {array.shape[0]} rows but {first} has "
                             f"{reference.shape[0]}: one row per path in every argument")
        if array.chunks[0] != reference.chunks[0]:
            raise ValueError(
                f"{name} is chunked differently from {first} along the path axis "
                f"({name}: {_show_chunks(array.chunks[0])}, {first}: "
                f"{_show_chunks(reference.chunks[0])}); rechunk with "
                f"{name}.rechunk({{0: {first}.chunks[0]}})")
    return [arrays[name] for name in names]


def _check_steps(states: da.Array, per_step: dict[str, da.Array]) -> None:
    """Exact shapes of a path batch, by the package's rule for NumPy arrays (the
    message names the array that is off)."""
    shapes = {"states": states.shape, **{name: array.shape for name, array in per_step.items()}}
    message = _path_batch_error(shapes)
    if message is not None:
        raise ValueError(message)


def _empty(*shape: int) -> _Block:
    return np.zeros(shape, dtype=np.float64)


def _probe_tangent_flow_scalars(horizon: _Float) -> float:
    """The module's own checks of horizon, on empty arrays; returns horizon as a float."""
    _quorvane.bel_weights_tangent_flow(_empty(0, 2), _empty(0, 1), _empty(0, 1), _empty(0, 1),
                                       _empty(0, 1), horizon)
    return float(horizon)


# ---------------------------------------------------------------------------
# Per-chunk work (runs in the tasks)
# ---------------------------------------------------------------------------


def _payoff_values(payoff: str, x: _Block, strike: float) -> _Block:
    """The module's four payoffs, elementwise: x; x - K or K - x if positive, else +0.0;
    1.0 if K < x, else 0.0."""
    with np.errstate(all="ignore"):
        if payoff == "identity":
            return np.array(x, dtype=np.float64)
        if payoff == "call":
            d = x - strike
            return np.where(d > 0.0, d, 0.0)
        if payoff == "put":
            d = strike - x
            return np.where(d > 0.0, d, 0.0)
        if payoff == "digital_call":
            return np.where(strike < x, 1.0, 0.0)
    raise AssertionError(payoff)  # the name was checked before any task ran


def _sequential_sum(values: _Block) -> float:
    """+0.0 + v[0] + v[1] + ... strictly left to right."""
    if values.shape[0] == 0:
        return 0.0
    # accumulate adds in order; the leading +0.0 only matters when every value is -0.0
    with np.errstate(all="ignore"):
        return 0.0 + float(np.add.accumulate(values)[-1])


def _lane_sums(values: _Block) -> tuple[float, float]:
    with np.errstate(all="ignore"):
        squares = values * values
    return _sequential_sum(values), _sequential_sum(squares)


def _constant_flow_sums(terminal_states: _Block, w_terminals: _Block, horizon: float,
                        sigma_at_x0: float, payoff: _Payoff, strike: float) -> _Block:
    """[n, S1 payoff, S2 payoff, S1 delta, S2 delta] of one chunk."""
    p = _payoff_values(payoff, terminal_states, strike)
    with np.errstate(all="ignore"):
        wp = w_terminals * p
    d = _quorvane.bel_weights_constant_flow(wp, horizon, sigma_at_x0)  # (W * p) * r
    return np.array([float(p.shape[0]), *_lane_sums(p), *_lane_sums(d)])


def _tangent_flow_sums(states: _Block, dws: _Block, sigma_field: _Block, d_mu_dx_field: _Block,
                       d_sigma_dx_field: _Block, horizon: float, payoff: _Payoff,
                       strike: float) -> _Block:
    failure = None
    try:
        weights = _quorvane.bel_weights_tangent_flow(states, dws, sigma_field, d_mu_dx_field,
                                                     d_sigma_dx_field, horizon)
    except ValueError as error:
        failure = error
    if failure is not None:
        # A zero sigma (the only failure left after the checks made before any task):
        # raise it as the module's price_and_delta_tangent_flow reports it.
        _quorvane.price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field,
                                               d_sigma_dx_field, horizon, payoff, strike)
        raise failure
    p = _payoff_values(payoff, states[:, -1], strike)
    with np.errstate(all="ignore"):
        d = weights * p
    return np.array([float(p.shape[0]), *_lane_sums(p), *_lane_sums(d)])


def _samples_sums(samples: _Block) -> _Block:
    return np.array([float(samples.shape[0]), *_lane_sums(np.asarray(samples, dtype=np.float64))])


def _constant_flow_block(terminal_states: _Block, w_terminals: _Block, horizon: float,
                         sigma_at_x0: float, payoff: _Payoff, strike: float, first_row: _Block,
                         n_chunks: int) -> _Block:
    row: Sequence[float] | _Block
    if n_chunks == 1:
        row = _quorvane.price_and_delta_constant_flow(terminal_states, w_terminals, horizon,
                                                      sigma_at_x0, payoff, strike)
    else:
        row = _constant_flow_sums(terminal_states, w_terminals, horizon, sigma_at_x0, payoff,
                                  strike)
    return np.array(row, dtype=np.float64).reshape(1, -1)


def _tangent_flow_block(states: _Block, dws: _Block, sigma_field: _Block, d_mu_dx_field: _Block,
                        d_sigma_dx_field: _Block, horizon: float, payoff: _Payoff, strike: float,
                        first_row: _Block, n_chunks: int) -> _Block:
    row: Sequence[float] | _Block
    try:
        if n_chunks == 1:
            row = _quorvane.price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field,
                                                         d_sigma_dx_field, horizon, payoff, strike)
        else:
            row = _tangent_flow_sums(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                     horizon, payoff, strike)
    except ValueError as error:
        _note_chunk(error, first_row, n_chunks)
        raise
    return np.array(row, dtype=np.float64).reshape(1, -1)


def _samples_block(samples: _Block, first_row: _Block, n_chunks: int) -> _Block:
    row: Sequence[float] | _Block
    if n_chunks == 1:
        row = _quorvane.price_from_samples(samples)
    else:
        row = _samples_sums(samples)
    return np.array(row, dtype=np.float64).reshape(1, -1)


def _constant_flow_weights_block(w_terminals: _Block, horizon: float, sigma_at_x0: float,
                                 first_row: _Block, n_chunks: int) -> _Block:
    return _quorvane.bel_weights_constant_flow(w_terminals, horizon, sigma_at_x0)


def _tangent_flow_weights_block(states: _Block, dws: _Block, sigma: _Block, d_mu_dx: _Block,
                                d_sigma_dx: _Block, horizon: float, parallel: bool,
                                first_row: _Block, n_chunks: int) -> _Block:
    function = (_quorvane.bel_weights_tangent_flow_parallel if parallel
                else _quorvane.bel_weights_tangent_flow)
    try:
        return function(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)
    except ValueError as error:
        _note_chunk(error, first_row, n_chunks)
        raise


# ---------------------------------------------------------------------------
# Combination
# ---------------------------------------------------------------------------


def _mean_and_stderr(s1: float, s2: float, n: float) -> tuple[float, float]:
    """The module's statistics rule on sums S1, S2 of n samples (in Python floats)."""
    s1, s2, n = float(s1), float(s2), float(n)
    if n == 0.0:
        return math.nan, math.nan  # 0/0, and the clamped variance gives 0/0 again
    mean = s1 / n
    variance = s2 / n - mean * mean
    if not variance > 0.0:
        variance = 0.0
    return mean, math.sqrt(variance / n)


def _combine_sums(parts: _Block) -> tuple[float, ...]:
    """Adds the chunk sums in chunk order, from +0.0, then applies the statistics rule.

    Each row of ``parts`` is [n, S1, S2] for one lane or [n, S1, S2, S1', S2'] for
    the payoff and the delta lane; the result is (mean, stderr) or
    (price, delta, price_stderr, delta_stderr).
    """
    totals = [0.0] * parts.shape[1]
    rows: list[list[float]] = parts.tolist()
    for row in rows:
        for k, value in enumerate(row):
            totals[k] = totals[k] + value
    n = totals[0]
    first = _mean_and_stderr(totals[1], totals[2], n)
    if parts.shape[1] == 3:
        return first
    second = _mean_and_stderr(totals[3], totals[4], n)
    return first[0], second[0], first[1], second[1]


def _finish(parts: _Block, single: bool, discount: float) -> Estimate | MeanEstimate:
    """The estimate of the chunks' rows, each field times ``discount`` (one product each)."""
    values = [float(v) for v in parts[0].tolist()] if single else _combine_sums(parts)
    if len(values) == 4:
        return _discounted(Estimate, values, discount)
    return _discounted(MeanEstimate, values, discount)


def _reduce(parts: da.Array, single: bool, compute: bool,
            discount: float) -> Estimate | MeanEstimate | Delayed:
    result: Delayed = delayed(_finish, pure=True)(parts, single, discount)
    return cast("Estimate | MeanEstimate", _compute(result)) if compute else result


# ---------------------------------------------------------------------------
# Weights
# ---------------------------------------------------------------------------


def bel_weights_constant_flow(w_terminals: da.Array, horizon: _Float,
                              sigma_at_x0: _Float) -> da.Array:
    """Constant-flow BEL weights W_T / (T * sigma(X_0)) of a Dask array of terminal
    Brownian values, as a lazy 1-D Dask array chunked like ``w_terminals``.

    Every chunk has the bits of ``quorvane.bel_weights_constant_flow`` on the same
    values. ``horizon`` and ``sigma_at_x0`` are checked by the module before any
    task runs (``ValueError`` unless positive).
    """
    (w_terminals,) = _check_batch({"w_terminals": w_terminals}, 1)
    _quorvane.bel_weights_constant_flow(_empty(0), horizon, sigma_at_x0)
    return _map_rows(_constant_flow_weights_block, [w_terminals],
                     [float(horizon), float(sigma_at_x0)])


def _tangent_flow_weights(states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                          d_sigma_dx: da.Array, horizon: _Float, parallel: bool) -> da.Array:
    states, dws, sigma, d_mu_dx, d_sigma_dx = _check_batch(
        {"states": states, "dws": dws, "sigma": sigma, "d_mu_dx": d_mu_dx,
         "d_sigma_dx": d_sigma_dx}, 2)
    _check_steps(states, {"dws": dws, "sigma": sigma, "d_mu_dx": d_mu_dx,
                          "d_sigma_dx": d_sigma_dx})
    return _map_rows(_tangent_flow_weights_block, [states, dws, sigma, d_mu_dx, d_sigma_dx],
                     [_probe_tangent_flow_scalars(horizon), parallel])


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
    return _tangent_flow_weights(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, False)


def bel_weights_tangent_flow_parallel(states: da.Array, dws: da.Array, sigma: da.Array,
                                      d_mu_dx: da.Array, d_sigma_dx: da.Array,
                                      horizon: _Float) -> da.Array:
    """``bel_weights_tangent_flow`` with each chunk computed by the module's
    parallel form on the worker's thread pool (bound it with ``RAYON_NUM_THREADS``
    in the workers' environment). The bits are those of the serial form.
    """
    return _tangent_flow_weights(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, True)


# ---------------------------------------------------------------------------
# Prices and deltas
# ---------------------------------------------------------------------------


@overload
def price_from_samples(samples: da.Array, *, compute: Literal[True] = ...,
                       discount: _Float = 1.0) -> MeanEstimate:
    ...


@overload
def price_from_samples(samples: da.Array, *, compute: Literal[False],
                       discount: _Float = 1.0) -> Delayed:
    ...


@overload
def price_from_samples(samples: da.Array, *,
                       compute: bool,
                       discount: _Float = 1.0) -> MeanEstimate | Delayed:
    ...


def price_from_samples(samples: da.Array, *,
                       compute: bool = True,
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
    factor = _discount_factor(discount)
    (samples,) = _check_batch({"samples": samples}, 1)
    single = len(samples.chunks[0]) == 1
    parts = _map_rows(_samples_block, [samples], [], width=2 if single else 3)
    return cast("MeanEstimate | Delayed", _reduce(parts, single, compute, factor))


@overload
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                  horizon: _Float, sigma_at_x0: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0, *,
                                  compute: Literal[True] = ...,
                                  discount: _Float = 1.0) -> Estimate:
    ...


@overload
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                  horizon: _Float, sigma_at_x0: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0, *, compute: Literal[False],
                                  discount: _Float = 1.0) -> Delayed:
    ...


@overload
def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                  horizon: _Float, sigma_at_x0: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0, *,
                                  compute: bool,
                                  discount: _Float = 1.0) -> Estimate | Delayed:
    ...


def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                  horizon: _Float, sigma_at_x0: _Float, payoff: _Payoff,
                                  strike: _Float = 0.0, *,
                                  compute: bool = True,
                                  discount: _Float = 1.0) -> Estimate | Delayed:
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
    factor = _discount_factor(discount)
    terminal_states, w_terminals = _check_batch(
        {"terminal_states": terminal_states, "w_terminals": w_terminals}, 1)
    _checked_constant_flow(_empty(0), _empty(0), horizon, sigma_at_x0, payoff, strike)
    scalars = [float(horizon), float(sigma_at_x0), payoff, float(strike)]
    single = len(terminal_states.chunks[0]) == 1
    parts = _map_rows(_constant_flow_block, [terminal_states, w_terminals], scalars,
                      width=4 if single else 5)
    return cast("Estimate | Delayed", _reduce(parts, single, compute, factor))


@overload
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                 compute: Literal[True] = ...,
                                 discount: _Float = 1.0) -> Estimate:
    ...


@overload
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                 compute: Literal[False],
                                 discount: _Float = 1.0) -> Delayed:
    ...


@overload
def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                 compute: bool,
                                 discount: _Float = 1.0) -> Estimate | Delayed:
    ...


def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                 horizon: _Float, payoff: _Payoff, strike: _Float = 0.0, *,
                                 compute: bool = True,
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
    factor = _discount_factor(discount)
    states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field = _check_batch(
        {"states": states, "dws": dws, "sigma_field": sigma_field,
         "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field}, 2)
    _check_steps(states, {"dws": dws, "sigma_field": sigma_field,
                          "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field})
    _quorvane.price_and_delta_tangent_flow(_empty(0, 2), _empty(0, 1), _empty(0, 1),
                                           _empty(0, 1), _empty(0, 1), horizon, payoff, strike)
    scalars = [_probe_tangent_flow_scalars(horizon), payoff, float(strike)]
    single = len(states.chunks[0]) == 1
    parts = _map_rows(_tangent_flow_block,
                      [states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field], scalars,
                      width=4 if single else 5)
    return cast("Estimate | Delayed", _reduce(parts, single, compute, factor))


# ---------------------------------------------------------------------------
# Gamma and vega (quorvane._greeks), over chunked arrays like the delta above.
#
# Weights are lazy Dask arrays whose chunks have the module's bits. The
# price_and_greeks_* functions return quorvane.Greeks / quorvane.TangentFlowGreeks:
# with one chunk the module's own result, bit for bit; with several, each task's
# count and per-lane sums S1, S2 (plain sequential sums in row order) of the
# samples the module accumulates, added in chunk order, then the statistics rule
# once. The constant-flow samples are p, (W * p) * r (the last product by the
# module's bel_weights_constant_flow), and with u = ((W * W) - (sigma' T * W)) - T
# the gamma and vega samples ((u * p) * r) * r and (u * p) * h, r = 1 / (T sigma0)
# and h = 1 / (T v); the tangent-flow samples are p, w * p and gamma_weight * p
# with both weights from the modules. The statistics are the Greeks module's: an
# estimate that is NaN or infinite, or a variance that is NaN, has a NaN stderr. Scalars, column counts and the payoff are
# checked by the module itself on empty arrays before any task runs. The module's
# functions raise only ValueError and TypeError on bad input, so a task's failure
# (a zero sigma) reaches ``compute`` as the module's own ValueError.
# ---------------------------------------------------------------------------

_GAMMA_ARRAYS = ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")
_GAMMA_FIELDS = ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field", "d2_mu_dx2_field",
                 "d2_sigma_dx2_field")


def _greek_constants(horizon: float, sigma_at_x0: float, d_sigma_dx: float,
                     volatility: float) -> tuple[np.float64, np.float64, np.float64]:
    """sigma' * T, r = 1 / (T * sigma0) (the gamma multiplies by it twice) and 1 / (T * v),
    rounded as the module rounds them (IEEE division: an underflowed product gives inf,
    not an exception)."""
    h, s0, slope, vol = (np.float64(x) for x in (horizon, sigma_at_x0, d_sigma_dx, volatility))
    with np.errstate(all="ignore"):
        return slope * h, np.float64(1.0) / (h * s0), np.float64(1.0) / (h * vol)


def _greek_sums(lanes: Sequence[np.ndarray]) -> np.ndarray:
    """[n, S1, S2 of each lane] of one chunk."""
    sums = [float(lanes[0].shape[0])]
    for lane in lanes:
        sums += _lane_sums(lane)
    return np.array(sums)


def _constant_flow_greeks_block(terminal_states: np.ndarray, w_terminals: np.ndarray, horizon: float,
                                sigma_at_x0: float, d_sigma_dx: float, volatility: float, payoff: _Payoff,
                                strike: float, first_row: np.ndarray, n_chunks: int) -> np.ndarray:
    if n_chunks == 1:
        row = _greeks.price_and_greeks_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0,
                                                     d_sigma_dx, volatility, payoff, strike)
        return np.array(row, dtype=np.float64).reshape(1, -1)
    p = _payoff_values(payoff, terminal_states, strike)
    slope_t, r, h = _greek_constants(horizon, sigma_at_x0, d_sigma_dx, volatility)
    with np.errstate(all="ignore"):
        d = _quorvane.bel_weights_constant_flow(w_terminals * p, horizon, sigma_at_x0)
        up = (((w_terminals * w_terminals) - (slope_t * w_terminals)) - horizon) * p
        lanes = [p, d, (up * r) * r, up * h]
    return _greek_sums(lanes).reshape(1, -1)


def _tangent_flow_greeks_block(states: np.ndarray, dws: np.ndarray, sigma_field: np.ndarray,
                               d_mu_dx_field: np.ndarray, d_sigma_dx_field: np.ndarray,
                               d2_mu_dx2_field: np.ndarray, d2_sigma_dx2_field: np.ndarray, horizon: float,
                               payoff: _Payoff, strike: float, first_row: np.ndarray,
                               n_chunks: int) -> np.ndarray:
    def fused() -> tuple[float, float, float, float, float, float]:
        return _greeks.price_and_greeks_tangent_flow(
            states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
            d2_sigma_dx2_field, horizon, payoff, strike)

    try:
        if n_chunks == 1:
            return np.array(fused(), dtype=np.float64).reshape(1, -1)
        try:
            gamma = _greeks.bel_weights_gamma_tangent_flow(
                states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
                d2_sigma_dx2_field, horizon)
        except ValueError:
            fused()  # a zero sigma: raise it as price_and_greeks_tangent_flow reports it
            raise
        delta = _quorvane.bel_weights_tangent_flow(states, dws, sigma_field, d_mu_dx_field,
                                                   d_sigma_dx_field, horizon)
    except ValueError as error:
        _note_chunk(error, first_row, n_chunks)
        raise
    p = _payoff_values(payoff, states[:, -1], strike)
    with np.errstate(all="ignore"):
        lanes = [p, delta * p, gamma * p]
    return _greek_sums(lanes).reshape(1, -1)


def _finish_greeks(parts: np.ndarray, single: bool, lanes: int,
                   discount: float) -> Greeks | TangentFlowGreeks:
    if single:
        values = [float(v) for v in parts[0].tolist()]
    else:
        totals = [0.0] * parts.shape[1]
        for row in parts.tolist():  # chunk order, from +0.0
            for k, value in enumerate(row):
                totals[k] = totals[k] + value
        stats = [_greek_mean_and_stderr(totals[1 + 2 * k], totals[2 + 2 * k], totals[0]) for k in range(lanes)]
        values = [*(m for m, _ in stats), *(e for _, e in stats)]
    # each field times discount, one product each
    if lanes == 4:
        return _discounted(Greeks, values, discount)
    return _discounted(TangentFlowGreeks, values, discount)


def _greek_mean_and_stderr(s1: float, s2: float, n: float) -> tuple[float, float]:
    """The Greeks module's statistics: the rule above, with a NaN stderr (not the clamp's
    0.0) for a mean that is not finite or a variance that is NaN."""
    mean, stderr = _mean_and_stderr(s1, s2, n)
    if n != 0.0 and (not math.isfinite(mean) or math.isnan(float(s2) / float(n) - mean * mean)):
        return mean, math.nan
    return mean, stderr


def _gamma_weights_block(states: np.ndarray, dws: np.ndarray, sigma: np.ndarray, d_mu_dx: np.ndarray,
                         d_sigma_dx: np.ndarray, d2_mu_dx2: np.ndarray, d2_sigma_dx2: np.ndarray,
                         horizon: float, parallel: bool, first_row: np.ndarray,
                         n_chunks: int) -> np.ndarray:
    function = (_greeks.bel_weights_gamma_tangent_flow_parallel if parallel
                else _greeks.bel_weights_gamma_tangent_flow)
    try:
        return function(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon)
    except ValueError as error:
        _note_chunk(error, first_row, n_chunks)
        raise


def _constant_flow_greek_weights_block(w_terminals: np.ndarray, horizon: float, a: float, b: float,
                                       vega: bool, first_row: np.ndarray, n_chunks: int) -> np.ndarray:
    function = _greeks.bel_weights_vega_constant_flow if vega else _greeks.bel_weights_gamma_constant_flow
    return function(w_terminals, horizon, a, b)


def _probe_gamma_batch(states: da.Array, horizon: Any, fused: Sequence[Any] = ()) -> None:
    """The module's own checks of the scalars, the column count of ``states`` and, for
    the fused estimator (``fused`` = (payoff, strike)), the payoff and the strike, on
    empty arrays of the same column counts."""
    n_steps = max(states.shape[1] - 1, 0)
    s, a = _empty(0, states.shape[1]), _empty(0, n_steps)
    if fused:
        _greeks.price_and_greeks_tangent_flow(s, a, a, a, a, a, a, horizon, fused[0], fused[1])
    else:
        _greeks.bel_weights_gamma_tangent_flow(s, a, a, a, a, a, a, horizon)


def bel_weights_gamma_constant_flow(w_terminals: da.Array, horizon: float, sigma_at_x0: float,
                                    d_sigma_dx: float) -> da.Array:
    """Constant-flow gamma weights (W^2 - sigma' T W - T) / (sigma0^2 T^2) of a Dask array
    of terminal Brownian values, as a lazy 1-D Dask array chunked like ``w_terminals``.

    Every chunk has the bits of ``quorvane.bel_weights_gamma_constant_flow``; the
    scalars are checked by the module before any task runs.
    """
    (w_terminals,) = _check_batch({"w_terminals": w_terminals}, 1)
    _greeks.bel_weights_gamma_constant_flow(_empty(0), horizon, sigma_at_x0, d_sigma_dx)
    return _map_rows(_constant_flow_greek_weights_block, [w_terminals],
                     [float(horizon), float(sigma_at_x0), float(d_sigma_dx), False])


def bel_weights_vega_constant_flow(w_terminals: da.Array, horizon: float, d_sigma_dx: float,
                                   volatility: float) -> da.Array:
    """Constant-flow vega weights (W^2 - sigma' T W - T) / (T v), lazily, chunk by chunk
    with the bits of ``quorvane.bel_weights_vega_constant_flow``."""
    (w_terminals,) = _check_batch({"w_terminals": w_terminals}, 1)
    _greeks.bel_weights_vega_constant_flow(_empty(0), horizon, d_sigma_dx, volatility)
    return _map_rows(_constant_flow_greek_weights_block, [w_terminals],
                     [float(horizon), float(d_sigma_dx), float(volatility), True])


def _gamma_weights(arrays: Sequence[da.Array], horizon: float, parallel: bool) -> da.Array:
    checked = _check_batch(dict(zip(_GAMMA_ARRAYS, arrays)), 2)
    _probe_gamma_batch(checked[0], horizon)
    _check_steps(checked[0], dict(zip(_GAMMA_ARRAYS[1:], checked[1:])))
    return _map_rows(_gamma_weights_block, checked, [float(horizon), parallel])


def bel_weights_gamma_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array, d_mu_dx: da.Array,
                                   d_sigma_dx: da.Array, d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                                   horizon: float) -> da.Array:
    """Tangent-flow gamma weights of a path batch held in Dask arrays (shapes and
    chunking as for ``bel_weights_tangent_flow``, n_steps >= 2), as a lazy 1-D Dask
    array with one weight per path. Every chunk has the bits of
    ``quorvane.bel_weights_gamma_tangent_flow`` on the same rows; a zero sigma raises
    the module's ``ValueError`` at compute time, its row counted within the chunk.
    """
    return _gamma_weights((states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2), horizon,
                          False)


def bel_weights_gamma_tangent_flow_parallel(states: da.Array, dws: da.Array, sigma: da.Array,
                                            d_mu_dx: da.Array, d_sigma_dx: da.Array,
                                            d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                                            horizon: float) -> da.Array:
    """``bel_weights_gamma_tangent_flow`` with each chunk on the worker's thread pool
    (``RAYON_NUM_THREADS`` in the workers' environment bounds it); the serial bits."""
    return _gamma_weights((states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2), horizon,
                          True)


def price_and_greeks_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: float,
                                   sigma_at_x0: float, d_sigma_dx: float, volatility: float, payoff: _Payoff,
                                   strike: float = 0.0, *, compute: bool = True,
                                   discount: _Float = 1.0) -> Any:
    """``quorvane.Greeks`` (price, delta, gamma, vega and their standard errors) for GBM
    or ABM from 1-D Dask arrays of terminal states and terminal Brownian values,
    chunked alike.

    One chunk: the module's ``price_and_greeks_constant_flow`` on it, bit for bit.
    Several chunks: per-chunk sequential sums combined in chunk order, the same
    estimator but not the same last bits. The scalars and the payoff are checked by
    the module before any task runs. With ``compute=False`` returns a
    ``dask.delayed`` object that computes the named tuple. ``discount``
    (keyword-only, default 1.0) multiplies every field.
    """
    factor = _discount_factor(discount)
    terminal_states, w_terminals = _check_batch(
        {"terminal_states": terminal_states, "w_terminals": w_terminals}, 1)
    _greeks.price_and_greeks_constant_flow(_empty(0), _empty(0), horizon, sigma_at_x0, d_sigma_dx,
                                           volatility, payoff, strike)
    scalars = [float(horizon), float(sigma_at_x0), float(d_sigma_dx), float(volatility), payoff,
               float(strike)]
    single = len(terminal_states.chunks[0]) == 1
    parts = _map_rows(_constant_flow_greeks_block, [terminal_states, w_terminals], scalars,
                      width=8 if single else 9)
    result = delayed(_finish_greeks, pure=True)(parts, single, 4, factor)
    return result.compute() if compute else result


def price_and_greeks_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                  d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                  d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array, horizon: float,
                                  payoff: _Payoff, strike: float = 0.0, *, compute: bool = True,
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
    factor = _discount_factor(discount)
    arrays = (states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
              d2_sigma_dx2_field)
    checked = _check_batch(dict(zip(_GAMMA_FIELDS, arrays)), 2)
    _probe_gamma_batch(checked[0], horizon, (payoff, strike))
    _check_steps(checked[0], dict(zip(_GAMMA_FIELDS[1:], checked[1:])))
    single = len(checked[0].chunks[0]) == 1
    parts = _map_rows(_tangent_flow_greeks_block, checked, [float(horizon), payoff, float(strike)],
                      width=6 if single else 7)
    result = delayed(_finish_greeks, pure=True)(parts, single, 3, factor)
    return result.compute() if compute else result
