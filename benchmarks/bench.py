"""Benchmarks: quorvane against the NumPy and Numba code a user would write.

    python3 -m pip install '.[bench]' && python3 benchmarks/bench.py [--quick] [--only NAME] [--plot PATH]
    python3 benchmarks/bench.py --efficiency [--quick]
    python3 benchmarks/bench.py --diagnose [--only NAME] [--budget SECONDS]

Every case times its contenders in this one process on the same inputs (median
of repeats, Numba's compile time excluded by a warm-up call), checks that they
agree (bit for bit where the contender computes the same sequential formula, to
a tolerance where NumPy sums in another order), and prints a Markdown table with
the ratio of each contender's time to quorvane's (above 1: quorvane is faster).

A full run (no --only) ends with the efficiency table of the localised Greeks:
per Greek, 1 / (stderr^2 * seconds) of the localised estimator beside plain BEL,
central differences in NumPy and in Numba and the pathwise derivative, on GBM
and CEV paths (--efficiency prints only that table).

The "read bound" column is the throughput at which this machine merely reads
what the function reads of its inputs (the gamma weight's second derivatives
over the first half of the steps only, the fused estimators' terminal states),
measured in the same run by a C reader of that memory in lockstep
(benchmarks/native/read_bound.c, compiled here with the system C compiler; the
faster of a plain read and one that prefetches ahead; with one thread, or with
the pool's thread count for the parallel forms), and quorvane's share of it.
Without a C compiler NumPy's own reduction over the arrays stands in, which
gives a lower bound. --diagnose tells what bounds a row where the machine has
no hardware counters: beside each tangent-flow row's time and read bound it
times the same call on a batch of the same steps that stays in cache (see
diagnose()). --plot writes a
PNG of throughput against batch size for every function, quorvane beside its
contenders and the read bound; with --replot TABLE it is drawn from a recorded
run (this script's saved output, or the README's copy of it) without timing
anything:

    python3 benchmarks/bench.py --replot README.md --plot benchmarks/throughput.png
"""

from __future__ import annotations

import argparse
import ctypes
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

import quorvane

try:
    import numba
except ImportError:  # the table then has no Numba column
    numba = None


def median_seconds(fn: Callable[[], Any], budget: float, min_repeats: int = 5) -> float:
    """Median wall time of one call; tiny calls are looped so a sample lasts >= 1 ms."""
    fn()
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-9)
    inner = max(1, int(1e-3 / once))
    repeats = max(min_repeats, min(200, int(budget / (once * inner))))
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(inner):
            fn()
        samples.append((time.perf_counter() - start) / inner)
    return statistics.median(samples)


@dataclass
class Case:
    group: str
    label: str
    work: float  # elements (or path-steps) per call, for the throughput column
    unit: str
    ours: Callable[[], Any]
    others: dict[str, Callable[[], Any]] = field(default_factory=dict)
    check: Callable[[], None] | None = None
    show_difference: bool = False  # also print quorvane's time minus the contender's
    reads: list[np.ndarray] = field(default_factory=list)  # the input arrays it reads
    threads: int = 1  # threads it runs on (the pool's for the parallel form)
    # (work, call) of the same call on a batch that stays in cache, for --diagnose
    resident: Callable[[], tuple[float, Callable[[], Any]]] | None = None


def pool_threads() -> int:
    """The worker pool's thread count, by the rule of its environment variables."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        try:
            value = int(os.environ.get(name, ""))
        except ValueError:
            continue
        if value > 0:
            return value
    return os.cpu_count() or 1


LINE = 64  # bytes of a cache line


@dataclass
class Block:
    """The memory an array view's elements lie in, as rows: ``rows`` runs of
    ``row_bytes`` bytes, ``stride`` bytes apart, from ``base``."""
    base: int
    rows: int
    row_bytes: int
    stride: int


def block_of(a: np.ndarray) -> Block:
    """The rows an array (or a view: the first half of each row, one column)
    occupies. Runs closer than a line merge into one, since every line between
    them is read anyway; a layout that is not rows of runs is taken whole."""
    base = a.__array_interface__["data"][0]
    if a.size == 0:
        return Block(base, 0, 0, 0)
    dims = []
    for extent, stride in zip(a.shape, a.strides):
        if extent > 1:
            if stride < 0:
                base += stride * (extent - 1)
                stride = -stride
            dims.append((stride, extent))
    dims.sort()
    run = a.itemsize
    while dims and dims[0][0] == run:  # contiguous: one longer run
        run *= dims.pop(0)[1]
    if not dims:
        return Block(base, 1, run, run)
    if len(dims) == 1 and dims[0][0] - run < LINE:
        stride, extent = dims[0]
        return Block(base, 1, stride * (extent - 1) + run, 0)
    if len(dims) == 1:
        stride, extent = dims[0]
        return Block(base, extent, run, stride)
    span = sum(stride * (extent - 1) for stride, extent in dims) + run
    return Block(base, 1, span, 0)


def share_lines(block: Block, first: int, end: int) -> int:
    """The lines rows [first, end) of a block touch, a line two rows share once."""
    if end <= first or block.row_bytes == 0:
        return 0
    starts = block.base + block.stride * np.arange(first, end, dtype=np.int64)
    lo = starts & ~(LINE - 1)
    hi = (starts + block.row_bytes + LINE - 1) & ~(LINE - 1)
    lo[1:] = np.maximum(lo[1:], hi[:-1])
    return int(np.maximum(hi - lo, 0).sum() // LINE)


def read_bytes(arrays: list[np.ndarray]) -> int:
    """The bytes of the lines the views touch, in all."""
    return sum(share_lines(b, 0, b.rows) * LINE for b in map(block_of, arrays))


def cache_bytes() -> int:
    """One core's level-2 cache (what a batch must fit in to stay resident), else 1 MiB."""
    root = "/sys/devices/system/cpu/cpu0/cache"
    try:
        for index in sorted(os.listdir(root)):
            with open(os.path.join(root, index, "level")) as f:
                if f.read().strip() != "2":
                    continue
            with open(os.path.join(root, index, "size")) as f:
                size = f.read().strip()
            return int(size.rstrip("KMG")) * {"K": 2**10, "M": 2**20, "G": 2**30}.get(size[-1], 1)
    except (OSError, ValueError):
        pass
    return 2**20


class Share(ctypes.Structure):
    """One thread's share of a block, as benchmarks/native/read_bound.c takes it."""
    _fields_ = [("base", ctypes.c_size_t), ("row_bytes", ctypes.c_size_t), ("stride", ctypes.c_size_t),
                ("first_row", ctypes.c_size_t), ("lines", ctypes.c_size_t)]


