"""quorvane on Dask: BEL weights, prices and Greeks for path batches chunked along the path axis.

Path batches too large for one machine live as Dask arrays with one row per path,
chunked along the path axis only: every chunk holds whole paths and all their
steps. Every function of the native modules has its form here, with the same name
and arguments as Dask arrays, run chunk by chunk in whatever Dask scheduler is
active. The guide's "Scaling out with Dask" tells the whole story; in short:

Weights (``bel_weights_*``): lazy per-path Dask arrays, chunked like the paths,
every chunk with exactly the module's bits for the same rows.

Estimates (``price_*``): the package's named tuples, or with ``compute=False`` a
``dask.delayed`` object, so that several estimates share one ``dask.compute``. One
chunk: the module's own call, bit for bit. Several: each chunk's count and per-lane
sums S1, S2 (from the function of the same name in ``quorvane._chunks``), added in
chunk order and put through the module's statistics rule once by
``quorvane._chunks.estimate_from_sums``: the same estimator, not the same last bits,
and the same bits on every run and under every scheduler (without the rescued
standard errors of ``price_and_greeks_constant_flow`` at extreme scales). The
localised estimates choose their bands on the combined sums, around sd(X_N) of all
the paths (a first pass carries its sums from chunk to chunk in row order).
``discount`` multiplies each field of the result once.

Errors: types, dtypes, masks, chunking, rows, the scalars (by the ``quorvane``
function itself on empty arrays) and the exact shapes of a path batch are checked
before any task. A failure in the data reaches ``compute`` as the module's
``ValueError``, its row counted from the start of the chunk (from Python 3.11 a note
gives the chunk's first row). Every task turns the module's ``PanicException`` (a
``BaseException`` the distributed client cannot deliver) into :class:`PanicError`.

Threads: all but the ``*_parallel`` functions hold the interpreter lock: use worker
processes (``LocalCluster(processes=True, threads_per_worker=1)``). The ``*_parallel``
functions use the module's thread pool in each worker (``RAYON_NUM_THREADS``).
"""

from __future__ import annotations

import functools
import inspect
import math
import textwrap
from collections.abc import Callable, Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeVar, cast

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
from quorvane import _average, _chunks, _greeks, _localised
from quorvane._localised_results import (Bandwidths, LocalisedGreeks, LocalisedTangentFlowGreeks,
                                         TangentFlowBandwidths)
from quorvane._results import (Estimate, Greeks, MeanEstimate, TangentFlowGreeks, _discount_factor,
                               _discounted, _Float, _path_batch_error)
from quorvane_runtime import PanicException

# Every function of the native modules, under its own name (a literal list, which a type
# checker reads; a test checks it against the modules' lists and the functions here).
__all__ = [
    "bel_weights_constant_flow", "bel_weights_tangent_flow", "bel_weights_tangent_flow_parallel",
    "price_from_samples", "price_and_delta_constant_flow", "price_and_delta_tangent_flow", "PanicError",
    "bel_weights_gamma_constant_flow", "bel_weights_vega_constant_flow", "bel_weights_gamma_tangent_flow",
    "bel_weights_gamma_tangent_flow_parallel", "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow", "price_and_greeks_constant_flow_localised",
    "price_and_greeks_tangent_flow_localised", "price_and_greeks_tangent_flow_localised_parallel",
    "bel_weights_and_variations_tangent_flow", "price_and_delta_tangent_flow_parallel",
    "price_and_greeks_tangent_flow_parallel",
    "bel_weights_average_tangent_flow", "bel_weights_average_tangent_flow_parallel",
    "price_and_delta_average_tangent_flow", "bel_weights_average_constant_flow",
    "price_and_delta_average_constant_flow",
]

_Block = npt.NDArray[np.float64]
_T = TypeVar("_T")

# Typed aliases of Dask's unannotated functions, so that mypy --strict checks the calls.
_blockwise: Callable[..., da.Array] = da.blockwise
_from_array: Callable[..., da.Array] = da.from_array
_compute: Callable[[Delayed], Any] = Delayed.compute
_to_delayed: Callable[[da.Array], Any] = da.Array.to_delayed


