"""The obvious scan: one FrailZone per candidate, excess computed from its own table."""

import itertools
import math

import numpy as np

from orrin.diagnoser.frailzone import FrailZone
from orrin.diagnoser.utils import get_scoring_metric


def overall_test_score(metric, y, pred, proba, test_idx, sample_weight):
    name, sign, func, needs_proba, additive = get_scoring_metric(metric)
    source = proba if needs_proba else pred
    ty, tp = np.asarray(y)[test_idx], np.asarray(source)[test_idx]
    tw = None if sample_weight is None else np.asarray(sample_weight, dtype=float)[test_idx]
    if not additive:
        return sign, float(func(ty, tp, sample_weight=tw))
    scores = func(ty.ravel(), tp.ravel())
    if tw is not None and np.sum(tw) > 0:
        return sign, float(np.average(scores, weights=tw))
    return sign, float(np.average(scores))


def candidate_row(fz, sign, overall, n_test):
    """excess, test share, largest gap and region count from a fitted FrailZone."""
    diag = fz.diag
    test_key = "test_" + diag.score_name
    excess, inside, gaps = 0.0, 0, []
    for row in diag.weak_region_stats:
        count, score = row["#Test"], float(row[test_key])
        if count > 0 and not math.isnan(score):
            excess += count / n_test * sign * (overall - score)
        inside += count
        if not math.isnan(row["Gap"]):
            gaps.append(row["Gap"])
    return {
        "n_regions": len(diag.weak_region_stats),
        "test_share": inside / n_test,
        "max_gap": max(gaps) if gaps else math.nan,
        "excess": excess,
    }


def reference_scan(settings, features, pairs, x, y, train_idx, test_idx, prediction=None,
                   prediction_proba=None, sample_weight=None, feature_names=None):
    """{(f1, f2 or None): (row, fitted FrailZone)} for every candidate."""
    sign, overall = overall_test_score(settings.get("metric"), y, prediction, prediction_proba,
                                       test_idx, sample_weight)
    cands = [[f] for f in features]
    if pairs:
        cands += [list(c) for c in itertools.combinations(features, 2)]
    out = {}
    for c in cands:
        fz = FrailZone(None, c, **settings)
        fz.fit(x, y, train_idx, test_idx, prediction=prediction, prediction_proba=prediction_proba,
               sample_weight=sample_weight, feature_names=feature_names)
        key = (c[0], c[1] if len(c) == 2 else None)
        out[key] = (candidate_row(fz, sign, overall, len(test_idx)), fz)
    singles = {k[0]: v[0]["excess"] for k, v in out.items() if k[1] is None}
    for k, (row, _) in out.items():
        row["lift"] = math.nan if k[1] is None else row["excess"] - max(singles[k[0]], singles[k[1]])
    return out
