"""BM25Index against bm25s (method="lucene", k1=1.2, b=0.75, numba backend) on two corpora of
100,000 documents: sentences of the novel cut by the module's Jieba, and synthetic documents of
100 tokens. Both get the same tokens; rounds are interleaved; every comparison is a ratio."""

import os
import pickle
import random
import statistics
import subprocess
import sys
import tempfile
import time

import duzudavida


def one_per_call(index, retriever, single):
    """Ours and bm25s answering `single` one query per call, each warmed up first (numba compiles
    on its first call)."""
    retriever.retrieve([single[0]], k=10, show_progress=False, n_threads=1)
    index.retrieve([single[0]], k=10, threads=1)

    def ours():
        for query in single:
            index.retrieve([query], k=10, threads=1)

    def theirs():
        for query in single:
            retriever.retrieve([query], k=10, show_progress=False, n_threads=1)

    return ours, theirs

def novel_corpus(novel_path, jieba_paths, documents: int, seed: int = 3):
    """Documents of one to three of the novel's sentences, drawn with a fixed seed."""
    jieba = duzudavida.Jieba(*jieba_paths)
    text = novel_path.read_text(encoding="utf-8")
    for mark in "！？\n":
        text = text.replace(mark, "。")
    sentences = [s for s in text.split("。") if s.strip()]
    cut = [[w for w in words if w.strip()] for words in jieba.cut_batch(sentences)]
    cut = [words for words in cut if words]
    rng = random.Random(seed)
    return [sum((rng.choice(cut) for _ in range(rng.randint(1, 3))), []) for _ in range(documents)]


def novel_search_corpus(novel_path, jieba_paths, documents: int, seed: int = 3):
    """Documents of one to three of the novel's sentences cut by cut_for_search, punctuation kept
    (only whitespace dropped), as a search box's text gives them."""
    jieba = duzudavida.Jieba(*jieba_paths)
    text = novel_path.read_text(encoding="utf-8")
    for mark in "！？\n":
        text = text.replace(mark, mark + "。")
    sentences = [s for s in text.split("。") if s.strip()]
    cut = [[w for w in words if w.strip()] for words in jieba.cut_for_search_batch(sentences)]
    cut = [words for words in cut if words]
    rng = random.Random(seed)
    return [sum((rng.choice(cut) for _ in range(rng.randint(1, 3))), []) for _ in range(documents)]


def runs_from(docs, count: int, seed: int = 7):
    """Runs of two to six consecutive tokens of a random document, repeats and particles kept."""
    rng = random.Random(seed)
    queries = []
    while len(queries) < count:
        doc = rng.choice(docs)
        length = rng.randint(2, 6)
        if len(doc) < length:
            continue
        start = rng.randrange(len(doc) - length + 1)
        queries.append(doc[start:start + length])
    return queries


def frequent_words(docs, count: int, seed: int = 11, top: int = 100):
    """Single words drawn from the `top` words held by the most documents."""
    frequency: dict = {}
    for doc in docs:
        for token in set(doc):
            frequency[token] = frequency.get(token, 0) + 1
    common = sorted(frequency, key=lambda token: (-frequency[token], token))[:top]
    rng = random.Random(seed)
    return [[rng.choice(common)] for _ in range(count)]


def queries_from(docs, count: int, seed: int = 5):
    """Two to five distinct tokens of a random document each."""
    rng = random.Random(seed)
    queries = []
    while len(queries) < count:
        doc = sorted(set(rng.choice(docs)))
        queries.append(rng.sample(doc, min(len(doc), rng.randint(2, 5))))
    return queries


def postings_of(docs) -> int:
    return sum(len(set(doc)) for doc in docs)


def child_measure(script: str, *args: str) -> list[float]:
    out = subprocess.run([sys.executable, "-c", script, *args], check=True, capture_output=True, text=True)
    return [float(x) for x in out.stdout.split()]


RSS = (
    "import ctypes, sys, time, pickle\n"
    "def rss():\n"
    "    ctypes.CDLL('libc.so.6').malloc_trim(0)\n"
    "    for line in open('/proc/self/status'):\n"
    "        if line.startswith('VmRSS:'): return int(line.split()[1]) * 1024\n"
)

