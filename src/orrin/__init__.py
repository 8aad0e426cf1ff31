"""orrin: weak-region diagnosis of fitted models and an interpretable depth-2 boosted model.

The package's two compiled modules:

- ``orrin.diagnoser.frailzone``: finds the weak regions of a fitted model, the ranges of one
  or two features where its error is markedly worse than on the data as a whole;
- ``orrin.models.xgb2.xgboost``: depth-2 gradient-boosted tree estimators whose predictions
  decompose exactly into an intercept, main effects and pairwise interaction effects.
"""

from .memory import release_memory, set_memory_limit

# The one place that holds the release number; the build reads it from here.
__version__ = "0.2.0"

__all__ = ["release_memory", "set_memory_limit", "__version__"]