class _Row(NamedTuple):
    """One function of the table: everything the Dask layer knows about it."""

    module: ModuleType  # the native module whose function of that name runs on a chunk
    arrays: tuple[str, ...]  # the array parameters, 1-D, or 2-D from "states" (a path batch)
    scalars: str  # the other parameters, in order (strike defaults to 0.0, bandwidth to None)
    result: type[Any] | None = None  # an estimate's named tuple; None: lazy weights
    undefined_stderr: Literal["zero", "nan"] = "zero"  # the variant of the statistics rule
    columns: int = 1  # lazy weights: the per-path arrays the function returns
    bandwidths: type[Any] | None = None  # a localised estimate's named tuple of bandwidths
    whole: tuple[str, ...] = ()  # 1-D NumPy parameters among the scalars, the same for every chunk
    note: str = ""  # what the docstring adds to the common text of weights or estimates
    typed: bool = False  # an estimate whose return annotation names its result type


_TANGENT = ("states", "dws", "sigma", "d_mu_dx", "d_sigma_dx")
_GAMMA = (*_TANGENT, "d2_mu_dx2", "d2_sigma_dx2")
_FIELDS = ("states", "dws", "sigma_field", "d_mu_dx_field", "d_sigma_dx_field")
_FIELDS2 = (*_FIELDS, "d2_mu_dx2_field", "d2_sigma_dx2_field")
_TERMINAL = ("terminal_states", "w_terminals")
_MONITORED = ("monitored_states", "w_terminals")
# Arrays of one row per path that are 2-D outside a path batch: (n_paths, n_dates).
_DATES = ("monitored_states",)
_AVERAGE = ("average_weights",)
_DATED = ("monitoring_times", "average_weights")
_POOL = ("Each chunk runs on the worker's thread pool (``RAYON_NUM_THREADS`` in the workers' "
         "environment bounds it), with the serial form's bits.")
_LOCAL = ("With several chunks and ``bandwidth=None``, sd(X_N) comes first from sums of the terminal "
          "values carried from chunk to chunk in row order (the module's bits), then each chunk sums "
          "every candidate (plain BEL and the bands 0.5, 1, 2 and 4 sd) and the module's choice per "
          "Greek is made on the combined sums: the module's bandwidths, and where two candidates' "
          "standard errors agree to their last bits the choice may differ. The bandwidths are "
          "never multiplied by ``discount``.")
_WHOLE = ("The 1-D NumPy parameters (``average_weights``, ``monitoring_times``) go whole to every "
          "chunk, copied at the call (a Dask array is computed then, a masked one refused).")

