"""Depth-2 boosted tree model. The estimators live in ``orrin.models.xgb2.xgboost``."""
