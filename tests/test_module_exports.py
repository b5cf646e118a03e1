"""Every compiled module of the package exports its own init function alone,
and the one shared core they all link (librillet) the core's public names,
whatever the linker: the build writes each target's
names both as a GNU version script and as an Apple exported-symbols list and
hands the module the one its linker takes.  Checked by configuring the
package's build in a scratch directory, once with the linker found here and
once as for Apple's linker, so no Mac is needed; the modules are not built."""
import importlib.machinery
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


@pytest.mark.parametrize("style", ["probed", "apple"])
def test_each_module_exports_its_init_function(style, tmp_path):
    if not builds.have("cmake", "make", "c++"):
        pytest.skip("needs cmake, make and c++")
    forced = [] if style == "probed" else [f"-DRILLET_EXPORT_STYLE={style}"]
    builds.run(["cmake", "-S", ROOT, "-B", tmp_path, "-G", "Unix Makefiles", "-DSKBUILD=ON",
                f"-DPython_EXECUTABLE={sys.executable}", *forced])
    modules = _modules()
    assert {"_zelvo", "_api", "_stream"} <= set(modules)
    for name in modules + ["rillet"]:
        names = _public_names() if name == "rillet" else [f"PyInit_{name}"]
        script = (tmp_path / "exports" / f"{name}.map").read_text()
        glob = re.search(r"global:\s*(.*?)\s*local:\s*\*;", script, re.S).group(1)
        assert [n.strip() for n in glob.split(";") if n.strip()] == names, script
        listed = (tmp_path / "exports" / f"{name}.list").read_text().split()
        assert listed == ["_" + n for n in names]
        # The target's link line takes its own file, of the linker's kind.
        line = (tmp_path / "CMakeFiles" / f"{name}.dir" / "link.txt").read_text()
        used = re.findall(r"(?:--version-script=|-exported_symbols_list,)([^\s,]+)", line)
        own = tmp_path / "exports" / (name + (".list" if style == "apple" else ".map"))
        assert used == [str(own)], line
