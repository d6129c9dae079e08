"""The one error the command line reports as its user's fault."""


class InputError(Exception):
    """Bad input: printed as "marlix: <text>" on stderr, with exit status 2."""