class ReadBound:
    """Seconds it takes to read arrays in lockstep, with nothing else to do."""

    def __init__(self) -> None:
        self.reader = None
        self.kind = "NumPy reduction (lower bound)"
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native", "read_bound.c")
        compiler = shutil.which(os.environ.get("CC", "cc"))
        if compiler is None:
            return
        self._dir = tempfile.TemporaryDirectory(prefix="quorvane-bench-")
        lib = os.path.join(self._dir.name, "libread_bound.so")
        build = [compiler, "-O3", "-march=native", "-shared", "-fPIC", "-pthread", source, "-o", lib]
        if subprocess.run(build, capture_output=True).returncode != 0:
            return
        self.reader = ctypes.CDLL(lib).read_blocks  # CDLL releases the GIL during the call
        self.reader.restype = ctypes.c_uint64
        self.reader.argtypes = [ctypes.POINTER(Share), ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                                ctypes.c_int]
        self.kind = "C reader, the faster of a plain read and one that prefetches 8 KiB ahead"

    def seconds(self, arrays: list[np.ndarray], threads: int, budget: float) -> float:
        """The time to read the memory of ``arrays`` (views: what the kernel reads
        of each input), cut by rows among ``threads`` threads: in one lockstep, or,
        when that is faster, the runs (whole arrays) in one and the scattered rows
        (a C-order column: a line every row, a page every few) in another, since
        that column in lockstep with the runs can slow them."""
        blocks = [block_of(a) for a in arrays]
        runs = [a for a, b in zip(arrays, blocks) if b.rows == 1]
        if self.reader is not None and 0 < len(runs) < len(arrays):
            rows = [a for a, b in zip(arrays, blocks) if b.rows != 1]
            return min(self.lockstep_seconds(arrays, threads, budget),
                       self.lockstep_seconds(runs, threads, budget) + self.lockstep_seconds(rows, threads, budget))
        return self.lockstep_seconds(arrays, threads, budget)

    def lockstep_seconds(self, arrays: list[np.ndarray], threads: int, budget: float) -> float:
        blocks = [block_of(a) for a in arrays]
        if self.reader is not None and len(blocks) <= 32:
            shares = (Share * (threads * len(blocks)))()
            total = 0
            for t in range(threads):
                for i, b in enumerate(blocks):
                    if b.rows == 1:  # one run: cut by lines
                        low = b.base & ~(LINE - 1)
                        count = (b.base + b.row_bytes - low + LINE - 1) // LINE
                        first, end = count * t // threads, count * (t + 1) // threads
                        share = Share(low + first * LINE, (end - first) * LINE, 0, 0, end - first)
                    else:  # rows: cut by rows, as the parallel form cuts its paths
                        first, end = b.rows * t // threads, b.rows * (t + 1) // threads
                        share = Share(b.base, b.row_bytes, b.stride, first, share_lines(b, first, end))
                    shares[t * len(blocks) + i] = share
                    total += share.lines * LINE
            # Small reads are repeated inside one call, so that neither the call
            # nor the start of the threads is timed with them.
            repeats = max(1, int(2**24 // max(1, total)))
            return min(median_seconds(
                lambda: self.reader(shares, len(blocks), threads, repeats, prefetch),
                budget / 2) for prefetch in (0, 1)) / repeats
        words = [a.view(np.uint64) for a in arrays]
        return median_seconds(lambda: [np.bitwise_xor.reduce(w, axis=None) for w in words], budget)


def numbers(x: Any) -> Any:
    """A result as an array: a result tuple's fields in order, nested ones flattened."""
    if isinstance(x, tuple):
        return np.concatenate([np.ravel(numbers(f)) for f in x]) if x else np.empty(0)
    return np.asarray(x, dtype=np.float64)


def bits_equal(a: Any, b: Any) -> bool:
    a = numbers(a)
    b = numbers(b)
    return a.shape == b.shape and bool(np.all(a.view(np.uint64) == b.view(np.uint64)))


def assert_bits(a: Any, b: Any, what: str) -> None:
    if not bits_equal(a, b):
        raise AssertionError(f"{what}: results differ in their bits")


def assert_close(a: Any, b: Any, what: str, rtol: float = 1e-9) -> None:
    if not np.allclose(numbers(a), numbers(b), rtol=rtol, atol=1e-12, equal_nan=True):
        raise AssertionError(f"{what}: results differ beyond rtol={rtol}")


# --------------------------------------------------------------------- contenders

def numpy_mean_stderr(x: np.ndarray) -> tuple[float, float]:
    return float(x.mean()), math.sqrt(x.var() / x.size)


def numpy_price_and_delta_call(xt, wt, horizon, sigma0, strike):
    p = np.maximum(xt - strike, 0.0)
    d = wt * p * (1.0 / (horizon * sigma0))
    n = xt.size
    return float(p.mean()), float(d.mean()), math.sqrt(p.var() / n), math.sqrt(d.var() / n)


if numba is not None:

    @numba.njit(cache=False, inline="always")
    def _numba_lane(s1, s2, n):
        """Mean and stderr of n samples from their sum and sum of squares."""
        mean = s1 / n
        var = s2 / n - mean * mean
        if not var > 0.0:
            var = 0.0
        return mean, math.sqrt(var / n)

    @numba.njit(cache=False)
    def numba_mean_stderr(x):
        s1 = 0.0
        s2 = 0.0
        for v in x:
            s1 += v
            s2 += v * v
        return _numba_lane(s1, s2, float(x.size))

    @numba.njit(cache=False, inline="always")
    def _numba_add(s1, s2, v):
        """A lane's sums (S1, S2) with one more sample: plain sequential sums."""
        return s1 + v, s2 + v * v

    @numba.njit(cache=False, inline="always")
    def _numba_estimates(lanes, n):
        """[mean of each lane, then the stderr of each lane] from each lane's (S1, S2)."""
        k = len(lanes)
        out = np.empty(2 * k)
        for lane, (s1, s2) in enumerate(lanes):
            out[lane], out[lane + k] = _numba_lane(s1, s2, n)
        return out

    @numba.njit(cache=False, inline="always")
    def _numba_estimate(p1, p2, d1, d2, n):
        """(price, delta, price_stderr, delta_stderr) from the four sums."""
        pm, pse = _numba_lane(p1, p2, n)
        dm, dse = _numba_lane(d1, d2, n)
        return pm, dm, pse, dse

    @numba.njit(cache=False)
    def numba_weights_constant_flow(w, horizon, sigma0):
        r = 1.0 / (horizon * sigma0)
        out = np.empty_like(w)
        for k in range(w.size):
            out[k] = w[k] * r
        return out

    @numba.njit(cache=False)
    def numba_price_and_delta_call(xt, wt, horizon, sigma0, strike):
        r = 1.0 / (horizon * sigma0)
        p1 = p2 = d1 = d2 = 0.0
        for k in range(xt.size):
            diff = xt[k] - strike
            p = diff if diff > 0.0 else 0.0
            d = (wt[k] * p) * r
            p1 += p
            p2 += p * p
            d1 += d
            d2 += d * d
        return _numba_estimate(p1, p2, d1, d2, float(xt.size))


def numpy_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, horizon):
    """The recursion vectorised over paths (the same operations, so the same bits)."""
    n_paths, n_steps = dws.shape
    dt = horizon / n_steps
    inv_horizon = 1.0 / horizon
    y = np.ones(n_paths)
    acc = np.zeros(n_paths)
    for j in range(n_steps):
        dw = dws[:, j]
        acc = acc + ((y / sigma[:, j]) * inv_horizon) * dw
        y = y + ((d_sigma_dx[:, j] * y) * dw + (d_mu_dx[:, j] * y) * dt)
    return acc


def numpy_price_and_delta_tangent_call(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, strike):
    w = numpy_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, horizon)
    p = np.maximum(states[:, -1] - strike, 0.0)
    d = w * p
    n = p.size
    return float(p.mean()), float(d.mean()), math.sqrt(p.var() / n), math.sqrt(d.var() / n)


if numba is not None:

    @numba.njit(cache=False, inline="always")
    def _numba_path(dws, sigma, d_mu_dx, d_sigma_dx, i, dt, inv_horizon):
        y = 1.0
        acc = 0.0
        for j in range(dws.shape[1]):
            s = sigma[i, j]
            if s == 0.0:
                raise ValueError("zero sigma")
            dw = dws[i, j]
            acc += ((y / s) * inv_horizon) * dw
            y = y + (((d_sigma_dx[i, j] * y) * dw) + ((d_mu_dx[i, j] * y) * dt))
        return acc

    @numba.njit(cache=False)
    def numba_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, horizon):
        n_paths, n_steps = dws.shape
        dt = horizon / n_steps
        inv_horizon = 1.0 / horizon
        out = np.empty(n_paths)
        for i in range(n_paths):
            out[i] = _numba_path(dws, sigma, d_mu_dx, d_sigma_dx, i, dt, inv_horizon)
        return out

    @numba.njit(cache=False, parallel=True)
    def numba_tangent_flow_prange(dws, sigma, d_mu_dx, d_sigma_dx, horizon):
        n_paths, n_steps = dws.shape
        dt = horizon / n_steps
        inv_horizon = 1.0 / horizon
        out = np.empty(n_paths)
        # A raise inside prange keeps Numba from parallelising: flag instead.
        zero = np.zeros(n_paths, dtype=np.bool_)
        for i in numba.prange(n_paths):
            y = 1.0
            acc = 0.0
            for j in range(n_steps):
                s = sigma[i, j]
                if s == 0.0:
                    zero[i] = True
                    break
                dw = dws[i, j]
                acc += ((y / s) * inv_horizon) * dw
                y = y + (((d_sigma_dx[i, j] * y) * dw) + ((d_mu_dx[i, j] * y) * dt))
            out[i] = acc
        if zero.any():
            raise ValueError("zero sigma")
        return out

    @numba.njit(cache=False)
    def numba_price_and_delta_tangent_call(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, strike):
        n_paths, n_steps = dws.shape
        dt = horizon / n_steps
        inv_horizon = 1.0 / horizon
        p1 = p2 = d1 = d2 = 0.0
        for i in range(n_paths):
            w = _numba_path(dws, sigma, d_mu_dx, d_sigma_dx, i, dt, inv_horizon)
            diff = states[i, n_steps] - strike
            p = diff if diff > 0.0 else 0.0
            d = w * p
            p1 += p
            p2 += p * p
            d1 += d
            d2 += d * d
        return _numba_estimate(p1, p2, d1, d2, float(n_paths))


# --------------------------------------------------------------------- gamma and vega

def numpy_greeks_constant_flow_call(xt, wt, horizon, sigma0, d_sigma_dx, volatility, strike):
    """Price, delta, gamma, vega and their standard errors, as a NumPy user would."""
    p = np.maximum(xt - strike, 0.0)
    r = 1.0 / (horizon * sigma0)
    d = wt * p * r
    u = (wt * wt - (d_sigma_dx * horizon) * wt) - horizon
    g = u * p * r * r
    v = u * p * (1.0 / (horizon * volatility))
    n = xt.size
    means = [float(a.mean()) for a in (p, d, g, v)]
    return (*means, *(math.sqrt(a.var() / n) for a in (p, d, g, v)))


def numpy_gamma_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon):
    """The two-interval gamma recursion vectorised over paths (the same operations)."""
    n_paths, n_steps = dws.shape
    dt = horizon / n_steps
    m = n_steps // 2
    t1 = m * dt
    y = np.ones(n_paths)
    z = np.zeros(n_paths)
    a = np.zeros(n_paths)
    b = np.zeros(n_paths)
    c = np.zeros(n_paths)
    for j in range(n_steps):
        s, dw, dmu, dsig = sigma[:, j], dws[:, j], d_mu_dx[:, j], d_sigma_dx[:, j]
        k = y / s
        if j < m:
            a = a + k * dw
            c = c + (z / s - (k * k) * dsig) * dw
            y2 = y * y
            z = z + ((d2_sigma_dx2[:, j] * y2 + dsig * z) * dw + (d2_mu_dx2[:, j] * y2 + dmu * z) * dt)
        else:
            b = b + k * dw
        y = y + ((dsig * y) * dw + (dmu * y) * dt)
    return (a * (1.0 / t1)) * (b * (1.0 / (horizon - t1))) + c * (1.0 / t1)


def numpy_greeks_tangent_call(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                              horizon, strike):
    w = numpy_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, horizon)
    g = numpy_gamma_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon)
    p = np.maximum(states[:, -1] - strike, 0.0)
    n = p.size
    lanes = (p, w * p, g * p)
    return (*(float(x.mean()) for x in lanes), *(math.sqrt(x.var() / n) for x in lanes))