# Resident memory the index adds: the documents are loaded first, freed memory given back.
MEMORY_SCRIPT = RSS + (
    "import duzudavida\n"
    "docs = pickle.load(open(sys.argv[1], 'rb'))\n"
    "before = rss()\n"
    "index = duzudavida.BM25Index(); index.add(docs)\n"
    "print(rss() - before)\n"
)

# load(mmap=True): its time, the resident memory it adds before the first query, that query's time.
LOAD_SCRIPT = RSS + (
    "import duzudavida\n"
    "duzudavida.BM25Index()\n"
    "query = pickle.load(open(sys.argv[2], 'rb'))\n"
    "before = rss()\n"
    "start = time.perf_counter(); index = duzudavida.BM25Index.load(sys.argv[1], mmap=True)\n"
    "loaded = time.perf_counter() - start\n"
    "added = rss() - before\n"
    "import numpy\n"
    "start = time.perf_counter(); index.retrieve([query], k=10, threads=1)\n"
    "print(loaded, added, time.perf_counter() - start)\n"
)


def bench_corpus(h, label: str, docs, quick: bool) -> None:
    import bm25s

    repeats = 1 if quick else 5
    queries = queries_from(docs, 100 if quick else 1000)
    single = queries[: 50 if quick else 300]
    group = f"Search, {label}"

    index = duzudavida.BM25Index()
    index.add(docs)
    retriever = bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend="numba")
    retriever.index(docs, show_progress=False)
    ours_single, bm25s_single = one_per_call(index, retriever, single)
    mine, theirs = h.interleaved(ours_single, bm25s_single, repeats)
    h.ratio_row(group, "retrieve, one query per call", mine, theirs, unit_scale=lambda s: len(single) / s,
                unit="queries/s", reference="bm25s retrieve([q])", target=1.5)

    def ours_batch(threads=1):
        index.retrieve(queries, k=10, threads=threads)

    def bm25s_batch():
        retriever.retrieve(queries, k=10, show_progress=False, n_threads=1)

    mine, theirs = h.interleaved(ours_batch, bm25s_batch, repeats)
    h.ratio_row(group, f"retrieve, batch of {len(queries)} on one thread", mine, theirs,
                unit_scale=lambda s: len(queries) / s, unit="queries/s", reference="bm25s, n_threads=1",
                target=1.2)
    two, one = h.interleaved(lambda: ours_batch(2), ours_batch, repeats)
    h.ratio_row(group, "retrieve, threads=2 over threads=1", two, one, unit_scale=lambda s: len(queries) / s,
                unit="queries/s", reference="ours, threads=1", target=1.6,
                notes="needs two idle cores")

    def ours_add():
        duzudavida.BM25Index().add(docs)

    def bm25s_index():
        bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend="numba").index(docs, show_progress=False)

    mine, theirs = h.interleaved(ours_add, bm25s_index, repeats)
    h.ratio_row(group, f"add of {len(docs):,} documents", mine, theirs, unit_scale=lambda s: s, unit="s",
                reference="bm25s index", target=5.0)

    postings = postings_of(docs)
    with tempfile.TemporaryDirectory() as folder:
        docs_path = os.path.join(folder, "docs.pickle")
        query_path = os.path.join(folder, "query.pickle")
        index_path = os.path.join(folder, "index.idx")
        with open(docs_path, "wb") as out:
            pickle.dump(docs, out)
        with open(query_path, "wb") as out:
            pickle.dump(queries[0], out)
        memory = statistics.median(child_measure(MEMORY_SCRIPT, docs_path)[0] for _ in range(1 if quick else 3))
        index.save(index_path)
        file_size = os.path.getsize(index_path)
        h.ROWS.append(h.Row(group, "index memory per posting", memory / postings, "bytes", target="<= 10",
                            met=memory / postings <= 10, notes=f"{postings:,} postings, resident memory added"))
        h.ROWS.append(h.Row(group, "index file per posting", file_size / postings, "bytes", target="<= 8",
                            met=file_size / postings <= 8, notes=f"{file_size / 1e6:.1f} MB"))
        loads = [child_measure(LOAD_SCRIPT, index_path, query_path) for _ in range(1 if quick else 5)]
        h.plain_row(group, "load(mmap=True)", statistics.median(x[0] for x in loads) * 1e3, "ms")
        h.plain_row(group, "resident memory added by load(mmap=True), before the first query",
                    statistics.median(x[1] for x in loads) / 1e6, "MB")
        h.plain_row(group, "first query after load(mmap=True)", statistics.median(x[2] for x in loads) * 1e3, "ms")

    rng = random.Random(9)
    deleted, first_query = [], []
    for _ in range(repeats):
        copy = pickle.loads(pickle.dumps(index))
        doomed = rng.sample(range(len(docs)), 1000 if len(docs) > 2000 else len(docs) // 10)
        start = time.perf_counter()
        copy.delete(doomed)
        deleted.append(time.perf_counter() - start)
        start = time.perf_counter()
        copy.retrieve([queries[1]], k=10, threads=1)
        first_query.append(time.perf_counter() - start)
    h.plain_row(group, f"delete of {len(doomed)} documents", statistics.median(deleted) * 1e3, "ms")
    h.plain_row(group, "first query after the delete", statistics.median(first_query) * 1e3, "ms")


def run(quick: bool, h) -> None:
    documents = 3000 if quick else 100_000
    str_docs, _ = h.synthetic_corpus(documents, 100, 5000 if quick else 50_000)
    bench_corpus(h, "novel sentences", novel_corpus(h.NOVEL, h.JIEBA_PATHS, documents), quick)
    bench_corpus(h, "synthetic, 100 tokens", str_docs, quick)
    search_docs = novel_search_corpus(h.NOVEL, h.JIEBA_PATHS, documents)
    with tempfile.TemporaryDirectory() as folder:
        bench_mixes(h, "novel sentences, cut_for_search", search_docs, quick, folder)
        bench_mixes(h, "synthetic, 100 tokens", str_docs, quick, folder)
    if not quick:  # both build or index more than the quick run's budget allows
        bench_churn(h, str_docs, quick)
        bench_scale(h)


def tantivy_search(docs):
    """tantivy over the same tokens (a whitespace tokenizer over them joined by spaces); a query is a
    BooleanQuery of Should term queries. None when tantivy is not installed."""
    try:
        import tantivy
    except ImportError:
        return None
    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False, tokenizer_name="whitespace", index_option="freq")
    schema = builder.build()
    index = tantivy.Index(schema)
    writer = index.writer(heap_size=500_000_000, num_threads=1)
    for doc in docs:
        writer.add_document(tantivy.Document(body=" ".join(doc)))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    searcher = index.searcher()
    should = tantivy.Occur.Should

    def search(query):
        terms = [(should, tantivy.Query.term_query(schema, "body", token)) for token in query]
        return searcher.search(tantivy.Query.boolean_query(terms), 10, count=False)

    return search


