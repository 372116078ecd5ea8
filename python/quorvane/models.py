"""Ready-made scalar diffusions: Euler paths and the coefficient fields that the
tangent-flow functions take.

Each model is a diffusion dX = mu(t, X) dt + sigma(t, X) dW with two methods::

    model = quorvane.models.CEV(rate=0.03, vol=2.0, beta=0.5)
    states, dws = model.simulate(x0=100.0, n_paths=100_000, n_steps=64, horizon=1.0,
                                 rng=np.random.default_rng(7))
    f = model.fields(states)
    price, delta, price_se, delta_se = quorvane.price_and_delta_tangent_flow(
        states, dws, f.sigma, f.d_mu_dx, f.d_sigma_dx, 1.0, "call", 100.0)
    g = quorvane.price_and_greeks_tangent_flow(states, dws, *f, 1.0, "call", 100.0)

``fields(states, horizon=None)`` returns a ``Fields`` named tuple (``sigma``,
``d_mu_dx``, ``d_sigma_dx``, ``d2_mu_dx2``, ``d2_sigma_dx2``) of new float64
arrays of shape (n_paths, n_steps), each evaluated at the state before each step,
``states[:, :-1]``. The first three are the arguments of
``bel_weights_tangent_flow`` and ``price_and_delta_tangent_flow`` (``*f[:3]``),
all five those of ``bel_weights_gamma_tangent_flow`` and
``price_and_greeks_tangent_flow`` (``*f``).

``simulate(x0, n_paths, n_steps, horizon, rng)`` returns a ``Paths`` named tuple
``(states, dws)`` of the Euler scheme on the uniform grid t_j = j * dt,
dt = horizon / n_steps:

    dws    = sqrt(dt) * rng.standard_normal((n_paths, n_steps))
    states[:, 0] = x0
    states[:, j + 1] = (X_j + mu(t_j, X_j) * dt) + sigma(t_j, X_j) * dws[:, j]

rounded in that order (the order the package's demo and examples use), so a loop
written out by hand with the same generator gives the same bits. The normals are
drawn path by path (row-major), so the first k paths of a run are the k paths of
a run with ``n_paths=k`` and the same seed.

Layout: both arrays have one row per path, as every quorvane function expects,
and are stored column-major (Fortran order), so that each step's column is
contiguous. The Euler loop moves all paths one step at a time, reading and
writing whole columns: on the 2-core Xeon of the README's benchmark table,
simulating 100,000 GBM paths of 64 steps took 44 ms column-major against 217 ms
row-major, while the tangent-flow functions read both orders at the same speed
(that table: ``bel_weights_tangent_flow`` on 100,000 x 64, 0.400 G path-steps/s
in C order, 0.397 in F order; the gamma functions within about 10 % either way).
``states[:, :-1]`` of a column-major array is itself contiguous, and ``fields``
returns its arrays in the layout of the states it is given. Keep the five
fields, ``states`` and ``dws`` in one layout: with column-major states,
zero-stride ``np.broadcast_to`` views in place of the constant fields made the
functions two to three times slower.

Only a time-dependent model (``LocalVol``) needs the horizon in ``fields``, to
evaluate step j at t_j = j * horizon / n_steps; it raises ``ValueError`` without
it. The others accept and ignore it.

A path whose sigma is zero somewhere has no BEL weight: the weight functions
raise ``ValueError`` naming the element (``sigma[2, 5] = 0 produces division by
zero in BEL weight``). Of these models only ``CEV`` can produce one, when a path
is absorbed at 0; see ``CEV``.
"""

from __future__ import annotations

import abc
import dataclasses
import math
import operator
from collections.abc import Callable
from typing import ClassVar, NamedTuple, Optional, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

__all__ = ["ABM", "CEV", "GBM", "OU", "Coefficient", "Fields", "LocalVol", "Model", "Paths"]

Array = npt.NDArray[np.float64]
_Float = Union[SupportsFloat, SupportsIndex]

Coefficient = Callable[[float, Array], npt.ArrayLike]
"""A coefficient f(t, x) of ``LocalVol``: t a float, x a 1-D float64 array of states
(one per path, read-only), returning one value per state or one value for all."""


