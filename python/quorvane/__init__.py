"""quorvane: Monte Carlo prices and BEL (Malliavin weight) deltas from paths you simulate.

Simulate diffusion paths in NumPy, hand the arrays to quorvane, and get per-path
BEL weights (to combine with any payoff) or the price, delta and their standard
errors for the built-in payoffs "identity", "call", "put" and
"digital_call". Results are reproducible to the bit; input arrays are read in
place, never copied. The functions live in the extension module ``_quorvane``;
this package re-exports them, and ``PanicException``, the exception of an
internal failure of the native code (a ``BaseException``, not an ``Exception``).
The estimators come through thin wrappers with the same signatures and floats
that return named tuples, ``Estimate(price, delta, price_stderr, delta_stderr)``
from ``price_and_delta_*`` and ``MeanEstimate(mean, stderr)`` from
``price_from_samples`` (tuples, so unpacking is unchanged), and answer ordinary
mistakes with ``ValueError``: a ``horizon`` or ``sigma_at_x0`` that is not
positive, and path batches whose shapes are not exactly (n_paths, n_steps + 1)
and (n_paths, n_steps). Every estimator (``price_and_*``, ``price_from_samples``)
takes a keyword-only ``discount``, a factor such as exp(-r T) (default 1.0, a
finite number > 0), which multiplies the price, every Greek and every standard
error.

Gamma and vega come from the second extension module ``quorvane._greeks``:
gamma and vega weights for GBM and ABM, gamma weights for any scalar diffusion
(serial and parallel), and ``price_and_greeks_constant_flow`` /
``price_and_greeks_tangent_flow``, which return the named tuples ``Greeks`` and
``TangentFlowGreeks``; ``price_and_delta_tangent_flow_parallel`` and
``price_and_greeks_tangent_flow_parallel`` give the tangent-flow estimates, bit
for bit, with the per-path weights computed on the worker pool.

Localised Greeks come from the third extension module ``quorvane._localised``:
``price_and_greeks_constant_flow_localised`` and
``price_and_greeks_tangent_flow_localised`` (and its ``_parallel`` form; the BEL weight only near the strike,
the smooth rest of the payoff differentiated along the path; named tuples
``LocalisedGreeks`` and ``LocalisedTangentFlowGreeks`` with the bandwidths used),
and ``bel_weights_and_variations_tangent_flow``, the per-path weights and
variations Y_N, Z_N for localising a payoff of your own.

Every delta, gamma and vega weight is for payoffs of the terminal state X_T
of the batch it is given. For a payoff that depends on the path only from step
m on (a barrier or lookback monitored from step m), ``first_window`` cuts the
first m steps out of the batch (views, and the time of step m), and the
weights over them give its delta and gamma.

Payoffs of a weighted average of the path, A = sum_k a_k X_k (arithmetic Asians,
forward-start averages), have weights of their own in the extension module
``quorvane._average``: ``bel_weights_average_tangent_flow`` (and its ``_parallel``
form) and ``price_and_delta_average_tangent_flow`` for any scalar diffusion on an
Euler grid, ``bel_weights_average_constant_flow`` and
``price_and_delta_average_constant_flow`` for GBM and ABM at the monitoring dates.

``quorvane.models`` holds ready-made diffusions (GBM, ABM, OU, CEV, local
volatility) that simulate Euler paths and build the coefficient fields these
functions take. ``quorvane.dask`` (imported by its own name; it needs Dask) runs
every function over Dask arrays chunked along the path axis.
"""

# The extension module's functions and __version__, the estimators through the
# package's wrappers (quorvane._results), the gamma and vega weights of the second
# extension module, the models and the exception of internal failures. Each is
# imported as ``name as name`` and listed in __all__ below, so that
# ``from quorvane import *``, ``help(quorvane)`` and type checkers see every one.
from _quorvane import (
    __version__ as __version__,
    bel_weights_constant_flow as bel_weights_constant_flow,
    bel_weights_tangent_flow as bel_weights_tangent_flow,
    bel_weights_tangent_flow_parallel as bel_weights_tangent_flow_parallel,
)
from quorvane_runtime import PanicException as PanicException