def pisa_batch(docs, folder: str):
    """PISA through pyterrier-pisa: pretokenised documents, BM25 (k1 1.2, b 0.75) with precomputed
    impacts, MaxScore, one thread; a function answering a batch. None when it cannot be installed or run."""
    try:
        import pandas
        from pyterrier_pisa import PisaIndex
    except Exception:  # noqa: BLE001 - any failure to import means: no PISA row
        return None
    try:
        index = PisaIndex(os.path.join(folder, "pisa"), stemmer="none", threads=1, overwrite=True)
        counts = ({"docno": str(number), "toks": _counts(doc)} for number, doc in enumerate(docs))
        index.toks_indexer(mode="overwrite").index(counts)
        retriever = index.bm25(k1=1.2, b=0.75, num_results=10, precompute_impact=True,
                               query_algorithm="maxscore", threads=1)
    except Exception as error:  # noqa: BLE001
        print(f"PISA left out: {error}", file=sys.stderr)
        return None

    def run(queries):
        frame = pandas.DataFrame({"qid": [str(n) for n in range(len(queries))],
                                  "query_toks": [_counts(query) for query in queries]})
        return retriever(frame)

    return run


def _counts(tokens) -> dict:
    counts: dict = {}
    for token in tokens:
        counts[token] = counts.get(token, 0) + 1
    return counts


