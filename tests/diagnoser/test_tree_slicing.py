from types import SimpleNamespace

import numpy as np
import pytest
from sklearn.tree import DecisionTreeRegressor

from orrin.diagnoser import frailzone as fz
from orrin.exceptions import OrrinError

INF = np.inf


def fake_tree(nodes):
    """A tree structure from (feature, threshold, left, right, value, samples) rows."""
    f, t, left, right, v, n = (np.array(c) for c in zip(*nodes))
    return SimpleNamespace(feature=f, threshold=t.astype(float), children_left=left,
                           children_right=right, value=v.astype(float).reshape(-1, 1, 1),
                           n_node_samples=n)


# root: f0 <= 5; its left child: f0 <= 2. Leaves left to right: nodes 3, 4, 2.
TREE = fake_tree([(0, 5.0, 1, 2, 0.0, 10), (0, 2.0, 3, 4, 0.0, 6), (-2, -2.0, -1, -1, 3.0, 4),
                  (-2, -2.0, -1, -1, 1.0, 2), (-2, -2.0, -1, -1, 2.0, 4)])


@pytest.mark.parametrize("metric", [{"name": "R2"}, {"name": "F1"}, {"name": "AUC"}])
def test_non_additive_metric_is_refused(metric):
    with pytest.raises(OrrinError, match=r"^tree slicing is incompatible with this metric\.$"):
        fz.TreeSlicing(metric=metric)


def test_construction_creates_the_tree():
    t = fz.TreeSlicing(slice_features=["a"], threshold=1.5, max_depth=3, min_samples=7)
    assert (t.max_depth, t.min_samples, t.threshold) == (3, 7, 1.5)
    assert t.tree_estimator.get_params() == DecisionTreeRegressor(
        max_depth=3, min_samples_leaf=7).get_params()
    d = fz.TreeSlicing().tree_estimator
    assert (d.max_depth, d.min_samples_leaf) == (2, 30)


def test_dfs_order_bounds_narrowing_and_copies():
    rule = {"f1": {"lb": 0.0, "ub": 9.0}}
    leaves = list(fz.TreeSlicing()._dfs(TREE, 0, rule))
    assert [(leaf["values"], leaf["counts"]) for leaf in leaves] == [(1.0, 2), (2.0, 4), (3.0, 4)]
    f0 = [leaf["splits"]["f0"] for leaf in leaves]
    assert f0 == [{"ub": 2.0, "lb": -INF}, {"ub": 5.0, "lb": 2.0}, {"lb": 5.0, "ub": INF}]
    assert [list(b) for b in (f0[0], f0[2])] == [["ub", "lb"], ["lb", "ub"]]
    inner = [leaf["splits"]["f1"] for leaf in leaves]
    assert rule == {"f1": {"lb": 0.0, "ub": 9.0}} and len({id(i) for i in inner + [rule["f1"]]}) == 4


def test_dfs_of_a_leaf_is_an_iterator_over_the_rule_object_itself():
    rule = {}
    it = fz.TreeSlicing()._dfs(TREE, 3, rule)
    leaf = next(it)
    assert iter(it) is it and leaf["splits"] is rule and leaf["values"] == 1.0
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize(
    "tree, node, error",
    [(TREE, 5, IndexError), (TREE, -1, IndexError), (TREE, 2**63, IndexError),
     (TREE, -2**70, IndexError), (TREE, "0", TypeError),
     (fake_tree([(0, 1.0, 1, 7, 0.0, 2), (-2, 0, -1, -1, 0.0, 1)]), 0, ValueError),
     (fake_tree([(0, 1.0, 0, 0, 0.0, 2)]), 0, ValueError)],
    ids=["past-end", "negative", "huge", "huge-negative", "not-int", "child-outside", "cycle"],
)
def test_dfs_refuses_bad_trees(tree, node, error):
    with pytest.raises(error):
        list(fz.TreeSlicing()._dfs(tree, node, {}))


def data(n=600, seed=0, columns=2):
    rng = np.random.default_rng(seed)
    x, y = rng.random((n, columns)), rng.random(n)
    return x, y, y + np.where(x[:, 0] > 0.7, rng.normal(size=n), 0.0)


def fit(t, x, y, p, **kw):
    return t.fit(x, y, x, y, p, p, feature_names=[f"c{i}" for i in range(x.shape[1])], **kw)


