"""Printing for the examples that set a BEL estimate beside a central difference
on the same paths (common random numbers); not a script of its own."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import quorvane
from quorvane.models import CEV

Array = npt.NDArray[np.float64]


def cev_paths(model: CEV, x0: float, n_paths: int, n_steps: int, horizon: float,
              seed: int) -> tuple[Array, Array]:
    """Euler paths of ``model`` from ``x0`` and their increments; stops the script when
    a path reached 0, where it has no BEL weight."""
    states, dws = model.simulate(x0, n_paths, n_steps, horizon, np.random.default_rng(seed))
    if model.absorbed(states).any():
        raise SystemExit("a path reached 0: it has no BEL weight (see CEV in quorvane.models)")
    return states, dws


def report(label: str, estimate: float, stderr: float, note: str = "") -> None:
    print(f"  {label:<36}{estimate:+.6f} ± {stderr:.6f}{note}")


def gap(label: str, bel_samples: Array, fd_samples: Array) -> None:
    """The mean of the per-path differences and its standard error: common random
    numbers correlate the two estimates, so only the paired differences give it."""
    difference, stderr = quorvane.price_from_samples(bel_samples - fd_samples)
    report(label, difference, stderr, f"   ({difference / stderr:+.2f} stderr of the paired differences)")
