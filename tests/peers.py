"""The optional container libraries the tests use when installed (else None)."""
try:
    import pandas as pd
except ImportError:
    pd = None
try:
    import polars as pl
except ImportError:
    pl = None
