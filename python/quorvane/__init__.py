"""quorvane: Monte Carlo prices and BEL (Malliavin weight) deltas from paths you simulate.

Simulate diffusion paths in NumPy, hand the arrays to quorvane, and get per-path
BEL weights (to combine with any payoff) or (price, delta, price_stderr,
delta_stderr) for the built-in payoffs "identity", "call", "put" and
"digital_call". Results are reproducible to the bit; input arrays are read in
place, never copied. The functions live in the extension module ``_quorvane``;
this package re-exports them, and ``PanicException``, the exception of an
internal failure of the native code (a ``BaseException``, not an ``Exception``).
The two ``price_and_delta_*`` functions come through thin wrappers with the same
signatures and results that answer ordinary mistakes with ``ValueError``: a
``horizon`` or ``sigma_at_x0`` that is not positive, and path batches whose
shapes are not exactly (n_paths, n_steps + 1) and (n_paths, n_steps).

Gamma and vega come from the second extension module ``quorvane._greeks``:
gamma and vega weights for GBM and ABM, gamma weights for any scalar diffusion
(serial and parallel), and ``price_and_greeks_constant_flow`` /
``price_and_greeks_tangent_flow``, which return the named tuples ``Greeks`` and
``TangentFlowGreeks``.
"""

# _quorvane's functions and __version__, the two price_and_delta_* functions
# through the package's wrappers (below). __all__ is _quorvane's list of names,
# which this package's __all__ extends below as a new list (the module's own stays
# as it is); mypy reads an ``__all__`` imported under its own name as that
# module's list of names.
from _quorvane import (
    __version__ as __version__,
    bel_weights_constant_flow as bel_weights_constant_flow,
    bel_weights_tangent_flow as bel_weights_tangent_flow,
    bel_weights_tangent_flow_parallel as bel_weights_tangent_flow_parallel,
    price_from_samples as price_from_samples,
)
from _quorvane import __all__ as __all__
from quorvane_runtime import PanicException

# Re-exported by name (``import ... as ...``); ``__all__`` stays the list of
# _quorvane's names.
from quorvane._greeks import (
    bel_weights_gamma_constant_flow as bel_weights_gamma_constant_flow,
    bel_weights_gamma_tangent_flow as bel_weights_gamma_tangent_flow,
    bel_weights_gamma_tangent_flow_parallel as bel_weights_gamma_tangent_flow_parallel,
    bel_weights_vega_constant_flow as bel_weights_vega_constant_flow,
)
from quorvane._results import (
    Greeks as Greeks,
    TangentFlowGreeks as TangentFlowGreeks,
    price_and_delta_constant_flow as price_and_delta_constant_flow,
    price_and_delta_tangent_flow as price_and_delta_tangent_flow,
    price_and_greeks_constant_flow as price_and_greeks_constant_flow,
    price_and_greeks_tangent_flow as price_and_greeks_tangent_flow,
)

__all__ = [*__all__, "PanicException"]
