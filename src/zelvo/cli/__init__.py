"""Command line: indicator formulas computed on bar data.

    python -m zelvo                                  # sample bars, default formulas
    python -m zelvo --csv bars.csv "MA(CLOSE,5)" "CROSS(MA(C,5),MA(C,20))"
    python -m zelvo --csv bars.csv "DIF:=EMA(C,12)-EMA(C,26); DIF-EMA(DIF,9)"
    python -m zelvo --csv bars.csv -f mine.txt --indicator MACD --param SHORT=10
    python -m zelvo --csv a.csv --csv b.csv --output long.csv "MA(C,20)"
    python -m zelvo --list-indicators

Every formula (an argument, a -f file or a library indicator) is compiled by
zelvo.formula; its output lines become the columns of the result. Bars come
from the embedded sample, from one CSV file (one instrument) or from a
universe: a CSV file with a symbol column, or several files, one per symbol.
A universe is computed symbol by symbol (symbols of one length together, as a
panel) and written long: symbol, date, then the outputs.

User errors (a bad formula, a bad CSV file, an unwritable output) are reported
on standard error as "zelvo: error: ..." with exit status 2 and no traceback.
Outputs are written to a temporary file beside the target and renamed into
place only when complete, so a failure never leaves a half-written or emptied
file; an output is never one of the files read (standard input included), not
even through a symlink made while the command runs. Notes about the bars
(missing values, no date column) and about results that overflowed go to
standard error as "zelvo: note: ..."; floating-point warnings do not.

The package's parts: command (the arguments and one run), formulas (from
arguments, files and the library), bars and dates (the CSV reader), sample
(the embedded bars), files (identities, strict standard input, atomic
writes) and output (table, CSV, plot); common holds what they share.
"""
from .command import build_parser, main

__all__ = ["build_parser", "main"]
