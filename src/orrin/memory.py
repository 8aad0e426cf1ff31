"""Working memory that the extension modules keep between calls.

Passes over a million rows and more work in blocks of many MiB. Backing a fresh block costs
the kernel about as much as one pass over it, so the modules keep freed blocks for the next
call: at most 64 MiB per extension module by default, the pages of blocks from 32 MiB on
marked reclaimable so that the kernel takes them back under memory pressure. What a call
needs beyond the limit is returned to the system when the call ends.
"""

import sys

# The extension modules that keep such a cache; each links its own copy of the core.
_MODULES = ("orrin._core", "orrin.diagnoser.frailzone", "orrin.diagnoser.scan",
            "orrin.models.xgb2.xgboost")


def _loaded():
    # A module that was never imported has nothing cached, and importing it here would cost
    # its libraries' import time for nothing.
    return [sys.modules[name] for name in _MODULES if name in sys.modules]


def release_memory():
    """Return every kept block of working memory to the system.

    Returns
    -------
    int
        The number of bytes handed back.
    """
    return sum(module._release_cached_blocks() for module in _loaded())


def set_memory_limit(nbytes):
    """Set how much freed working memory each extension module keeps for its next call.

    Parameters
    ----------
    nbytes : int
        Bytes per module, 0 or more; 0 keeps nothing (every call backs fresh memory). Kept
        blocks beyond the new limit are handed back at once. The limit starts at 64 MiB.

    Returns
    -------
    int
        The previous limit.
    """
    if isinstance(nbytes, bool) or not hasattr(nbytes, "__index__"):
        raise TypeError(f"nbytes must be a non-negative integer, got {nbytes!r}.")
    nbytes = int(nbytes)
    if nbytes < 0:
        raise ValueError(f"nbytes must be a non-negative integer, got {nbytes}.")
    global _limit
    previous, _limit = _limit, nbytes
    for module in _loaded():
        module._set_cache_limit(nbytes)
    return previous


def memory_limit():
    """The bytes of freed working memory each extension module keeps (see `set_memory_limit`)."""
    return _limit


def cached_bytes():
    """The bytes of working memory the loaded extension modules keep now, all together."""
    return sum(module._cached_bytes() for module in _loaded())


_limit = 64 << 20
