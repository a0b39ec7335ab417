"""The command line: index a file, search it, and refuse what cannot be indexed or searched."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import duzudavida

CORPUS_LINES = [
    "方鸿渐留学回国，买了克莱登大学的博士文凭。",
    "",
    "——……",  # no word once punctuation is left out
    "苏小姐把自己的爱情看得太名贵了，不肯随便施与。",
    "   ",
    "三闾大学聘方鸿渐当教授，他和孙柔嘉一同上路。",
    "方鸿渐的博士文凭是假的。",
]


def run(*arguments: str, script: bool = False) -> subprocess.CompletedProcess[str]:
    command = [str(Path(sys.executable).parent / "duzudavida")] if script else [sys.executable, "-m", "duzudavida"]
    return subprocess.run([*command, *arguments], capture_output=True, text=True, timeout=120)


@pytest.fixture
def corpus(tmp_path) -> Path:
    path = tmp_path / "corpus.txt"
    # One line that is not UTF-8: left out, as a text without words.
    path.write_bytes("\n".join(CORPUS_LINES).encode() + b"\n\n\xff\xfe broken\r\n")
    return path


@pytest.mark.parametrize("paragraphs", [False, True], ids=["lines", "paragraphs"])
def test_search_prints_what_the_index_ranks(corpus, tmp_path, jieba, paragraphs):
    index_path = tmp_path / "corpus.index"
    made = run("index", str(corpus), str(index_path), "--quiet", *(["--paragraphs"] if paragraphs else []))
    assert made.returncode == 0, made.stderr
    if paragraphs:
        blocks = [["方鸿渐留学回国，买了克莱登大学的博士文凭。"], CORPUS_LINES[2:4], CORPUS_LINES[5:7]]
        documents = [" ".join(block) for block in blocks]
    else:
        documents = [line for line in CORPUS_LINES if line.strip() and line != "——……"]
    expected = duzudavida.BM25Index()
    expected.add_texts([d.replace(" ", "\n") for d in documents], jieba)
    assert duzudavida.BM25Index.load(index_path).__getstate__() == expected.__getstate__()

    found = run("search", str(index_path), "方鸿渐 博士", "-k", "5", "--width", "0", script=True)
    assert found.returncode == 0, found.stderr
    ids, scores = expected.search(["方鸿渐 博士"], jieba, k=5)
    want = [f"{rank}\t{score:.4f}\t{documents[doc]}" for rank, (doc, score) in enumerate(zip(ids[0], scores[0]), 1)
            if score > 0]
    assert found.stdout.splitlines() == want and want


def test_usage_errors_exit_with_status_two(corpus, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    index_path = tmp_path / "corpus.index"
    cases = [
        (("index", str(fifo), str(index_path)), "is not a regular file"),
        (("index", str(tmp_path), str(index_path)), "is a directory, not a file"),
        (("index", str(tmp_path / "missing"), str(index_path)), "does not exist"),
        (("search", str(index_path), "查询"), "is missing: make the index with `duzudavida index`"),
        (("search", str(index_path)), "the following arguments are required: QUERY"),
        (("search", str(index_path), "查询", "--width", "-1"), "must be 0 or more, not -1"),
        (("index", str(corpus), str(index_path), "--threads", "-2"), "must be 0 or more, not -2"),
    ]
    for arguments, message in cases:
        result = run(*arguments)
        assert (result.returncode, result.stdout) == (2, ""), arguments
        assert message in result.stderr, result.stderr
    assert run("index", str(corpus), str(index_path), "-q").returncode == 0
    corpus.write_text("换了内容\n")
    changed = run("search", str(index_path), "查询")
    assert changed.returncode == 2 and "changed since it was indexed" in changed.stderr
    assert "duzudavida search novel.index" in run("--help").stdout


@pytest.mark.parametrize(("corpus_name", "index_name"), [("c.txt", "c.txt"), ("c.json", "c"), ("c.offsets.npy", "c")])
def test_index_refuses_to_overwrite_its_corpus(tmp_path, corpus_name, index_name):
    corpus = tmp_path / corpus_name
    corpus.write_text("方鸿渐留学回国。\n")
    before = corpus.read_bytes()
    result = run("index", str(corpus), str(tmp_path / index_name), "-q")
    assert result.returncode == 2 and "is the corpus itself" in result.stderr, result.stderr
    assert corpus.read_bytes() == before


def _edit_description(edit):
    def tamper(index_path: Path) -> None:
        path = Path(f"{index_path}.json")
        description = json.loads(path.read_text())
        edit(description)
        path.write_text(json.dumps(description))

    return tamper


def _edit_offsets(edit):
    def tamper(index_path: Path) -> None:
        path = Path(f"{index_path}.offsets.npy")
        np.save(path, edit(np.load(path)), allow_pickle=True)

    return tamper


def _fifo(suffix):
    def tamper(index_path: Path) -> None:
        path = Path(f"{index_path}{suffix}")
        path.unlink()
        os.mkfifo(path)

    return tamper


TAMPERINGS = {
    "size missing": _edit_description(lambda d: d.pop("corpus_size")),
    "corpus not a path": _edit_description(lambda d: d.update(corpus=None)),
    "options not a mapping": _edit_description(lambda d: d.update(options="x")),
    "option unknown": _edit_description(lambda d: d["options"].update(bogus=1)),
    "mode not a str": _edit_description(lambda d: d["options"].update(mode=5)),
    "start past end": _edit_offsets(lambda a: a[:, ::-1].copy()),
    "end past the corpus": _edit_offsets(lambda a: a + np.uint64(1 << 40)),
    "complex offsets": _edit_offsets(lambda a: a.astype(complex)),
    "object offsets": _edit_offsets(lambda a: a.astype(object)),
    "offsets not npy": lambda index_path: Path(f"{index_path}.offsets.npy").write_bytes(b"garbage\n"),
    "description a FIFO": _fifo(".json"),
    "offsets a FIFO": _fifo(".offsets.npy"),
}


@pytest.mark.parametrize("tamper", TAMPERINGS.values(), ids=TAMPERINGS.keys())
def test_search_refuses_damaged_side_files(corpus, tmp_path, tamper):
    index_path = tmp_path / "corpus.index"
    assert run("index", str(corpus), str(index_path), "-q").returncode == 0
    tamper(index_path)
    result = subprocess.run([sys.executable, "-m", "duzudavida", "search", str(index_path), "方鸿渐"],
                            capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
    assert (result.returncode, result.stdout) == (2, ""), result.stderr
    assert "Traceback" not in result.stderr and "index the corpus again" in result.stderr, result.stderr
