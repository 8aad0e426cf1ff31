"""Exception and warning classes of the orrin package."""


class OrrinWarning(UserWarning):
    """A warning about questionable input or results."""


class OrrinInfo(Exception):
    """Raised when there is nothing to show (for example no weak region to plot)."""


class OrrinError(Exception):
    """Raised for unsupported option values and invalid use of the package."""
