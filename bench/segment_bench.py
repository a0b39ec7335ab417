"""Segmentation rows beside run.py's own: full mode and tagging against rjieba, the whole job (text
in, encode_documents_csr rows out) on one core against rjieba + bm25s, and the peak memory of
cutting 5 MB of Han text without punctuation. Called by run.py's segmentation section."""

import subprocess
import sys

PEAK_SCRIPT = """
import sys
megabytes, novel, which = float(sys.argv[1]), sys.argv[2], sys.argv[3]
bare = ''.join(ch for ch in open(novel, encoding='utf-8').read() if '\\u4e00' <= ch <= '\\u9fff')
text = (bare * int(megabytes * 1e6 / len(bare.encode()) + 1)).encode()[: int(megabytes * 1e6) // 3 * 3].decode()
if which == 'duzudavida':
    import duzudavida
    cut = duzudavida.Jieba(*sys.argv[4:]).cut
else:
    import rjieba
    cut = rjieba.cut
cut('预热')

def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

open('/proc/self/clear_refs', 'w').write('5')  # the peak restarts from the current size
baseline = status('VmRSS:')
words = cut(text)
print((status('VmHWM:') - baseline) / 1e6)
"""


def peak_of_cut(run, which: str, megabytes: float) -> float:
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(megabytes), str(run.NOVEL), which, *run.JIEBA_PATHS],
                         check=True, capture_output=True, text=True)
    return float(out.stdout)


def bench(run, jieba, lines: list[str], repeats: int, quick: bool) -> None:
    """run: bench/run.py's module (its row helpers); lines: the novel's lines, as cut line by line."""
    megabytes = sum(len(line.encode()) for line in lines) / 1e6
    mbps = lambda seconds: megabytes / seconds  # noqa: E731
    rounds = max(1, repeats // 3)

    held = "0.5" if quick else "5"
    try:
        import rjieba

        rjieba.tag("预热")  # its dictionary loads on the first call
        for name, ours, theirs in (("cut_all", jieba.cut_all, rjieba.cut_all), ("tag", jieba.tag, rjieba.tag)):
            mine, peer = run.interleaved(run.each(ours, lines), run.each(theirs, lines), rounds)
            run.ratio_row("Jieba", f"{name}, line by line, against rjieba", mine, peer, unit_scale=mbps, unit="MB/s",
                          reference=f"rjieba {name} (own dictionary)", target=1.5)
        offsets = lambda: jieba.tokenize_batch(lines, threads=1)  # noqa: E731
        for reference, theirs in (("cut_batch(lines, threads=1), a list of str", lambda: jieba.cut_batch(lines, threads=1)),
                                  ("rjieba cut, line by line (own dictionary)", run.each(rjieba.cut, lines))):
            mine, peer = run.interleaved(offsets, theirs, rounds)
            run.ratio_row("Jieba", "tokenize_batch(lines, threads=1): offset arrays, no str", mine, peer,
                          unit_scale=mbps, unit="MB/s", reference=reference)
        rjieba_peak = f"; rjieba: {peak_of_cut(run, 'rjieba', float(held)):.0f} MB"
    except ImportError:
        rjieba, rjieba_peak = None, ""
    run.plain_row("Jieba", f"peak memory of cut on {held} MB of Han text without punctuation",
                  peak_of_cut(run, "duzudavida", float(held)), "MB",
                  notes=f"the text itself is {held} MB, its words a list of str{rjieba_peak}")

    try:
        import bm25s
    except ImportError:
        return
    if rjieba is None:
        return
    import duzudavida

    def ours():
        docs = [doc for doc in jieba.cut_batch(lines, threads=1) if doc]
        model = duzudavida.BM25()
        model.train_batch(docs)
        return model.encode_documents_csr(docs)

    def theirs():
        docs = [doc for doc in map(rjieba.cut, lines) if doc]
        return bm25s.BM25().index(docs, show_progress=False)

    mine, peer = run.interleaved(ours, theirs, max(rounds, 3) if not quick else 1)
    run.ratio_row("Jieba", "whole job on one core: text to encode_documents_csr rows, against rjieba + bm25s", mine,
                  peer, unit_scale=mbps, unit="MB/s", reference="rjieba cut + bm25s BM25().index", target=2.0,
                  notes="ours: cut_batch(threads=1), train_batch, encode_documents_csr")

