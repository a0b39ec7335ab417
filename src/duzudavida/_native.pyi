"""Type stubs of the extension duzudavida._native, whose names the package re-exports."""

import os
from collections.abc import Iterable, Sequence
from os import PathLike
from typing import Any, Literal, overload

# scipy.sparse.csr_array; named loosely, as scipy ships no types and is an optional dependency.
_CsrArray = Any
# numpy.ndarray; named loosely, as numpy is needed only by BM25Index.retrieve.
_NDArray = Any

__version__: str

_Text = str | bytes | bytearray
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Tokens = Sequence[_Text] | Sequence[int]
# A subclass's state: the bytes with its __dict__, or with its __dict__ (or None) and slot values.
_WithAttributes = tuple[bytes, dict[str, Any]] | tuple[bytes, dict[str, Any] | None, dict[str, Any]]
# Batches are lists or tuples; typed as sequences so that a list[list[str]] passes.
_Batch = Sequence[_Tokens]
# The cut modes of the text calls: "default" as cut, "search" as cut_for_search, "full" as cut_all.
_Mode = Literal["default", "search", "full"]

def default_paths() -> dict[str, str]:
    """The five files of the default dictionary shipped with the package, as Jieba's arguments."""

class BM25:
    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None:
        """A model with length normalisation b and saturation k1, trained on nothing yet."""
    @overload
    def b(self) -> float:
        """The length normalisation parameter."""
    @overload
    def b(self, value: float, /) -> None: ...
    @overload
    def k1(self) -> float:
        """The term-frequency saturation parameter."""
    @overload
    def k1(self, value: float, /) -> None: ...
    @overload
    def train(self, tokens: Sequence[_Text], /) -> None:
        """Add one non-empty document of tokens (str, bytes) or of int ids to the model."""
    @overload
    def train(self, tokens: Sequence[int], /) -> None: ...
    def load(self, json_text: str | bytes, /) -> None:
        """Set the model from the text of a document that dump wrote."""
    def dump(self, path: str | bytes | PathLike[str] | PathLike[bytes], /) -> None:
        """Write the model as a JSON document to path."""
    @overload
    def encode_document(self, tokens: Sequence[_Text], /) -> dict[str, float]:
        """Weight each distinct token of a document by its saturated, length-normalised frequency."""
    @overload
    def encode_document(self, tokens: Sequence[int], /) -> dict[int, float]: ...
    @overload
    def encode_query(self, tokens: Sequence[_Text], /) -> dict[str, float]:
        """Weight each distinct token of a query by its idf, the weights summing to one."""
    @overload
    def encode_query(self, tokens: Sequence[int], /) -> dict[int, float]: ...
    def train_batch(self, docs: _Batch) -> None:
        """Train every document in order, or none: an empty one or an overflow raises, naming its index."""
    def encode_documents(self, docs: _Batch, *, show_progress: bool = False) -> list[dict[Any, float]]:
        """encode_document of each document, in order; with show_progress, a tqdm bar when tqdm is installed."""
    def encode_queries(self, docs: _Batch, *, show_progress: bool = False) -> list[dict[Any, float]]:
        """encode_query of each document, in order; with show_progress, a tqdm bar when tqdm is installed."""
    def encode_documents_csr(self, docs: _Batch, *, show_progress: bool = False) -> _CsrArray:
        """Document weights as a scipy.sparse.csr_array of shape (len(docs), 2**32 - 1), float32; with
        show_progress, a tqdm bar when tqdm is installed."""
    def encode_queries_csr(self, docs: _Batch, *, show_progress: bool = False) -> _CsrArray:
        """Query weights as a scipy.sparse.csr_array of shape (len(docs), 2**32 - 1), float32; with
        show_progress, a tqdm bar when tqdm is installed."""
    @staticmethod
    def token_index(token: str | bytes) -> int:
        """A token's column: MurmurHash3 x86 32-bit, seed 0, unsigned, modulo 2**32 - 1."""
    def merge(self, other: BM25) -> None:
        """Add another model's corpus to this one (counts and lengths summed; b and k1 kept)."""
    def __getstate__(self) -> bytes | _WithAttributes:
        """The exact state, compact, for pickle and copy (with a subclass's attributes, if any)."""
    def __setstate__(self, state: bytes | _WithAttributes, /) -> None:
        """Restore a state from __getstate__."""

