"""orrin: model-risk tools.

The native core provides two extension modules:

- ``orrin.diagnoser.frailzone``: find the weak regions of a fitted model;
- ``orrin.models.xgb2.xgboost``: an interpretable depth-2 boosted tree model.
"""

from .memory import release_memory, set_memory_limit

__version__ = "0.1.0"

__all__ = ["release_memory", "set_memory_limit", "__version__"]
