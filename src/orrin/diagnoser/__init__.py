"""Model diagnosers. The weak-region diagnoser lives in ``orrin.diagnoser.frailzone``."""