if numba is not None:

    @numba.njit(cache=False)
    def numba_greeks_constant_flow_call(xt, wt, horizon, sigma0, d_sigma_dx, volatility, strike):
        r = 1.0 / (horizon * sigma0)
        hf = 1.0 / (horizon * volatility)
        slope_t = d_sigma_dx * horizon
        p1 = p2 = d1 = d2 = g1 = g2 = v1 = v2 = 0.0
        for k in range(xt.size):
            diff = xt[k] - strike
            p = diff if diff > 0.0 else 0.0
            w = wt[k]
            d = (w * p) * r
            up = (((w * w) - (slope_t * w)) - horizon) * p
            g = (up * r) * r
            v = up * hf
            p1, p2 = _numba_add(p1, p2, p)
            d1, d2 = _numba_add(d1, d2, d)
            g1, g2 = _numba_add(g1, g2, g)
            v1, v2 = _numba_add(v1, v2, v)
        return _numba_estimates(((p1, p2), (d1, d2), (g1, g2), (v1, v2)), float(xt.size))

    @numba.njit(cache=False, inline="always")
    def _numba_gamma_grid(n_steps, horizon):
        """dt, the first interval's m steps and 1 / t1, 1 / (T - t1) of the gamma weight."""
        dt = horizon / n_steps
        m = n_steps // 2
        t1 = m * dt
        return dt, m, 1.0 / t1, 1.0 / (horizon - t1)

    @numba.njit(cache=False, inline="always")
    def _numba_gamma_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i, m, dt,
                          inv_t1, inv_t2):
        y = 1.0
        z = 0.0
        a = 0.0
        b = 0.0
        c = 0.0
        for j in range(m):
            s = sigma[i, j]
            if s == 0.0:
                return math.nan, True
            dw = dws[i, j]
            dsig = d_sigma_dx[i, j]
            dmu = d_mu_dx[i, j]
            k = y / s
            a += k * dw
            c += (z / s - (k * k) * dsig) * dw
            y2 = y * y
            z = z + (((d2_sigma_dx2[i, j] * y2 + dsig * z) * dw) + ((d2_mu_dx2[i, j] * y2 + dmu * z) * dt))
            y = y + (((dsig * y) * dw) + ((dmu * y) * dt))
        for j in range(m, dws.shape[1]):
            s = sigma[i, j]
            if s == 0.0:
                return math.nan, True
            dw = dws[i, j]
            b += (y / s) * dw
            y = y + (((d_sigma_dx[i, j] * y) * dw) + ((d_mu_dx[i, j] * y) * dt))
        return ((a * inv_t1) * (b * inv_t2)) + (c * inv_t1), False

    @numba.njit(cache=False)
    def numba_gamma_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon):
        n_paths, n_steps = dws.shape
        dt, m, inv_t1, inv_t2 = _numba_gamma_grid(n_steps, horizon)
        out = np.empty(n_paths)
        for i in range(n_paths):
            g, zero = _numba_gamma_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i,
                                        m, dt, inv_t1, inv_t2)
            if zero:
                raise ValueError("zero sigma")
            out[i] = g
        return out

    @numba.njit(cache=False, parallel=True)
    def numba_gamma_tangent_flow_prange(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                        horizon):
        n_paths, n_steps = dws.shape
        dt, m, inv_t1, inv_t2 = _numba_gamma_grid(n_steps, horizon)
        out = np.empty(n_paths)
        # A raise inside prange keeps Numba from parallelising: flag instead.
        zero = np.zeros(n_paths, dtype=np.bool_)
        for i in numba.prange(n_paths):
            out[i], zero[i] = _numba_gamma_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2,
                                                d2_sigma_dx2, i, m, dt, inv_t1, inv_t2)
        if zero.any():
            raise ValueError("zero sigma")
        return out

    @numba.njit(cache=False)
    def numba_greeks_tangent_call(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                  horizon, strike):
        n_paths, n_steps = dws.shape
        dt, m, inv_t1, inv_t2 = _numba_gamma_grid(n_steps, horizon)
        inv_horizon = 1.0 / horizon
        p1 = p2 = d1 = d2 = g1 = g2 = 0.0
        for i in range(n_paths):
            w = _numba_path(dws, sigma, d_mu_dx, d_sigma_dx, i, dt, inv_horizon)
            g, zero = _numba_gamma_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i,
                                        m, dt, inv_t1, inv_t2)
            diff = states[i, n_steps] - strike
            p = diff if diff > 0.0 else 0.0
            d = w * p
            gp = g * p
            p1, p2 = _numba_add(p1, p2, p)
            d1, d2 = _numba_add(d1, d2, d)
            g1, g2 = _numba_add(g1, g2, gp)
        return _numba_estimates(((p1, p2), (d1, d2), (g1, g2)), float(n_paths))



# --------------------------------------------------------------------- weighted averages
#
# The whole-window delta weight for payoffs of A = sum_k a_k X_k, as a user writes it
# from its formula: a forward pass for Y (and P, Q), then a backward pass with the
# suffix sums R_j, R2_j, S_j, S2_j. Not quorvane's operation order: they agree to a
# tolerance.

def numpy_average_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon, a):
    """The formula vectorised over paths: Y stored as an (n_paths, n_steps + 1) array."""
    n_paths, n_steps = dws.shape
    dt = horizon / n_steps
    last = int(np.flatnonzero(a[1:])[-1]) + 1
    y = np.empty((n_paths, n_steps + 1))
    y[:, 0] = 1.0
    for j in range(n_steps):
        y[:, j + 1] = y[:, j] + ((d_sigma_dx[:, j] * y[:, j]) * dws[:, j] + (d_mu_dx[:, j] * y[:, j]) * dt)
    k = np.arange(n_steps + 1, dtype=np.float64)
    p = y @ a
    q = y @ (a * k)
    c = p / q
    r = np.zeros(n_paths)
    r2 = np.zeros(n_paths)
    s = np.zeros(n_paths)
    s2 = np.zeros(n_paths)
    pi = np.zeros(n_paths)
    e_next = np.zeros(n_paths)
    for j in range(n_steps - 1, -1, -1):
        s = s + e_next * r  # S_j = S_{j+1} + e_{j+1} R_{j+1}
        s2 = s2 + e_next * r2
        r = r + a[j + 1] * y[:, j + 1]  # R_j
        r2 = r2 + (a[j + 1] * (j + 1)) * y[:, j + 1]
        sig, dsig = sigma[:, j], d_sigma_dx[:, j]
        if j < last:
            dp = dsig * (y[:, j] / y[:, j + 1]) * r + (sig / y[:, j + 1]) * s
            dq = dsig * (y[:, j] / y[:, j + 1]) * r2 + (sig / y[:, j + 1]) * s2
            dc = (dp * q - p * dq) / (q * q)
            pi = pi + (c * y[:, j + 1] * dws[:, j] / (sig * dt) - dc * y[:, j + 1] / sig
                       - c * y[:, j] * dsig / sig)
        h = d2_mu_dx2[:, j] * dt + d2_sigma_dx2[:, j] * dws[:, j]
        e_next = h * y[:, j] * y[:, j] / y[:, j + 1]
    return pi


def numpy_price_and_delta_average_call(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                       horizon, a, strike):
    w = numpy_average_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon, a)
    p = np.maximum(states @ a - strike, 0.0)
    d = w * p
    n = p.size
    return float(p.mean()), float(d.mean()), math.sqrt(p.var() / n), math.sqrt(d.var() / n)


def numpy_average_constant_flow(monitored, w_terminals, times, a, sigma0, slope):
    """The GBM weight [W A / B - s (1 - A C / B^2)] / sigma0 with NumPy's products."""
    big_a = monitored @ a
    big_b = monitored @ (a * times)
    big_c = monitored @ (a * times * times)
    return (w_terminals * big_a / big_b - slope * (1.0 - big_a * big_c / (big_b * big_b))) / sigma0


if numba is not None:

    @numba.njit(cache=False, inline="always")
    def _numba_average_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i, dt, a, last, y):
        """The weight of path i, Y kept in the scratch y (n_steps + 1); NaN on a zero sigma."""
        n_steps = dws.shape[1]
        y[0] = 1.0
        p = a[0]
        q = 0.0
        for j in range(n_steps):
            if sigma[i, j] == 0.0:
                return math.nan
            y[j + 1] = y[j] + ((d_sigma_dx[i, j] * y[j]) * dws[i, j] + (d_mu_dx[i, j] * y[j]) * dt)
            p += a[j + 1] * y[j + 1]
            q += (a[j + 1] * (j + 1)) * y[j + 1]
        c = p / q
        r = r2 = s = s2 = e_next = pi = 0.0
        for j in range(n_steps - 1, -1, -1):
            s += e_next * r
            s2 += e_next * r2
            r += a[j + 1] * y[j + 1]
            r2 += (a[j + 1] * (j + 1)) * y[j + 1]
            sig = sigma[i, j]
            dsig = d_sigma_dx[i, j]
            dw = dws[i, j]
            if j < last:
                ratio = y[j] / y[j + 1]
                dp = dsig * ratio * r + (sig / y[j + 1]) * s
                dq = dsig * ratio * r2 + (sig / y[j + 1]) * s2
                dc = (dp * q - p * dq) / (q * q)
                pi += c * y[j + 1] * dw / (sig * dt) - dc * y[j + 1] / sig - c * y[j] * dsig / sig
            h = d2_mu_dx2[i, j] * dt + d2_sigma_dx2[i, j] * dw
            e_next = h * y[j] * y[j] / y[j + 1]
        return pi

    @numba.njit(cache=False)
    def _numba_last(a):
        last = 0
        for k in range(1, a.size):
            if a[k] != 0.0:
                last = k
        return last

    @numba.njit(cache=False)
    def numba_average_tangent_flow(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon, a):
        n_paths, n_steps = dws.shape
        dt = horizon / n_steps
        last = _numba_last(a)
        y = np.empty(n_steps + 1)
        out = np.empty(n_paths)
        for i in range(n_paths):
            out[i] = _numba_average_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i, dt, a,
                                         last, y)
            if math.isnan(out[i]):
                raise ValueError("zero sigma")
        return out

    @numba.njit(cache=False, parallel=True)
    def numba_average_tangent_flow_prange(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon,
                                          a):
        n_paths, n_steps = dws.shape
        dt = horizon / n_steps
        last = _numba_last(a)
        out = np.empty(n_paths)
        block = 256  # paths per task, each with its own scratch for Y
        n_blocks = (n_paths + block - 1) // block
        # A raise inside prange keeps Numba from parallelising: flag instead.
        zero = np.zeros(n_blocks, dtype=np.bool_)
        for b in numba.prange(n_blocks):
            y = np.empty(n_steps + 1)
            for i in range(b * block, min(n_paths, (b + 1) * block)):
                out[i] = _numba_average_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i, dt,
                                             a, last, y)
                if math.isnan(out[i]):
                    zero[b] = True
        if zero.any():
            raise ValueError("zero sigma")
        return out

    @numba.njit(cache=False)
    def numba_price_and_delta_average_call(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                           horizon, a, strike):
        n_paths, n_steps = dws.shape
        dt = horizon / n_steps
        last = _numba_last(a)
        y = np.empty(n_steps + 1)
        p1 = p2 = d1 = d2 = 0.0
        for i in range(n_paths):
            w = _numba_average_path(dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, i, dt, a,
                                    last, y)
            if math.isnan(w):
                raise ValueError("zero sigma")
            average = 0.0
            for k in range(n_steps + 1):
                average += a[k] * states[i, k]
            diff = average - strike
            p = diff if diff > 0.0 else 0.0
            p1, p2 = _numba_add(p1, p2, p)
            d1, d2 = _numba_add(d1, d2, w * p)
        return _numba_estimate(p1, p2, d1, d2, float(n_paths))

    @numba.njit(cache=False)
    def numba_average_constant_flow(monitored, w_terminals, times, a, sigma0, slope):
        n_paths, n_dates = monitored.shape
        out = np.empty(n_paths)
        for i in range(n_paths):
            big_a = big_b = big_c = 0.0
            for k in range(n_dates):
                at = a[k] * times[k]
                big_a += a[k] * monitored[i, k]
                big_b += at * monitored[i, k]
                big_c += (at * times[k]) * monitored[i, k]
            ratio = big_a * big_c / (big_b * big_b)
            out[i] = (w_terminals[i] * big_a / big_b - slope * (1.0 - ratio)) / sigma0
        return out



