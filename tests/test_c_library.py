"""The README's "From C" section, run as written: its C program compiled and
linked through every route it shows (the static core inside the installed
package; `cmake --install` then pkg-config, and then a CMake project with
find_package), each printing what the README says.  The same routes link
tests/c/pool_stream_caller.c, which calls the parts of the core that need
the C++ runtime (the thread pool, streams): a C program must get it from
each route, the static ones included.

The install goes to a scratch HOME, the CMake build to build/rillet as the
README says.  Routes whose tools are missing are skipped."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

import pytest

from zelvo._catalog import FUNCTIONS

import zelvo

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
PRINTED = "rc=0 ma=2 3 4"
# What tests/c/pool_stream_caller.c prints.
POOL_STREAM = ["panel rc=0 ma=4 14 31", "stream rc=0 open=2 peek=3 update=3 copy=4 bars=5"]


def _section():
    text = README.read_text()
    return text[text.index("## From C"):].split("\n## ", 1)[0]


def _blocks(lang):
    return re.findall(rf"```{lang}\n(.*?)```", _section(), re.S)


def _env(home):
    # python3 is the interpreter running the tests, as in a virtual environment.
    path = os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PKG_CONFIG_PATH")}
    return dict(env, HOME=str(home), PATH=path)


def _sh(script, cwd, env):
    p = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=cwd, env=env,
                       capture_output=True, text=True)
    assert p.returncode == 0, f"{script}\n{p.stdout}\n{p.stderr}"
    return p.stdout


def _needs(*tools):
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        pytest.skip("needs " + ", ".join(missing))


class Program(NamedTuple):
    dir: Path          # holds the program as ma.c, the name the README's commands use
    printed: list


@pytest.fixture(params=["readme", "pool_stream"])
def program(request, tmp_path):
    if request.param == "readme":
        (c,), printed = _blocks("c"), [PRINTED]
    else:
        c, printed = (ROOT / "tests" / "c" / "pool_stream_caller.c").read_text(), POOL_STREAM
    (tmp_path / "ma.c").write_text(c)
    return Program(tmp_path, printed)


def test_readme_shows_the_three_routes():
    assert len(_blocks("c")) == 1 and len(_blocks("sh")) == 3 and len(_blocks("cmake")) == 1
    assert f"`{PRINTED}`" in _section()
    # get_include() documents the package route's link line.
    link = re.search(r"\"\$inc/\.\./lib/librillet\.a\"[^`]*?(?= -o |``)",
                     _blocks("sh")[0]).group(0)
    assert link in " ".join(zelvo.get_include.__doc__.split())


def test_static_core_in_the_package_links(program):
    _needs("cc")
    with_package = _blocks("sh")[0]
    out = _sh(with_package, program.dir, _env(program.dir))
    assert out.splitlines() == program.printed


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """HOME after the README's `cmake --install` into $HOME/.local."""
    _needs("cmake", "cc", "c++")
    home = tmp_path_factory.mktemp("home")
    _sh(_blocks("sh")[1], ROOT, _env(home))
    return home


def test_install_lays_out_the_library(installed):
    prefix = installed / ".local"
    for f in ["include/rillet.h", "lib/librillet.a", "lib/librillet.so",
              "lib/pkgconfig/rillet.pc", "lib/cmake/rillet/rilletConfig.cmake",
              "lib/cmake/rillet/rilletConfigVersion.cmake"]:
        assert (prefix / f).is_file(), f
    # The shared library exports the public names and nothing else.
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", str(prefix / "lib/librillet.so")],
                             capture_output=True, text=True, check=True).stdout
        names = {line.split()[-1] for line in out.splitlines() if line.strip()}
        helpers = {"maxi", "mini", "ctxn", "arange", "zeros", "aprint"}
        # Every zv_ name the header declares (the 31 functions, the panel
        # entry, the streams) and the registry's functions beyond the
        # header, and no other.
        declared = set(re.findall(r"RILLET_API\s+[^;(]*?\b(zv_\w+)\s*\(",
                                  (ROOT / "rillet" / "rillet.h").read_text()))
        assert {"zv_panel", "zv_stream_open"} <= declared
        registry = {f.core_name for f in FUNCTIONS.values()}
        assert {n for n in names if n.startswith("zv_")} == declared | registry
        assert {n for n in names if not n.startswith("zv_")} == helpers, names


def test_pkg_config_route(installed, program):
    _needs("pkg-config", "cc")
    out = _sh(_blocks("sh")[2], program.dir, _env(installed))
    assert out.splitlines() == program.printed
    # The static variant the README mentions: no librillet.so needed at run time.
    static = ('export PKG_CONFIG_PATH="$HOME/.local/lib/pkgconfig"\n'
              'cc ma.c $(pkg-config --static --cflags --libs rillet) -static -o ma_static\n'
              'mv "$HOME/.local" "$HOME/moved" && trap \'mv "$HOME/moved" "$HOME/.local"\' EXIT\n'
              './ma_static')
    assert _sh(static, program.dir, _env(installed)).splitlines() == program.printed


@pytest.mark.parametrize("target", ["rillet::rillet", "rillet::rillet_static"])
def test_cmake_package_route(installed, program, target):
    _needs("cmake", "cc")
    (fragment,) = _blocks("cmake")
    fragment = fragment.replace("PRIVATE rillet::rillet)", f"PRIVATE {target})")
    assert target in fragment
    # A C project: the C++ runtime must come from the package, not the linker.
    (program.dir / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.18)\nproject(ma C)\n" + fragment)
    env = _env(installed)
    _sh(f'cmake -S . -B build -DCMAKE_PREFIX_PATH="$HOME/.local" && cmake --build build',
        program.dir, env)
    out = subprocess.run([str(program.dir / "build" / "ma")], capture_output=True, text=True,
                         check=True).stdout
    assert out.splitlines() == program.printed
