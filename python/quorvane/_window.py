"""The first steps of a path batch, for the delta and gamma of path-dependent payoffs.

The delta and gamma weights of ``bel_weights_tangent_flow`` and
``bel_weights_gamma_tangent_flow`` hold for payoffs of the last state of the batch
they are given. Given only the first m steps of the paths, with the horizon t_m of
step m, they hold for payoffs of X_m, and so for any payoff that depends on the
path only at steps >= m: its price is E[g(X_m)], with g the price of the rest of
the path from X_m. ``first_window`` cuts those first m steps out of a batch as
zero-copy views, with t_m, after checking the batch and m, in the order of the
weight functions' arguments.
"""

from __future__ import annotations

import math
import operator
from typing import Optional, SupportsFloat, SupportsIndex, Union, overload

import numpy as np
import numpy.typing as npt

from quorvane._results import _is_float_array, _path_batch_error

_Array = npt.NDArray[np.float64]
_Float = Union[SupportsFloat, SupportsIndex]


@overload
def first_window(states: _Array, dws: _Array, sigma: _Array, d_mu_dx: _Array, d_sigma_dx: _Array, *,
                 horizon: _Float, window_steps: SupportsIndex
                 ) -> tuple[_Array, _Array, _Array, _Array, _Array, float]: ...
@overload
def first_window(states: _Array, dws: _Array, sigma: _Array, d_mu_dx: _Array, d_sigma_dx: _Array,
                 d2_mu_dx2: _Array, d2_sigma_dx2: _Array, *, horizon: _Float, window_steps: SupportsIndex
                 ) -> tuple[_Array, _Array, _Array, _Array, _Array, _Array, _Array, float]: ...
def first_window(states: _Array, dws: _Array, sigma: _Array, d_mu_dx: _Array, d_sigma_dx: _Array,
                 d2_mu_dx2: Optional[_Array] = None, d2_sigma_dx2: Optional[_Array] = None, *,
                 horizon: _Float, window_steps: SupportsIndex) -> tuple[Union[_Array, float], ...]:
    """The arguments of a tangent-flow weight function, cut to the first
    ``window_steps`` = m steps of the path batch: for the delta and gamma of payoffs
    that depend on the path only at steps >= m.

    ``states`` (n_paths, n_steps + 1), ``dws`` and the fields (n_paths, n_steps) are
    a batch as ``bel_weights_tangent_flow`` (three fields) or
    ``bel_weights_gamma_tangent_flow`` (five) takes it: float64 NumPy arrays, exact
    shapes, any layout; ``horizon`` is its T. Returns the tuple ``(states[:, :m + 1],
    dws[:, :m], sigma[:, :m], ..., t_m)`` of basic-slice views (nothing is copied)
    and t_m = m * (T / n_steps), the time of step m on the grid t_j = j * (T /
    n_steps) of ``quorvane.models`` (T itself when m = n_steps), ready to unpack:

        delta_w = quorvane.bel_weights_tangent_flow(
            *quorvane.first_window(states, dws, *f[:3], horizon=T, window_steps=m))
        gamma_w = quorvane.bel_weights_gamma_tangent_flow(
            *quorvane.first_window(states, dws, *f, horizon=T, window_steps=m))

    ``(payoff * delta_w).mean()`` is then the delta of any payoff that depends on
    the path only at steps >= m (a barrier or a lookback monitored from step m,
    the payoff at T), and likewise the gamma (which needs m >= 2). The weights have
    exactly the bits of the same functions called on copies of the slices. Their
    variance grows like 1 / t_m: about n_steps / m times that of the weights over
    the whole grid.

    Raises ``TypeError`` for an array that is not a 2-D float64 NumPy array or a
    ``window_steps`` that is not an integer, and ``ValueError`` for one second
    derivative without the other, shapes that are not exact (the messages of
    ``price_and_delta_tangent_flow``), a ``horizon`` that is not positive and
    finite, or a ``window_steps`` outside 1 to n_steps.
    """
    arrays = {"states": states, "dws": dws, "sigma": sigma, "d_mu_dx": d_mu_dx, "d_sigma_dx": d_sigma_dx}
    if (d2_mu_dx2 is None) != (d2_sigma_dx2 is None):
        raise ValueError("pass both d2_mu_dx2 and d2_sigma_dx2 (for the gamma), or neither")
    if d2_mu_dx2 is not None and d2_sigma_dx2 is not None:
        arrays.update(d2_mu_dx2=d2_mu_dx2, d2_sigma_dx2=d2_sigma_dx2)
    for name, array in arrays.items():
        if not _is_float_array(array, 2):
            found = (f"a {array.ndim}-D {array.dtype} array" if isinstance(array, np.ndarray)
                     else type(array).__name__)
            raise TypeError(f"{name} must be a 2-D float64 NumPy array, got {found}")
    message = _path_batch_error({name: array.shape for name, array in arrays.items()})
    if message is not None:
        raise ValueError(message)
    total = float(horizon)
    if not (total > 0.0 and math.isfinite(total)):
        raise ValueError(f"horizon must be positive and finite, got {total!r}")
    n_steps = states.shape[1] - 1
    m = operator.index(window_steps)
    if not 1 <= m <= n_steps:
        raise ValueError(f"window_steps must be between 1 and n_steps = {n_steps}, got {m}")
    # t_m as the models' grid places step m: m * dt with dt = T / n_steps.
    t_m = total if m == n_steps else m * (total / n_steps)
    per_step = [array[:, :m] for array in list(arrays.values())[1:]]
    return (states[:, :m + 1], *per_step, t_m)
