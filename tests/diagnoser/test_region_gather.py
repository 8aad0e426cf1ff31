"""Targets, predictions and weights of every kind reach the region scores unchanged."""

import copy

import numpy as np
import pandas as pd
import pytest

from orrin.diagnoser import frailzone as fz


class Stub(fz.BaseSlicing):
    def _fit(self, x, y, preds, scores, sample_weight=None):
        self.x, self.fidx, self.threshold_value = x, [0, 1], 0.0
        self.weak_region = copy.deepcopy(self.regions)


REGIONS = [{"lb1": 0.0, "ub1": 5.0, "lb2": 0.0, "ub2": 9.0},
           {"lb1": 5.0, "ub1": 9.0, "lb2": 2.0, "ub2": 7.0},
           {"lb1": 20.0, "ub1": 30.0, "lb2": 0.0, "ub2": 1.0}]


def fit(y, p, w, metric=None, record=None):
    x = np.random.default_rng(5).integers(0, 10, size=(80, 2)).astype(float)
    s = Stub(metric=metric)
    s.regions = REGIONS
    if record is not None:
        scoring = s.scoring_func

        def recording(yy, pp, **kw):
            record.append((np.asarray(yy).dtype, np.shape(yy), np.asarray(pp).dtype))
            return scoring(yy, pp, **kw)

        s.scoring_func = recording
    table = s.fit(x, y, x, y, p, p, feature_names=["a", "b"], train_sample_weight=w,
                  test_sample_weight=w)
    return table, s.weak_region_stats


RNG = np.random.default_rng(8)
Y = RNG.integers(0, 2, size=80).astype(float)
P = RNG.random(80)
W = RNG.random(80)

KINDS = {
    "strided": lambda a: np.repeat(a, 2)[::2],
    "reversed": lambda a: a[::-1].copy()[::-1],
    "float32": lambda a: a.astype(np.float32),
    "int": lambda a: (a * 10).astype(np.int64) / 10 if a.dtype.kind == "f" else a,
    "column": lambda a: a.reshape(-1, 1),
    "series": pd.Series,
    "big-endian": lambda a: a.astype(">f8"),
    "list": list,
}


@pytest.mark.parametrize("metric", [None, {"name": "R2"}])
@pytest.mark.parametrize("kind", list(KINDS))
def test_every_kind_scores_as_its_float64_copy(kind, metric):
    convert = KINDS[kind]
    w = W if kind == "column" else convert(W)  # weights are one-dimensional
    got, got_stats = fit(convert(Y), convert(P), w, metric)
    ref_y, ref_p, ref_w = (np.asarray(a, dtype=float).ravel() for a in (convert(Y), convert(P), w))
    want, want_stats = fit(ref_y, ref_p, ref_w, metric)
    pd.testing.assert_frame_equal(got, want)
    for a, b in zip(got_stats, want_stats):
        for key in ("train_MSE All", "test_MSE All") if metric is None else ():
            np.testing.assert_array_equal(a[key], b[key])


@pytest.mark.parametrize("kind", ["strided", "float32", "column", "big-endian"])
def test_scoring_sees_what_numpy_indexing_gives(kind):
    y, p = KINDS[kind](Y), KINDS[kind](P)
    seen = []
    fit(y, p, None, record=seen)
    rows = np.arange(3)
    expect = (np.asarray(y)[rows].dtype, np.asarray(y)[rows].shape[1:], np.asarray(p)[rows].dtype)
    regions_seen = [s for s in seen if s[1][0] != len(Y)]  # not the whole fitting set
    assert regions_seen
    assert all((d, shape[1:], q) == expect for d, shape, q in regions_seen)
