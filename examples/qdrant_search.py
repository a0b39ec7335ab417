"""Sparse BM25 vectors served from Qdrant: the novel's sentences upserted, then searched.

    python examples/qdrant_search.py CORPUS [query ...]

CORPUS is any UTF-8 text; each sentence of it is a document.

Qdrant runs in local mode (in this process, stored in a temporary folder): no server, no network.
Needs `pip install 'duzudavida[qdrant]'`.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

from qdrant_client import QdrantClient, models

from duzudavida import BM25, Jieba, default_paths

CORPUS_HELP = """\
The corpus is a UTF-8 text file. To fetch the novel Weicheng, which the examples were written
with, from a clone of the repository (needs npm and CMake):
    scripts/fetch_deps.sh            # or `make setup`; writes third_party/weicheng.utf8
    python examples/qdrant_search.py third_party/weicheng.utf8"""
QUERIES = ["方鸿渐 留学 博士 文凭", "苏小姐 爱情", "三闾大学 教授"]
COLLECTION = "weicheng"


def corpus_or_help(argument: str | None) -> Path:
    """The corpus the user named; else the program stops with a note on getting one."""
    if argument and Path(argument).is_file():
        return Path(argument)
    problem = f"no such file: {argument}" if argument else "no corpus given"
    sys.exit(f"{problem}\n{CORPUS_HELP}")


def sentences_of(path: Path) -> list[str]:
    text = path.read_text(encoding="utf-8").replace("\n", "。")
    return [s.strip(" \u3000") + "。" for s in text.split("。") if len(s.strip(" \u3000")) >= 8]


def words_of(jieba: Jieba, texts: list[str]) -> list[list[str]]:
    """Words of each text; punctuation and white space carry no meaning for ranking."""
    return [[w for w in doc if w.isalnum()] for doc in jieba.cut_for_search_batch(texts)]


def build_index(client: QdrantClient, model: BM25, docs: list[list[str]], sentences: list[str]) -> None:
    """One point per sentence with words, its id the sentence's index."""
    # No IDF modifier: the query weights already carry idf.
    client.create_collection(COLLECTION, vectors_config={},
                             sparse_vectors_config={"bm25": models.SparseVectorParams()})
    kept = [i for i, doc in enumerate(docs) if doc]
    rows = model.encode_documents_csr([docs[i] for i in kept])
    points = []
    for row, index in enumerate(kept):
        start, end = rows.indptr[row], rows.indptr[row + 1]
        vector = models.SparseVector(indices=rows.indices[start:end].tolist(), values=rows.data[start:end].tolist())
        points.append(models.PointStruct(id=index, vector={"bm25": vector}, payload={"sentence": sentences[index]}))
    for start in range(0, len(points), 1000):
        client.upsert(COLLECTION, points[start : start + 1000])


def search(client: QdrantClient, model: BM25, query_words: list[list[str]], limit: int = 10) -> list[list[models.ScoredPoint]]:
    rows = model.encode_queries_csr(query_words)
    hits = []
    for row in range(rows.shape[0]):
        start, end = rows.indptr[row], rows.indptr[row + 1]
        vector = models.SparseVector(indices=rows.indices[start:end].tolist(), values=rows.data[start:end].tolist())
        hits.append(client.query_points(COLLECTION, query=vector, using="bm25", limit=limit, with_payload=True).points)
    return hits


def main() -> None:
    corpus = corpus_or_help(sys.argv[1] if len(sys.argv) > 1 else None)
    queries = sys.argv[2:] or QUERIES
    jieba = Jieba(**default_paths())
    sentences = sentences_of(corpus)
    docs = words_of(jieba, sentences)
    model = BM25()
    model.train_batch([doc for doc in docs if doc])
    with tempfile.TemporaryDirectory() as folder:
        client = QdrantClient(path=folder)
        build_index(client, model, docs, sentences)
        for text, hits in zip(queries, search(client, model, words_of(jieba, queries), limit=3)):
            print(f"\nquery: {text}")
            for rank, hit in enumerate(hits, 1):
                print(f"  {rank}. {hit.score:.3f}  {str(hit.payload['sentence'])[:60] if hit.payload else ''}")
        client.close()


if __name__ == "__main__":
    main()
