"""Builds shared by the core's family tests."""
import os
import shutil

import pytest

from corelib import build_library

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="session")
def ref_twins(tmp_path_factory):
    """The straightforward C++ loops of ref_kernels.cpp, for comparisons at
    sizes where the Python references are too slow."""
    if not shutil.which("g++"):
        pytest.skip("g++ is needed")
    return build_library(tmp_path_factory.mktemp("twins") / "ref_kernels.so",
                         [os.path.join(HERE, "ref_kernels.cpp")])