from quorvane import models as models
from quorvane._average import (
    bel_weights_average_constant_flow as bel_weights_average_constant_flow,
    bel_weights_average_tangent_flow as bel_weights_average_tangent_flow,
    bel_weights_average_tangent_flow_parallel as bel_weights_average_tangent_flow_parallel,
)
from quorvane._average_results import (
    price_and_delta_average_constant_flow as price_and_delta_average_constant_flow,
    price_and_delta_average_tangent_flow as price_and_delta_average_tangent_flow,
)
from quorvane._greeks import (
    bel_weights_gamma_constant_flow as bel_weights_gamma_constant_flow,
    bel_weights_gamma_tangent_flow as bel_weights_gamma_tangent_flow,
    bel_weights_gamma_tangent_flow_parallel as bel_weights_gamma_tangent_flow_parallel,
    bel_weights_vega_constant_flow as bel_weights_vega_constant_flow,
)
from quorvane._localised import (
    bel_weights_and_variations_tangent_flow as bel_weights_and_variations_tangent_flow,
)
from quorvane._localised_results import (
    Bandwidths as Bandwidths,
    LocalisedGreeks as LocalisedGreeks,
    LocalisedTangentFlowGreeks as LocalisedTangentFlowGreeks,
    TangentFlowBandwidths as TangentFlowBandwidths,
    price_and_greeks_constant_flow_localised as price_and_greeks_constant_flow_localised,
    price_and_greeks_tangent_flow_localised as price_and_greeks_tangent_flow_localised,
    price_and_greeks_tangent_flow_localised_parallel as price_and_greeks_tangent_flow_localised_parallel,
)
from quorvane._results import (
    Estimate as Estimate,
    Greeks as Greeks,
    MeanEstimate as MeanEstimate,
    TangentFlowGreeks as TangentFlowGreeks,
    price_and_delta_constant_flow as price_and_delta_constant_flow,
    price_and_delta_tangent_flow as price_and_delta_tangent_flow,
    price_and_delta_tangent_flow_parallel as price_and_delta_tangent_flow_parallel,
    price_and_greeks_constant_flow as price_and_greeks_constant_flow,
    price_and_greeks_tangent_flow as price_and_greeks_tangent_flow,
    price_and_greeks_tangent_flow_parallel as price_and_greeks_tangent_flow_parallel,
    price_from_samples as price_from_samples,
)
from quorvane._window import first_window as first_window

# Every public name, as a literal list (a type checker reads only a literal one).
# _quorvane.__all__ stays the extension module's own six functions and __version__.
# quorvane.dask is not listed: it needs Dask, and is imported by its own name.
__all__ = [
    # BEL delta weights, to combine with any payoff
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "bel_weights_tangent_flow_parallel",
    # gamma and vega weights
    "bel_weights_gamma_constant_flow",
    "bel_weights_vega_constant_flow",
    "bel_weights_gamma_tangent_flow",
    "bel_weights_gamma_tangent_flow_parallel",
    # estimates: your own samples, then the built-in payoffs
    "price_from_samples",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
    "price_and_delta_tangent_flow_parallel",
    "price_and_greeks_tangent_flow_parallel",
    "Estimate",
    "MeanEstimate",
    "Greeks",
    "TangentFlowGreeks",
    # localised Greeks: the weight only near the strike, and the per-path terms
    "price_and_greeks_constant_flow_localised",
    "price_and_greeks_tangent_flow_localised",
    "price_and_greeks_tangent_flow_localised_parallel",
    "bel_weights_and_variations_tangent_flow",
    "LocalisedGreeks",
    "LocalisedTangentFlowGreeks",
    "Bandwidths",
    "TangentFlowBandwidths",
    # path-dependent payoffs: the weights over the first steps of the paths,
    # and the weights and estimates for payoffs of a weighted average of the path
    "first_window",
    "bel_weights_average_tangent_flow",
    "bel_weights_average_tangent_flow_parallel",
    "bel_weights_average_constant_flow",
    "price_and_delta_average_tangent_flow",
    "price_and_delta_average_constant_flow",
    # ready-made diffusions: Euler paths and coefficient fields
    "models",
    "PanicException",
    "__version__",
]
