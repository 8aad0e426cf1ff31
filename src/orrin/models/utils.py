"""Tree-function services: piecewise-constant effect evaluation (work in progress)."""


def predict_1D_func_tree(fidx, split_points, values, left_open=True):
    raise NotImplementedError


def predict_2D_func_tree(fidx, split_points_0, split_points_1, values, left_open=True):
    raise NotImplementedError
