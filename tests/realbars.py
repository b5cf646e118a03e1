"""The real daily bars that lie beside the project (read in place, never
copied): where they are, and their columns as float64 arrays."""
import os
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
# shared/ sits beside the checkout (a worktree may sit a level deeper);
# ZELVO_SHARED_DATA names another place.
DATA = (Path(os.environ["ZELVO_SHARED_DATA"]) if "ZELVO_SHARED_DATA" in os.environ else
        next((p / "shared" / "data" for p in ROOT.parents if (p / "shared" / "data").is_dir()),
             ROOT.parent / "shared" / "data"))
FILES = sorted(DATA.glob("*.csv")) if DATA.is_dir() else []
REAL = DATA / "orcl-1995-2014.csv"
FIELDS = ("open", "high", "low", "close", "volume")


def load(path):
    """The columns open, high, low, close and volume of a
    Date,Open,High,Low,Close,Adj Close,Volume file, as float64 arrays."""
    a = np.loadtxt(path, delimiter=",", skiprows=1, usecols=(1, 2, 3, 4, 6))
    return {k: np.ascontiguousarray(a[:, i]) for i, k in enumerate(FIELDS)}
