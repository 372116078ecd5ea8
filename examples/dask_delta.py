"""A distributed BEL delta: paths simulated chunk by chunk on a Dask LocalCluster.

Starts its own LocalCluster on the loopback address (two worker processes, one
thread each), simulates Euler paths of geometric Brownian motion as Dask arrays
chunked along the path axis, and computes the price and the tangent-flow BEL delta
of a call with quorvane.dask, next to the Black-Scholes closed form. It also builds
the weights lazily and prices a payoff of its own (a capped call) with them.

    pip install 'quorvane[dask]'
    python examples/dask_delta.py
"""

import math

import numpy as np

X0, STRIKE, RATE, VOL, HORIZON, CAP = 100.0, 100.0, 0.03, 0.2, 1.0, 20.0
N_PATHS, N_STEPS, CHUNK, SEED = 400_000, 16, 50_000, 42


def euler_gbm(dws):
    """One chunk of Euler paths dX = r X dt + vol X dW from X0; runs on a worker."""
    dt = HORIZON / dws.shape[1]
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = X0
    for j in range(dws.shape[1]):
        states[:, j + 1] = states[:, j] * (1.0 + RATE * dt + VOL * dws[:, j])
    return states


def black_scholes_call_delta():
    """Undiscounted E[(X_T - K)+] differentiated in X0: exp(rT) N(d1)."""
    sd = VOL * math.sqrt(HORIZON)
    d1 = (math.log(X0 / STRIKE) + RATE * HORIZON + 0.5 * sd * sd) / sd
    return math.exp(RATE * HORIZON) * 0.5 * (1.0 + math.erf(d1 / math.sqrt(2.0)))


def main():
    import dask.array as da
    from distributed import Client, LocalCluster

    import quorvane.dask as qd

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        print(f"LocalCluster with {len(client.scheduler_info()['workers'])} workers "
              f"at {cluster.scheduler_address}")
        dt = HORIZON / N_STEPS
        rng = da.random.default_rng(SEED)
        dws = rng.standard_normal((N_PATHS, N_STEPS), chunks=(CHUNK, N_STEPS)) * math.sqrt(dt)
        states = dws.map_blocks(euler_gbm, chunks=(dws.chunks[0], (N_STEPS + 1,)),
                                dtype=np.float64, meta=np.empty((0, 0)))
        before = states[:, :-1]  # the state before each step
        sigma, d_mu_dx, d_sigma_dx = VOL * before, da.full_like(before, RATE), da.full_like(before, VOL)

        price, delta, price_se, delta_se = qd.price_and_delta_tangent_flow(
            states, dws, sigma, d_mu_dx, d_sigma_dx, HORIZON, "call", STRIKE)
        exact = black_scholes_call_delta()
        print(f"{N_PATHS:,} paths x {N_STEPS} steps in {dws.numblocks[0]} chunks")
        print(f"price              {price:.6f} ± {price_se:.6f}")
        print(f"distributed delta  {delta:.6f} ± {delta_se:.6f}   closed form {exact:.6f}   "
              f"({(delta - exact) / delta_se:+.2f} stderr)")

        # Any payoff: lazy per-path weights times payoff values, reduced on the cluster.
        weights = qd.bel_weights_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, HORIZON)
        capped = da.clip(states[:, -1] - STRIKE, 0.0, CAP)
        capped_delta, capped_se = qd.price_from_samples(capped * weights)
        print(f"capped-call delta  {capped_delta:.6f} ± {capped_se:.6f}   (cap {CAP:g}, weights "
              "from bel_weights_tangent_flow)")


if __name__ == "__main__":
    main()