# One row per function; its signature and docstring come from the row, its types from
# quorvane/_dask_signatures.pyi. A new estimate also needs its sums in quorvane._chunks.
_ROWS: dict[str, _Row] = {
    "bel_weights_constant_flow": _Row(_quorvane, ("w_terminals",), "horizon sigma_at_x0"),
    "bel_weights_tangent_flow": _Row(_quorvane, _TANGENT, "horizon"),
    "bel_weights_tangent_flow_parallel": _Row(_quorvane, _TANGENT, "horizon", note=_POOL),
    "price_from_samples": _Row(_quorvane, ("samples",), "", MeanEstimate, typed=True),
    "price_and_delta_constant_flow": _Row(_quorvane, _TERMINAL, "horizon sigma_at_x0 payoff strike",
                                          Estimate, typed=True),
    "price_and_delta_tangent_flow": _Row(_quorvane, _FIELDS, "horizon payoff strike", Estimate,
                                         typed=True),
    "bel_weights_gamma_constant_flow": _Row(_greeks, ("w_terminals",), "horizon sigma_at_x0 d_sigma_dx"),
    "bel_weights_vega_constant_flow": _Row(_greeks, ("w_terminals",), "horizon d_sigma_dx volatility"),
    "bel_weights_gamma_tangent_flow": _Row(_greeks, _GAMMA, "horizon"),
    "bel_weights_gamma_tangent_flow_parallel": _Row(_greeks, _GAMMA, "horizon", note=_POOL),
    "price_and_greeks_constant_flow": _Row(
        _greeks, _TERMINAL, "horizon sigma_at_x0 d_sigma_dx volatility payoff strike", Greeks, "nan",
        note="Several chunks lack that function's rescue of standard errors at extreme scales."),
    "price_and_greeks_tangent_flow": _Row(_greeks, _FIELDS2, "horizon payoff strike", TangentFlowGreeks,
                                          "nan"),
    "price_and_greeks_constant_flow_localised": _Row(
        _localised, _TERMINAL, "horizon sigma_at_x0 d_sigma_dx volatility payoff strike bandwidth",
        LocalisedGreeks, "nan", bandwidths=Bandwidths, note=_LOCAL),
    "price_and_greeks_tangent_flow_localised": _Row(
        _localised, _FIELDS2, "horizon payoff strike bandwidth", LocalisedTangentFlowGreeks, "nan",
        bandwidths=TangentFlowBandwidths, note=_LOCAL),
    "price_and_greeks_tangent_flow_localised_parallel": _Row(
        _localised, _FIELDS2, "horizon payoff strike bandwidth", LocalisedTangentFlowGreeks, "nan",
        bandwidths=TangentFlowBandwidths, note=_POOL + " " + _LOCAL),
    "bel_weights_and_variations_tangent_flow": _Row(
        _localised, _GAMMA, "horizon", columns=4,
        note="Four arrays (delta and gamma weights, Y_N, Z_N) from one task per chunk: compute them "
             "together (``dask.compute(*arrays)``) to run each chunk once."),
    "price_and_delta_tangent_flow_parallel": _Row(_greeks, _FIELDS, "horizon payoff strike", Estimate,
                                                  note=_POOL),
    "price_and_greeks_tangent_flow_parallel": _Row(_greeks, _FIELDS2, "horizon payoff strike",
                                                   TangentFlowGreeks, "nan", note=_POOL),
    "bel_weights_average_tangent_flow": _Row(_average, _GAMMA, "horizon average_weights", whole=_AVERAGE,
                                             note=_WHOLE),
    "bel_weights_average_tangent_flow_parallel": _Row(_average, _GAMMA, "horizon average_weights",
                                                      whole=_AVERAGE, note=_POOL + " " + _WHOLE),
    "price_and_delta_average_tangent_flow": _Row(
        _average, _FIELDS2, "horizon average_weights payoff strike", Estimate, whole=_AVERAGE,
        note=_WHOLE, typed=True),
    "bel_weights_average_constant_flow": _Row(
        _average, _MONITORED, "monitoring_times average_weights horizon sigma_at_x0 d_sigma_dx",
        whole=_DATED, note=_WHOLE),
    "price_and_delta_average_constant_flow": _Row(
        _average, _MONITORED, "monitoring_times average_weights horizon sigma_at_x0 d_sigma_dx payoff "
        "strike", Estimate, whole=_DATED, note=_WHOLE, typed=True),
}

# The candidate bands of the automatic bandwidth, as multiples of sd(X_N), in the
# module's order (plain BEL comes first).
_BANDWIDTH_MULTIPLES = (0.5, 1.0, 2.0, 4.0)


class PanicError(RuntimeError):
    """The module raised its internal-failure ``PanicException`` inside a Dask task: a
    ``BaseException``, which the distributed client cannot deliver, so the task raises
    this ``RuntimeError`` with the same message instead."""


def _call(function: Callable[..., _T], *args: Any) -> _T:
    """Runs a task's function, turning PanicException into PanicError: every task built
    here (the chunks' and the combination) runs through it, whatever it calls."""
    try:
        return function(*args)
    except PanicException as error:
        raise PanicError(str(error)) from None


