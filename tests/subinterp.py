"""Code run in a new sub-interpreter, on every Python that has them: the
module is _interpreters from 3.13 on and _xxsubinterpreters before, and the
way to ask for an isolated interpreter or one sharing the main one's GIL and
settings changed with each version."""
import importlib
import sys


def module():
    """This Python's sub-interpreter module, None where there is none."""
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


def run(code, isolated):
    """Runs `code` in a new sub-interpreter, isolated or not (before 3.12
    there is one kind only); returns the message it failed with, None if it
    ran.  The caller checks module() first."""
    interpreters = module()
    if interpreters.__name__ == "_interpreters":
        interp = interpreters.create("isolated" if isolated else "legacy")
    elif sys.version_info >= (3, 12):
        interp = interpreters.create(isolated=isolated)
    else:
        interp = interpreters.create()
    try:
        try:
            failure = interpreters.run_string(interp, code)
        except Exception as e:  # noqa: BLE001 - raised up to 3.12, returned after
            return str(e)
        return None if failure is None else failure.msg
    finally:
        interpreters.destroy(interp)
