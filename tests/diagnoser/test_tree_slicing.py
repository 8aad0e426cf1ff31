from types import SimpleNamespace

import numpy as np
import pytest
from sklearn.tree import DecisionTreeRegressor

from orrin.diagnoser import frailzone as fz
from orrin.exceptions import OrrinError

INF = np.inf


def fake_tree(nodes):
    """A tree structure from (feature, threshold, left, right, value, samples) rows."""
    cols = list(zip(*nodes))
    return SimpleNamespace(
        feature=np.array(cols[0]), threshold=np.array(cols[1], dtype=float),
        children_left=np.array(cols[2]), children_right=np.array(cols[3]),
        value=np.array(cols[4], dtype=float).reshape(-1, 1, 1),
        n_node_samples=np.array(cols[5]),
    )


# root: f0 <= 5; left: f0 <= 2; right: leaf. Leaves: 3, 4 (under left), 2.
TREE = fake_tree([
    (0, 5.0, 1, 2, 0.0, 10),
    (0, 2.0, 3, 4, 0.0, 6),
    (-2, -2.0, -1, -1, 3.0, 4),
    (-2, -2.0, -1, -1, 1.0, 2),
    (-2, -2.0, -1, -1, 2.0, 4),
])


@pytest.mark.parametrize("metric", [{"name": "R2"}, {"name": "F1"}, {"name": "AUC"}])
def test_non_additive_metric_is_refused(metric):
    with pytest.raises(OrrinError, match=r"^tree slicing is incompatible with this metric\.$"):
        fz.TreeSlicing(metric=metric)


def test_construction_defaults_and_tree():
    t = fz.TreeSlicing(slice_features=["a"], threshold=1.5, max_depth=3, min_samples=7)
    assert t.max_depth == 3 and t.min_samples == 7 and t.threshold == 1.5
    assert isinstance(t.tree_estimator, DecisionTreeRegressor)
    assert t.tree_estimator.get_params() == DecisionTreeRegressor(
        max_depth=3, min_samples_leaf=7).get_params()
    d = fz.TreeSlicing()
    assert d.tree_estimator.max_depth == 2 and d.tree_estimator.min_samples_leaf == 30
    assert issubclass(fz.TreeSlicing, fz.BaseSlicing)


def test_dfs_order_bounds_and_narrowing():
    leaves = list(fz.TreeSlicing()._dfs(TREE, 0, {}))
    assert [leaf["values"] for leaf in leaves] == [1.0, 2.0, 3.0]
    assert [leaf["counts"] for leaf in leaves] == [2, 4, 4]
    assert leaves[0]["splits"] == {"f0": {"ub": 2.0, "lb": -INF}}
    # left then right on f0 with thresholds 5 then 2 narrows one pair
    assert leaves[1]["splits"] == {"f0": {"ub": 5.0, "lb": 2.0}}
    assert leaves[2]["splits"] == {"f0": {"lb": 5.0, "ub": INF}}
    assert list(leaves[0]["splits"]["f0"]) == ["ub", "lb"]
    assert list(leaves[2]["splits"]["f0"]) == ["lb", "ub"]


def test_dfs_copies_rules_two_levels_deep():
    rule = {"f1": {"lb": 0.0, "ub": 9.0}}
    leaves = list(fz.TreeSlicing()._dfs(TREE, 0, rule))
    assert rule == {"f1": {"lb": 0.0, "ub": 9.0}}
    inner = [leaf["splits"]["f1"] for leaf in leaves]
    assert len({id(i) for i in inner}) == 3
    assert all(i is not rule["f1"] for i in inner)


def test_dfs_of_a_leaf_yields_the_rule_object_itself():
    rule = {}
    it = fz.TreeSlicing()._dfs(TREE, 3, rule)
    assert iter(it) is it
    leaf = next(it)
    assert leaf["splits"] is rule and leaf["values"] == 1.0
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize(
    "tree, node, error",
    [
        (TREE, 5, IndexError),
        (TREE, -1, IndexError),
        (fake_tree([(0, 1.0, 1, 7, 0.0, 2), (-2, 0, -1, -1, 0.0, 1)]), 0, ValueError),
        (fake_tree([(0, 1.0, 0, 0, 0.0, 2)]), 0, ValueError),
    ],
    ids=["past-end", "negative", "child-outside", "cycle"],
)
def test_dfs_refuses_bad_trees(tree, node, error):
    with pytest.raises(error):
        list(fz.TreeSlicing()._dfs(tree, node, {}))


def data(n=600, seed=0, columns=2):
    rng = np.random.default_rng(seed)
    x = rng.random((n, columns))
    y = rng.random(n)
    p = y + np.where(x[:, 0] > 0.7, rng.normal(size=n), 0.0)
    return x, y, p


