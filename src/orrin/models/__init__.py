"""Interpretable models and their interpretation services."""
