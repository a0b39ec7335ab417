"""duzudavida side by side with its peers, in one run on one machine.

    .venv/bin/python bench/run.py            # full run: bench/results/latest.{md,json,png}
    .venv/bin/python bench/run.py --quick    # tiny inputs, no targets, results under build/
    .venv/bin/python bench/run.py --only index   # one section (repeatable), results under build/

Every figure that is compared is a ratio of two timings taken in the same run, interleaved
repetition by repetition; the table shows the median with the spread (min to max) of the ratios.
Nothing here asserts anything about time.
"""

import argparse
import gc
import importlib
import json
import os
import pickle
import platform
import random
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DICT = ROOT / "third_party" / "nodejieba-2.6.0" / "dict"
NOVEL = ROOT / "third_party" / "weicheng.utf8"
NATIVE_BUILD = ROOT / "build" / "bench"
sys.path.insert(0, str(NATIVE_BUILD))
sys.path.insert(0, str(ROOT / "tests" / "python"))  # the plain-Python oracle of the tests

import duzudavida  # noqa: E402

JIEBA_PATHS = [str(DICT / name) for name in
               ("jieba.dict.utf8", "hmm_model.utf8", "user.dict.utf8", "idf.utf8", "stop_words.utf8")]


@dataclass
class Row:
    group: str
    name: str
    ours: float  # median, in `unit`
    unit: str
    reference: str = ""
    ratio: float | None = None  # ours / reference in the sense of `better`
    spread: tuple[float, float] | None = None
    target: str = ""
    met: bool | None = None
    notes: str = ""
    samples: list = field(default_factory=list)


ROWS: list[Row] = []
# The user's view: each peer's figure from the same run, by panel.
PEERS: dict[str, dict[str, float]] = {}


def timed(function) -> float:
    gc.collect()
    start = time.perf_counter()
    result = function()
    elapsed = time.perf_counter() - start
    del result  # freeing what the function built is not part of its time
    return elapsed


def each(function, items):
    """Calls function on every item and drops each result at once, as a caller streaming would."""
    def run():
        for item in items:
            function(item)
    return run


def interleaved(ours, reference, repeats: int) -> tuple[list[float], list[float]]:
    mine, theirs = [], []
    for _ in range(repeats):
        mine.append(timed(ours))
        theirs.append(timed(reference))
    return mine, theirs


def ratio_row(group, name, mine, theirs, *, unit_scale, unit, reference, target=None, notes=""):
    """A row whose ratio is the speed-up over the reference, theirs/ours per repetition: higher is better."""
    ratios = [t / m for m, t in zip(mine, theirs)]
    value = unit_scale(statistics.median(mine))
    median = statistics.median(ratios)
    met = None if target is None else median >= target
    ROWS.append(Row(group, name, value, unit, reference, median, (min(ratios), max(ratios)),
                    f">= {target:.2f}" if target is not None else "", met, notes,
                    [list(mine), list(theirs)]))


def plain_row(group, name, value, unit, notes=""):
    ROWS.append(Row(group, name, value, unit, notes=notes))


# The module as it was before the keyed hash and the streaming load (the last release), built under
# another name so that both load into one process and are timed round by round.
BASELINE_COMMIT = "a2f00bf"
# The index before block bounds (issue 23): the churn row's reference.
INDEX_BASELINE_COMMIT = "d11c595"


def build_baseline(commit: str = BASELINE_COMMIT, name: str = "duzudavida_baseline"):
    folder = ROOT / "build" / ("bench-baseline" if name == "duzudavida_baseline" else f"bench-{name}")
    source = folder / "src"
    if not (source / "CMakeLists.txt").exists():
        source.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", commit], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
        for path_name in ("csrc/binding/CMakeLists.txt", "csrc/binding/module.cpp"):
            path = source / path_name
            path.write_text(re.sub(r"\bduzudavida\b", name, path.read_text()))
        # Its own pybind11 registry, so that its classes do not clash with ours.
        for path in (source / "csrc" / "binding").glob("*.cpp"):
            path.write_text(f'#define PYBIND11_INTERNALS_KIND "_{name}"\n' + path.read_text())
    import pybind11

    build = folder / "build"
    subprocess.run(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DDUZUDAVIDA_CPPJIEBA_DIR={DICT.parent}", f"-DPython_EXECUTABLE={sys.executable}",
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", name], check=True,
                   stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(build / "csrc" / "binding"))
    importlib.invalidate_caches()
    return importlib.import_module(name)


