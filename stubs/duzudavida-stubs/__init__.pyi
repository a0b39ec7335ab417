"""Type stubs of the duzudavida extension module (installed as the stub-only duzudavida-stubs)."""

from collections.abc import Sequence
from typing import overload

__version__: str

_Text = str | bytes | bytearray

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
    def dump(self, path: str | bytes, /) -> None:
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

class Jieba:
    def __init__(
        self, dict_path: str, hmm_path: str, user_dict_path: str, idf_path: str, stop_word_path: str
    ) -> None:
        """Load the segmenter's dictionary, HMM model, user dictionaries, IDF table and stop words."""
    def cut(self, sentence: _Text) -> list[str]:
        """Segment a sentence into words (mixed mode, new words found by the HMM)."""
    def cut_for_search(self, sentence: _Text) -> list[str]:
        """Segment as cut, adding the shorter dictionary words inside long words."""