class BM25Index:
    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None:
        """An empty index: a BM25 model and the postings of its documents."""
    def add(self, docs: _Batch) -> int:
        """Train the model with the documents and index them under consecutive ids; the first id."""
    def delete(self, ids: Sequence[int]) -> None:
        """Remove live documents, all or none: KeyError names an id that is not live."""
    def retrieve(
        self,
        queries: _Batch,
        k: int = 10,
        threads: int = 0,
        allow: Sequence[int] | None = None,
        corpus: tuple[int, int, _NDArray | Sequence[int]] | None = None,
    ) -> tuple[_NDArray, _NDArray]:
        """Per query the min(k, n) best live documents (of allow): int64 ids, float64 scores.

        With corpus, statistics summed over the shards of a corpus, documents score as in one
        index of the whole corpus."""
    def corpus_statistics(self, queries: _Batch) -> tuple[int, int, _NDArray]:
        """(doc_count, doc_length_total, token_counts): per query, each distinct token's count."""
    @overload
    def add_texts(
        self,
        texts: Iterable[_Text],
        jieba: Jieba,
        *,
        mode: _Mode = "search",
        hmm: bool = True,
        drop_punctuation: bool = True,
        drop_stop_words: bool = False,
        threads: int = 0,
        show_progress: bool = False,
        skip_empty: Literal[False] = False,
    ) -> int:
        """Segment each text with jieba and index its kept words as add does; the first text's id.

        Reads any iterable a chunk at a time. A bad text raises, naming its position, with exactly
        the texts before it added (the exception's note says which ids). With skip_empty=True a
        text without words is skipped instead, and the result is each text's id (an int64 array,
        -1 for a text skipped)."""
    @overload
    def add_texts(
        self,
        texts: Iterable[_Text],
        jieba: Jieba,
        *,
        mode: _Mode = "search",
        hmm: bool = True,
        drop_punctuation: bool = True,
        drop_stop_words: bool = False,
        threads: int = 0,
        show_progress: bool = False,
        skip_empty: Literal[True],
    ) -> _NDArray: ...
    def search(
        self,
        queries: Sequence[_Text],
        jieba: Jieba,
        k: int = 10,
        *,
        mode: _Mode = "search",
        hmm: bool = True,
        drop_punctuation: bool = True,
        drop_stop_words: bool = False,
        threads: int = 0,
        allow: Sequence[int] | None = None,
    ) -> tuple[_NDArray, _NDArray]:
        """retrieve of each query's kept words, segmented and filtered as add_texts does."""
    def __len__(self) -> int:
        """The number of live documents."""
    def model(self) -> BM25:
        """A new BM25 equal to the index's model."""
    def merge(self, other: BM25Index) -> None:
        """Append other's documents, ids shifted by this index's next id."""
    def save(self, path: str | bytes | PathLike[str] | PathLike[bytes]) -> None:
        """Write the index to one file, through a temporary name and a rename."""
    @staticmethod
    def load(path: str | bytes | PathLike[str] | PathLike[bytes], mmap: bool = False) -> BM25Index:
        """Read an index file; with mmap=True the postings are mapped and paged in on demand."""
    def __getstate__(self) -> bytes | _WithAttributes:
        """The index file's bytes, for pickle and copy (with a subclass's attributes, if any)."""
    def __setstate__(self, state: bytes | _WithAttributes, /) -> None:
        """Restore an index from __getstate__."""

class Jieba:
    def __init__(
        self, dict_path: _Path, hmm_path: _Path, user_dict_path: _Path, idf_path: _Path, stop_word_path: _Path
    ) -> None:
        """Load the segmenter's dictionary, HMM model, user dictionaries, IDF table and stop words."""
    def cut(self, sentence: _Text) -> list[str]:
        """Segment a sentence into words (mixed mode, new words found by the HMM)."""
    def cut_for_search(self, sentence: _Text) -> list[str]:
        """Segment as cut, adding the shorter dictionary words inside long words."""
    def cut_batch(
        self, sentences: Sequence[_Text], threads: int = 0, *, show_progress: bool = False
    ) -> list[list[str]]:
        """cut of every sentence, on up to `threads` threads (0: every usable processor); with
        show_progress, a tqdm bar when tqdm is installed."""
    def cut_for_search_batch(
        self, sentences: Sequence[_Text], threads: int = 0, *, show_progress: bool = False
    ) -> list[list[str]]:
        """cut_for_search of every sentence, on up to `threads` threads (0: every usable
        processor); with show_progress, a tqdm bar when tqdm is installed."""
    def cut_all(self, sentence: _Text) -> list[str]:
        """Every dictionary word of the sentence (the library's full mode)."""
    def tokenize(self, sentence: _Text, mode: str = "default", hmm: bool = True) -> list[tuple[str, int, int]]:
        """Each word with its start and end in code points; mode "default" (as cut) or "search"."""
    def tokenize_batch(
        self,
        sentences: Sequence[_Text],
        mode: str = "default",
        hmm: bool = True,
        threads: int = 0,
        *,
        show_progress: bool = False,
    ) -> tuple[Any, Any, Any]:
        """(starts, ends, indptr), int64 numpy arrays, no str made: sentence i's words are
        [starts[j], ends[j]) for indptr[i] <= j < indptr[i + 1], in code points of a str, in bytes
        of bytes or bytearray. Needs numpy (the `search` extra)."""
    def tag(self, sentence: _Text) -> list[tuple[str, str]]:
        """Each word with its part-of-speech tag."""
    def extract_keywords(self, sentence: _Text, top_k: int = 20) -> list[tuple[str, float]]:
        """The TF-IDF keywords over the loaded IDF table and stop words, best first."""
    def insert_user_word(self, word: _Text, freq: int | None = None, tag: str | None = None) -> bool:
        """Add a word to the dictionary for every later call; True when the library took it."""
    def save_compiled(self, path: _Path) -> None:
        """Write the dictionary of the five files (without inserted words) compiled, for load_compiled."""
    @staticmethod
    def load_compiled(
        path: _Path, dict_path: _Path, hmm_path: _Path, user_dict_path: _Path, idf_path: _Path, stop_word_path: _Path
    ) -> Jieba:
        """Map a compiled dictionary made from these five files' present bytes (ValueError otherwise)."""
    def __getstate__(self) -> tuple[str, str, str, str, str, list[tuple[bytes, int | None, str | None]]]:
        """The five paths and the added words; unpickling loads the files again and adds them."""
    def __setstate__(self, state: tuple[str, str, str, str, str, list[tuple[bytes, int | None, str | None]]], /) -> None:
        """Load the segmenter from its paths and add its words again."""
