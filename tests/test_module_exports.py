"""Every compiled module of the package exports its own init function beside
the core's public names, whatever the linker: the build writes each module's
names both as a GNU version script and as an Apple exported-symbols list and
hands the module the one its linker takes.  Checked by configuring the
package's build in a scratch directory, once with the linker found here and
once as for Apple's linker, so no Mac is needed; the modules are not built."""
import importlib.machinery
import os
import re
import sys
from pathlib import Path

import pytest

import builds
import zelvo._zelvo

ROOT = Path(builds.ROOT)


def _modules():
    """The package's compiled modules, by name, as installed."""
    here = Path(zelvo._zelvo.__file__).parent
    return sorted({f.name.split(".")[0] for f in here.iterdir()
                   if f.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))})


def _public_names():
    """What the header makes public, as the export files name it."""
    declared = re.findall(r"^RILLET_API\s+[^;(]*?\b(\w+)\s*\(",
                          (ROOT / "rillet" / "rillet.h").read_text(), re.M)
    return ["zv_*"] + [n for n in declared if not n.startswith("zv_")]


@pytest.fixture(scope="module", params=["probed", "apple"])
def configured(request, tmp_path_factory):
    """(build directory, export style) of a configured package build."""
    if not builds.have("cmake", "make", "c++"):
        pytest.skip("needs cmake, make and c++")
    build = tmp_path_factory.mktemp(f"configure-{request.param}")
    style = [] if request.param == "probed" else ["-DRILLET_EXPORT_STYLE=apple"]
    builds.run(["cmake", "-S", ROOT, "-B", build, "-G", "Unix Makefiles", "-DSKBUILD=ON",
                f"-DPython_EXECUTABLE={sys.executable}", *style])
    return build, "apple" if style else "gnu"


def test_each_module_exports_its_init_function(configured):
    build, style = configured
    modules = _modules()
    assert {"_zelvo", "_api", "_stream"} <= set(modules)
    for name in modules:
        names = _public_names() + [f"PyInit_{name}"]
        script = (build / "exports" / f"{name}.map").read_text()
        glob = re.search(r"global:\s*(.*?)\s*local:\s*\*;", script, re.S).group(1)
        assert [n.strip() for n in glob.split(";") if n.strip()] == names, script
        listed = (build / "exports" / f"{name}.list").read_text().split()
        assert listed == ["_" + n for n in names]


def test_each_module_links_with_its_own_list(configured):
    build, style = configured
    modules = _modules()
    for name in modules:
        line = (build / "CMakeFiles" / f"{name}.dir" / "link.txt").read_text()
        used = re.findall(r"(?:--version-script=|-exported_symbols_list,)([^\s,]+)", line)
        ext = ".list" if style == "apple" else ".map"
        assert used == [os.path.join(str(build), "exports", name + ext)], line