# --------------------------------------------------------------------- cases

def compared(group: str, label: str, work: float, unit: str, ours: Callable[[], Any],
             contenders: dict[str, Callable[[], Any]], close: tuple[str, ...] = (),
             **options: Any) -> Case:
    """A case timing ``ours`` beside each contender (those named "Numba..." only when
    Numba is installed). Its check asks every contender for quorvane's bits, except
    those named in ``close``, which sum in another order and need only agree to
    rtol=1e-6."""
    others = {name: fn for name, fn in contenders.items()
              if numba is not None or not name.startswith("Numba")}

    def check() -> None:
        result = ours()
        for name, fn in others.items():
            if name in close:
                assert_close(result, fn(), f"{group} vs {name}", rtol=1e-6)
            else:
                assert_bits(result, fn(), f"{group} vs {name}")

    return Case(group, label, work, unit, ours, others, check, **options)


def sizes(quick: bool) -> list[int]:
    return [1_000, 100_000] if quick else [1_000, 100_000, 10_000_000]


def greeks_sizes(quick: bool) -> list[int]:
    return [1_000, 100_000] if quick else [1_000, 100_000, 10_000_000, 1 << 24]


def cases_price_from_samples(quick: bool) -> list[Case]:
    rng = np.random.default_rng(1)
    out = []
    for n in sizes(quick):
        for layout in ("contiguous", "strided"):
            base = rng.standard_normal(2 * n if layout == "strided" else n)
            x = base[::2] if layout == "strided" else base
            out.append(compared("price_from_samples", f"{n:.0e} {layout}", n, "samples",
                                lambda x=x: quorvane.price_from_samples(x),
                                {"NumPy": lambda x=x: numpy_mean_stderr(x),
                                 "Numba": lambda x=x: numba_mean_stderr(x)},
                                close=("NumPy",), reads=[x]))
    return out


def cases_bel_weights_constant_flow(quick: bool) -> list[Case]:
    rng = np.random.default_rng(2)
    out = []
    horizon, sigma0 = 1.0, 20.0
    for n in sizes(quick):
        w = rng.standard_normal(n)
        out.append(compared("bel_weights_constant_flow", f"{n:.0e}", n, "paths",
                            lambda w=w: quorvane.bel_weights_constant_flow(w, horizon, sigma0),
                            {"NumPy": lambda w=w: w * (1.0 / (horizon * sigma0)),
                             "Numba": lambda w=w: numba_weights_constant_flow(w, horizon, sigma0)},
                            reads=[w]))
    return out


def constant_flow_cases(group: str, seed: int, counts: list[int], ours: Callable[..., Any],
                        contenders: dict[str, Callable[..., Any]], greeks: bool) -> list[Case]:
    """A call on GBM terminal values, X_T = X0 exp(-v^2 T / 2 + v W_T), for each count:
    ``ours(*arguments, "call", strike)`` beside ``contender(*arguments, strike)``, the
    arguments (X_T, W_T, T, sigma(X0)), and with ``greeks`` also sigma' and v."""
    rng = np.random.default_rng(seed)
    out = []
    x0, vol, horizon, strike = 100.0, 0.2, 1.0, 100.0
    for n in counts:
        wt = rng.standard_normal(n)
        xt = x0 * np.exp(-0.5 * vol * vol * horizon + vol * wt)
        args = (xt, wt, horizon, vol * x0) + ((vol, vol) if greeks else ())
        out.append(compared(group, "2^24" if n == 1 << 24 else f"{n:.0e}", n, "paths",
                            lambda a=args: ours(*a, "call", strike),
                            {name: lambda a=args, fn=fn: fn(*a, strike) for name, fn in contenders.items()},
                            close=("NumPy",), reads=[xt, wt]))
    return out


def cases_price_and_delta_constant_flow(quick: bool) -> list[Case]:
    return constant_flow_cases("price_and_delta_constant_flow (call)", 3, sizes(quick),
                               quorvane.price_and_delta_constant_flow,
                               {"NumPy": numpy_price_and_delta_call,
                                "Numba": lambda *a: numba_price_and_delta_call(*a)}, greeks=False)


def cases_price_and_greeks_constant_flow(quick: bool) -> list[Case]:
    return constant_flow_cases("price_and_greeks_constant_flow (call)", 6, greeks_sizes(quick),
                               quorvane.price_and_greeks_constant_flow,
                               {"NumPy": numpy_greeks_constant_flow_call,
                                "Numba": lambda *a: numba_greeks_constant_flow_call(*a)}, greeks=True)


def path_batch(n_paths, n_steps, order="C", seed=4):
    """A local-volatility-like batch: sigma bounded away from zero."""
    rng = np.random.default_rng(seed)
    dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(1.0 / n_steps)
    states = np.asarray(1.0 + 0.1 * rng.standard_normal((n_paths, n_steps + 1)), order=order)
    sigma = np.asarray(0.2 + 0.05 * rng.random((n_paths, n_steps)), order=order)
    d_mu_dx = np.asarray(np.full((n_paths, n_steps), 0.03), order=order)
    d_sigma_dx = np.asarray(0.1 * rng.standard_normal((n_paths, n_steps)), order=order)
    return states, np.asarray(dws, order=order), sigma, d_mu_dx, d_sigma_dx


def gamma_batch(n_paths, n_steps, order="C", seed=7):
    """A CEV-like batch with second derivatives; sigma bounded away from zero."""
    states, dws, sigma, d_mu_dx, d_sigma_dx = path_batch(n_paths, n_steps, order, seed)
    rng = np.random.default_rng(seed + 1)
    d2_mu_dx2 = np.asarray(np.zeros((n_paths, n_steps)), order=order)
    d2_sigma_dx2 = np.asarray(-0.05 * rng.random((n_paths, n_steps)), order=order)
    return states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2


def tangent_shapes(quick):
    if quick:
        return [(1_000, 64, "C"), (20_000, 64, "C"), (20_000, 64, "F")]
    return [(1_000, 64, "C"), (100_000, 64, "C"), (100_000, 64, "F"), (65_536, 256, "C"),
            (65_536, 256, "F")]


# What each tangent-flow function reads of a batch (states, dws, sigma, mu', sigma'
# [, mu'', sigma'']): the views its read bound is measured on.

def delta_reads(b: tuple) -> list[np.ndarray]:
    """The delta recursion's four arrays, every step."""
    return list(b[1:5])


def terminal_read(b: tuple) -> list[np.ndarray]:
    """The states' last column, the payoff's argument."""
    return [b[0][:, -1]]


def gamma_reads(b: tuple) -> list[np.ndarray]:
    """The delta recursion's arrays, and the second derivatives over the first
    floor(N / 2) steps only (the second interval does not update Z)."""
    half = b[1].shape[1] // 2
    return delta_reads(b) + [b[5][:, :half], b[6][:, :half]]


def six_reads(b: tuple) -> list[np.ndarray]:
    """All six arrays, every step (the average's recursion, the variations)."""
    return list(b[1:7])


