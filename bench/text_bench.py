"""Text in, ranked text out: add_texts and search against the glue a user writes without them, the
whole job against rjieba + bm25s, and the peak memory of the command line's index over a large
corpus. Called by run.py's text section."""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The peak is VmHWM, this process's own: ru_maxrss survives exec on Linux, so it would report the
# bench process's size when that is larger (after the index section's million documents).
PEAK_SCRIPT = """
import runpy, sys
sys.argv = ["duzudavida", "index", sys.argv[1], sys.argv[2], "--quiet"]
try:
    runpy.run_module("duzudavida", run_name="__main__")
except SystemExit as exit:
    assert not exit.code, exit.code
with open("/proc/self/status") as status:
    print(next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) * 1024)
"""


def bench(run, quick: bool) -> None:
    """run: bench/run.py's module (its row helpers)."""
    import duzudavida

    jieba = duzudavida.Jieba(*run.JIEBA_PATHS)
    text = run.NOVEL.read_text(encoding="utf-8")
    if quick:
        text = text[:20000]
    lines = [line for line in run.novel_lines(text) if any(map(str.isalnum, line))] * 4  # the novel x4
    megabytes = sum(len(line.encode()) for line in lines) / 1e6
    mbps = lambda seconds: megabytes / seconds  # noqa: E731
    repeats = 1 if quick else 7

    # The same words both ways: the glue cannot filter in Python without costing more.
    mine, glue = run.interleaved(
        lambda: duzudavida.BM25Index().add_texts(lines, jieba, drop_punctuation=False, threads=1),
        lambda: duzudavida.BM25Index().add(jieba.cut_for_search_batch(lines, threads=1)), repeats)
    run.ratio_row("Text", "add_texts(threads=1), the novel x4, line by line", mine, glue, unit_scale=mbps,
                  unit="MB/s", reference="cut_for_search_batch(threads=1) + add", target=1.8,
                  notes="the same index, punctuation kept both ways")

    one = lambda: duzudavida.BM25Index().add_texts(lines, jieba, threads=1)  # noqa: E731
    every = lambda: duzudavida.BM25Index().add_texts(lines, jieba, threads=0)  # noqa: E731
    mine, single = run.interleaved(every, one, repeats)
    run.ratio_row("Text", f"add_texts on every core ({os.cpu_count()})", mine, single, unit_scale=mbps, unit="MB/s",
                  reference="threads=1", target=1.7)

    index = duzudavida.BM25Index()
    index.add_texts(lines, jieba, drop_punctuation=False)
    queries = [line[:12] for line in lines[: len(lines) // 4 : 7]]
    index.search(queries[:1], jieba)  # its first call imports numpy
    mine, glue = run.interleaved(run.each(lambda q: index.search([q], jieba, drop_punctuation=False), queries),
                                 run.each(lambda q: index.retrieve([jieba.cut_for_search(q)]), queries), repeats)
    run.ratio_row("Text", "search([query]), one query per call", mine, glue, unit_scale=lambda s: len(queries) / s,
                  unit="queries/s", reference="retrieve([cut_for_search(query)])", target=1.3)

    try:
        import bm25s
        import rjieba
    except ImportError:
        bm25s = None
    if bm25s is not None:
        rjieba.cut_for_search("预热")

        def theirs():
            docs = [doc for doc in map(rjieba.cut_for_search, lines) if doc]
            return bm25s.BM25().index(docs, show_progress=False)

        mine, peer = run.interleaved(one, theirs, repeats)
        run.ratio_row("Text", "whole job on one core: text to a searchable index, the novel x4", mine, peer,
                      unit_scale=mbps, unit="MB/s", reference="rjieba cut_for_search + bm25s BM25().index", target=5.0,
                      notes="ours: add_texts(threads=1), punctuation left out")

    size = 5e6 if quick else 500e6
    with tempfile.TemporaryDirectory() as folder:
        corpus = Path(folder) / "corpus.txt"
        block = ("\n".join(run.novel_lines(run.NOVEL.read_text(encoding="utf-8"))) + "\n").encode()
        with open(corpus, "wb") as out:
            for _ in range(int(size / len(block)) + 1):
                out.write(block)
        started = time.perf_counter()
        result = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(corpus), str(Path(folder) / "corpus.index")],
                                check=True, capture_output=True, text=True)
        seconds = time.perf_counter() - started
        peak = int(result.stdout.split()[-1])
        saved = (Path(folder) / "corpus.index").stat().st_size
        run.ROWS.append(run.Row("Text", f"peak memory of `python -m duzudavida index` over {corpus.stat().st_size / 1e6:.0f} MB "
                                f"(the novel repeated), index and save", peak / saved, "x the saved index",
                                target="<= 2.00", met=peak / saved <= 2.0,
                                notes=f"peak {peak / 1e6:.0f} MB, index file {saved / 1e6:.0f} MB, {seconds:.1f} s"))
