"""Search over a Chinese novel: text in, ranked text out, through BM25Index and a Jieba.

    python examples/search_demo.py CORPUS

CORPUS is any UTF-8 text; each sentence of it is a document (`make demo` runs it on the novel
Weicheng). The index is saved, mapped back from its file, and asked the queries.
"""

import sys
import tempfile
import time
from pathlib import Path

from duzudavida import BM25Index, Jieba, default_paths

CORPUS_HELP = """\
The corpus is a UTF-8 text file. To fetch the novel Weicheng, which the examples were written
with, from a clone of the repository (needs npm and CMake):
    scripts/fetch_deps.sh            # or `make setup`; writes third_party/weicheng.utf8
    python examples/search_demo.py third_party/weicheng.utf8"""
QUERIES = ["方鸿渐 留学 博士 文凭", "苏小姐 爱情", "三闾大学 教授", "结婚 孙柔嘉"]


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
    index = BM25Index()
    # Cut as cut_for_search, punctuation left out; a sentence with no word left gets no id (-1).
    ids = index.add_texts(sentences, jieba, skip_empty=True)
    by_id = {int(doc): sentence for doc, sentence in zip(ids, sentences) if doc >= 0}
    print(f"indexed {len(index)} sentences of {path.name} in {time.perf_counter() - started:.2f}s")

    with tempfile.TemporaryDirectory() as folder:
        saved = Path(folder) / "weicheng.index"
        index.save(saved)
        print(f"saved the index: {saved.stat().st_size / 1e6:.1f} MB")
        mapped = BM25Index.load(saved, mmap=True)
        all_ids, all_scores = mapped.search(QUERIES, jieba, k=3)
        for query, ranked, scores in zip(QUERIES, all_ids, all_scores):
            print(f"\nquery: {query}")
            for rank, (doc, score) in enumerate(zip(ranked, scores), 1):
                print(f"  {rank}. {score:.3f}  {by_id[int(doc)][:60]}")
        del mapped  # the mapping closes before the folder goes


if __name__ == "__main__":
    main()
