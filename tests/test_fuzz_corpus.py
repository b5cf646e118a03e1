"""The committed fuzz corpora (seeds and every past finding) replayed through
their harnesses, built with g++ under AddressSanitizer and
UndefinedBehaviorSanitizer: the core exactly as the module's compiler builds
it, vector paths included.  fuzz_core drives the series functions,
fuzz_stream_load the loader of saved streams."""
import os
import subprocess

import pytest

import builds

FUZZ = os.path.join(builds.ROOT, "fuzz")


@pytest.mark.skipif(not builds.runtime("libasan.so"), reason="g++ and its AddressSanitizer runtime are needed")
@pytest.mark.parametrize("harness,corpus", [("fuzz_core", "corpus"),
                                            ("fuzz_stream_load", "corpus_state")])
def test_corpus_replays_clean_under_sanitizers(tmp_path, core_objects, harness, corpus):
    exe = builds.program(tmp_path / "replay", [os.path.join(FUZZ, f"{harness}.cpp"),
                                               os.path.join(FUZZ, "replay.cpp")],
                         core_objects("asan"), "asan")
    corpus = os.path.join(FUZZ, corpus)
    env = dict(os.environ, ASAN_OPTIONS="abort_on_error=1:detect_leaks=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    run = subprocess.run([str(exe), corpus], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr[-4000:]
    assert f"replayed {len(os.listdir(corpus))} inputs" in run.stderr
