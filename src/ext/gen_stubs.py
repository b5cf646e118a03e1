"""Writes the type stubs of zelvo._zelvo and zelvo._api from the core's registry.

    python gen_stubs.py rillet/rillet.h rillet/src/catalog.h OUTDIR

The rows of RILLET_FUNCTIONS (rillet.h) and the argument shapes of their
forms (``shape_of``, catalog.h) are read from the headers themselves, so the
stubs list exactly the functions the modules bind, in their order.
"""
import re
import sys

EXACT_HEAD = '"""Type stubs of the extension module: 31 functions over float64 series.\n\nSeries arguments are one-dimensional, C-contiguous, writable float64 arrays with\nat least one element, oldest bar first. Condition arguments (x of BARSINCE,\nBARLAST, BARSLAST, BACKCOUNT and FIF) may be any one-dimensional array; a value\nis true when its truncation toward zero is non-zero (0.5 and NaN are false; 1.0,\n256 and -1 are true), and uint8 or bool arrays are read as they are. Window\nlengths N and M are exactly int, within the 32-bit range. Every function returns\na new float64 array as long as its first argument; arguments of different\nlengths, or a window length that the function refuses (such as N < 1 for MA),\ngive an array of zeros.\n"""\n'

API_HEAD = '"""Type stubs of zelvo._api, the functions of the zelvo package.\n\nSeries arguments take NumPy arrays and anything numpy.asarray reads (lists,\ntuples; bool, int or float values), pandas and polars objects, Arrow data\n(any object with ``__arrow_c_array__`` or ``__arrow_c_stream__``: pyarrow\narrays and chunked arrays, DuckDB results; nulls read as NaN) and numbers\nthat stand for every bar.  Condition arguments take the same; a bar is true\nwhere its value truncated toward zero is non-zero.  Windows are int (or NumPy\nintegers) in the range each function states.  ``axis`` is the time axis of\nan N-D array.  The result is a float64 array shaped like the series, or a\npandas, polars or pyarrow object like the first series argument; the\noverloads below follow the first argument, which is the usual case.\n"""\nfrom typing import Any, TypeVar, overload\n\nimport numpy as np\nimport pandas as pd\nimport polars as pl\nfrom numpy.typing import ArrayLike, NDArray\n\n_Series = ArrayLike\n_Condition = ArrayLike\n_Window = int | np.integer[Any]\n_Frame = TypeVar("_Frame", pd.Series, pd.DataFrame, pl.Series, pl.DataFrame)\n_Result = NDArray[np.float64]\n'

API_TAIL = """def set_threads(n: int, /) -> None:
    \"\"\"Sets the threads of panel calls: 1 to 1024, or 0 for the default.\"\"\"

def get_threads() -> int:
    \"\"\"The number of threads panel calls use.\"\"\"
"""

ROW = re.compile(r'X\((\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*\\?\s*'
                 r'"((?:[^"\\]|\\.)*)",\s*((?:"\w+"(?:,\s*)?)+)\)')
SHAPE = re.compile(r'case Form::(\w+): return \{(\d), \{([^}]*)\}, (true|false)\};')
LETTER = {"Num": "s", "Cond": "c", "Int": "i"}


def registry(header: str, catalog: str):
    """(name, exact, summary, ((argname, kind), ...), positional_only) per row."""
    block = header[header.index("#define RILLET_FUNCTIONS(X)"):]
    block = block[:block.index("\n\n")]
    shapes = {}
    for form, nargs, kinds, positional in SHAPE.findall(catalog):
        letters = [LETTER[k.strip().split("::")[1]] for k in kinds.split(",")]
        shapes[form] = (letters[:int(nargs)], positional == "true")
    rows = []
    for name, _fn, form, _param, _all, exact, summary, names in ROW.findall(block):
        kinds, positional = shapes[form]
        argnames = re.findall(r'"(\w+)"', names)
        if len(argnames) != len(kinds):
            raise SystemExit(f"gen_stubs: {name}: {len(argnames)} names for form {form}")
        rows.append((name, exact == "1", summary.replace('\\"', '"'),
                     tuple(zip(argnames, kinds)), positional))
    if not rows or len(rows) != block.count("    X("):
        raise SystemExit("gen_stubs: could not read every row of RILLET_FUNCTIONS")
    return rows


def sentence(summary: str, argnames) -> str:
    first = summary.split(" ", 1)[0]
    text = summary if first in argnames else summary[:1].upper() + summary[1:]
    return text if text.endswith(".") else text + "."


def exact_stub(rows) -> str:
    types = {"s": "_Series", "c": "_Condition", "i": "int"}
    out = [EXACT_HEAD]
    for name, exact, summary, args, positional in rows:
        if not exact:
            continue
        params = [f"{a}: {types[k]}" for a, k in args] + (["/"] if positional else [])
        out.append(f"def {name}({', '.join(params)}) -> _Series:\n"
                   f'    """{sentence(summary, [a for a, _ in args])}"""\n')
    return "\n".join(out)


def api_stub(rows) -> str:
    types = {"s": "_Series", "c": "_Condition", "i": "_Window"}
    names = [r[0] for r in rows] + ["set_threads", "get_threads"]
    listed = ", ".join(f'"{n}"' for n in names)
    out = [API_HEAD, "__all__ = [" + listed + "]\n"]
    for name, _exact, summary, args, positional in rows:
        tail = (["/"] if positional else []) + ["*", "axis: int = -1"]
        rest = [f"{a}: {types[k]}" for a, k in args[1:]]
        first, kind = args[0]
        frame = ", ".join([f"{first}: _Frame"] + rest + tail)
        plain = ", ".join([f"{first}: {types[kind]}"] + rest + tail)
        out.append(f"@overload\ndef {name}({frame}) -> _Frame: ...\n"
                   f"@overload\ndef {name}({plain}) -> _Result:\n"
                   f'    """{sentence(summary, [a for a, _ in args])}"""\n')
    out.append(API_TAIL)
    return "\n".join(out)


def main(argv):
    header, catalog, outdir = argv[1], argv[2], argv[3]
    with open(header, encoding="utf-8") as f, open(catalog, encoding="utf-8") as g:
        rows = registry(f.read(), g.read())
    for name, text in (("_zelvo.pyi", exact_stub(rows)), ("_api.pyi", api_stub(rows))):
        with open(f"{outdir}/{name}", "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main(sys.argv)