def _chunk(name: str, *args: Any) -> _Block:
    """The task of one chunk (args: its blocks, the scalars, a 1-element array holding
    its first row, the number of chunks): the module's function of that name, or for
    an estimate over several chunks quorvane._chunks's, looked up when the task runs."""
    *arguments, first_row, n_chunks = args
    row = _ROWS[name]
    sums = row.result is not None and n_chunks > 1
    module = _chunks if sums else row.module
    try:
        # The parallel form's sums are the serial form's (the same bits by design).
        out = getattr(module, name.removesuffix("_parallel") if sums else name)(*arguments)
    except ValueError as error:
        if n_chunks > 1 and hasattr(error, "add_note"):  # Python 3.11 and later
            error.add_note(f"raised for the Dask chunk starting at row {int(first_row[0])}: "
                           "row indices in the message count from the start of the chunk")
        raise
    if row.columns > 1:
        return np.stack(out, axis=1)  # one column per array, for the caller to split
    return out if row.result is None else np.array(out, dtype=np.float64).reshape(1, -1)


def _finish(parts: _Block, name: str, single: bool, discount: float,
            bands: Sequence[float] | None = None) -> Any:
    """The estimate of the chunks' rows, each field times ``discount`` (one product each);
    for a localised estimate over several chunks ``bands`` are its candidates' bandwidths."""
    row = _ROWS[name]
    values = parts[0] if single else _chunks.estimate_from_sums(parts, row.undefined_stderr)
    if row.bandwidths is None:
        return _discounted(cast("type[Any]", row.result), values.tolist(), discount)
    figures, used = _localised_figures(values.tolist(), len(row.bandwidths._fields), single, bands)
    # As the package's localised functions: every figure times the factor, not the bandwidths.
    return cast("type[Any]", row.result)(*[value * discount for value in figures],
                                         row.bandwidths(*used))


def _localised_figures(values: list[float], greeks: int, single: bool,
                       bands: Sequence[float] | None) -> tuple[list[float], list[float]]:
    """(price, the Greeks, their standard errors) and each Greek's bandwidth: from the
    module's tuple (one chunk), or from the estimates of the combined sums, whose lanes
    are the price, then per Greek one per candidate of ``bands`` (0.0: plain BEL)."""
    if single:
        return values[:2 * (greeks + 1)], values[2 * (greeks + 1):]
    assert bands is not None
    lanes = len(values) // 2
    means, stderrs = values[:lanes], values[lanes:]
    n_bands = len(bands)
    mean_of, stderr_of, used = [means[0]], [stderrs[0]], []
    for q in range(greeks):
        # The module's choice: the least standard error among the usable candidates (plain
        # BEL always; a band when positive and finite), ties to the earlier, never a NaN.
        first = 1 + q * n_bands
        best = 0
        for c in range(1, n_bands):
            now, was = stderrs[first + c], stderrs[first + best]
            if (bands[c] > 0.0 and math.isfinite(bands[c]) and not math.isnan(now)
                    and (math.isnan(was) or now < was)):
                best = c
        mean_of.append(means[first + best])
        stderr_of.append(stderrs[first + best])
        used.append(bands[best])
    return mean_of + stderr_of, used


def _spread_sums(carry: _Block, block: _Block) -> _Block:
    """The running sums [S1, S2] of the terminal values carried on through one more chunk:
    plain sequential sums in row order (``add.accumulate`` adds one value at a time), the
    squares rounded first, as the module sums them in one pass."""
    x = np.ascontiguousarray(block, dtype=np.float64).reshape(-1)
    s1 = np.add.accumulate(np.concatenate((carry[:1], x)))[-1]
    s2 = np.add.accumulate(np.concatenate((carry[1:], x * x)))[-1]
    return np.array([s1, s2])


def _spread(sums: _Block, n_paths: int) -> float:
    """sd(X_N) from the sums of all the paths, with the module's operations in its order:
    sqrt(S2 / N - (S1 / N) * (S1 / N)), 0.0 unless that variance is positive and finite."""
    if n_paths == 0:
        return 0.0  # the module's 0 / 0 is NaN, so no band
    count = float(n_paths)
    mean = float(sums[0]) / count
    var = float(sums[1]) / count - mean * mean
    return math.sqrt(var) if var > 0.0 and math.isfinite(var) else 0.0


