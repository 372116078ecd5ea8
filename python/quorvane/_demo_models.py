"""What the demo (``python -m quorvane``), the examples and the tests simulate: its
market parameters, Euler paths in NumPy and the CEV local-volatility model with
the coefficient fields that the tangent-flow functions take."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

X0, STRIKE, RATE, VOL, HORIZON = 100.0, 100.0, 0.03, 0.2, 1.0
Array = npt.NDArray[np.float64]


def norm_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def norm_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def euler_paths(x0: float, dws: Array, dt: float, mu: Callable[[Array], Array],
                sigma: Callable[[Array], Array]) -> Array:
    """Euler paths of dX = mu(X) dt + sigma(X) dW from x0, one row per path and
    n_steps + 1 columns, the first X_0."""
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = x0
    for j in range(dws.shape[1]):
        x = states[:, j]
        states[:, j + 1] = x + mu(x) * dt + sigma(x) * dws[:, j]
    return states


@dataclasses.dataclass(frozen=True)
class Cev:
    """dX = r X dt + s X^beta dW, sigma(x) = s x^beta. Euler can step below zero,
    so the powers are taken at max(x, floor)."""

    rate: float
    s: float
    beta: float
    floor: float

    def mu(self, x: Array) -> Array:
        return self.rate * x

    def sigma(self, x: Array) -> Array:
        return self.s * np.maximum(x, self.floor) ** self.beta

    def d_sigma_dx(self, x: Array) -> Array:
        return self.s * self.beta * np.maximum(x, self.floor) ** (self.beta - 1.0)

    def delta_fields(self, before: Array) -> tuple[Array, Array, Array]:
        """sigma, d mu/dx and d sigma/dx at the states before the steps."""
        return self.sigma(before), np.full_like(before, self.rate), self.d_sigma_dx(before)

    def gamma_fields(self, before: Array) -> tuple[Array, Array, Array, Array, Array]:
        """The delta fields, then d2 mu/dx2 and d2 sigma/dx2."""
        x = np.maximum(before, self.floor)
        d2_sigma_dx2 = self.s * self.beta * (self.beta - 1.0) * x ** (self.beta - 2.0)
        return (*self.delta_fields(before), np.zeros_like(before), d2_sigma_dx2)


# The demo's CEV model: beta 0.7, 20% local volatility at X0.
CEV = Cev(rate=RATE, s=VOL * X0 ** (1.0 - 0.7), beta=0.7, floor=1e-8)
