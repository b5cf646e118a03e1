#!/usr/bin/env bash
# Runs the module's test suite (and the core's, through the same module file)
# against a build of zelvo._zelvo under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   fuzz/asan_module.sh [pytest arguments...]     (default: tests/module tests/core)
#
# The build is -O1, the sanitizers' usual level, which builds much faster than
# the optimised one.  The sanitized package goes to build/asan-site, never
# into site-packages, so the ordinary installed module stays as it is.  The interpreter itself is
# not sanitized, so the runtimes are preloaded; leak detection is off because
# CPython keeps objects alive until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."

san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
# Build in the current environment when its build backend is there, else let
# pip fetch one into an isolated build environment.
isolation=()
python3 -c "import scikit_build_core" 2>/dev/null && isolation=(--no-build-isolation)
rm -rf build/asan-site
python3 -m pip install -q "${isolation[@]}" --no-deps --target build/asan-site . \
  -C build-dir=build/asan \
  -C cmake.build-type=Debug \
  -C cmake.define.ZELVO_CORE_OPT=-O1 -C cmake.define.ZELVO_MODULE_OPT=-O1 \
  -C cmake.define.CMAKE_CXX_FLAGS="$san" \
  -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -C cmake.define.CMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"

asan="$(gcc -print-file-name=libasan.so)"
ubsan="$(gcc -print-file-name=libubsan.so)"
[ "$#" -gt 0 ] || set -- tests/module tests/core
PYTHONPATH="$PWD/build/asan-site" \
LD_PRELOAD="$asan:$ubsan" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  python3 -m pytest -q -p no:cacheprovider "$@"
