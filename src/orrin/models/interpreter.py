"""Functional ANOVA interpretation of additive models (work in progress)."""


class FANOVAInterpreter:
    def __init__(self, model):
        self.model = model
