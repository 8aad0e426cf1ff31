"""Decomposition of depth-2 boosted trees into main and pair effects (work in progress)."""


class XGBInterpreter:
    def __init__(self, estimator, purification=True, true_to_data=False, feature_names=None,
                 feature_types=None):
        self.estimator = estimator
