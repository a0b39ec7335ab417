"""Writes the benchmark's corpora and query mixes for index_queries: novel sentences cut by
cut_for_search and synthetic Zipf documents (100,000 each; --million adds 1,000,000 synthetic with
their runs), each mix's first 300 queries, as the one-query-per-call rows take them. The crowded
corpus puts 5,000 novel sentences before 95,000 synthetic documents: its queries' tokens are the
novel's alone, so their lists crowd into the first ids."""

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import index_bench  # noqa: E402
import run as harness  # noqa: E402


def dump(path: Path, lines) -> None:
    with open(path, "w", encoding="utf-8") as out:
        for tokens in lines:
            out.write("\x1f".join(tokens) + "\n")


def main() -> None:
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    novel = index_bench.novel_search_corpus(harness.NOVEL, harness.JIEBA_PATHS, 100_000)
    synthetic, _ = harness.synthetic_corpus(100_000, 100, 50_000)
    for name, docs in (("novel", novel), ("synthetic", synthetic)):
        dump(folder / f"{name}.docs", docs)
        dump(folder / f"{name}.distinct", index_bench.queries_from(docs, 1000)[:300])
        dump(folder / f"{name}.runs", index_bench.runs_from(docs, 1000)[:300])
        dump(folder / f"{name}.single", index_bench.frequent_words(docs, 1000)[:300])
    crowded = novel[:5_000] + synthetic[:95_000]
    synthetic_tokens = {token for doc in synthetic[:95_000] for token in doc}
    held: dict = {}
    for doc in novel[:5_000]:
        for token in set(doc):
            held[token] = held.get(token, 0) + 1
    own = sorted(token for token, count in held.items() if token not in synthetic_tokens and 150 <= count <= 2_500)
    rng = random.Random(13)
    dump(folder / "crowded.docs", crowded)
    dump(folder / "crowded.distinct", [rng.sample(own, rng.randint(2, 4)) for _ in range(300)])
    if "--million" in sys.argv[2:]:
        million, _ = harness.synthetic_corpus(1_000_000, 100, 50_000)
        dump(folder / "million.docs", million)
        dump(folder / "million.runs", index_bench.runs_from(million, 300))


if __name__ == "__main__":
    main()
