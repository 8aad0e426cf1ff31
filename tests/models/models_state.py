"""Snapshots of an estimator's attributes, to show that a refused call changed nothing."""

import numpy as np


def _frozen(value):
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(_frozen(v) for v in value))
    if isinstance(value, dict):
        return ("dict", tuple((repr(k), _frozen(v)) for k, v in value.items()))
    if hasattr(value, "get_booster"):
        try:
            return ("booster", bytes(value.get_booster().save_raw("json")))
        except Exception:  # an unfitted library estimator
            return ("object", id(value))
    if isinstance(value, (str, bytes, int, float, bool, type(None))):
        return ("value", repr(value))
    return ("object", id(value))


def snapshot(estimator):
    """Every attribute: the object itself and a deep, comparable copy of its content."""
    return {name: (value, _frozen(value)) for name, value in vars(estimator).items()}


def assert_unchanged(estimator, before):
    after = vars(estimator)
    assert sorted(after) == sorted(before), "attributes added or removed"
    for name, (value, frozen) in before.items():
        assert after[name] is value, f"attribute {name} was rebound"
        assert _frozen(after[name]) == frozen, f"attribute {name} was changed in place"
