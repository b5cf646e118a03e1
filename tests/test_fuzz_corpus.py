"""The committed fuzz corpus (seeds and every past finding) replayed through
the fuzz_core harness, built with g++ under AddressSanitizer and
UndefinedBehaviorSanitizer: the core exactly as the module's compiler builds
it, vector paths included."""
import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _has_asan():
    if not shutil.which("g++"):
        return False
    path = subprocess.run(["g++", "-print-file-name=libasan.so"], capture_output=True,
                          text=True).stdout.strip()
    return os.path.isabs(path) and os.path.exists(path)


@pytest.mark.skipif(not _has_asan(), reason="g++ and its AddressSanitizer runtime are needed")
def test_corpus_replays_clean_under_sanitizers(tmp_path):
    sources = sorted(glob.glob(os.path.join(ROOT, "rillet", "src", "*.cpp")))
    sources += [os.path.join(ROOT, "fuzz", "fuzz_core.cpp"), os.path.join(ROOT, "fuzz", "replay.cpp")]
    exe = tmp_path / "replay"
    flags = ["-std=c++17", "-g", "-O1", "-fno-omit-frame-pointer", "-fwrapv", "-ffp-contract=off",
             "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
             "-I", os.path.join(ROOT, "rillet"), "-I", os.path.join(ROOT, "rillet", "src")]
    objs = []
    procs = []
    for src in sources:
        obj = tmp_path / (os.path.basename(src) + ".o")
        procs.append((src, subprocess.Popen(["g++", *flags, "-c", src, "-o", str(obj)],
                                            stderr=subprocess.PIPE, text=True)))
        objs.append(str(obj))
    for src, p in procs:
        _, err = p.communicate()
        assert p.returncode == 0, f"{src}\n{err}"
    build = subprocess.run(["g++", *flags, *objs, "-o", str(exe)], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    corpus = os.path.join(ROOT, "fuzz", "corpus")
    env = dict(os.environ, ASAN_OPTIONS="abort_on_error=1:detect_leaks=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    run = subprocess.run([str(exe), corpus], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr[-4000:]
    assert f"replayed {len(os.listdir(corpus))} inputs" in run.stderr