def _automatic_spread(terminal: da.Array) -> Delayed:
    """sd(X_N) of the terminal values, lazily: their sums carried from chunk to chunk in
    row order (a chain of small tasks), so the bits of the module's first pass."""
    carry: Any = np.zeros(2)
    for block in _to_delayed(terminal).reshape(-1):
        carry = delayed(_call, pure=True)(_spread_sums, carry, block)
    return cast(Delayed, delayed(_call, pure=True)(_spread, carry, terminal.shape[0]))


def _band_candidates(spread: float) -> list[float]:
    """The automatic candidates' bandwidths: 0.0 for plain BEL, then c * sd."""
    return [0.0, *[multiple * spread for multiple in _BANDWIDTH_MULTIPLES]]


def _map_rows(name: str, arrays: Sequence[da.Array], scalars: Sequence[object],
              width: int | None = None) -> da.Array:
    """The tasks of ``_chunk(name, ...)``, one per path-axis chunk, each through ``_call``:
    a weight per path, chunked like the paths (a column per array for a function that
    returns several), or with ``width`` one row per chunk."""
    task = functools.partial(_call, _chunk, name)
    row_chunks = arrays[0].chunks[0]
    starts = np.cumsum((0,) + tuple(row_chunks[:-1]), dtype=np.int64)
    pairs: list[object] = []
    for k, array in enumerate(arrays):
        pairs += [array, "i" if array.ndim == 1 else ("ij" if k == 0 else "ik")]
    pairs += [item for value in scalars for item in (value, None)]
    pairs += [_from_array(starts, chunks=1), "i", len(row_chunks), None]
    columns = _ROWS[name].columns
    rows: dict[str, Any] = {} if width is None else {"new_axes": {"w": width}, "adjust_chunks": {"i": 1}}
    if columns > 1:
        rows, width = {"new_axes": {"w": columns}}, columns
    return _blockwise(task, "i" if width is None else "iw", *pairs, token=name.replace("_", "-"),
                      dtype=np.float64, concatenate=True, align_arrays=False,
                      meta=_empty(0) if width is None else _empty(0, 0), **rows)


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
    """The checks before any task, in order: each array (type, dimensions, dtype, mask,
    chunks), rows and path-axis chunks against the first, the scalars by the ``quorvane``
    function itself on empty arrays (of the arguments' column counts), then the exact
    shapes of a path batch. Returns the arrays and the scalars as the tasks take them."""
    row = _ROWS[name]
    batch = row.arrays[0] == "states"
    checked = [_check_array(n, a, 2 if batch or n in _DATES else 1) for n, a in zip(row.arrays, arrays)]
    scalars, whole = _whole_arrays(name, scalars)
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
    if not batch:
        getattr(quorvane, name)(*[_empty(0, *a.shape[1:]) for a in checked], *scalars)
    else:
        columns = reference.shape[1]
        steps = [_empty(0, max(columns - 1, 0))] * (len(checked) - 1)
        getattr(quorvane, name)(_empty(0, columns), *steps, *scalars)
        message = _path_batch_error({n: a.shape for n, a in zip(row.arrays, checked)})
        if message is not None:
            raise ValueError(message)
    # A whole array is copied: the tasks read it later, after any change by the caller.
    return checked, [(value.copy() if isinstance(value, np.ndarray) else value) if k in whole
                     else value if value is None or isinstance(value, str)
                     else float(cast(Any, value)) for k, value in enumerate(scalars)]


