"""The committed fuzz corpus (seeds and every past finding) replayed through
the fuzz_core harness, built with g++ under AddressSanitizer and
UndefinedBehaviorSanitizer: the core exactly as the module's compiler builds
it, vector paths included."""
import os
import subprocess

import pytest

import builds

FUZZ = os.path.join(builds.ROOT, "fuzz")


@pytest.mark.skipif(not builds.runtime("libasan.so"), reason="g++ and its AddressSanitizer runtime are needed")
def test_corpus_replays_clean_under_sanitizers(tmp_path, core_objects):
    exe = builds.program(tmp_path / "replay", [os.path.join(FUZZ, "fuzz_core.cpp"),
                                               os.path.join(FUZZ, "replay.cpp")],
                         core_objects("asan"), "asan")
    corpus = os.path.join(FUZZ, "corpus")
    env = dict(os.environ, ASAN_OPTIONS="abort_on_error=1:detect_leaks=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    run = subprocess.run([str(exe), corpus], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr[-4000:]
    assert f"replayed {len(os.listdir(corpus))} inputs" in run.stderr