def fit(t, x, y, p, names=None, **kw):
    names = names or [f"c{i}" for i in range(x.shape[1])]
    return t.fit(x, y, x, y, p, p, feature_names=names, **kw)


def test_weak_leaf_bounded_above_is_clipped_to_observed_range():
    x, y, p = data()
    p = y + np.where(x[:, 0] < 0.3, 3.0, 0.0)
    t = fz.TreeSlicing(slice_features=["c0"], max_depth=1)
    fit(t, x, y, p)
    assert len(t.rule_list) <= 2
    assert t.weak_region == [{"lb1": x[:, 0].min(), "ub1": t.rule_list[0]["splits"]["f0"]["ub"]}]
    assert np.isfinite(list(t.weak_region[0].values())).all()


def test_two_features_leaf_splitting_only_first_gets_full_second_range():
    x, y, p = data()
    t = fz.TreeSlicing(slice_features=["c0", "c1"], max_depth=1)
    fit(t, x, y, p)
    (region,) = t.weak_region
    assert list(region) == ["lb1", "lb2", "ub1", "ub2"]
    assert region["lb2"] == x[:, 1].min() and region["ub2"] == x[:, 1].max()
    assert region["ub1"] == x[:, 0].max() and region["lb1"] > 0.5
    assert t.fidx == [0, 1]


def test_leaf_counts_partition_the_rows_and_values_are_leaf_means():
    x, y, p = data(n=900)
    t = fz.TreeSlicing(slice_features=["c1", "c0"], max_depth=2, min_samples=40)
    fit(t, x, y, p)
    assert sum(leaf["counts"] for leaf in t.rule_list) == 900
    assert t.fidx == [1, 0]
    scores = (y - p) ** 2
    assert t.threshold_value == t.threshold * np.average(scores)
    tree = t.tree_estimator
    leaf_of = tree.apply(x[:, [1, 0]])
    for leaf, node in zip(t.rule_list, np.unique(leaf_of)):
        assert leaf["values"] == pytest.approx(scores[leaf_of == node].mean(), rel=1e-12)


def test_tree_without_split_gives_no_region():
    x, y, p = data(n=40)
    t = fz.TreeSlicing(slice_features=["c0"])
    assert fit(t, x, y, p) is None
    assert len(t.rule_list) == 1 and t.rule_list[0]["splits"] == {} and t.weak_region == []


class FixedLeaves(fz.TreeSlicing):
    leaves = []

    def _dfs(self, tree, curr_node_idx, rule):
        return iter(self.leaves)


def test_leaf_equal_to_limit_is_weak_and_others_follow_the_sign():
    x, y, p = data(n=200)
    scores = (y - p) ** 2
    limit = 1.2 * np.average(scores)
    t = FixedLeaves(slice_features=["c0"], min_samples=5)
    t.leaves = [
        {"splits": {"f0": {"ub": 0.5, "lb": -INF}}, "values": limit, "counts": 1},
        {"splits": {"f0": {"lb": 0.5, "ub": INF}}, "values": np.nextafter(limit, 0), "counts": 1},
    ]
    fit(t, x, y, p)
    assert t.threshold_value == limit
    assert t.weak_region == [{"lb1": x[:, 0].min(), "ub1": 0.5}]


def test_zero_weights_give_unweighted_overall_score():
    x, y, p = data(n=200)
    t = fz.TreeSlicing(slice_features=["c0"])
    with pytest.raises(ValueError):  # the tree itself refuses all-zero weights
        fit(t, x, y, p, train_sample_weight=np.zeros(200), test_sample_weight=np.zeros(200))
    assert t.threshold_value == t.threshold * np.average((y - p) ** 2)


@pytest.mark.parametrize(
    "features, error, message",
    [
        ([], OrrinError, "Only Support at most two slicing features."),
        (["c0", "c1", "c2"], OrrinError, "Only Support at most two slicing features."),
        (["nope"], ValueError, "nope"),
        ("c0", TypeError, "slice_features"),
        (None, TypeError, "slice_features"),
    ],
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
    assert t.fidx == [0]
    assert all(set(r) == {"lb1", "ub1"} for r in t.weak_region)


def test_fit_end_to_end_finds_the_noisy_region():
    x, y, p = data(n=3000, seed=4)
    t = fz.TreeSlicing(slice_features=["c0"], max_depth=1, min_samples=100)
    out = fit(t, x, y, p)
    assert out.loc[0, "[c0"] == pytest.approx(0.7, abs=0.05)
    assert out.loc[0, "c0)"] == x[:, 0].max()
    # the top region reaches the test maximum, so its closed bound counts that row
    assert out.loc[0, "#Test"] == np.count_nonzero(x[:, 0] >= out.loc[0, "[c0"])