def _whole_arrays(name: str, scalars: Sequence[object]) -> tuple[list[object], set[int]]:
    """The scalars, with each parameter of the row's ``whole`` as the NumPy array every
    chunk gets: a NumPy array as given (the module's checks follow, on no paths), a Dask
    array computed here at once (a vector of one entry per date); a masked one refused.
    Also the positions of those parameters among the scalars."""
    whole = _ROWS[name].whole
    if not whole:
        return list(scalars), set()
    parameters = _ROWS[name].scalars.split()
    out = list(scalars)
    positions = {k for k, parameter in enumerate(parameters[:len(out)]) if parameter in whole}
    for k in sorted(positions):
        parameter = parameters[k]
        value = out[k]
        if isinstance(value, np.ma.MaskedArray) or (isinstance(value, da.Array)
                                                     and isinstance(value._meta, np.ma.MaskedArray)):
            raise TypeError(f"{parameter} is a masked array; fill it ({parameter}.filled(value)) "
                            "first: every chunk gets its data whole, and the module ignores a mask")
        out[k] = cast(Any, value).compute() if isinstance(value, da.Array) else value
    return out, positions


def _empty(*shape: int) -> _Block:
    return np.zeros(shape, dtype=np.float64)


def _weights(name: str, arrays: Sequence[object], scalars: Sequence[object]) -> da.Array:
    return _map_rows(name, *_checked(name, arrays, scalars))


def _estimate(name: str, arrays: Sequence[object], scalars: Sequence[object], compute: bool,
              discount: _Float) -> Any:
    row = _ROWS[name]
    result = cast("type[Any]", row.result)
    factor = _discount_factor(discount)
    checked, converted = _checked(name, arrays, scalars)
    single = len(checked[0].chunks[0]) == 1
    if row.bandwidths is None:
        parts = _map_rows(name, checked, converted, len(result._fields) + (0 if single else 1))
        combined: Delayed = delayed(_call, pure=True)(_finish, parts, name, single, factor)
        return _compute(combined) if compute else combined
    # Localised: one chunk is the module's own call. Over several, each chunk's sums of
    # the candidates' samples: the given band, or, when the bandwidth is chosen, plain BEL
    # and the bands around sd(X_N) of all the paths (a first pass); then the choice on
    # the combined sums.
    greeks = len(row.bandwidths._fields)
    bandwidth = converted[-1]
    if single:
        parts = _map_rows(name, checked, converted, 2 * (greeks + 1) + greeks)
        bands: Any = None
    elif bandwidth is not None:
        parts = _map_rows(name, checked, [*converted, None], 1 + 2 * (1 + greeks))
        bands = [bandwidth]
    else:
        terminal = checked[0] if checked[0].ndim == 1 else checked[0][:, -1]
        spread = _automatic_spread(terminal)
        parts = _map_rows(name, checked, [*converted, spread],
                          1 + 2 * (1 + greeks * (1 + len(_BANDWIDTH_MULTIPLES))))
        bands = delayed(_call, pure=True)(_band_candidates, spread)
    combined = delayed(_call, pure=True)(_finish, parts, name, single, factor, bands)
    return _compute(combined) if compute else combined


# The functions, made from their rows: each one's signature (for inspect.signature) and
# docstring; the types a checker sees are declared below under TYPE_CHECKING.

_DOC_WEIGHTS = (
    "``quorvane.{name}`` lazily over Dask arrays chunked along the path axis only (1-D, or "
    "(n_paths, columns) with one chunk along the columns): per-path weights, chunked like the "
    "paths, every chunk with that function's bits on the same rows. Its checks of the scalars "
    "run before any task; a failure in the data (a zero sigma) raises its ``ValueError`` at "
    "compute time, the row counted from the start of the chunk.")
_DOC_ESTIMATE = (
    "``quorvane.{name}`` over Dask arrays chunked alike along the path axis only. One chunk: "
    "that function on it, bit for bit; several: each chunk's sums (from the function of that "
    "name in ``quorvane._chunks``) combined in chunk order, the same estimator without the same "
    "last bits. The scalars and shapes are checked before any task; ``compute=False`` returns "
    "the ``Delayed`` that computes the result; ``discount`` multiplies each field once.")
_KINDS = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY


def _parameter(name: str, row: _Row, kind: Any = _KINDS[0]) -> inspect.Parameter:
    """A parameter with the annotation and default its name has in every function."""
    annotation = ("da.Array" if name in row.arrays else "npt.ArrayLike" if name in row.whole
                  else {"payoff": "_Payoff", "bandwidth": "_Float | None", "compute": "bool"}.get(
                      name, "_Float"))
    default = {"strike": 0.0, "bandwidth": None, "compute": True, "discount": 1.0}.get(
        name, inspect.Parameter.empty)
    return inspect.Parameter(name, kind, default=default, annotation=annotation)