class Fields(NamedTuple):
    """The coefficient fields at the state before each step, each (n_paths, n_steps).

    ``*fields[:3]`` are the ``sigma, d_mu_dx, d_sigma_dx`` arguments of the delta
    functions, ``*fields`` the five arguments of the gamma functions.
    """

    sigma: Array
    d_mu_dx: Array
    d_sigma_dx: Array
    d2_mu_dx2: Array
    d2_sigma_dx2: Array


class Paths(NamedTuple):
    """Euler paths: ``states`` (n_paths, n_steps + 1), column 0 holding X_0, and the
    Brownian increments ``dws`` (n_paths, n_steps), both column-major."""

    states: Array
    dws: Array


def _finite(name: str, value: _Float) -> float:
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


def _positive(name: str, value: _Float) -> float:
    number = float(value)
    if not (number > 0.0 and math.isfinite(number)):
        raise ValueError(f"{name} must be positive and finite, got {number!r}")
    return number


# The metadata of a model's parameter (a dataclass field): its check, a float
# that is finite, or positive and finite. Making the model checks each
# parameter in the order declared and stores it as a Python float
# (Model.__post_init__).
_FINITE = {"check": _finite}
_POSITIVE = {"check": _positive}


def _count(name: str, value: SupportsIndex) -> int:
    number = operator.index(value)
    if number < 1:
        raise ValueError(f"{name} must be at least 1, got {number}")
    return number


def _before(states: Array) -> Array:
    """The state before each step, ``states[:, :-1]``, after checking ``states``."""
    if not isinstance(states, np.ndarray):
        raise TypeError(f"states must be a NumPy array, not {type(states).__name__}: "
                        "pass np.asarray(states, dtype=np.float64)")
    if states.dtype != np.float64:
        raise TypeError(f"states has dtype {states.dtype}; pass states.astype(np.float64)")
    if states.ndim != 2 or states.shape[1] < 2:
        raise ValueError(f"states must be (n_paths, n_steps + 1) with n_steps >= 1, "
                         f"got shape {states.shape}")
    return states[:, :-1]


