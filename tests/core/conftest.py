"""Builds shared by the core's family tests."""
import pytest

import builds
import reference


@pytest.fixture(scope="session")
def ref_twins(tmp_path_factory):
    """The straightforward C++ loops of ref_kernels.cpp, for comparisons at
    sizes where the Python references are too slow."""
    if not builds.have("g++"):
        pytest.skip("g++ is needed")
    return reference.twins(tmp_path_factory.mktemp("twins") / "ref_kernels.so")
