"""Deep snapshots of an object's attributes, to show that a refused call changed nothing."""

import copy
import types

import numpy as np
import pandas as pd


def snapshot(obj):
    """The attribute objects themselves and a deep copy of their contents."""
    state = vars(obj)
    return dict(state), copy.deepcopy(state)


def _arrays_equal(a, b):
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.names:  # records: field by field
        return all(_arrays_equal(a[name], b[name]) for name in a.dtype.names)
    try:
        return bool(np.array_equal(a, b, equal_nan=True))
    except TypeError:  # no NaN in this dtype (objects, strings, records)
        return bool(np.array_equal(a, b))


def same(a, b, depth=0):
    """Whether a and b hold equal contents (NaN equal to NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return _arrays_equal(a, b)
    if isinstance(a, (pd.DataFrame, pd.Series)):
        return a.equals(b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k], depth) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y, depth) for x, y in zip(a, b))
    if isinstance(a, (float, np.floating)):
        return a == b or (a != a and b != b)
    if isinstance(a, (str, bytes, int, bool, type(None), np.generic, type, types.FunctionType,
                      types.BuiltinFunctionType, types.MethodType)):
        return a is b or bool(a == b)
    if depth < 5:
        state_a, state_b = a.__getstate__(), b.__getstate__()
        if isinstance(state_a, dict):
            return same(state_a, state_b, depth + 1)
    return a is b


def assert_unchanged(obj, snap):
    refs, copies = snap
    now = vars(obj)
    assert list(now) == list(refs), f"attributes changed: {sorted(set(now) ^ set(refs))}"
    for key, ref in refs.items():
        assert now[key] is ref, f"{key} was rebound"
        assert same(now[key], copies[key]), f"{key} was changed in place"
