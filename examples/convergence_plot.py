"""Convergence of a digital-call delta: BEL weight versus finite differences.

Plots delta ± 2 standard errors against the number of paths for the BEL estimator
(constant flow, GBM) and for a central finite difference with common random numbers,
beside the closed form, and writes the figure to a PNG file.

Needs matplotlib, from the examples extra:

    pip install '.[examples]'              (from a checkout; from an index: 'quorvane[examples]')
    python examples/convergence_plot.py [--out PATH]       (default: ./convergence.png)
"""

from __future__ import annotations

import argparse
import math
import os
import sys

import numpy as np
import numpy.typing as npt

import quorvane

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    sys.exit("convergence_plot.py needs matplotlib: pip install 'quorvane[examples]' "
             "(or '.[examples]' from a checkout)")

X0, STRIKE, VOL, HORIZON, BUMP = 100.0, 105.0, 0.2, 1.0, 1.0
SEED = 20261209
PATH_COUNTS = [1_000, 2_000, 5_000, 10_000, 20_000, 50_000, 100_000, 200_000]


Row = tuple[int, float, float, float, float]


def closed_form_digital_delta() -> float:
    sd = VOL * math.sqrt(HORIZON)
    d2 = (math.log(X0 / STRIKE) - 0.5 * sd * sd) / sd
    return math.exp(-0.5 * d2 * d2) / math.sqrt(2.0 * math.pi) / (X0 * sd)


def estimates() -> list[Row]:
    """(n, BEL delta, BEL stderr, FD delta, FD stderr) on the first n of one set of paths."""
    rng = np.random.default_rng(SEED)
    w_t = rng.standard_normal(PATH_COUNTS[-1]) * math.sqrt(HORIZON)
    growth = np.exp(-0.5 * VOL * VOL * HORIZON + VOL * w_t)

    def digital(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        return (x > STRIKE).astype(np.float64)

    fd_samples = (digital((X0 + BUMP) * growth) - digital((X0 - BUMP) * growth)) / (2.0 * BUMP)
    rows: list[Row] = []
    for n in PATH_COUNTS:
        _, delta, _, delta_se = quorvane.price_and_delta_constant_flow(
            X0 * growth[:n], w_t[:n], HORIZON, VOL * X0, "digital_call", STRIKE)
        fd, fd_se = quorvane.price_from_samples(fd_samples[:n])
        rows.append((n, delta, delta_se, fd, fd_se))
    return rows


def plot(rows: list[Row], path: str) -> None:
    n = np.array([r[0] for r in rows], dtype=float)
    figure, axes = plt.subplots(figsize=(7.5, 4.5), dpi=100)
    for column, label, colour, shift in ((1, "BEL weight", "tab:blue", 0.97),
                                         (3, f"finite difference (bump {BUMP:g})", "tab:orange", 1.03)):
        value = np.array([r[column] for r in rows])
        error = 2.0 * np.array([r[column + 1] for r in rows])
        axes.errorbar(n * shift, value, yerr=error, fmt="o-", capsize=3, color=colour,
                      label=f"{label} ± 2 stderr")
    axes.axhline(closed_form_digital_delta(), color="black", linestyle="--", label="closed form")
    axes.set_xscale("log")
    axes.set_xlabel("number of paths")
    axes.set_ylabel("delta")
    axes.set_title(f"Digital call delta under GBM (X0={X0:g}, K={STRIKE:g}, vol={VOL:g}, T={HORIZON:g})")
    axes.legend()
    axes.grid(True, which="both", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", metavar="PATH", help="where to write the PNG (default: ./convergence.png)")
    parser.add_argument("path", nargs="?", help=argparse.SUPPRESS)  # the older spelling: the path alone
    options = parser.parse_args(argv)
    path = os.path.abspath(options.out or options.path or "convergence.png")
    rows = estimates()
    for n, delta, delta_se, fd, fd_se in rows:
        print(f"{n:>8,} paths   BEL {delta:.5f} ± {2 * delta_se:.5f}   FD {fd:.5f} ± {2 * fd_se:.5f}")
    plot(rows, path)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
