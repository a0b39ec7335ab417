"""Shared fixtures: the default dictionary's paths, a segmenter, and small trained models."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import duzudavida

ROOT = Path(__file__).resolve().parents[2]
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# AddressSanitizer reserves the address space and holds freed memory back: no memory figure holds.
not_sanitized = pytest.mark.skipif(SANITIZED, reason="memory is not measurable under AddressSanitizer")
DICT_DIR = ROOT / "third_party" / "nodejieba-2.6.0" / "dict"
TEST_DATA = ROOT / "tests" / "data"


@pytest.fixture(scope="session")
def dict_paths() -> dict[str, str]:
    paths = {
        "dict_path": DICT_DIR / "jieba.dict.utf8",
        "hmm_path": DICT_DIR / "hmm_model.utf8",
        "user_dict_path": DICT_DIR / "user.dict.utf8",
        "idf_path": DICT_DIR / "idf.utf8",
        "stop_word_path": DICT_DIR / "stop_words.utf8",
    }
    missing = [str(p) for p in paths.values() if not p.is_file()]
    if missing:
        pytest.fail(f"default dictionary missing (run scripts/fetch_deps.sh): {missing}")
    return {name: str(path) for name, path in paths.items()}


@pytest.fixture(scope="session")
def novel_lines() -> list[str]:
    lines = [line.strip() for line in (ROOT / "third_party" / "weicheng.utf8").read_text(encoding="utf-8").splitlines()]
    return [line for line in lines if line]


@pytest.fixture(scope="session")
def jieba(dict_paths) -> duzudavida.Jieba:
    return duzudavida.Jieba(**dict_paths)


@pytest.fixture
def example_model() -> duzudavida.BM25:
    """Trained with a a b, then b c: doc_count 2, average 2.5, table a 2, b 2, c 1."""
    model = duzudavida.BM25()
    model.train(["a", "a", "b"])
    model.train(["b", "c"])
    return model


def run_isolated(script: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs a script in a fresh interpreter: a fault there fails the test instead of ending pytest."""
    return subprocess.run(
        [sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=timeout
    )
