"""A cost that careless use of Jieba used to make unbounded: restoring a state that carries many
inserted words, in a fresh interpreter. (The peak of a cut of text without separators is a row of
segment_bench.)"""

import subprocess
import sys

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
    words = 8_000 if quick else 80_000
    return [
        (f"__setstate__ with {words:,} inserted words", run(STATE_SCRIPT, str(words), *jieba_paths), "s",
         "loading the files again included"),
    ]