class Model(abc.ABC):
    """A scalar diffusion dX = mu(t, X) dt + sigma(t, X) dW.

    Subclasses give the coefficients (``mu``, ``sigma``) and their fields; the
    Euler scheme and the checks are shared.
    """

    time_dependent: ClassVar[bool] = False
    """Whether the coefficients depend on t, so that ``fields`` needs the horizon."""

    def __post_init__(self) -> None:
        # The models are frozen dataclasses; each parameter declared with a check
        # (_FINITE, _POSITIVE) is checked in order and stored as a Python float.
        for field in dataclasses.fields(self):  # type: ignore[arg-type]
            check = field.metadata.get("check")
            if check is not None:
                object.__setattr__(self, field.name, check(field.name, getattr(self, field.name)))

    @abc.abstractmethod
    def mu(self, t: float, x: Array) -> Array:
        """The drift at time t and states x, one value per state."""

    @abc.abstractmethod
    def sigma(self, t: float, x: Array) -> Array:
        """The diffusion coefficient at time t and states x, one value per state."""

    @abc.abstractmethod
    def _fields(self, before: Array, dt: Optional[float]) -> Fields:
        """The fields at ``before`` (the states before each step); dt is None only
        for a model that does not depend on time."""

    def fields(self, states: Array, horizon: Optional[_Float] = None) -> Fields:
        """sigma, d mu/dx, d sigma/dx, d2 mu/dx2 and d2 sigma/dx2 at ``states[:, :-1]``.

        ``states`` is a float64 array (n_paths, n_steps + 1), any layout; the five
        arrays are new, writable, float64, (n_paths, n_steps), in the layout of
        ``states``. ``horizon`` (the T of the simulation) places step j at
        t_j = j * horizon / n_steps; only a time-dependent model needs it, and
        raises ``ValueError`` without it.
        """
        before = _before(states)
        dt: Optional[float] = None
        if horizon is not None:
            dt = _positive("horizon", horizon) / before.shape[1]
        elif self.time_dependent:
            raise ValueError(f"{type(self).__name__} depends on time: pass horizon= (the T of the "
                             "simulation), so that step j is evaluated at t_j = j * horizon / n_steps")
        return self._fields(before, dt)

    def _after_step(self, x: Array) -> Array:
        """The state kept after an Euler step (``CEV`` absorbs at 0)."""
        return x

    def simulate(self, x0: _Float, n_paths: SupportsIndex, n_steps: SupportsIndex, horizon: _Float,
                 rng: np.random.Generator) -> Paths:
        """Euler paths from x0 on the uniform grid t_j = j * horizon / n_steps.

        Returns ``Paths(states, dws)``: ``states`` (n_paths, n_steps + 1) with
        column 0 equal to x0, ``dws`` (n_paths, n_steps) equal to
        ``sqrt(dt) * rng.standard_normal((n_paths, n_steps))``, and
        ``states[:, j + 1] = (X_j + mu(t_j, X_j) * dt) + sigma(t_j, X_j) * dws[:, j]``
        in that order. Both arrays are column-major (Fortran order): the loop
        writes one column per step, which is contiguous in that order (five times
        faster than row-major for 100,000 x 64 paths), and the tangent-flow
        functions read both orders at the same speed. ``np.ascontiguousarray``
        gives row-major copies if you need them.
        """
        x_start = _finite("x0", x0)
        paths, steps = _count("n_paths", n_paths), _count("n_steps", n_steps)
        dt = _positive("horizon", horizon) / steps
        if not isinstance(rng, np.random.Generator):
            raise TypeError(f"rng must be a numpy.random.Generator, not {type(rng).__name__}: "
                            "pass np.random.default_rng(seed)")
        # sqrt(dt) * z, element by element, written straight into the column-major array.
        dws = np.empty((paths, steps), order="F")
        np.multiply(math.sqrt(dt), rng.standard_normal((paths, steps)), out=dws)
        states = np.empty((paths, steps + 1), order="F")
        states[:, 0] = x_start
        for j in range(steps):
            t = j * dt
            x = states[:, j]
            states[:, j + 1] = self._after_step(x + self.mu(t, x) * dt + self.sigma(t, x) * dws[:, j])
        return Paths(states, dws)


@dataclasses.dataclass(frozen=True)
class GBM(Model):
    """Geometric Brownian motion dX = rate X dt + vol X dW.

    Fields: sigma = vol * x, d_mu_dx = rate, d_sigma_dx = vol, both second
    derivatives 0. Euler states can fall to 0 or below only if vol * dW <= -1 - rate * dt in
    some step, which is negligible unless vol * sqrt(dt) is large.
    """

    rate: float = dataclasses.field(metadata=_FINITE)
    vol: float = dataclasses.field(metadata=_POSITIVE)

    def mu(self, t: float, x: Array) -> Array:
        return self.rate * x

    def sigma(self, t: float, x: Array) -> Array:
        return self.vol * x

    def _fields(self, before: Array, dt: Optional[float]) -> Fields:
        return Fields(self.vol * before, np.full_like(before, self.rate), np.full_like(before, self.vol),
                      np.zeros_like(before), np.zeros_like(before))


@dataclasses.dataclass(frozen=True)
class ABM(Model):
    """Arithmetic Brownian motion dX = drift dt + vol dW.

    Fields: sigma = vol, the three derivatives of sigma and d mu/dx 0 (all five
    constant arrays).
    """

    drift: float = dataclasses.field(metadata=_FINITE)
    vol: float = dataclasses.field(metadata=_POSITIVE)

    def mu(self, t: float, x: Array) -> Array:
        return np.full_like(x, self.drift)

    def sigma(self, t: float, x: Array) -> Array:
        return np.full_like(x, self.vol)

    def _fields(self, before: Array, dt: Optional[float]) -> Fields:
        return Fields(np.full_like(before, self.vol), np.zeros_like(before), np.zeros_like(before),
                      np.zeros_like(before), np.zeros_like(before))


