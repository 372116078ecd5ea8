"""quorvane.first_window: the first steps of a path batch, for the weights of payoffs
that depend on the path only from some step on."""

import numpy as np
import pytest

import quorvane
from quorvane.models import CEV

# 0.9 is not 10 * (0.9 / 10): the whole window must keep the horizon itself.
N_PATHS, N_STEPS, HORIZON = 37, 10, 0.9
WEIGHTS = [(quorvane.bel_weights_tangent_flow, 3), (quorvane.bel_weights_tangent_flow_parallel, 3),
           (quorvane.bel_weights_gamma_tangent_flow, 5), (quorvane.bel_weights_gamma_tangent_flow_parallel, 5)]


def batch(layout):
    model = CEV(rate=0.03, vol=2.0, beta=0.5)
    states, dws = model.simulate(100.0, N_PATHS, N_STEPS, HORIZON, np.random.default_rng(5))
    if layout == "C":
        states, dws = np.ascontiguousarray(states), np.ascontiguousarray(dws)
    elif layout == "reversed rows":
        states, dws = states[::-1], dws[::-1]
    return states, dws, tuple(model.fields(states))


@pytest.mark.parametrize("layout", ["F", "C", "reversed rows"])
@pytest.mark.parametrize("m", [1, 2, 3, 6, N_STEPS])
def test_first_window_weights_are_the_bits_of_explicitly_copied_slices(layout, m):
    states, dws, fields = batch(layout)
    t_m = HORIZON if m == N_STEPS else m * (HORIZON / N_STEPS)
    copies = [np.ascontiguousarray(states[:, :m + 1]), np.ascontiguousarray(dws[:, :m]),
              *[np.ascontiguousarray(f[:, :m]) for f in fields]]
    for weights, n_fields in WEIGHTS:
        window = quorvane.first_window(states, dws, *fields[:n_fields], horizon=HORIZON, window_steps=m)
        assert len(window) == 3 + n_fields and window[-1] == t_m
        for view, array in zip(window[:-1], (states, dws, *fields)):  # views, not copies
            assert view.base is not None and np.shares_memory(view, array)
        if n_fields == 5 and m < 2:
            continue  # the gamma needs two steps
        got = weights(*window)
        expected = weights(copies[0], copies[1], *copies[2:2 + n_fields], t_m)
        assert got.tobytes() == expected.tobytes(), weights.__name__
        if m == N_STEPS:  # the whole grid: the weights of the batch itself
            whole = weights(states, dws, *fields[:n_fields], HORIZON)
            assert got.tobytes() == whole.tobytes(), weights.__name__


@pytest.mark.parametrize("change, error, message", [
    (dict(window_steps=0), ValueError, "window_steps must be between 1 and n_steps = 10, got 0"),
    (dict(window_steps=N_STEPS + 1), ValueError, "window_steps must be between 1 and n_steps = 10, got 11"),
    (dict(window_steps=2.0), TypeError, "integer"),
    (dict(horizon=0.0), ValueError, "horizon must be positive and finite, got 0.0"),
    (dict(horizon=float("nan")), ValueError, "horizon must be positive and finite, got nan"),
    (dict(states=slice(1, None)), ValueError,
     "states must have n_steps + 1 = 11 columns (the initial state, then one per step), got 10"),
    (dict(dws=slice(None, -1)), ValueError, "dws must have n_steps = 10 columns"),
    (dict(d2_sigma_dx2=slice(None, -1)), ValueError, "d2_sigma_dx2 must have n_steps = 10 columns"),
    (dict(d2_sigma_dx2=None), ValueError, "pass both d2_mu_dx2 and d2_sigma_dx2 (for the gamma), or neither"),
    (dict(dws=np.float32), TypeError, "dws must be a 2-D float64 NumPy array, got a 2-D float32 array"),
    (dict(states=list), TypeError, "states must be a 2-D float64 NumPy array, got list"),
])
def test_first_window_refuses_what_would_cut_a_wrong_window(change, error, message):
    states, dws, fields = batch("F")
    arrays = dict(zip(["states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2"],
                      [states, dws, *fields]))
    scalars = dict(horizon=HORIZON, window_steps=3)
    for name, how in change.items():
        if name in scalars:
            scalars[name] = how
        elif how is None:
            arrays[name] = None
        elif isinstance(how, slice):
            arrays[name] = arrays[name][:, how]
        elif how is list:
            arrays[name] = arrays[name].tolist()
        else:
            arrays[name] = arrays[name].astype(how)
    with pytest.raises(error) as caught:
        quorvane.first_window(**arrays, **scalars)
    assert message in str(caught.value)
