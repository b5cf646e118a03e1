"""What the command line reads and writes: file identities, standard input
read strictly, outputs written atomically and never over an input, and
text that the output encoding can hold.
"""
from __future__ import annotations

import argparse
import contextlib
import io
import os
import stat
import sys
import tempfile
from typing import BinaryIO, Callable, Iterator, Sequence, TextIO

from .bars import Bars
from .common import FileId, INSTALL_PLOT, STDIN, UserError


def _check_utf8_symbols(output: str, universe: Sequence[Bars]) -> None:
    """The CSV file written is UTF-8; a symbol named by a file name that is not
    UTF-8 text cannot be written to it."""
    for bars in universe:
        if bars.symbol is not None and not _is_utf8(bars.symbol):
            raise UserError(f"--output {_escaped(output)}: the symbol "
                            f"'{_escaped(bars.symbol)}' is named by the file "
                            f"{_escaped(bars.source)}, whose name is not UTF-8 text, and "
                            "cannot be written to a CSV file; rename the file")


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:         # surrogates: bytes of a name that were not UTF-8
        return False
    return True


def _escaped(text: str) -> str:
    """Text with the bytes of a name that were not UTF-8 shown as \\xff."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return raw.decode("utf-8", "backslashreplace")


def _unprintable(e: UnicodeEncodeError, output: str | None) -> str:
    """What to say when standard output cannot take some text."""
    bad = e.object[e.start:e.end]
    if not _is_utf8(bad):
        return (f"cannot print '{_escaped(bad)}': a file name here is not UTF-8 text "
                "(it names the bars or their symbol); rename the file")
    fix = "set PYTHONIOENCODING=utf-8"
    if output is None or output == "-":      # the table or the CSV went to the terminal
        fix += " or use --output FILE"
    return f"cannot print {bad!r} in the output's encoding ({e.encoding}); {fix}"


def _check_plot(path: str) -> None:
    """Before any work: matplotlib is there and knows the image type of path."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise UserError(f"--plot needs matplotlib, which is not installed: "
                        f"{INSTALL_PLOT}") from None
    kinds = FigureCanvasBase.get_supported_filetypes()
    ext = os.path.splitext(path)[1][1:].lower()
    if ext not in kinds:
        what = f"an unknown image type '.{ext}'" if ext else "no extension"
        raise UserError(f"--plot {path}: {what}; name the image type by its extension: "
                        f"{', '.join('.' + k for k in sorted(kinds))}")


def _file_of(path: str | None) -> FileId | None:
    """The file a path names now (through symlinks); None for "-" or a path
    that names nothing (yet)."""
    if path is None or path == "-":
        return None
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _same_file(a: str | None, b: str | None) -> bool:
    file = _file_of(a)
    return file is not None and file == _file_of(b)


def _overwritten(option: str, path: str, what: str) -> UserError:
    return UserError(f"{option} {path} is {what} itself; it would be overwritten: "
                     "write elsewhere")


def _check_not_the_same(args: argparse.Namespace, stdin: FileId | None) -> None:
    """No output may replace the bars or formulas being read (the file on
    standard input among them, `stdin`), nor another output."""
    inputs = [("the --csv file", p) for p in args.csv or ()]
    inputs += [("the -f file", p) for k, p in args.sources or () if k == "file"]
    for option, path in (("--output", args.output), ("--plot", args.plot)):
        for what, source in inputs:
            if _same_file(path, source):
                raise _overwritten(option, path, what)
        if stdin is not None and _file_of(path) == stdin:
            raise _overwritten(option, path, STDIN)
    if _same_file(args.output, args.plot) or (
            args.output is not None and args.output == args.plot):
        raise UserError(f"--output and --plot name the same file {args.plot}")


@contextlib.contextmanager
def _strict_stdin() -> Iterator[TextIO]:
    """Standard input decoded as strictly as a file: UTF-8, an error on any other
    byte (the interpreter's own stdin may let bad bytes through as surrogates)."""
    if sys.stdin is None:
        raise UserError("--csv -: there is no standard input to read")
    buffer = getattr(sys.stdin, "buffer", None)
    if buffer is None:                 # already text (embedded use, tests)
        yield sys.stdin
        return
    stream = io.TextIOWrapper(buffer, encoding="utf-8-sig", errors="strict", newline="")
    try:
        yield stream
    finally:
        with contextlib.suppress(OSError, ValueError):
            stream.detach()            # leave sys.stdin's buffer open


@contextlib.contextmanager
def _text(f: BinaryIO) -> Iterator[TextIO]:
    out = io.TextIOWrapper(f, encoding="utf-8", newline="")
    try:
        yield out
        out.flush()
    finally:
        out.detach()


def _guard(option: str, path: str, inputs: dict[FileId, str]) -> Callable[[str], None]:
    """For write_atomically: refuses a target that is one of the files read
    (`inputs`: what each is), as they were opened."""
    def check(target: str) -> None:
        file = _file_of(target)
        if file is not None and file in inputs:
            raise _overwritten(option, path, inputs[file])
    return check


def write_atomically(path: str, write: Callable[[BinaryIO], None],
                     guard: Callable[[str], None] | None = None) -> None:
    """Write a file through a temporary file beside it, renamed into place only
    once `write` has finished: a failure leaves an existing file as it was and
    no partial file behind. A device or pipe (/dev/null, /dev/stdout) is written
    directly.

    `guard` is called with the file the path leads to before anything is
    written and again right before the rename (a symlink made meanwhile may lead
    elsewhere); it raises to refuse the target."""
    target = os.path.realpath(path)    # through a symlink to the file it names
    try:
        if guard is not None:
            guard(target)
        try:
            mode: int | None = os.stat(target).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and not stat.S_ISREG(mode):
            with open(target, "wb") as f:
                write(f)
            return
        if mode is not None and not os.access(target, os.W_OK):
            raise PermissionError(13, "Permission denied")   # as open() would say
        fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                    dir=os.path.dirname(target))
        try:
            with os.fdopen(fd, "wb") as f:
                write(f)
            if guard is not None:
                guard(os.path.realpath(path))
            if mode is None:           # a new file gets the usual permissions
                umask = os.umask(0)
                os.umask(umask)
                os.chmod(temp, 0o666 & ~umask)
            else:
                os.chmod(temp, stat.S_IMODE(mode))
            os.replace(temp, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temp)
            raise
    except OSError as e:
        raise UserError(f"cannot write {path}: {e.strerror or e}") from None
