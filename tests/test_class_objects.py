"""The C++ classes are real Python classes: signatures, modules, pickling, bases."""

import inspect
import pickle

import pytest

from orrin.diagnoser import frailzone
from orrin.diagnoser.base import BaseDiagnoser
from orrin.models.xgb2 import xgboost as xgb2

CLASSES = [
    (frailzone, "BaseSlicing", ()),
    (frailzone, "HistogramSlicing", ()),
    (frailzone, "TreeSlicing", ()),
    (frailzone, "FrailZone", (None, ["X0"])),
    (xgb2, "XGB2Regressor", ()),
    (xgb2, "XGB2Classifier", ()),
]


@pytest.mark.parametrize("module, name, args", CLASSES)
def test_class_signature_module_and_pickling(module, name, args):
    cls = getattr(module, name)
    assert cls.__module__ == module.__name__ and cls.__qualname__ == name
    init_params = list(inspect.signature(cls.__init__).parameters)
    assert init_params[0] == "self"
    assert list(inspect.signature(cls).parameters) == init_params[1:]
    obj = cls(*args)
    again = pickle.loads(pickle.dumps(obj))
    assert type(again) is cls and set(vars(again)) == set(vars(obj))


def test_bases():
    assert issubclass(frailzone.HistogramSlicing, frailzone.BaseSlicing)
    assert issubclass(frailzone.TreeSlicing, frailzone.BaseSlicing)
    assert issubclass(frailzone.FrailZone, BaseDiagnoser)
    assert frailzone.BaseSlicing.__bases__ == (object,)
    names = [k for k in vars(frailzone) if not k.startswith("__")]
    assert names[-4:] == ["BaseSlicing", "HistogramSlicing", "TreeSlicing", "FrailZone"]