def tangent_cases(group: str, shapes: list[tuple[int, int, str]], batch: Callable[..., tuple],
                  ours: Callable[..., Any], contenders: dict[str, Callable[..., Any]],
                  close: tuple[str, ...] = (), reads: Callable[[tuple], list[np.ndarray]] = delta_reads,
                  **options: Any) -> list[Case]:
    """One case per (paths, steps, layout): ``ours(*arrays)`` beside each contender(*arrays),
    the arrays from ``batch``. The read bound is that of ``reads(arrays)``; a batch under
    1000 path-steps also shows the time difference. ``resident`` builds the same call on a
    batch of the same steps and layout that stays in cache."""
    out = []
    for n, m, order in shapes:
        b = batch(n, m, order)

        def resident(m=m, order=order, per_path=read_bytes(reads(b)) / n) -> tuple[float, Callable[[], Any]]:
            threads = options.get("threads", 1)
            paths = max(64, int(threads * cache_bytes() / 2 / per_path) // 64 * 64)
            small = batch(paths, m, order)
            return paths * m, lambda: ours(*small)

        out.append(compared(group, f"{n:,} × {m} {order}", n * m, "path-steps", lambda b=b: ours(*b),
                            {name: lambda b=b, fn=fn: fn(*b) for name, fn in contenders.items()},
                            close=close, show_difference=n * m < 1000, reads=reads(b),
                            resident=resident, **options))
    return out


def cases_bel_weights_tangent_flow(quick: bool) -> list[Case]:
    return tangent_cases("bel_weights_tangent_flow", tangent_shapes(quick), path_batch,
                         lambda *b: quorvane.bel_weights_tangent_flow(*b, 1.0),
                         {"NumPy": lambda _, *b: numpy_tangent_flow(*b, 1.0),
                          "Numba": lambda _, *b: numba_tangent_flow(*b, 1.0)})


def cases_price_and_delta_tangent_flow(quick: bool) -> list[Case]:
    return tangent_cases("price_and_delta_tangent_flow (call)", tangent_shapes(quick), path_batch,
                         lambda *b: quorvane.price_and_delta_tangent_flow(*b, 1.0, "call", 1.0),
                         {"NumPy": lambda *b: numpy_price_and_delta_tangent_call(*b, 1.0, 1.0),
                          "Numba": lambda *b: numba_price_and_delta_tangent_call(*b, 1.0, 1.0)},
                         close=("NumPy",), reads=lambda b: terminal_read(b) + delta_reads(b))


def cases_bel_weights_tangent_flow_parallel(quick: bool) -> list[Case]:
    return tangent_cases("bel_weights_tangent_flow_parallel", [(10, 4, "C")] + tangent_shapes(quick),
                         path_batch, lambda *b: quorvane.bel_weights_tangent_flow_parallel(*b, 1.0),
                         {"serial": lambda *b: quorvane.bel_weights_tangent_flow(*b, 1.0),
                          "Numba prange": lambda _, *b: numba_tangent_flow_prange(*b, 1.0)},
                         threads=pool_threads())


def cases_bel_weights_gamma_tangent_flow(quick: bool) -> list[Case]:
    return tangent_cases("bel_weights_gamma_tangent_flow", tangent_shapes(quick), gamma_batch,
                         lambda *b: quorvane.bel_weights_gamma_tangent_flow(*b, 1.0),
                         {"NumPy": lambda _, *b: numpy_gamma_tangent_flow(*b, 1.0),
                          "Numba": lambda _, *b: numba_gamma_tangent_flow(*b, 1.0)}, reads=gamma_reads)


def cases_bel_weights_gamma_tangent_flow_parallel(quick: bool) -> list[Case]:
    return tangent_cases("bel_weights_gamma_tangent_flow_parallel",
                         [(10, 4, "C")] + [s for s in tangent_shapes(quick) if s[2] == "C"], gamma_batch,
                         lambda *b: quorvane.bel_weights_gamma_tangent_flow_parallel(*b, 1.0),
                         {"serial": lambda *b: quorvane.bel_weights_gamma_tangent_flow(*b, 1.0),
                          "Numba prange": lambda _, *b: numba_gamma_tangent_flow_prange(*b, 1.0)},
                         reads=gamma_reads, threads=pool_threads())


def cases_price_and_greeks_tangent_flow(quick: bool) -> list[Case]:
    return tangent_cases("price_and_greeks_tangent_flow (call)", tangent_shapes(quick)[:3], gamma_batch,
                         lambda *b: quorvane.price_and_greeks_tangent_flow(*b, 1.0, "call", 1.0),
                         {"NumPy": lambda *b: numpy_greeks_tangent_call(*b, 1.0, 1.0),
                          "Numba": lambda *b: numba_greeks_tangent_call(*b, 1.0, 1.0)},
                         close=("NumPy",), reads=lambda b: terminal_read(b) + gamma_reads(b))


def cases_price_and_delta_tangent_flow_parallel(quick: bool) -> list[Case]:
    return tangent_cases("price_and_delta_tangent_flow_parallel (call)", tangent_shapes(quick), path_batch,
                         lambda *b: quorvane.price_and_delta_tangent_flow_parallel(*b, 1.0, "call", 1.0),
                         {"serial": lambda *b: quorvane.price_and_delta_tangent_flow(*b, 1.0, "call", 1.0)},
                         reads=lambda b: terminal_read(b) + delta_reads(b), threads=pool_threads())


def cases_price_and_greeks_tangent_flow_parallel(quick: bool) -> list[Case]:
    return tangent_cases("price_and_greeks_tangent_flow_parallel (call)", tangent_shapes(quick)[:3],
                         gamma_batch,
                         lambda *b: quorvane.price_and_greeks_tangent_flow_parallel(*b, 1.0, "call", 1.0),
                         {"serial": lambda *b: quorvane.price_and_greeks_tangent_flow(*b, 1.0, "call", 1.0)},
                         reads=lambda b: terminal_read(b) + gamma_reads(b), threads=pool_threads())


def cases_price_and_greeks_tangent_flow_localised(quick: bool) -> list[Case]:
    return tangent_cases("price_and_greeks_tangent_flow_localised (call)", tangent_shapes(quick)[:3],
                         gamma_batch,
                         lambda *b: quorvane.price_and_greeks_tangent_flow_localised(*b, 1.0, "call", 1.0),
                         {}, reads=lambda b: terminal_read(b) + six_reads(b))


def cases_price_and_greeks_tangent_flow_localised_parallel(quick: bool) -> list[Case]:
    return tangent_cases("price_and_greeks_tangent_flow_localised_parallel (call)", tangent_shapes(quick)[:3],
                         gamma_batch,
                         lambda *b: quorvane.price_and_greeks_tangent_flow_localised_parallel(
                             *b, 1.0, "call", 1.0),
                         {"serial": lambda *b: quorvane.price_and_greeks_tangent_flow_localised(
                             *b, 1.0, "call", 1.0)},
                         reads=lambda b: terminal_read(b) + six_reads(b), threads=pool_threads())


def average_weights_of(n_steps: int) -> np.ndarray:
    """An arithmetic Asian from step 1: a_0 = 0, then 1 / n_steps at every column."""
    return np.concatenate(([0.0], np.full(n_steps, 1.0 / n_steps)))


def cases_bel_weights_average_tangent_flow(quick: bool) -> list[Case]:
    return tangent_cases("bel_weights_average_tangent_flow", tangent_shapes(quick), gamma_batch,
                         lambda *b: quorvane.bel_weights_average_tangent_flow(
                             *b, 1.0, average_weights_of(b[1].shape[1])),
                         {"NumPy": lambda _, *b: numpy_average_tangent_flow(
                             *b, 1.0, average_weights_of(b[0].shape[1])),
                          "Numba": lambda _, *b: numba_average_tangent_flow(
                              *b, 1.0, average_weights_of(b[0].shape[1]))},
                         close=("NumPy", "Numba"), reads=six_reads)


def cases_bel_weights_average_tangent_flow_parallel(quick: bool) -> list[Case]:
    return tangent_cases("bel_weights_average_tangent_flow_parallel",
                         [(10, 4, "C")] + [s for s in tangent_shapes(quick) if s[2] == "C"], gamma_batch,
                         lambda *b: quorvane.bel_weights_average_tangent_flow_parallel(
                             *b, 1.0, average_weights_of(b[1].shape[1])),
                         {"serial": lambda *b: quorvane.bel_weights_average_tangent_flow(
                             *b, 1.0, average_weights_of(b[1].shape[1])),
                          "Numba prange": lambda _, *b: numba_average_tangent_flow_prange(
                              *b, 1.0, average_weights_of(b[0].shape[1]))},
                         close=("Numba prange",), reads=six_reads, threads=pool_threads())


def cases_price_and_delta_average_tangent_flow(quick: bool) -> list[Case]:
    return tangent_cases("price_and_delta_average_tangent_flow (call)", tangent_shapes(quick)[:3],
                         gamma_batch,
                         lambda *b: quorvane.price_and_delta_average_tangent_flow(
                             *b, 1.0, average_weights_of(b[1].shape[1]), "call", 1.0),
                         {"NumPy": lambda *b: numpy_price_and_delta_average_call(
                             *b, 1.0, average_weights_of(b[1].shape[1]), 1.0),
                          "Numba": lambda *b: numba_price_and_delta_average_call(
                              *b, 1.0, average_weights_of(b[1].shape[1]), 1.0)},
                         close=("NumPy", "Numba"), reads=lambda b: [b[0]] + six_reads(b))


def cases_bel_weights_average_constant_flow(quick: bool) -> list[Case]:
    """GBM at 52 weekly dates (a weekly Asian), the weights of every path."""
    rng = np.random.default_rng(9)
    x0, vol, n_dates = 100.0, 0.2, 52
    times = np.arange(1, n_dates + 1) / n_dates
    a = np.full(n_dates, 1.0 / n_dates)
    out = []
    for n in ([1_000, 20_000] if quick else [1_000, 100_000, 1_000_000]):
        w = np.cumsum(rng.standard_normal((n, n_dates)) * math.sqrt(1.0 / n_dates), axis=1)
        monitored = x0 * np.exp(-0.5 * vol * vol * times + vol * w)
        wt = w[:, -1].copy()
        args = (monitored, wt, times, a)
        out.append(compared("bel_weights_average_constant_flow", f"{n:,} × {n_dates}", n * n_dates,
                            "path-dates",
                            lambda g=args: quorvane.bel_weights_average_constant_flow(*g, 1.0, vol * x0, vol),
                            {"NumPy": lambda g=args: numpy_average_constant_flow(*g, vol * x0, vol),
                             "Numba": lambda g=args: numba_average_constant_flow(*g, vol * x0, vol)},
                            close=("NumPy", "Numba"), reads=[monitored, wt]))
    return out


GROUPS: dict[str, Callable[[bool], list[Case]]] = {
    "price_from_samples": cases_price_from_samples,
    "bel_weights_constant_flow": cases_bel_weights_constant_flow,
    "price_and_delta_constant_flow": cases_price_and_delta_constant_flow,
    "bel_weights_tangent_flow": cases_bel_weights_tangent_flow,
    "price_and_delta_tangent_flow": cases_price_and_delta_tangent_flow,
    "bel_weights_tangent_flow_parallel": cases_bel_weights_tangent_flow_parallel,
    "price_and_greeks_constant_flow": cases_price_and_greeks_constant_flow,
    "bel_weights_gamma_tangent_flow": cases_bel_weights_gamma_tangent_flow,
    "bel_weights_gamma_tangent_flow_parallel": cases_bel_weights_gamma_tangent_flow_parallel,
    "price_and_greeks_tangent_flow": cases_price_and_greeks_tangent_flow,
    "price_and_delta_tangent_flow_parallel": cases_price_and_delta_tangent_flow_parallel,
    "price_and_greeks_tangent_flow_parallel": cases_price_and_greeks_tangent_flow_parallel,
    "price_and_greeks_tangent_flow_localised": cases_price_and_greeks_tangent_flow_localised,
    "price_and_greeks_tangent_flow_localised_parallel": cases_price_and_greeks_tangent_flow_localised_parallel,
    "bel_weights_average_tangent_flow": cases_bel_weights_average_tangent_flow,
    "bel_weights_average_tangent_flow_parallel": cases_bel_weights_average_tangent_flow_parallel,
    "price_and_delta_average_tangent_flow": cases_price_and_delta_average_tangent_flow,
    "bel_weights_average_constant_flow": cases_bel_weights_average_constant_flow,
}


# --------------------------------------------------------------------- efficiency
#
# Error per second: for each Greek, efficiency = 1 / (stderr^2 * seconds), the
# inverse of the time it takes to bring the standard error down to 1. Every
# method starts from the same standard normals (common random numbers), drawn
# once and not timed; a method's time is that of the code a user would run to
# get the Greek from them, added from its parts, each timed apart (median of
# repeats):
#   localised, plain BEL  the paths (the faster of the NumPy and the Numba
#                         simulation), for CEV the model's fields, and the call;
#   FD NumPy              a central difference with one NumPy re-simulation per
#                         bump (two, three for gamma), then the payoffs;
#   FD Numba              the same in one Numba loop per path over the bumped
#                         paths, summing the differences as it goes;
#   pathwise              f'(X_N) dX_N/dtheta where f' exists (call and put delta
#                         and vega): the paths (with the tangent Y_N for CEV, the
#                         faster of NumPy and Numba), then the samples.
# The bump is 1 % of X_0 for delta and gamma and 0.01 of the volatility for vega.

EFFICIENCY_X0, EFFICIENCY_T = 100.0, 1.0
GBM_RATE, GBM_VOL = 0.03, 0.2
CEV = quorvane.models.CEV(rate=0.03, vol=0.8, beta=0.7)  # sigma(X_0) = 20.1, 20 % at X_0
EFFICIENCY_STRIKES = (100.0, 120.0)  # at the money, and 20 % above it
EFFICIENCY_PAYOFFS = ("call", "put", "digital_call")
PAYOFF_CODES = {"call": 0, "put": 1, "digital_call": 2}
GREEK_CODES = {"delta": 0, "gamma": 1, "vega": 2}


def payoff_values(payoff: str, x: np.ndarray, strike: float) -> np.ndarray:
    if payoff == "call":
        return np.maximum(x - strike, 0.0)
    if payoff == "put":
        return np.maximum(strike - x, 0.0)
    return (x > strike).astype(np.float64)


def numpy_gbm_terminal(z: np.ndarray, x0: float, vol: float) -> tuple[np.ndarray, np.ndarray]:
    """Exact GBM on the grid t_j = j T / m from normals z (n, m), every path built:
    (X_T, W_T)."""
    m = z.shape[1]
    dt = EFFICIENCY_T / m
    w = np.cumsum(z * math.sqrt(dt), axis=1)
    x = x0 * np.exp((GBM_RATE - 0.5 * vol * vol) * (dt * np.arange(1, m + 1)) + vol * w)
    return x[:, -1], w[:, -1]


def numpy_cev_paths(dws: np.ndarray, x0: float, tangent: bool = False) -> Any:
    """Euler CEV paths absorbed at 0 from increments dws (n, m, column-major): the states
    (n, m + 1), or with ``tangent`` (X_N, Y_N = dX_N/dX_0)."""
    n, m = dws.shape
    dt = EFFICIENCY_T / m
    states = np.empty((n, m + 1), order="F")
    states[:, 0] = x0
    y = np.ones(n)
    for j in range(m):
        x = states[:, j]
        alive = x > 0.0
        power = np.power(np.where(alive, x, 1.0), CEV.beta - 1.0)
        if tangent:
            slope = np.where(alive, (CEV.vol * CEV.beta) * power, 0.0)
            y = y + ((slope * y) * dws[:, j] + (CEV.rate * y) * dt)
        sigma = np.where(alive, CEV.vol * (power * x), 0.0)
        states[:, j + 1] = np.maximum((x + (CEV.rate * x) * dt) + sigma * dws[:, j], 0.0)
    return (states[:, -1], y) if tangent else states


if numba is not None:

    @numba.njit(cache=False, inline="always")
    def _numba_payoff(x, strike, code):
        if code == 0:
            return x - strike if x > strike else 0.0
        if code == 1:
            return strike - x if x < strike else 0.0
        return 1.0 if x > strike else 0.0

    @numba.njit(cache=False, inline="always")
    def _numba_grid(z, horizon):
        """Paths n and steps m of the normals z (n, m), the step dt = horizon / m and
        sqrt(dt), which scales a normal into an increment."""
        n, m = z.shape
        dt = horizon / m
        return n, m, dt, math.sqrt(dt)

    @numba.njit(cache=False, inline="always")
    def _numba_cev_step(x, dw, dt, rate, vol, beta):
        if x <= 0.0:
            return 0.0
        nxt = (x + (rate * x) * dt) + (vol * x**beta) * dw
        return nxt if nxt > 0.0 else 0.0

    @numba.njit(cache=False)
    def numba_gbm_terminal(z, x0, vol, rate, horizon):
        n, m, dt, root = _numba_grid(z, horizon)
        drift = (rate - 0.5 * vol * vol) * dt
        xt = np.empty(n)
        wt = np.empty(n)
        for i in range(n):
            x = x0
            w = 0.0
            for j in range(m):
                dw = z[i, j] * root
                w += dw
                x *= math.exp(drift + vol * dw)
            xt[i] = x
            wt[i] = w
        return xt, wt

    @numba.njit(cache=False)
    def numba_cev_paths(z, x0, rate, vol, beta, horizon):
        """Row-major states (n, m + 1) and increments (n, m)."""
        n, m, dt, root = _numba_grid(z, horizon)
        states = np.empty((n, m + 1))
        dws = np.empty((n, m))
        for i in range(n):
            x = x0
            states[i, 0] = x
            for j in range(m):
                dw = z[i, j] * root
                dws[i, j] = dw
                x = _numba_cev_step(x, dw, dt, rate, vol, beta)
                states[i, j + 1] = x
        return states, dws

    @numba.njit(cache=False)
    def numba_cev_tangent(z, x0, rate, vol, beta, horizon):
        """(X_N, Y_N) per path."""
        n, m, dt, root = _numba_grid(z, horizon)
        xt = np.empty(n)
        yt = np.empty(n)
        for i in range(n):
            x = x0
            y = 1.0
            for j in range(m):
                dw = z[i, j] * root
                if x > 0.0:
                    y = y + (((vol * beta) * x ** (beta - 1.0)) * y) * dw + (rate * y) * dt
                x = _numba_cev_step(x, dw, dt, rate, vol, beta)
            xt[i] = x
            yt[i] = y
        return xt, yt

    @numba.njit(cache=False)
    def numba_fd(z, cev, x0, rate, vol, beta, horizon, strike, payoff, greek, h):
        """Mean and stderr of the central difference of one Greek (0 delta, 1 gamma, 2
        vega), every path re-simulated per bump from the same normals."""
        n, m, dt, root = _numba_grid(z, horizon)
        s1 = s2 = 0.0
        for i in range(n):
            if greek == 2:  # GBM vega: the volatility bumped
                up = down = x0
                drift_up = (rate - 0.5 * (vol + h) * (vol + h)) * dt
                drift_down = (rate - 0.5 * (vol - h) * (vol - h)) * dt
                for j in range(m):
                    dw = z[i, j] * root
                    up *= math.exp(drift_up + (vol + h) * dw)
                    down *= math.exp(drift_down + (vol - h) * dw)
                mid = 0.0
            else:
                up, mid, down = x0 + h, x0, x0 - h
                drift = (rate - 0.5 * vol * vol) * dt
                for j in range(m):
                    dw = z[i, j] * root
                    if cev:
                        up = _numba_cev_step(up, dw, dt, rate, vol, beta)
                        down = _numba_cev_step(down, dw, dt, rate, vol, beta)
                        if greek == 1:
                            mid = _numba_cev_step(mid, dw, dt, rate, vol, beta)
                    else:
                        step = math.exp(drift + vol * dw)
                        up *= step
                        down *= step
                        mid *= step
            fu = _numba_payoff(up, strike, payoff)
            fd = _numba_payoff(down, strike, payoff)
            if greek == 1:
                v = ((fu - 2.0 * _numba_payoff(mid, strike, payoff)) + fd) / (h * h)
            else:
                v = (fu - fd) / (2.0 * h)
            s1, s2 = _numba_add(s1, s2, v)
        return _numba_estimates(((s1, s2),), float(n))


def sample_stderr(samples: np.ndarray) -> float:
    return math.sqrt(float(samples.var()) / samples.size)


@dataclass
class EfficiencyRow:
    model: str
    payoff: str
    strike: float
    greek: str
    stderr: dict[str, float]  # per method
    seconds: dict[str, float]
    variance_ratio: float  # plain BEL's variance over the localised one's

    def efficiency(self, method: str) -> float:
        return 1.0 / (self.stderr[method] ** 2 * self.seconds[method])


EFFICIENCY_METHODS = ("localised", "plain BEL", "FD NumPy", "FD Numba", "pathwise")


def efficiency_rows(model: str, n: int, m: int, budget: float, rng: np.random.Generator) -> list[EfficiencyRow]:
    """Every (payoff, strike, Greek) of one model ("GBM" or "CEV") on n paths of m steps."""
    z = rng.standard_normal((n, m))
    x0, h, h_vol = EFFICIENCY_X0, 0.01 * EFFICIENCY_X0, 0.01
    timed: Callable[[Callable[[], Any]], float] = lambda fn: median_seconds(fn, budget, min_repeats=3)
    greeks = ("delta", "gamma", "vega") if model == "GBM" else ("delta", "gamma")
    gbm = model == "GBM"
    params = (GBM_RATE, GBM_VOL, 1.0) if gbm else (CEV.rate, CEV.vol, CEV.beta)
    # The paths, and what simulating them costs.
    if gbm:
        xt, wt = numpy_gbm_terminal(z, x0, GBM_VOL)
        t_paths = timed(lambda: numpy_gbm_terminal(z, x0, GBM_VOL))
        if numba is not None:
            t_paths = min(t_paths, timed(lambda: numba_gbm_terminal(z, x0, GBM_VOL, GBM_RATE, EFFICIENCY_T)))
        t_fields = 0.0
        t_tangent = t_paths
        resimulate: Callable[..., np.ndarray] = lambda x_start, vol=GBM_VOL: numpy_gbm_terminal(z, x_start, vol)[0]
        t_resimulate = timed(lambda: numpy_gbm_terminal(z, x0, GBM_VOL))
    else:
        dws = np.asfortranarray(z * math.sqrt(EFFICIENCY_T / m))
        states = numpy_cev_paths(dws, x0)
        t_paths = timed(lambda: numpy_cev_paths(dws, x0))
        if numba is not None:
            t_paths = min(t_paths, timed(lambda: numba_cev_paths(z, x0, *params, EFFICIENCY_T)))
        fields = CEV.fields(states)
        t_fields = timed(lambda: CEV.fields(states))
        batch = (states, dws, *fields)
        xt = states[:, -1]
        yt = numpy_cev_paths(dws, x0, tangent=True)[1]
        t_tangent = timed(lambda: numpy_cev_paths(dws, x0, tangent=True))
        if numba is not None:
            t_tangent = min(t_tangent, timed(lambda: numba_cev_tangent(z, x0, *params, EFFICIENCY_T)))
        resimulate = lambda x_start: numpy_cev_paths(dws, x_start)[:, -1]
        t_resimulate = t_paths if numba is None else timed(lambda: numpy_cev_paths(dws, x0))
    bumped = {"delta": (resimulate(x0 + h), resimulate(x0 - h)), "gamma": (resimulate(x0 + h), resimulate(x0 - h))}
    if gbm:
        bumped["vega"] = (resimulate(x0, GBM_VOL + h_vol), resimulate(x0, GBM_VOL - h_vol))
    rows = []
    for payoff in EFFICIENCY_PAYOFFS:
        for strike in EFFICIENCY_STRIKES:
            if gbm:
                args = (xt, wt, EFFICIENCY_T, GBM_VOL * x0, GBM_VOL, GBM_VOL, payoff, strike)
                localised = lambda: quorvane.price_and_greeks_constant_flow_localised(*args)
                plain = lambda: quorvane.price_and_greeks_constant_flow(*args)
            else:
                args = (*batch, EFFICIENCY_T, payoff, strike)
                localised = lambda: quorvane.price_and_greeks_tangent_flow_localised(*args)
                plain = lambda: quorvane.price_and_greeks_tangent_flow(*args)
            loc, bel = localised(), plain()
            t_loc, t_bel = timed(localised), timed(plain)
            for greek in greeks:
                up, down = bumped[greek]
                step = h_vol if greek == "vega" else h

                def fd_samples(up=up, down=down, step=step, greek=greek) -> np.ndarray:
                    fu, fd = payoff_values(payoff, up, strike), payoff_values(payoff, down, strike)
                    if greek == "gamma":
                        return ((fu - 2.0 * payoff_values(payoff, xt, strike)) + fd) / (step * step)
                    return (fu - fd) / (2.0 * step)

                stderr = {"localised": getattr(loc, greek + "_stderr"), "plain BEL": getattr(bel, greek + "_stderr"),
                          "FD NumPy": sample_stderr(fd_samples())}
                seconds = {"localised": t_paths + t_fields + t_loc, "plain BEL": t_paths + t_fields + t_bel,
                           "FD NumPy": (3 if greek == "gamma" else 2) * t_resimulate + timed(fd_samples)}
                if numba is not None:
                    fd_numba = lambda greek=greek, step=step: numba_fd(
                        z, not gbm, x0, *params, EFFICIENCY_T, strike, PAYOFF_CODES[payoff], GREEK_CODES[greek], step)
                    stderr["FD Numba"] = float(fd_numba()[1])
                    seconds["FD Numba"] = timed(fd_numba)
                if payoff != "digital_call" and greek != "gamma":
                    sign = 1.0 if payoff == "call" else -1.0
                    itm = (xt > strike) if payoff == "call" else (xt < strike)
                    if greek == "delta":
                        tangent = xt / x0 if gbm else yt
                        pathwise = lambda itm=itm, tangent=tangent: sign * (itm * tangent)
                    else:
                        pathwise = lambda itm=itm: sign * (itm * (xt * (wt - GBM_VOL * EFFICIENCY_T)))
                    stderr["pathwise"] = sample_stderr(pathwise())
                    seconds["pathwise"] = t_tangent + timed(pathwise)
                ratio = (stderr["plain BEL"] / stderr["localised"]) ** 2
                rows.append(EfficiencyRow(model, payoff, strike, greek, stderr, seconds, ratio))
    return rows


def efficiency_table(quick: bool, budget: float) -> bool:
    """Prints the efficiency table; returns whether the localised estimator was the most
    efficient in every row and never more than 10 % worse than plain BEL in stderr."""
    n, m = (20_000, 16) if quick else (200_000, 64)
    rng = np.random.default_rng(20)
    print(f"\nEfficiency = 1 / (stderr^2 × seconds) per Greek, {n:,} paths × {m} steps "
          f"(GBM exact on the grid, CEV beta {CEV.beta} by Euler); the localised estimator's, "
          "then each other method's as a share of it (below 1: the localised one is more efficient).\n")
    print("| model | payoff | K | Greek | localised (1/s) | plain BEL | FD NumPy | FD Numba | pathwise "
          "| BEL var / localised var | most efficient |")
    print("|---|---|---:|---|---:|---:|---:|---:|---:|---:|---|")
    ok = True
    for model in ("GBM", "CEV"):
        for row in efficiency_rows(model, n, m, budget, rng):
            mine = row.efficiency("localised")
            cells = [f"{row.efficiency(name) / mine:.3g}" if name in row.stderr else "–"
                     for name in EFFICIENCY_METHODS[1:]]
            best = max(row.stderr, key=row.efficiency)
            worse = row.stderr["localised"] > 1.10 * row.stderr["plain BEL"]
            ok = ok and best == "localised" and not worse
            note = best + (" (localised stderr > 1.1 × BEL's)" if worse else "")
            print(f"| {row.model} | {row.payoff} | {row.strike:g} | {row.greek} | {mine:.3g} | "
                  f"{' | '.join(cells)} | {row.variance_ratio:.3g} | {note} |", flush=True)
    return ok


def machine() -> str:
    """The CPU (its model, whether virtual, its widest vector extension), logical
    CPUs, memory and OS, then the versions of what was measured."""
    cpu = platform.processor() or platform.machine()
    flags: set[str] = set()
    try:
        with open("/proc/cpuinfo") as f:  # the first processor's lines
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    cpu = value.strip()
                elif key.strip() == "flags":
                    flags = set(value.split())
                elif not line.strip():
                    break
    except OSError:
        pass
    traits = [next((name for flag, name in (("avx512f", "AVX-512"), ("avx2", "AVX2")) if flag in flags),
                   platform.machine())]
    if "hypervisor" in flags:
        traits.append("virtual machine")
    try:
        memory = f", {os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB"
    except (ValueError, OSError, AttributeError):
        memory = ""
    nb = f", Numba {numba.__version__}" if numba is not None else ""
    return (f"{cpu} ({', '.join(traits)}), {os.cpu_count()} logical CPUs{memory}; "
            f"{platform.system()} {platform.release()}; Python {platform.python_version()}, "
            f"NumPy {np.__version__}{nb}")


@dataclass
class Result:
    case: Case
    seconds: dict[str, float]  # "quorvane" and each contender
    bound: float | None  # read bound, work per second


@dataclass
class Measured:
    """One row of the results, as the plot needs it: throughput (work per second)
    of quorvane and of each contender, and the read bound."""
    group: str
    label: str
    work: float
    unit: str
    rates: dict[str, float]
    bound: float | None


def measured(result: Result) -> Measured:
    case = result.case
    return Measured(case.group, case.label, case.work, case.unit,
                    {name: case.work / seconds for name, seconds in result.seconds.items()}, result.bound)


def variant(label: str) -> str:
    """The layout word a case label ends in ("contiguous", "strided", "C", "F"), or ""."""
    last = label.split()[-1]
    return last if last in ("contiguous", "strided", "C", "F") else ""


def label_work(label: str) -> float:
    """The work of a case from its label: "1e+05 strided", "2^24", "100,000 × 64 F"."""
    size = label.removesuffix(variant(label)).strip().replace(",", "")
    work = 1.0
    for factor in size.split("×"):
        base, _, power = factor.strip().partition("^")
        work *= float(base) ** int(power) if power else float(base)
    return work


def read_table(path: str) -> tuple[str, list[Measured]]:
    """The title and rows of a recorded run: the output of this script, or the
    README's copy of it (its "Latest run:" line and table). The contenders'
    throughputs come from the ratios, as printed (three significant digits)."""
    title = ""
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith(("Machine: ", "Latest run: ")) and not title:
                title = "Machine: " + line.split(": ", 1)[1].removesuffix(".")
                continue
            cells = [c.strip() for c in line.strip("|").split("|")] if line.startswith("| ") else []
            if len(cells) != 6 or not cells[3].endswith("/s") or cells[0] == "function":
                continue
            group, label, _, throughput, bound, ratios = cells
            rate_text, _, unit = throughput.partition(" G ")
            rate = float(rate_text) * 1e9
            rates = {"quorvane": rate}
            for ratio in filter(None, (r.strip() for r in ratios.split(","))):
                name, _, value = ratio.split(" (")[0].rpartition(" ")
                rates[name] = rate / float(value.removesuffix("×"))
            limit = float(bound.split(" G/s")[0]) * 1e9 if bound else None
            rows.append(Measured(group, label, label_work(label), unit.removesuffix("/s"), rates, limit))
    if not rows:
        raise SystemExit(f"{path}: no benchmark table found")
    return title, rows


LAYOUTS = {  # line style, marker, whether the marker is hollow, legend text
    "": ("-", "o", False, ""),
    "C": ("-", "o", False, "C order (one row per path)"),
    "contiguous": ("-", "o", False, "contiguous"),
    "F": ("--", "s", True, "F order (one column per step)"),
    "strided": ("--", "s", True, "strided (every other element)"),
}
COLOURS = {"quorvane": "C0", "NumPy": "C1", "Numba": "C2", "Numba prange": "C2", "serial": "C4",
           "read bound": "black"}


def plot(rows: list[Measured], path: str, title: str) -> None:
    """Throughput against batch size, one panel per function: quorvane, its
    contenders and the read bound. Colour tells the code, line and marker the
    layout (solid with filled circles: C order or contiguous; dashed with hollow
    squares: F order or strided), so that coinciding layouts stay visible. One
    legend for the whole figure, above the panels, so that none covers data."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    from matplotlib.lines import Line2D

    groups = list(dict.fromkeys(r.group for r in rows))
    columns = 2 if len(groups) > 1 else 1
    n_rows = math.ceil(len(groups) / columns)
    header = 0.75  # inches above the panels for the title and the legend
    height = 4.2 * n_rows + header
    fig, axes = plt.subplots(n_rows, columns, figsize=(6.4 * columns, height), squeeze=False)
    names_seen: dict[str, None] = {}
    layouts_seen: dict[str, None] = {}
    for ax, group in zip(axes.flat, groups):
        mine = [r for r in rows if r.group == group]
        variants = list(dict.fromkeys(variant(r.label) for r in mine))
        names = list(dict.fromkeys(n for r in mine for n in r.rates)) + ["read bound"]
        for v in variants:
            line, marker, hollow, _ = LAYOUTS[v]
            rows_v = sorted((r for r in mine if variant(r.label) == v), key=lambda r: r.work)
            for name in names:
                points = [(r.work, r.rates.get(name) if name != "read bound" else r.bound) for r in rows_v]
                points = [(x, y) for x, y in points if y]
                if not points:
                    continue
                names_seen[name] = None
                layouts_seen[v] = None
                xs, ys = zip(*points)
                colour = COLOURS.get(name, "C7")
                ax.plot(xs, [y / 1e9 for y in ys], line, marker=marker, color=colour,
                        markerfacecolor="none" if hollow else colour, markersize=8 if hollow else 4.5,
                        markeredgewidth=1.4, linewidth=1.0 if name == "read bound" else 1.6)
        unit = mine[0].unit
        ax.set(xscale="log", yscale="log", title=group, xlabel=f"batch size ({unit})",
               ylabel=f"G {unit}/s")
        ax.margins(x=0.08, y=0.12)
        ax.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(groups):]:
        ax.set_visible(False)
    # Numba's prange form appears only where the plain one does not (the parallel
    # functions): one colour and one legend entry for both.
    prange = "Numba prange" in names_seen
    if prange and "Numba" not in names_seen:
        names_seen = {("Numba" if n == "Numba prange" else n): None for n in names_seen}
    labels = {"Numba": "Numba (prange for the parallel forms)" if prange else "Numba",
              "serial": "the serial form (of a parallel one)"}
    handles = [Line2D([], [], color=COLOURS.get(n, "C7"), linewidth=1.0 if n == "read bound" else 2.5,
                      label=labels.get(n, n))
               for n in names_seen if n != "Numba prange"]
    keys = []
    for v in layouts_seen:
        line, marker, hollow, text = LAYOUTS[v]
        if text:
            keys.append(Line2D([], [], linestyle=line, marker=marker, color="0.3", markersize=6,
                               markerfacecolor="white" if hollow else "0.3", markeredgewidth=1.4, label=text))
    # The legend fills column by column: the codes in its first row, the layouts in its second.
    columns_l = max(len(handles), len(keys))
    blank = Line2D([], [], linestyle="none", label=" ")
    handles += [blank] * (columns_l - len(handles))
    keys += [blank] * (columns_l - len(keys)) if keys else []
    handles = [h for pair in zip(handles, keys) for h in pair] if keys else handles
    fig.suptitle(f"Throughput against batch size (higher is faster)\n{title}", fontsize=11,
                 y=1.0 - 0.08 / height, va="top")
    fig.legend(handles=handles, loc="upper center", ncol=columns_l, fontsize=9, frameon=False,
               bbox_to_anchor=(0.5, 1.0 - 0.5 / height))
    fig.tight_layout(rect=(0.0, 0.0, 1.0, 1.0 - header / height))
    fig.savefig(path, dpi=110)


def verdict(rate: float, limit: float, resident: float, cached: bool) -> str:
    """What bounds a row, from its throughput out of cache (``rate``), its read
    bound and its throughput on a batch that stays in cache; ``cached``: the row's
    own reads fit in its threads' level-2 caches."""
    if rate >= 0.8 * limit:
        return "at the read bound"
    if cached:
        return (f"in cache already (its read bound is the cache's): compute or the call's fixed cost, "
                f"in cache {resident / 1e9:.3f} G/s")
    if resident < 0.9 * rate:  # beyond the noise of two timings
        return (f"undecided: the in-cache batch ({resident / 1e9:.3f} G/s) is slower than this one, so the "
                "call's fixed cost (the pool's start, the buffers) outweighs its work; see the serial form")
    if rate >= 0.8 * resident:
        return (f"compute-bound: in cache {resident / 1e9:.3f} ≈ out of cache {rate / 1e9:.3f} G/s, "
                "the arithmetic is the limit, not memory")
    return (f"memory-bound: in cache {resident / 1e9:.3f} G/s is {resident / rate:.1f}× out of cache; "
            f"it waits on reads that reach {rate / limit:.0%} of the read bound")


def diagnose(names: list[str], budget: float) -> None:
    """Each row's time and read bound as in the main table, beside the same call
    on a batch of the same steps and layout small enough to stay in cache (half a
    core's level-2 cache a thread): that throughput is what the arithmetic allows
    when memory costs nothing. A row below 80 % of its read bound is compute-bound
    when it comes within 80 % of its in-cache throughput, else memory-bound: it
    waits for reads it does not issue fast enough to saturate memory. Where the
    in-cache batch is the slower, its fixed cost (a parallel form's pool start and
    buffers on a batch this small) hides the arithmetic and no verdict is given. This stands
    in for hardware counters, which virtual machines often do not expose. The
    contenders are not run."""
    bound = ReadBound()
    print(f"Read bound: {bound.kind}; in cache: batches of up to {cache_bytes() // 2**10 // 2} KiB "
          f"of reads a thread, at least 64 paths; load average {os.getloadavg()[0]:.2f}.\n")
    print("| function | case | quorvane | throughput | read bound (share) | in cache | verdict |")
    print("|---|---|---:|---:|---:|---:|---|")
    for name in names:
        for case in GROUPS[name](False):
            ours = median_seconds(case.ours, budget)
            rate = case.work / ours
            limit = case.work / bound.seconds(case.reads, case.threads, budget)
            resident_text, note = "", ""
            if case.resident is not None:
                work, call = case.resident()
                resident = work / median_seconds(call, budget)
                resident_text = f"{resident / 1e9:.3f} G {case.unit}/s"
                cached = read_bytes(case.reads) <= case.threads * cache_bytes()
                note = verdict(rate, limit, resident, cached)
            print(f"| {case.group} | {case.label} | {ours * 1e6:,.1f} µs | {rate / 1e9:.3f} G {case.unit}/s | "
                  f"{limit / 1e9:.3f} G/s ({rate / limit:.0%}) | {resident_text} | {note} |", flush=True)
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--only", action="append", help="run only these groups (repeatable)")
    parser.add_argument("--budget", type=float, default=1.0, help="seconds per contender and case")
    parser.add_argument("--efficiency", action="store_true",
                        help="only the efficiency table (error per second of the localised Greeks)")
    parser.add_argument("--diagnose", action="store_true",
                        help="what bounds each tangent-flow row (or each --only group): quorvane alone, "
                             "its read bound, and the same call on a batch that stays in cache")
    parser.add_argument("--plot", metavar="PATH", help="also write a PNG of throughput against batch size")
    parser.add_argument("--replot", metavar="TABLE",
                        help="run nothing: draw --plot from a recorded run, the saved output of this "
                             "script or the README (its 'Latest run:' line and table)")
    options = parser.parse_args(argv)
    if options.replot:
        if not options.plot:
            parser.error("--replot needs --plot PATH")
        recorded_title, recorded = read_table(options.replot)
        plot(recorded, options.plot, recorded_title)
        print(f"plot: {options.plot} (from {options.replot})")
        return 0

    title = f"Machine: {machine()}  ({time.strftime('%Y-%m-%d')})"
    if options.efficiency:
        print(title)
        efficiency_table(options.quick, options.budget)
        return 0
    if options.diagnose:
        print(title)
        diagnose(options.only or [name for name in GROUPS if "tangent_flow" in name], options.budget)
        return 0
    names = options.only or list(GROUPS)
    bound = ReadBound()
    print(f"{title}\nRead bound: {bound.kind}; one thread, the pool's {pool_threads()} for the parallel form.\n")
    print("| function | case | quorvane | throughput | read bound (share) | contender time / quorvane time |")
    print("|---|---|---:|---:|---:|---|")
    results = []
    for name in names:
        for case in GROUPS[name](options.quick):
            if case.check is not None:
                case.check()
            ours = median_seconds(case.ours, options.budget)
            seconds = {"quorvane": ours}
            ratios = []
            for contender, fn in case.others.items():
                theirs = median_seconds(fn, options.budget)
                seconds[contender] = theirs
                text = f"{contender} {theirs / ours:.2f}×"
                if case.show_difference:
                    text += f" ({(ours - theirs) * 1e6:+.1f} µs)"
                ratios.append(text)
            rate = case.work / ours
            limit = case.work / bound.seconds(case.reads, case.threads, options.budget) if case.reads else None
            share = f"{limit / 1e9:.3f} G/s ({rate / limit:.0%})" if limit else ""
            print(f"| {case.group} | {case.label} | {ours * 1e6:,.1f} µs | "
                  f"{rate / 1e9:.3f} G {case.unit}/s | {share} | {', '.join(ratios)} |", flush=True)
            results.append(Result(case, seconds, limit))
    if not options.only:
        efficiency_table(options.quick, options.budget)
    if options.plot:
        plot([measured(r) for r in results], options.plot, title)
        print(f"\nplot: {options.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
