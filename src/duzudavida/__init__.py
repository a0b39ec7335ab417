"""A BM25 sparse text encoder, a Chinese word segmenter and an exact top-k search index."""

# The native classes live in the extension duzudavida._native but report this package as their
# module, so that pickles name duzudavida.BM25 (as those of the single-module releases did).
from duzudavida._native import BM25, BM25Index, Jieba, __version__, default_paths

__all__ = ["BM25", "BM25Index", "Jieba", "__version__", "default_paths"]
