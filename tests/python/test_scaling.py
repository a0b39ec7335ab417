"""The examples beyond one process: a Dask cluster and a Qdrant collection give exactly what one
process computes."""

import importlib.util
import sys

import numpy as np
import pytest
import scipy.sparse
from conftest import ROOT, SANITIZED

from duzudavida import BM25, BM25Index, Jieba, default_paths

# The engines start processes of their own, without the sanitizer runtime; the plain run checks them.
pytestmark = pytest.mark.skipif(SANITIZED, reason="checked in the run without sanitizers")


def example(name: str):
    found = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def test_dask_pipeline_equals_one_process(novel_lines, tmp_path):
    pytest.importorskip("distributed")
    from dask.distributed import Client, LocalCluster

    pipeline = example("dask_pipeline")
    corpus = tmp_path / "corpus.utf8"
    corpus.write_text("\n".join(novel_lines[:150]) + "\n", encoding="utf-8")
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None, processes=True) as cluster:
        with Client(cluster) as client:
            model, matrix, kept = pipeline.run_pipeline(client, [str(corpus)] * 2, partitions=5)
            index = pipeline.build_index(client, [str(corpus)] * 2, 5, str(tmp_path / "merged.idx"))
            sharded = pipeline.shard_index(client, [str(corpus)] * 2, 2)
            cut = pipeline.segment_partition(novel_lines[150:190], Jieba(**default_paths()))
            queries = [words[:3] for _, words in cut]
            sharded_ids, sharded_scores = sharded.retrieve(queries, k=20)

    lines = corpus.read_text(encoding="utf-8").splitlines() * 2
    pairs = pipeline.segment_partition(lines, Jieba(**default_paths()))
    serial = pipeline.train_partition(pairs)
    assert kept == [line for line, _ in pairs]
    assert model.__getstate__() == serial.__getstate__()  # every counter, doc_length_total among them
    model.dump(str(tmp_path / "merged.json"))
    serial.dump(str(tmp_path / "serial.json"))
    assert (tmp_path / "merged.json").read_bytes() == (tmp_path / "serial.json").read_bytes()
    expected = serial.encode_documents_csr([words for _, words in pairs])
    assert matrix.shape == expected.shape
    assert (matrix != expected).nnz == 0

    # One index per partition, merged in a tree: the file of one index given every document.
    one = BM25Index()
    one.add([words for _, words in pairs])
    one.save(tmp_path / "one.idx")
    assert (tmp_path / "merged.idx").read_bytes() == (tmp_path / "one.idx").read_bytes()
    assert len(index) == len(pairs)
    # The sharded index, searched on the cluster: one index's answers, ids made global.
    ids, scores = one.retrieve(queries, k=20)
    offsets = np.cumsum([0, *sharded._live])  # shard s holds the lines after those of shards before it
    assert (offsets[sharded_ids >> 32] + (sharded_ids & 0xFFFFFFFF)).tolist() == ids.tolist()
    assert sharded_scores.tolist() == scores.tolist()


def exact_scores(matrix: scipy.sparse.csr_array, query: scipy.sparse.csr_array) -> np.ndarray:
    """Every row's dot product with the query, over the columns either side uses."""
    columns, renumbered = np.unique(np.concatenate([matrix.indices, query.indices]), return_inverse=True)
    rows = scipy.sparse.csr_array((matrix.data, renumbered[: matrix.nnz], matrix.indptr),
                                  shape=(matrix.shape[0], len(columns)))
    dense = np.zeros(len(columns), dtype=np.float32)
    dense[renumbered[matrix.nnz:]] = query.data
    return rows @ dense


def test_qdrant_top_ten_equals_exact_dot_products(tmp_path):
    pytest.importorskip("qdrant_client")
    from qdrant_client import QdrantClient

    search = example("qdrant_search")
    jieba = Jieba(**default_paths())
    sentences = search.sentences_of(ROOT / "third_party" / "weicheng.utf8")[:1500]
    docs = search.words_of(jieba, sentences)
    model = BM25()
    model.train_batch([doc for doc in docs if doc])
    client = QdrantClient(path=str(tmp_path / "qdrant"))
    search.build_index(client, model, docs, sentences)
    queries = ["方鸿渐 留学 博士 文凭", "苏小姐 爱情", "三闾大学 教授", "结婚 孙柔嘉", "鸿渐 船上"]
    query_words = search.words_of(jieba, queries)
    kept = [i for i, doc in enumerate(docs) if doc]
    matrix = model.encode_documents_csr([docs[i] for i in kept])
    row_of = {point: row for row, point in enumerate(kept)}
    for words, hits in zip(query_words, search.search(client, model, query_words)):
        scores = exact_scores(matrix, model.encode_queries_csr([words]))
        # The same ten scores in the same order; a tie may pick either of the rows it holds.
        assert [hit.score for hit in hits] == pytest.approx(sorted(scores, reverse=True)[:10], rel=1e-5)
        assert [scores[row_of[hit.id]] for hit in hits] == pytest.approx([hit.score for hit in hits], rel=1e-5)
        assert len({hit.id for hit in hits}) == 10
    client.close()