def _make(name: str) -> Callable[..., Any]:
    """The public function of a row: binds its arguments by the row's signature and runs
    ``_weights`` or ``_estimate``."""
    row = _ROWS[name]
    parameters = [_parameter(p, row) for p in (*row.arrays, *row.scalars.split())]
    if row.result is None:
        returns = "da.Array" if row.columns == 1 else f"tuple[{', '.join(['da.Array'] * row.columns)}]"
    else:
        parameters += [_parameter(p, row, _KINDS[1]) for p in ("compute", "discount")]
        returns = f"{row.result.__name__} | Delayed" if row.typed else "Any"
    signature = inspect.Signature(parameters, return_annotation=returns)
    arrays = len(row.arrays)

    def function(*args: Any, **kwargs: Any) -> Any:
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError as error:  # named, as Python names a function in its own message
            raise TypeError(f"{name}() {error}") from None
        bound.apply_defaults()
        values = list(bound.arguments.values())
        if row.result is not None:
            return _estimate(name, values[:arrays], values[arrays:-2], *values[-2:])
        out = _weights(name, values[:arrays], values[arrays:])
        return out if row.columns == 1 else tuple(out[:, k] for k in range(row.columns))

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    text = (_DOC_WEIGHTS if row.result is None else _DOC_ESTIMATE).format(name=name)
    function.__doc__ = "\n".join(textwrap.wrap(f"{text} {row.note}".strip(), 88))
    setattr(function, "__signature__", signature)
    return function


if TYPE_CHECKING:
    from quorvane import _dask_signatures as _S

    bel_weights_constant_flow: _S.ConstantFlowWeights[da.Array]
    bel_weights_tangent_flow: _S.TangentFlowWeights[da.Array]
    bel_weights_tangent_flow_parallel: _S.TangentFlowWeights[da.Array]
    price_from_samples: _S.Samples[MeanEstimate]
    price_and_delta_constant_flow: _S.ConstantFlowDelta[Estimate]
    price_and_delta_tangent_flow: _S.TangentFlowDelta[Estimate]
    bel_weights_gamma_constant_flow: _S.ConstantFlowGammaWeights[da.Array]
    bel_weights_vega_constant_flow: _S.ConstantFlowVegaWeights[da.Array]
    bel_weights_gamma_tangent_flow: _S.TangentFlowGammaWeights[da.Array]
    bel_weights_gamma_tangent_flow_parallel: _S.TangentFlowGammaWeights[da.Array]
    price_and_greeks_constant_flow: _S.ConstantFlowGreeks
    price_and_greeks_tangent_flow: _S.TangentFlowGreeks
    price_and_greeks_constant_flow_localised: _S.ConstantFlowGreeksLocalised
    price_and_greeks_tangent_flow_localised: _S.TangentFlowGreeksLocalised
    price_and_greeks_tangent_flow_localised_parallel: _S.TangentFlowGreeksLocalised
    bel_weights_and_variations_tangent_flow: _S.TangentFlowGammaWeights[
        tuple[da.Array, da.Array, da.Array, da.Array]]
    price_and_delta_tangent_flow_parallel: _S.TangentFlowDelta[Any]
    price_and_greeks_tangent_flow_parallel: _S.TangentFlowGreeks
    bel_weights_average_tangent_flow: _S.AverageTangentFlowWeights[da.Array]
    bel_weights_average_tangent_flow_parallel: _S.AverageTangentFlowWeights[da.Array]
    price_and_delta_average_tangent_flow: _S.AverageTangentFlowDelta[Estimate]
    bel_weights_average_constant_flow: _S.AverageConstantFlowWeights[da.Array]
    price_and_delta_average_constant_flow: _S.AverageConstantFlowDelta[Estimate]
else:
    globals().update({name: _make(name) for name in _ROWS})
