"""Result records shared by the diagnosers."""

import reprlib


class TestDataResult:
    """A diagnosis result: a string ``key`` naming its kind and a dictionary ``value``.

    Both arguments are keyword-only. Plotting methods take such a record back.
    """

    __test__ = False  # not a pytest test class despite its name

    def __init__(self, *, key, value):
        self.key = key
        self.value = value

    def __repr__(self):
        if isinstance(self.value, dict):
            keys = reprlib.repr(list(self.value))
            return f"TestDataResult(key={self.key!r}, value keys={keys})"
        return f"TestDataResult(key={self.key!r}, value={reprlib.repr(self.value)})"
