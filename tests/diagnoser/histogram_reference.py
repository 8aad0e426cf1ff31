"""Direct numpy transcription of histogram slicing, one boolean mask per bin.

The tests compare the C++ passes against it, and the benchmark uses it as its baseline.
Binned columns are read as float64 and a region whose weights sum to zero scores NaN, as in
the module.
"""

import numpy as np
import pandas as pd
import scipy.stats


class ReferenceSlicing:
    def __init__(self, fidx, threshold_value, score_sign=-1, scoring_func=None, additive=True,
                 min_samples=30, bins=10):
        self.fidx = fidx
        self.threshold_value = threshold_value
        self.score_sign = score_sign
        self.scoring_func = scoring_func
        self.is_metric_additive = additive
        self.min_samples = min_samples
        self.bins = bins

    def get_index(self, x, lb1, ub1, lb2=None, ub2=None, right=False):
        lb, ub = (lb1, ub1) if len(self.fidx) == 1 else (lb2, ub2)
        x = np.asarray(x, dtype=np.float64)
        upper = (x <= ub) if right else (x < ub)
        return np.where((x >= lb) & upper)[0]

    def _score(self, y, preds, scores, idx, sample_weight):
        w = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)[idx]
        if w is not None and np.sum(w) == 0:
            return np.nan
        if self.is_metric_additive:
            return np.average(np.asarray(scores, dtype=np.float64)[idx], weights=w)
        return self.scoring_func(np.asarray(y)[idx], np.asarray(preds)[idx], sample_weight=w)

    def get_rule_list(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False,
                      sample_weight=None):
        score = np.nan
        idx = self.get_index(x, lb1, ub1, lb2, ub2, right)
        if len(idx) > 0:
            score = self._score(y, preds, scores, idx, sample_weight)
        splits = {"f0": {"lb": lb1, "ub": ub1}}
        if len(self.fidx) != 1:
            splits["f1"] = {"lb": lb2, "ub": ub2}
        return [{"splits": splits, "values": score, "counts": len(idx)}]

    def evaluate_slice(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False,
                       sample_weight=None):
        idx = self.get_index(x, lb1, ub1, lb2, ub2, right)
        if len(idx) <= 0:
            return []
        score = self._score(y, preds, scores, idx, sample_weight)
        if self.score_sign * score <= self.score_sign * self.threshold_value:
            if len(self.fidx) == 1:
                return [{"lb1": lb1, "ub1": ub1}]
            return [{"lb1": lb1, "ub1": ub1, "lb2": lb2, "ub2": ub2}]
        return []

    def _fit1d(self, x, y, preds, scores, lb1=None, ub1=None, lb2=None, ub2=None,
               sample_weight=None):
        x = np.asarray(x, dtype=np.float64)
        rule_list, weak_region = [], []
        lbold, ubold = x.min(), x.max()
        uni_vals = np.unique(x)
        nbins = len(uni_vals) if len(uni_vals) < self.bins else self.bins
        _, bins1d = np.histogram(x, bins=nbins, density=False)
        one = len(self.fidx) == 1
        for i in range(len(bins1d) - 1):
            if one:
                lb1, ub1 = bins1d[i], bins1d[i + 1]
                right = ubold == ub1
            else:
                lb2, ub2 = bins1d[i], bins1d[i + 1]
                right = ubold == ub2
            args = (x, y, preds, scores, lb1, ub1, lb2, ub2)
            rule_list.extend(self.get_rule_list(*args, right=right, sample_weight=sample_weight))
            weak_region.extend(self.evaluate_slice(*args, right=right,
                                                   sample_weight=sample_weight))
        if len(weak_region) == 0 or not self.is_metric_additive:
            return weak_region, rule_list, bins1d
        frame = pd.DataFrame(weak_region)
        cols = frame.iloc[:, :2] if one else frame.iloc[:, 2:]
        intervals = [[float(a), float(b)] for a, b in cols.values.tolist()]
        sorted_intervals = sorted(intervals, key=lambda v: v[0])
        merged = [sorted_intervals[0]]
        for lb, ub in sorted_intervals[1:]:
            if lb <= merged[-1][1]:
                merged[-1] = [merged[-1][0], max(merged[-1][1], ub)]
            else:
                merged.append([lb, ub])
        weak_region = []
        for lb, ub in merged:
            if one:
                idx = self.get_index(x, lb, ub, lb2, ub2, right=(ubold == ub))
                record = {"lb1": max(lb, lbold), "ub1": min(ub, ubold)}
            else:
                idx = self.get_index(x, lb1, ub1, lb, ub, right=(ubold == ub))
                record = {"lb1": lb1, "ub1": ub1, "lb2": max(lb, lbold), "ub2": min(ub, ubold)}
            if self.min_samples <= len(idx):
                weak_region.append(record)
        exclude_idx_list, merged_rule_list = [], []
        key = "f0" if one else "f1"
        for region in weak_region:
            lo, hi = (region["lb1"], region["ub1"]) if one else (region["lb2"], region["ub2"])
            matched = [j for j, r in enumerate(rule_list)
                       if r["splits"][key]["lb"] >= lo and r["splits"][key]["ub"] <= hi]
            if not matched:
                continue
            exclude_idx_list.extend(matched)
            lower = min(rule_list[j]["splits"][key]["lb"] for j in matched)
            upper = max(rule_list[j]["splits"][key]["ub"] for j in matched)
            if one:
                lb1, ub1 = lower, upper
            else:
                lb2, ub2 = lower, upper
            idx = self.get_index(x, lb1, ub1, lb2, ub2, right=(ubold == upper))
            if len(idx) == 0:
                score = 0
            else:
                w = None
                if sample_weight is not None:
                    sw = np.asarray(sample_weight, dtype=np.float64)[idx]
                    if not one or np.sum(sw) > 0:
                        w = sw
                if w is not None and np.sum(w) == 0:
                    score = np.nan
                else:
                    score = np.average(np.asarray(scores, dtype=np.float64)[idx], weights=w)
            splits = {"f0": {"lb": lb1, "ub": ub1}}
            if not one:
                splits["f1"] = {"lb": lb2, "ub": ub2}
            merged_rule_list.append({"splits": splits, "values": score, "counts": len(idx)})
        merged_rule_list.extend(r for j, r in enumerate(rule_list) if j not in exclude_idx_list)
        return weak_region, merged_rule_list, bins1d

    def _fit2d(self, x, y, preds, scores, sample_weight=None):
        x = np.asarray(x)
        x0 = np.asarray(x[:, 0], dtype=np.float64)
        x1 = np.asarray(x[:, 1], dtype=np.float64)
        y = np.asarray(y)
        preds = None if preds is None else np.asarray(preds)
        sw_all = None if sample_weight is None else np.asarray(sample_weight)
        weak_region, rule_list_all, self.bin_stats = [], [], []
        uni_vals = np.unique(x0)
        nbins = len(uni_vals) if len(uni_vals) < self.bins else self.bins
        _, bins1d = np.histogram(x0, bins=nbins, density=False)
        bin_of = np.digitize(x0, bins=bins1d[1:-1], right=False)
        for i in range(len(bins1d) - 1):
            loc = np.where(bin_of == i)[0]
            lb, ub = max(bins1d[i], x0.min()), min(bins1d[i + 1], x0.max())
            if len(loc) == 0:
                self.bin_stats.append({"lb1": lb, "ub1": ub, "lb2": np.nan, "ub2": np.nan,
                                       "support": 0})
                continue
            self.bin_stats.append({"lb1": lb, "ub1": ub, "lb2": x1[loc].min(),
                                   "ub2": x1[loc].max(), "support": len(loc)})
            sw = None if sw_all is None else sw_all[loc]
            if self.is_metric_additive:
                score = np.asarray(scores, dtype=np.float64)[loc]
            else:
                score = None
            regions, rule_list, _ = self._fit1d(x1[loc], y[loc],
                                                None if preds is None else preds[loc], score,
                                                lb1=lb, ub1=ub, sample_weight=sw)
            rule_list_all.extend(rule_list)
            for item in regions:
                item["lb2q"] = scipy.stats.percentileofscore(x1[loc], item["lb2"], kind="strict")
                kind = "weak" if x1[loc].max() == item["ub2"] else "strict"
                item["ub2q"] = scipy.stats.percentileofscore(x1[loc], item["ub2"], kind=kind)
                weak_region.append(item)
        return weak_region, rule_list_all, bins1d


def reference_fit(fidx, x, scores, threshold=1.2, sample_weight=None, **kwargs):
    """Weak regions, rule list and edges of an additive (MSE-like) fit on columns `fidx`."""
    w = sample_weight
    if w is not None and not np.sum(w) > 0:
        w = None
    threshold_value = threshold * np.average(scores, weights=w)
    ref = ReferenceSlicing(fidx, threshold_value, **kwargs)
    x = np.asarray(x)
    if len(fidx) == 1:
        return ref._fit1d(x[:, fidx[0]], None, None, scores, sample_weight=sample_weight)
    return ref._fit2d(x[:, [fidx[0], fidx[1]]], np.zeros(len(x)), None, scores,
                      sample_weight=sample_weight)