def test_weak_leaf_bounded_above_is_clipped_to_observed_range():
    x, y, _ = data()
    t = fz.TreeSlicing(slice_features=["c0"], max_depth=1)
    fit(t, x, y, y + np.where(x[:, 0] < 0.3, 3.0, 0.0))
    assert len(t.rule_list) == 2
    assert t.weak_region == [{"lb1": x[:, 0].min(), "ub1": t.rule_list[0]["splits"]["f0"]["ub"]}]


def test_two_features_leaf_splitting_only_first_gets_full_second_range():
    x, y, p = data()
    t = fz.TreeSlicing(slice_features=["c0", "c1"], max_depth=1)
    fit(t, x, y, p)
    (region,) = t.weak_region
    assert list(region) == ["lb1", "lb2", "ub1", "ub2"] and region["lb1"] > 0.5
    assert (region["lb2"], region["ub1"], region["ub2"]) == (x[:, 1].min(), x[:, 0].max(),
                                                              x[:, 1].max())


def test_leaves_partition_the_rows_with_their_mean_scores():
    x, y, p = data(n=900)
    t = fz.TreeSlicing(slice_features=["c1", "c0"], min_samples=40)
    fit(t, x, y, p)
    scores = (y - p) ** 2
    assert t.fidx == [1, 0] and t.threshold_value == t.threshold * np.average(scores)
    leaf_of = t.tree_estimator.apply(x[:, [1, 0]])
    assert [leaf["counts"] for leaf in t.rule_list] == np.unique(leaf_of, return_counts=True)[1].tolist()
    for leaf, node in zip(t.rule_list, np.unique(leaf_of)):
        assert leaf["values"] == pytest.approx(scores[leaf_of == node].mean(), rel=1e-12)


def test_tree_without_split_gives_no_region():
    x, y, p = data(n=40)
    t = fz.TreeSlicing(slice_features=["c0"])
    assert fit(t, x, y, p) is None
    assert t.rule_list[0]["splits"] == {} and len(t.rule_list) == 1 and t.weak_region == []


class FixedLeaves(fz.TreeSlicing):
    def _dfs(self, tree, curr_node_idx, rule):
        return iter(self.leaves)


def test_leaf_equal_to_limit_is_weak():
    x, y, p = data(n=200)
    limit = 1.2 * np.average((y - p) ** 2)
    t = FixedLeaves(slice_features=["c0"], min_samples=5)
    t.leaves = [{"splits": {"f0": {"ub": 0.5, "lb": -INF}}, "values": limit, "counts": 1},
                {"splits": {"f0": {"lb": 0.5, "ub": INF}}, "values": np.nextafter(limit, 0),
                 "counts": 1}]
    fit(t, x, y, p)
    assert t.threshold_value == limit and t.weak_region == [{"lb1": x[:, 0].min(), "ub1": 0.5}]


@pytest.mark.parametrize(
    "features, error, message",
    [([], OrrinError, "^Only Support at most two slicing features.$"),
     (["c0", "c1", "c2"], OrrinError, "^Only Support at most two slicing features.$"),
     (["nope"], ValueError, "nope"), ("c0", TypeError, "slice_features"),
     (None, TypeError, "slice_features")],
)
def test_slicing_feature_errors_come_before_the_tree_fit(features, error, message):
    x, y, p = data(columns=3)
    t = fz.TreeSlicing(slice_features=features)
    t.feature_names = ["c0", "c1", "c2"]
    with pytest.raises(error, match=message):
        t._fit(x, y, p, (y - p) ** 2)
    assert not hasattr(t.tree_estimator, "tree_")


def test_repeated_slicing_feature_is_one_feature():
    x, y, p = data()
    t = fz.TreeSlicing(slice_features=["c0", "c0"])
    fit(t, x, y, p)
    assert t.fidx == [0] and all(set(r) == {"lb1", "ub1"} for r in t.weak_region)


def test_fit_end_to_end_finds_the_noisy_region():
    x, y, p = data(n=3000, seed=4)
    out = fit(fz.TreeSlicing(slice_features=["c0"], max_depth=1, min_samples=100), x, y, p)
    assert out.loc[0, "[c0"] == pytest.approx(0.7, abs=0.05) and out.loc[0, "c0)"] == x[:, 0].max()
    # the region reaches the test maximum, so its closed bound counts that row
    assert out.loc[0, "#Test"] == np.count_nonzero(x[:, 0] >= out.loc[0, "[c0"])