@dataclasses.dataclass(frozen=True)
class OU(Model):
    """Ornstein-Uhlenbeck dX = kappa (theta - X) dt + vol dW.

    Fields: sigma = vol, d_mu_dx = -kappa, the rest 0. The drift is evaluated as
    kappa * (theta - x).
    """

    kappa: float = dataclasses.field(metadata=_FINITE)
    theta: float = dataclasses.field(metadata=_FINITE)
    vol: float = dataclasses.field(metadata=_POSITIVE)

    def mu(self, t: float, x: Array) -> Array:
        return self.kappa * (self.theta - x)

    def sigma(self, t: float, x: Array) -> Array:
        return np.full_like(x, self.vol)

    def _fields(self, before: Array, dt: Optional[float]) -> Fields:
        return Fields(np.full_like(before, self.vol), np.full_like(before, -self.kappa),
                      np.zeros_like(before), np.zeros_like(before), np.zeros_like(before))


def _power_above_zero(x: Array, scale: float, exponent: float) -> Array:
    """scale * x ** exponent where x > 0, else +0.0, with no warning for x <= 0.

    The power is taken of the states themselves (1.0 stands in elsewhere and is
    then discarded), so for x > 0 the bits are those of ``scale * x ** exponent``.
    """
    alive = x > 0.0
    result: Array = np.where(alive, scale * np.where(alive, x, 1.0) ** exponent, 0.0)
    return result


@dataclasses.dataclass(frozen=True)
class CEV(Model):
    """Constant elasticity of variance dX = rate X dt + vol X^beta dW, absorbed at 0.

    For x > 0: sigma = vol * x ** beta, d_sigma_dx = vol * beta * x ** (beta - 1),
    d2_sigma_dx2 = vol * beta * (beta - 1) * x ** (beta - 2) (the products taken
    left to right), d_mu_dx = rate, d2_mu_dx2 = 0.

    Absorption. For beta < 1 the model itself reaches 0, and for any beta an
    Euler step can overshoot below it. ``simulate`` absorbs: a step that ends at
    or below 0 sets the state to 0.0, and the path stays there (mu and sigma are
    both 0 at 0). At an absorbed state (x <= 0) every field is 0.0: the absorbed
    process no longer moves, so its coefficients and their derivatives are zero
    there; the one-sided derivatives of x ** beta at 0, infinite for beta < 1,
    are not returned. The arrays hold no infinities or NaNs.

    An absorbed path has sigma = 0 after absorption, so it has no BEL weight and
    the weight functions raise ``ValueError`` naming it
    (``sigma[2, 5] = 0 produces division by zero in BEL weight``). Find such
    paths with ``model.absorbed(states)``. If there are none, there is nothing to
    do. If they are few, drop them::

        keep = ~model.absorbed(states)
        states, dws = states[keep], dws[keep]

    but know what that estimates: the price and Greeks of the paths that survive,
    which differ from the model's by up to the absorbed share times the payoff's
    scale. Use it only when that share (``model.absorbed(states).mean()``) is
    negligible against the accuracy you need. Otherwise change the set-up: a
    finer grid removes the absorption that is only Euler overshoot (all of it for
    beta >= 1), and a larger x0, lower vol or shorter horizon makes the model's
    own absorption (beta < 1) rare.
    """

    rate: float = dataclasses.field(metadata=_FINITE)
    vol: float = dataclasses.field(metadata=_POSITIVE)
    beta: float = dataclasses.field(metadata=_FINITE)

    def mu(self, t: float, x: Array) -> Array:
        result: Array = np.where(x > 0.0, self.rate * x, 0.0)
        return result

    def sigma(self, t: float, x: Array) -> Array:
        return _power_above_zero(x, self.vol, self.beta)

    def _fields(self, before: Array, dt: Optional[float]) -> Fields:
        d_mu_dx: Array = np.where(before > 0.0, self.rate, 0.0)
        return Fields(
            _power_above_zero(before, self.vol, self.beta),
            d_mu_dx,
            _power_above_zero(before, self.vol * self.beta, self.beta - 1.0),
            np.zeros_like(before),
            _power_above_zero(before, self.vol * self.beta * (self.beta - 1.0), self.beta - 2.0),
        )

    def _after_step(self, x: Array) -> Array:
        result: Array = np.where(x > 0.0, x, 0.0)
        return result

    def simulate(self, x0: _Float, n_paths: SupportsIndex, n_steps: SupportsIndex, horizon: _Float,
                 rng: np.random.Generator) -> Paths:
        """Euler paths as ``Model.simulate``, absorbed at 0; x0 must be positive."""
        _positive("x0", x0)
        return super().simulate(x0, n_paths, n_steps, horizon, rng)

    @staticmethod
    def absorbed(states: Array) -> npt.NDArray[np.bool_]:
        """One flag per path: whether the path reached 0 or below (absorbed)."""
        _before(states)
        flags: npt.NDArray[np.bool_] = np.any(states <= 0.0, axis=1)
        return flags