def bench_mixes(h, label: str, docs, quick: bool, folder: str) -> None:
    """The query mixes people type, against bm25s, tantivy and PISA."""
    import bm25s

    repeats = 1 if quick else 5
    count = 100 if quick else 1000
    mixes = {
        "distinct tokens": queries_from(docs, count),
        "runs of 2-6 tokens": runs_from(docs, count),
        "single frequent words": frequent_words(docs, count),
    }
    index = duzudavida.BM25Index()
    index.add(docs)
    retriever = bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend="numba")
    retriever.index(docs, show_progress=False)
    tantivy = tantivy_search(docs)
    pisa = pisa_batch(docs, folder)
    for mix, queries in mixes.items():
        group = f"Search mixes, {label}"
        single = queries[: 50 if quick else 300]
        ours_single, bm25s_single = one_per_call(index, retriever, single)
        per_second = lambda s: len(single) / s  # noqa: E731
        mine, theirs = h.interleaved(ours_single, bm25s_single, repeats)
        h.ratio_row(group, f"{mix}: one query per call", mine, theirs, unit_scale=per_second, unit="queries/s",
                    reference="bm25s retrieve([q])", target=2.0)
        if tantivy is not None:
            def tantivy_single():
                for query in single:
                    tantivy(query)

            mine, theirs = h.interleaved(ours_single, tantivy_single, repeats)
            h.ratio_row(group, f"{mix}: one query per call", mine, theirs, unit_scale=per_second,
                        unit="queries/s", reference="tantivy search(q, 10, count=False)", target=3.0)

        batch_per_second = lambda s: len(queries) / s  # noqa: E731
        mine, theirs = h.interleaved(lambda: index.retrieve(queries, k=10, threads=1),
                                     lambda: retriever.retrieve(queries, k=10, show_progress=False, n_threads=1),
                                     repeats)
        h.ratio_row(group, f"{mix}: batch of {len(queries)}, one thread", mine, theirs,
                    unit_scale=batch_per_second, unit="queries/s", reference="bm25s, n_threads=1", target=3.0)
        if pisa is not None:
            mine, theirs = h.interleaved(lambda: index.retrieve(queries, k=10, threads=1), lambda: pisa(queries),
                                         repeats)
            h.ratio_row(group, f"{mix}: batch of {len(queries)}, one thread", mine, theirs,
                        unit_scale=batch_per_second, unit="queries/s",
                        reference="PISA maxscore, impacts (pyterrier-pisa)", target=1.0)
        two, one = h.interleaved(lambda: index.retrieve(queries, k=10, threads=2),
                                 lambda: index.retrieve(queries, k=10, threads=1), repeats)
        h.ratio_row(group, f"{mix}: threads=2 over threads=1", two, one, unit_scale=batch_per_second,
                    unit="queries/s", reference="ours, threads=1", target=1.6, notes="needs two idle cores")


def bench_churn(h, docs, quick: bool) -> None:
    """A loop of add of 100 documents then 10 queries, against the module before block bounds."""
    baseline = h.index_baseline()
    rounds = 5 if quick else 30
    repeats = 1 if quick else 5
    queries = runs_from(docs, 10 * rounds, seed=13)
    extra = docs[: 100 * rounds]

    def churn(module):
        index = module.BM25Index()
        index.add(docs)
        index.retrieve(queries[:1], k=10, threads=1)

        def run():
            for step in range(rounds):
                index.add(extra[step * 100:(step + 1) * 100])
                for query in queries[step * 10:(step + 1) * 10]:
                    index.retrieve([query], k=10, threads=1)
        return run

    mine, theirs = [], []
    for _ in range(repeats):
        ours_run, theirs_run = churn(duzudavida), churn(baseline)
        theirs.append(h.timed(theirs_run))
        mine.append(h.timed(ours_run))
    h.ratio_row("Search, churn", f"add of 100 documents then 10 queries, over {len(docs):,}", mine, theirs,
                unit_scale=lambda s: rounds / s, unit="rounds/s", reference="the index before block bounds",
                target=1.0)


def bench_scale(h) -> None:
    """One query per call over 1,000,000 synthetic documents, against bm25s (full mode only)."""
    import bm25s

    docs, _ = h.synthetic_corpus(1_000_000, 100, 50_000)
    queries = runs_from(docs, 300)
    index = duzudavida.BM25Index()
    index.add(docs)
    retriever = bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend="numba")
    retriever.index(docs, show_progress=False)
    mine, theirs = h.interleaved(*one_per_call(index, retriever, queries), 3)
    h.ratio_row("Search, 1,000,000 synthetic documents", "runs of 2-6 tokens: one query per call", mine, theirs,
                unit_scale=lambda s: len(queries) / s, unit="queries/s", reference="bm25s retrieve([q])",
                target=2.0)
