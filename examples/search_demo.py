"""Sparse retrieval over a Chinese novel: segment, train, persist, reload, encode and rank.

    python examples/search_demo.py CORPUS

CORPUS is any UTF-8 text; each sentence of it is a document (`make demo` runs it on the novel
Weicheng).
"""

import sys
import tempfile
import time
from pathlib import Path

from duzudavida import BM25, Jieba, default_paths

CORPUS_HELP = """\
The corpus is a UTF-8 text file. To fetch the novel Weicheng, which the examples were written
with, from a clone of the repository (needs npm and CMake):
    scripts/fetch_deps.sh            # or `make setup`; writes third_party/weicheng.utf8
    python examples/search_demo.py third_party/weicheng.utf8"""
QUERIES = ["方鸿渐 留学 博士 文凭", "苏小姐 爱情", "三闾大学 教授", "结婚 孙柔嘉"]


def dot(query: dict[str, float], document: dict[str, float]) -> float:
    return sum(weight * document.get(token, 0.0) for token, weight in query.items())


def corpus_or_help(argument: str | None) -> Path:
    """The corpus the user named; else the program stops with a note on getting one."""
    if argument and Path(argument).is_file():
        return Path(argument)
    problem = f"no such file: {argument}" if argument else "no corpus given"
    sys.exit(f"{problem}\n{CORPUS_HELP}")


def main() -> None:
    path = corpus_or_help(sys.argv[1] if len(sys.argv) > 1 else None)
    # One document per sentence of the text.
    text = path.read_text(encoding="utf-8").replace("\n", "。")
    sentences = [s.strip(" \u3000") + "。" for s in text.split("。") if len(s.strip(" \u3000")) >= 8]

    started = time.perf_counter()
    jieba = Jieba(**default_paths())  # the dictionary installed with the package
    # Punctuation and white space carry no meaning for ranking.
    documents = [[w for w in jieba.cut_for_search(s) if w.isalnum()] for s in sentences]
    print(f"segmented {len(documents)} sentences of {path.name} in {time.perf_counter() - started:.2f}s")

    model = BM25()
    for document in documents:
        if document:
            model.train(document)
    with tempfile.TemporaryDirectory() as folder:
        saved = Path(folder) / "weicheng.bm25.json"
        model.dump(str(saved))
        print(f"trained and dumped the model: {saved.stat().st_size / 1e6:.1f} MB")
        restored = BM25()
        restored.load(saved.read_text(encoding="utf-8"))

    index = [restored.encode_document(d) for d in documents]
    for text in QUERIES:
        query = restored.encode_query([w for w in jieba.cut_for_search(text) if w.strip()])
        ranked = sorted(range(len(index)), key=lambda i: dot(query, index[i]), reverse=True)[:3]
        print(f"\nquery: {text}")
        for rank, i in enumerate(ranked, 1):
            print(f"  {rank}. {dot(query, index[i]):.3f}  {sentences[i][:60]}")


if __name__ == "__main__":
    main()
