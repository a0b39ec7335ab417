"""Sparse retrieval over a Chinese novel: segment, train, persist, reload, encode and rank.

Run from the repository root after `make setup` (or just `make demo`):
    .venv/bin/python examples/search_demo.py [path/to/text.utf8]
"""

import sys
import tempfile
import time
from pathlib import Path

from duzudavida import BM25, Jieba, default_paths

ROOT = Path(__file__).resolve().parents[1]
NOVEL = ROOT / "third_party" / "weicheng.utf8"
QUERIES = ["方鸿渐 留学 博士 文凭", "苏小姐 爱情", "三闾大学 教授", "结婚 孙柔嘉"]


def dot(query: dict[str, float], document: dict[str, float]) -> float:
    return sum(weight * document.get(token, 0.0) for token, weight in query.items())


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else NOVEL
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
