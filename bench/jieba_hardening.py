"""Costs that hostile or careless use of Jieba used to make unbounded: the peak memory of a cut of
text without separators, and restoring a state that carries many inserted words. Each runs in a
fresh interpreter, so peaks are the process's own."""

import subprocess
import sys

PEAK_SCRIPT = (
    "import random, resource, sys, duzudavida\n"
    "jieba = duzudavida.Jieba(*sys.argv[2:])\n"
    "random.seed(1)\n"
    "text = ''.join(chr(random.randint(0x4e00, 0x9fa5)) for _ in range(int(sys.argv[1])))\n"
    "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
    "jieba.cut(text)\n"
    "print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 / len(text.encode()))\n"
)

STATE_SCRIPT = (
    "import sys, time, duzudavida\n"
    "jieba = duzudavida.Jieba(*sys.argv[2:])\n"
    "words = [(chr(0x4e00 + i % 20000).encode() + chr(0x4e00 + i // 20000).encode() + b'x', None, None)\n"
    "         for i in range(int(sys.argv[1]))]\n"
    "state = (*jieba.__getstate__()[:5], words)\n"
    "start = time.perf_counter(); duzudavida.Jieba.__new__(duzudavida.Jieba).__setstate__(state)\n"
    "print(time.perf_counter() - start)\n"
)


def run(script: str, *args: str) -> float:
    out = subprocess.run([sys.executable, "-c", script, *args], check=True, capture_output=True, text=True)
    return float(out.stdout)


def measure(jieba_paths: list[str], quick: bool) -> list[tuple[str, float, str, str]]:
    """(name, value, unit, notes) rows."""
    characters = 100_000 if quick else 1_000_000
    words = 8_000 if quick else 80_000
    return [
        ("peak memory of cut over Han text without separators", run(PEAK_SCRIPT, str(characters), *jieba_paths),
         "bytes per byte", f"{characters:,} random CJK characters in one sentence: the library's DAG per character"),
        (f"__setstate__ with {words:,} inserted words", run(STATE_SCRIPT, str(words), *jieba_paths), "s",
         "loading the files again included"),
    ]
