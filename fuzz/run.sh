#!/usr/bin/env bash
# Builds the core's libFuzzer harnesses under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them: fuzz_core (every series function
# and helper) for a given number of seconds, then fuzz_stream_load (the
# loader of saved streams) for a given number of inputs.
#
#   fuzz/run.sh [SECONDS] [extra libFuzzer options...]
#   fuzz/run.sh --probe      exit 0 when a clang++ that links libFuzzer exists
#
# SECONDS defaults to 60 (0 runs the loader alone); FUZZ_STATE_RUNS (default
# 200000) is the number of inputs fuzz_stream_load runs, seeds included.
# The committed seeds (fuzz/corpus, fuzz/corpus_state) are replayed first;
# new inputs go to scratch corpora (FUZZ_WORK, default build/fuzz/work, and
# its sibling work_state), never into the committed ones.  A crash leaves its input in
# build/fuzz/ and makes the script exit non-zero.
# Environment: CLANGXX picks the compiler (default: the first of clang++,
# clang++-19 ... clang++-14 that links a libFuzzer target).
set -euo pipefail
cd "$(dirname "$0")/.."

links_fuzzer() {
  command -v "$1" >/dev/null 2>&1 &&
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' |
    "$1" -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null >/dev/null 2>&1
}

cxx="${CLANGXX:-}"
if [ -z "$cxx" ]; then
  for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if links_fuzzer "$c"; then cxx="$c"; break; fi
  done
fi
if [ "${1:-}" = "--probe" ]; then
  [ -n "$cxx" ] && links_fuzzer "$cxx"
  exit
fi
if [ -z "$cxx" ]; then
  echo "fuzz/run.sh: no clang++ with libFuzzer (apt-get install clang-14 libclang-rt-14-dev)" >&2
  exit 2
fi

seconds="${1:-60}"
shift || true
state_runs="${FUZZ_STATE_RUNS:-200000}"

out=build/fuzz
work="${FUZZ_WORK:-$out/work}"
work_state="$(dirname "$work")/work_state"
mkdir -p "$out/obj" "$work" "$work_state"

# The core's own flags (exact IEEE order, wrapping ints) plus the sanitizers.
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fwrapv -ffp-contract=off -fno-fast-math
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Irillet -Irillet/src)

objs=()
pids=()
for src in rillet/src/*.cpp rillet/src/families/*.cpp fuzz/fuzz_core.cpp fuzz/fuzz_stream_load.cpp; do
  obj="$out/obj/$(basename "$src" .cpp).o"
  "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
  case "$src" in rillet/*) objs+=("$obj") ;; esac
  pids+=("$!")
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
if [ "$failed" = 1 ]; then
  echo "fuzz/run.sh: the core or the harness does not compile with $cxx" >&2
  exit 3
fi
for target in fuzz_core fuzz_stream_load; do
  "$cxx" "${flags[@]}" "${objs[@]}" "$out/obj/$target.o" -o "$out/$target"
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
# (0 seconds skips fuzz_core: libFuzzer would take 0 as no limit.)
if [ "$seconds" != 0 ]; then
  "$out/fuzz_core" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$out/" "$@" "$work" fuzz/corpus
fi
# No input of 4 KiB justifies a large allocation: the loader asks for about
# three times the bytes it is given, so anything beyond 64 MiB is reported.
"$out/fuzz_stream_load" -runs="$state_runs" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=64 \
  -max_len=4096 -print_final_stats=1 -artifact_prefix="$out/state-" "$@" "$work_state" \
  fuzz/corpus_state