_BASELINE = []
_INDEX_BASELINE = []


def duzudavida_baseline():
    """The last release's module, built once per run."""
    if not _BASELINE:
        _BASELINE.append(build_baseline())
    return _BASELINE[0]


def index_baseline():
    """The module before block bounds, built once per run."""
    if not _INDEX_BASELINE:
        _INDEX_BASELINE.append(build_baseline(INDEX_BASELINE_COMMIT, "duzudavida_index_baseline"))
    return _INDEX_BASELINE[0]


def build_natives() -> None:
    import pybind11

    subprocess.run(["cmake", "-S", str(ROOT / "bench" / "native"), "-B", str(NATIVE_BUILD), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}",
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(NATIVE_BUILD)], check=True, stdout=subprocess.DEVNULL)
    # The folder may not have existed when the interpreter first looked at sys.path.
    sys.path_importer_cache.pop(str(NATIVE_BUILD), None)
    importlib.invalidate_caches()


# ---------------------------------------------------------------- segmentation

def novel_lines(text: str) -> list[str]:
    return [line for line in text.split("\n") if line]  # as the C++ program's getline


def bench_segmentation(quick: bool) -> None:
    text = NOVEL.read_text(encoding="utf-8")
    if quick:
        text = text[:20000]
    lines = novel_lines(text)
    megabytes = len(text.encode()) / 1e6
    repeats = 1 if quick else 11
    mbps = lambda seconds: megabytes / seconds  # noqa: E731

    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".utf8", delete=False) as sample:
        sample.write(text)
    jieba = duzudavida.Jieba(*JIEBA_PATHS)
    modes = {"cut": jieba.cut, "cut_for_search": jieba.cut_for_search}
    ours: dict[str, list[float]] = {}
    ceiling: dict[str, list[float]] = {}
    try:
        # One C++ run per round, between our own runs, so both see the same machine.
        for _ in range(repeats):
            run = json.loads(subprocess.run(
                [str(NATIVE_BUILD / "jieba_ceiling"), str(DICT), sample.name, "1"],
                check=True, capture_output=True, text=True).stdout)
            for key, values in run.items():
                if isinstance(values, list) and not key.endswith("_words"):
                    # The faster of the library's two output forms is the ceiling.
                    values = [min(pair) for pair in zip(values, run.get(key + "_words", values))]
                    ceiling.setdefault(key, []).extend(values)
            # The wheel's dictionary, compiled beside it at build time: the default a user constructs.
            ours.setdefault("construct", []).append(timed(lambda: duzudavida.Jieba(**duzudavida.default_paths())))
            for mode, segment in modes.items():
                prefix = "cut" if mode == "cut" else "search"
                ours.setdefault(f"{prefix}_lines", []).append(timed(each(segment, lines)))
                ours.setdefault(f"{prefix}_whole", []).append(timed(lambda: segment(text)))
                batch = getattr(jieba, f"{mode}_batch")
                ours.setdefault(f"{prefix}_batch_1", []).append(timed(lambda: batch(lines, threads=1)))
                ours.setdefault(f"{prefix}_batch_2", []).append(timed(lambda: batch(lines, threads=2)))
        # The engine itself against the library, both in C++ (no Python), rounds interleaved.
        engine = json.loads(subprocess.run([str(NATIVE_BUILD / "engine_speed"), str(DICT), sample.name, str(repeats)],
                                           check=True, capture_output=True, text=True).stdout)
    finally:
        os.unlink(sample.name)

    ratio_row("Jieba", "construction, default dictionary (file checks included)", ours["construct"],
              ceiling["construct"], unit_scale=lambda s: s * 1e3, unit="ms", reference="cppjieba C++",
              target=20.0, notes=f"target: at most 5% of the library's own load; checks alone: "
                                 f"{statistics.median(ceiling['checks']) * 1e3:.0f} ms")
    for mode, target in (("mixed", 7.0), ("search", 7.0), ("full", None)):
        ratio_row("Jieba", f"engine in C++, {mode} mode, line by line", engine[mode]["engine"],
                  engine[mode]["cppjieba"], unit_scale=mbps, unit="MB/s", reference="cppjieba C++", target=target,
                  notes="" if engine[mode]["same_word_count"] else "word counts differ")
    resident = resident_after_construction()
    ROWS.append(Row("Jieba", "resident memory after construction", resident, "MB", target="<= 40", met=resident <= 40,
                    notes="default_paths(), its compiled dictionary mapped: process RSS growth over an "
                          "interpreter that imported the module"))
    import jieba_hardening
    for name, value, unit, notes in jieba_hardening.measure(JIEBA_PATHS, quick):
        plain_row("Jieba", name, value, unit, notes=notes)

    peers = load_peer_segmenters(quick)

    def run_halves(cut, halves=(lines[0::2], lines[1::2])):
        threads = [threading.Thread(target=each(cut, part)) for part in halves]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    for mode, segment in modes.items():
        prefix = "cut" if mode == "cut" else "search"
        ratio_row("Jieba", f"{mode}, line by line", ours[f"{prefix}_lines"], ceiling[f"{prefix}_lines"],
                  unit_scale=mbps, unit="MB/s", reference="cppjieba C++", target=0.9)
        ratio_row("Jieba", f"{mode}, one long string", ours[f"{prefix}_whole"], ceiling[f"{prefix}_whole"],
                  unit_scale=mbps, unit="MB/s", reference="cppjieba C++", target=0.9)
        ratio_row("Jieba", f"{mode}_batch(lines, threads=1)", ours[f"{prefix}_batch_1"], ceiling[f"{prefix}_lines"],
                  unit_scale=mbps, unit="MB/s", reference="cppjieba C++, line by line", target=1.0)
        scaling = statistics.median(a / b for a, b in zip(ceiling["cut_lines"], ceiling["cut_lines_two_threads"]))
        ratio_row("Jieba", f"{mode}_batch(lines, threads=2)", ours[f"{prefix}_batch_2"], ours[f"{prefix}_batch_1"],
                  unit_scale=mbps, unit="MB/s", reference="threads=1", target=1.8,
                  notes=f"the C++ program's two-thread scaling here: {scaling:.2f}")
        if mode == "cut":
            PEERS.setdefault("segmentation, MB/s (higher is better)", {}).update({
                "duzudavida cut_batch": mbps(statistics.median(ours["cut_batch_2"])),
                "duzudavida cut": mbps(statistics.median(ours["cut_lines"])),
                "cppjieba C++": mbps(statistics.median(ceiling["cut_lines"]))})
        if not quick:
            # The reader-writer lock that insert_user_word needs is taken by every cut; the last
            # release had none.
            before = getattr(duzudavida_baseline().Jieba(*JIEBA_PATHS), mode)
            mine, theirs = interleaved(each(segment, lines), each(before, lines), repeats)
            ratio_row("Jieba", f"{mode}, line by line, with the lock for inserted words", mine, theirs, unit_scale=mbps,
                      unit="MB/s", reference=f"no lock (release {BASELINE_COMMIT})", target=0.98)
            two_before = lambda: run_halves(before)  # noqa: E731
            mine, theirs = interleaved(lambda: run_halves(segment), two_before, repeats)
            ratio_row("Jieba", f"{mode}, 2 threads on one object, with the lock for inserted words", mine, theirs,
                      unit_scale=mbps, unit="MB/s", reference=f"no lock (release {BASELINE_COMMIT})", target=0.98)
        for peer_name, peer in peers.items():
            mine, theirs = interleaved(each(segment, lines), each(peer[mode], lines), max(1, repeats // 3))
            ratio_row("Jieba", f"{mode}, line by line, against {peer_name}", mine, theirs, unit_scale=mbps,
                      unit="MB/s", reference=f"{peer_name} (own dictionary)",
                      target=2.0 if peer_name == "rjieba" else None)
            if mode == "cut":
                PEERS["segmentation, MB/s (higher is better)"][peer_name] = mbps(statistics.median(theirs))

        two, one = interleaved(lambda: run_halves(segment), each(segment, lines), repeats)
        scaling = statistics.median(a / b for a, b in zip(ceiling["cut_lines"], ceiling["cut_lines_two_threads"]))
        ratio_row("Jieba", f"{mode}, 2 threads on one object, line by line", two, one, unit_scale=mbps,
                  unit="MB/s", reference="1 thread", target=1.7,
                  notes=f"C++ with 2 threads on this machine: {scaling:.2f}")

        middle = len(text) // 2
        pieces = [text[:middle], text[middle:]]

        def two_long_calls():
            threads = [threading.Thread(target=segment, args=(piece,)) for piece in pieces]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        two, one = interleaved(two_long_calls, each(segment, pieces), repeats)
        ratio_row("Jieba", f"{mode}, 2 threads on one object, half the text each", two, one, unit_scale=mbps,
                  unit="MB/s", reference="1 thread", target=1.7)

    import segment_bench

    segment_bench.bench(sys.modules[__name__], jieba, lines, repeats, quick)


def load_peer_segmenters(quick: bool) -> dict:
    peers = {}
    try:
        import rjieba

        peers["rjieba"] = {"cut": rjieba.cut, "cut_for_search": rjieba.cut_for_search}
    except ImportError:
        pass
    if not quick:
        try:
            import logging

            import jieba

            jieba.setLogLevel(logging.WARNING)
            jieba.initialize()
            peers["jieba"] = {"cut": jieba.lcut, "cut_for_search": jieba.lcut_for_search}
        except ImportError:
            pass
    return peers


def resident_after_construction() -> float:
    script = (
        "import duzudavida\n"
        "def rss():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmRSS:'): return int(line.split()[1]) / 1024\n"
        "before = rss(); j = duzudavida.Jieba(**duzudavida.default_paths()); print(rss() - before)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    return float(out.stdout)


# ---------------------------------------------------------------- BM25

def synthetic_corpus(documents: int, length: int, vocabulary: int, seed: int = 1):
    rng = random.Random(seed)
    words = set()
    while len(words) < vocabulary:
        words.add(chr(rng.randint(0x4E00, 0x9FA5)) + chr(rng.randint(0x4E00, 0x9FA5)))
    words = sorted(words)
    cumulative, total = [], 0.0
    for rank in range(vocabulary):
        total += 1.0 / (rank + 1)
        cumulative.append(total)
    ranks = list(range(vocabulary))
    id_docs = [rng.choices(ranks, cum_weights=cumulative, k=length) for _ in range(documents)]
    str_docs = [[words[i] for i in doc] for doc in id_docs]
    return str_docs, id_docs


def bench_bm25(quick: bool) -> None:
    import bench_floor

    documents, length, vocabulary = (2000, 100, 5000) if quick else (100_000, 100, 50_000)
    repeats = 1 if quick else 5
    str_docs, id_docs = synthetic_corpus(documents, length, vocabulary)
    tokens = documents * length
    per_second = lambda count: (lambda s: count / s)  # noqa: E731

    baseline = None if quick else duzudavida_baseline()
    for label, docs in (("str tokens", str_docs), ("int ids", id_docs)):
        def train_all(docs=docs, module=duzudavida):
            model = module.BM25()
            for doc in docs:
                model.train(doc)
            return model

        mine, floor = interleaved(train_all, each(bench_floor.take_tokens, docs), repeats)
        ratio_row("BM25", f"train, synthetic corpus, {label}", mine, floor, unit_scale=per_second(tokens / 1e6),
                  unit="M tokens/s", reference="floor: conversion only", target=0.77)
        if baseline is not None:
            mine, before = interleaved(train_all, lambda docs=docs: train_all(docs, baseline), repeats)
            ratio_row("BM25", f"train, synthetic corpus, {label}, keyed hash", mine, before,
                      unit_scale=per_second(tokens / 1e6), unit="M tokens/s",
                      reference=f"unkeyed hash (release {BASELINE_COMMIT})", target=0.91)

        def train_batch(docs=docs):
            model = duzudavida.BM25()
            model.train_batch(docs)

        mine, loop = interleaved(train_batch, train_all, repeats)
        ratio_row("BM25", f"train_batch, synthetic corpus, {label}", mine, loop,
                  unit_scale=per_second(tokens / 1e6), unit="M tokens/s", reference="loop of train", target=1.0)

        model = train_all()
        previous = train_all(docs, baseline) if baseline is not None else None
        model.encode_documents_csr(docs[:10])  # scipy's import is not part of the time
        mine, loop = interleaved(lambda: model.encode_documents_csr(docs[: len(docs) // 5]),
                                 each(model.encode_document, docs[: len(docs) // 5]), repeats)
        ratio_row("BM25", f"encode_documents_csr, synthetic corpus, {label}", mine, loop,
                  unit_scale=per_second(len(docs) // 5 / 1e3), unit="k docs/s",
                  reference="loop of encode_document", target=5.0)
        sample = docs[: max(1, len(docs) // 5)]
        for method in ("encode_document", "encode_query"):
            encode = getattr(model, method)
            mine, floor = interleaved(each(encode, sample), each(bench_floor.distinct_dict, sample), repeats)
            ratio_row("BM25", f"{method}, synthetic corpus, {label}", mine, floor,
                      unit_scale=per_second(len(sample) / 1e3), unit="k docs/s",
                      reference="floor: dict of distinct tokens", target=0.77)
            if previous is not None:
                mine, before = interleaved(each(encode, sample), each(getattr(previous, method), sample), repeats)
                ratio_row("BM25", f"{method}, synthetic corpus, {label}, keyed hash", mine, before,
                          unit_scale=per_second(len(sample) / 1e3), unit="k docs/s",
                          reference=f"unkeyed hash (release {BASELINE_COMMIT})", target=0.91)

    bench_against_python_peers(str_docs if not quick else str_docs[:500], repeats)
    bench_novel(repeats, quick)


def bench_against_python_peers(docs, repeats) -> None:
    from bm25_oracle import OracleBM25

    def ours_index():
        model = duzudavida.BM25()
        for doc in docs:
            model.train(doc)
        return model, [model.encode_document(doc) for doc in docs]

    def plain_index():
        model = OracleBM25()
        for doc in docs:
            model.train(doc)
        return model, [model.encode_document(doc) for doc in docs]

    def ours_csr_index():
        model = duzudavida.BM25()
        model.train_batch(docs)
        return model, model.encode_documents_csr(docs)

    (ours, ours_vectors), (plain, plain_vectors) = ours_index(), plain_index()
    probe = docs[:200]
    worst = max(abs(ours_vectors[i][t] - w) for i in range(len(probe)) for t, w in plain_vectors[i].items())
    worst_query = max(abs(ours.encode_query(d)[t] - w) for d in probe for t, w in plain.encode_query(d).items())
    repeats = max(1, repeats // 2)
    mine, theirs = interleaved(ours_index, plain_index, repeats)
    ratio_row("BM25", "train + encode every document, against plain Python", mine, theirs,
              unit_scale=lambda s: s, unit="s", reference="plain Python, same formulas",
              notes=f"weights agree within {max(worst, worst_query):.1e}")
    try:
        from rank_bm25 import BM25Okapi

        mine, theirs = interleaved(ours_index, lambda: BM25Okapi(docs), repeats)
        ratio_row("BM25", "time until searchable, against rank_bm25", mine, theirs, unit_scale=lambda s: s, unit="s",
                  reference="rank_bm25 BM25Okapi(corpus)", notes="ours: train + encode_document of every document")
        csr, theirs = interleaved(ours_csr_index, lambda: BM25Okapi(docs), repeats)
        ratio_row("BM25", "time until searchable with CSR, against rank_bm25", csr, theirs, unit_scale=lambda s: s,
                  unit="s", reference="rank_bm25 BM25Okapi(corpus)", target=2.0,
                  notes="ours: train_batch + encode_documents_csr")
        PEERS.setdefault("time until searchable, s (lower is better)", {}).update({
            "duzudavida dicts": statistics.median(mine), "duzudavida CSR": statistics.median(csr),
            "rank_bm25": statistics.median(theirs)})
    except ImportError:
        pass
    try:
        import bm25s

        def bm25s_index():
            bm25s.BM25().index(docs, show_progress=False)

        mine, theirs = interleaved(ours_index, bm25s_index, repeats)
        ratio_row("BM25", "time until searchable, against bm25s", mine, theirs, unit_scale=lambda s: s, unit="s",
                  reference="bm25s BM25().index(tokens)", notes="ours: train + encode_document of every document")
        csr, theirs = interleaved(ours_csr_index, bm25s_index, repeats)
        ratio_row("BM25", "time until searchable with CSR, against bm25s", csr, theirs, unit_scale=lambda s: s,
                  unit="s", reference="bm25s BM25().index(tokens)", target=10.0,
                  notes="ours: train_batch + encode_documents_csr")
        PEERS.setdefault("time until searchable, s (lower is better)", {})["bm25s"] = statistics.median(theirs)
    except ImportError:
        pass


def bench_novel(repeats, quick) -> None:
    import bench_floor

    text = NOVEL.read_text(encoding="utf-8")
    if quick:
        text = text[:20000]
    jieba = duzudavida.Jieba(*JIEBA_PATHS)
    docs = [d for d in (jieba.cut_for_search(s) for s in text.replace("\n", "。").split("。")) if d]
    tokens = sum(len(d) for d in docs)

    def train_all():
        model = duzudavida.BM25()
        for doc in docs:
            model.train(doc)

    mine, floor = interleaved(train_all, each(bench_floor.take_tokens, docs), repeats)
    ratio_row("BM25", f"train, segmented novel ({len(docs)} sentences)", mine, floor,
              unit_scale=lambda s: tokens / s / 1e6, unit="M tokens/s", reference="floor: conversion only",
              target=0.77)


# ---------------------------------------------------------------- search

def bench_index(quick: bool) -> None:
    import index_bench

    index_bench.run(quick, sys.modules[__name__])


def bench_sharding(quick: bool) -> None:
    import shard_bench

    shard_bench.run(quick, sys.modules[__name__])


# ---------------------------------------------------------------- text

def bench_text(quick: bool) -> None:
    import text_bench

    text_bench.bench(sys.modules[__name__], quick)


# ---------------------------------------------------------------- persistence

def bench_persistence(quick: bool) -> None:
    distinct = 20_000 if quick else 1_000_000
    repeats = 1 if quick else 5
    model, table = big_model(distinct)
    with tempfile.TemporaryDirectory() as folder:
        ours_path, theirs_path = Path(folder) / "model.json", Path(folder) / "table.json"

        def json_dump():
            theirs_path.write_text(json.dumps(table, sort_keys=True, indent=2), encoding="utf-8")

        mine, theirs = interleaved(lambda: model.dump(str(ours_path)), json_dump, repeats)
        size = ours_path.stat().st_size
        ratio_row("Persistence", f"dump, {distinct:,} distinct tokens", mine, theirs,
                  unit_scale=lambda s: size / s / 1e6, unit="MB/s",
                  reference="json.dumps(sort_keys, indent=2) + write", target=1.0)
        text = ours_path.read_text(encoding="utf-8")
        mine, theirs = interleaved(lambda: duzudavida.BM25().load(text), lambda: json.loads(text), repeats)
        ratio_row("Persistence", f"load, {distinct:,} distinct tokens", mine, theirs,
                  unit_scale=lambda s: size / s / 1e6, unit="MB/s", reference="json.loads of the document",
                  target=1.0)
        state = pickle.dumps(model, protocol=5)
        mine, theirs = interleaved(lambda: pickle.dumps(model, protocol=5), lambda: model.dump(str(ours_path)), repeats)
        ratio_row("Persistence", f"pickle (protocol 5), {distinct:,} distinct tokens", mine, theirs,
                  unit_scale=lambda s: len(state) / s / 1e6, unit="MB/s", reference="dump", target=2.0)
        mine, theirs = interleaved(lambda: pickle.loads(state), lambda: duzudavida.BM25().load(text), repeats)
        ratio_row("Persistence", f"unpickle, {distinct:,} distinct tokens", mine, theirs,
                  unit_scale=lambda s: len(state) / s / 1e6, unit="MB/s", reference="load", target=2.0)
        for operation in ("dump", "load"):
            extra = peak_extra_memory(operation, distinct, str(ours_path))
            ROWS.append(Row("Persistence", f"{operation}: extra peak memory / document size", extra / size, "x",
                            target="<= 8", met=extra / size <= 8,
                            notes=f"document {size / 1e6:.1f} MB, extra peak {extra / 1e6:.1f} MB"))
        # Hostile documents: a member nobody reads, full of empty containers or strings.
        for item in ("[]", "{}", '""'):
            hostile = Path(folder) / "hostile.json"
            hostile.write_text('{"unknown": [' + ",".join([item] * (distinct // 4 or 1)) + '], '
                               '"_doc_count": 3, "_doc_length_average": 2.0, "_b": 0.5, "_k1": 1.0}')
            extra, hostile_size = peak_extra_memory("load", 0, str(hostile)), hostile.stat().st_size
            ROWS.append(Row("Persistence", f"load: extra peak memory / document size, a member of {item} items",
                            extra / hostile_size, "x", target="<= 16", met=extra / hostile_size <= 16,
                            notes=f"document {hostile_size / 1e6:.1f} MB, extra peak {extra / 1e6:.2f} MB"))


def big_model(distinct: int):
    model = duzudavida.BM25()
    per_doc = 1000
    for start in range(0, distinct, per_doc):
        model.train([f"token{i}" for i in range(start, min(distinct, start + per_doc))])
    return model, {f"token{i}": 1 for i in range(distinct)}


PEAK_SCRIPT = """
import sys
sys.path.insert(0, sys.argv[4])
import duzudavida
from run import big_model

def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

operation, distinct, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
model, table = big_model(distinct)
del table
text = open(path, encoding='utf-8').read() if operation == 'load' else None
fresh = duzudavida.BM25()
open('/proc/self/clear_refs', 'w').write('5')  # restart the peak from the current size
baseline = status('VmRSS:')
if operation == 'dump':
    model.dump(path + '.again')
else:
    fresh.load(text)
print(status('VmHWM:') - baseline)
"""


def peak_extra_memory(operation: str, distinct: int, path: str) -> int:
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, operation, str(distinct), path,
                          str(ROOT / "bench")], check=True, capture_output=True, text=True)
    return int(out.stdout)


# ---------------------------------------------------------------- report

def machine() -> str:
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Python {platform.python_version()}"


def markdown(quick: bool) -> str:
    lines = [f"Machine: {machine()}. Run {time.strftime('%Y-%m-%d %H:%M')}{' (quick mode)' if quick else ''}.", "",
             "| group | measurement | duzudavida | against | ratio (median, min–max) | target | met |",
             "| --- | --- | --- | --- | --- | --- | --- |"]
    for row in ROWS:
        ratio = f"{row.ratio:.2f} ({row.spread[0]:.2f}–{row.spread[1]:.2f})" if row.ratio is not None else (
            f"{row.ours:.2f}" if row.unit == "x" else "")
        value = "" if row.unit == "x" else f"{row.ours:,.2f} {row.unit}"
        met = "" if row.met is None or quick else ("yes" if row.met else "**no**")
        notes = f" ({row.notes})" if row.notes else ""
        lines.append(f"| {row.group} | {row.name}{notes} | {value} | {row.reference} | {ratio} | "
                     f"{row.target if not quick else ''} | {met} |")
    lines += ["", "Every ratio is a speed-up over the reference, the reference's time over ours in the same "
              "round: higher is better, and a target is the least speed-up wanted. Memory rows are peak extra "
              "memory over the document's size: lower is better."]
    return "\n".join(lines) + "\n"


def chart(path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in ROWS if r.ratio is not None]
    panels = list(PEERS.items())
    fig = plt.figure(figsize=(11, 0.34 * len(rows) + 2.2 + 2.4 * len(panels)))
    grid = fig.add_gridspec(1 + len(panels), 1, height_ratios=[max(4, 0.34 * len(rows))] + [2.2] * len(panels))
    ax = fig.add_subplot(grid[0])
    names = [f"{r.group}: {r.name} / {r.reference}" for r in rows]
    values = [r.ratio for r in rows]
    errors = [[r.ratio - r.spread[0] for r in rows], [r.spread[1] - r.ratio for r in rows]]
    colours = ["tab:grey" if r.met is None else "tab:green" if r.met else "tab:red" for r in rows]
    ax.barh(names, values, xerr=errors, color=colours, capsize=2)
    for index, r in enumerate(rows):
        if r.target:
            ax.plot([float(r.target.split()[1])] * 2, [index - 0.4, index + 0.4], color="black", linewidth=2)
    ax.axvline(1.0, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xscale("log")
    ax.tick_params(axis="y", labelsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("speed-up over the reference, log scale: higher is better "
                  "(black mark: target; green met, red missed, grey no target)", fontsize=9)
    ax.set_title(f"duzudavida against its references — {machine()}", fontsize=8)
    for index, (title, figures) in enumerate(panels, start=1):
        panel = fig.add_subplot(grid[index])
        names = list(figures)
        panel.barh(names, [figures[n] for n in names],
                   color=["tab:blue" if n.startswith("duzudavida") else "tab:orange" for n in names])
        panel.invert_yaxis()
        panel.set_title(f"peers side by side, same run: {title}", fontsize=9)
        panel.tick_params(axis="y", labelsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny inputs, no targets checked")
    parser.add_argument("--only", choices=["segmentation", "bm25", "persistence", "index", "text", "sharding"],
                        action="append")
    args = parser.parse_args()
    build_natives()
    sections = {"segmentation": bench_segmentation, "bm25": bench_bm25, "persistence": bench_persistence,
                "index": bench_index, "text": bench_text, "sharding": bench_sharding}
    for name, run in sections.items():
        if args.only is None or name in args.only:
            print(f"[bench] {name} ...", flush=True)
            run(args.quick)
    # Only a full run of every section replaces the committed table; a part of one goes under build/.
    if args.quick:
        out = ROOT / "build" / "bench-quick"
    elif args.only:
        out = ROOT / "build" / "bench-only"
    else:
        out = ROOT / "bench" / "results"
    out.mkdir(parents=True, exist_ok=True)
    table = markdown(args.quick)
    (out / "latest.md").write_text(table, encoding="utf-8")
    (out / "latest.json").write_text(json.dumps({"machine": machine(), "rows": [asdict(r) for r in ROWS]}, indent=1))
    chart(out / "latest.png")
    print(table)


if __name__ == "__main__":
    main()
