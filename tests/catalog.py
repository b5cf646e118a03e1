"""The exact module's functions as the tests see them, read from the package
catalog (the registry's rows that the exact module binds)."""
from zelvo._catalog import FUNCTIONS as _ALL

FUNCTIONS = {name: f for name, f in _ALL.items() if f.exact}

# Argument kinds in order: N numeric series, C condition series, I integer.
KINDS = {name: f.kinds.translate(str.maketrans("sci", "NCI")) for name, f in FUNCTIONS.items()}
NAMES = list(KINDS)
POSITIONAL_ONLY = {name for name, f in FUNCTIONS.items() if f.positional_only}
# Second argument is a series of window lengths.
WINDOW_SERIES = {f.per_bar for f in FUNCTIONS.values() if f.per_bar}


def argnames(name):
    return list(FUNCTIONS[name].argnames)


def core_name(name):
    return FUNCTIONS[name].core_name