class LocalVol(Model):
    """A diffusion dX = mu(t, X) dt + sigma(t, X) dW from your own coefficients.

    Each argument is a function f(t, x) of the time t (a float) and the states x
    (a read-only 1-D float64 array, one value per path), vectorised over x: it
    returns one value per state, or one value for all (a scalar, for a constant).
    ``fields`` and ``simulate`` call each function once per step, with
    t = t_j = j * horizon / n_steps and x the states before that step. Pass the
    derivatives in x as well: d_mu_dx, d_sigma_dx (for the delta) and
    d2_mu_dx2, d2_sigma_dx2 (for the gamma). ``fields`` needs ``horizon=``.

    For example, a time-dependent ABM and a local volatility::

        LocalVol(mu=lambda t, x: 0.0, sigma=lambda t, x: 0.2 + 0.1 * t,
                 d_mu_dx=lambda t, x: 0.0, d_sigma_dx=lambda t, x: 0.0,
                 d2_mu_dx2=lambda t, x: 0.0, d2_sigma_dx2=lambda t, x: 0.0)
        LocalVol(mu=lambda t, x: 0.03 * x, sigma=lambda t, x: 0.2 * x * (1.0 + 0.1 * np.tanh(x - 100.0)),
                 ...)
    """

    time_dependent: ClassVar[bool] = True
    _NAMES: ClassVar[tuple[str, ...]] = ("mu", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")

    def __init__(self, mu: Coefficient, sigma: Coefficient, d_mu_dx: Coefficient, d_sigma_dx: Coefficient,
                 d2_mu_dx2: Coefficient, d2_sigma_dx2: Coefficient) -> None:
        functions = (mu, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
        for name, function in zip(self._NAMES, functions):
            if not callable(function):
                raise TypeError(f"LocalVol's {name} must be a function f(t, x), not {type(function).__name__}")
        self.coefficients: tuple[Coefficient, ...] = functions
        """The six functions, in the order of the constructor's arguments."""

    def __repr__(self) -> str:
        pairs = ", ".join(f"{name}={function!r}" for name, function in zip(self._NAMES, self.coefficients))
        return f"LocalVol({pairs})"

    def _evaluate(self, index: int, t: float, x: Array) -> Array:
        value = np.asarray(self.coefficients[index](t, x), dtype=np.float64)
        if value.shape == x.shape:
            return value
        try:
            return np.broadcast_to(value, x.shape)
        except ValueError:
            raise ValueError(f"LocalVol's {self._NAMES[index]}(t, x) returned shape {value.shape} for x of "
                             f"shape {x.shape}: return one value per state, or a scalar") from None

    @staticmethod
    def _read_only(x: Array) -> Array:
        view = x.view()
        view.flags.writeable = False
        return view

    def mu(self, t: float, x: Array) -> Array:
        return self._evaluate(0, t, self._read_only(x))

    def sigma(self, t: float, x: Array) -> Array:
        return self._evaluate(1, t, self._read_only(x))

    def _fields(self, before: Array, dt: Optional[float]) -> Fields:
        assert dt is not None  # fields() asks for the horizon of a time-dependent model
        out = tuple(np.empty_like(before) for _ in range(5))
        for j in range(before.shape[1]):
            t = j * dt
            x = self._read_only(before[:, j])
            for field, index in zip(out, range(1, 6)):
                field[:, j] = self._evaluate(index, t, x)
        return Fields(*out)
