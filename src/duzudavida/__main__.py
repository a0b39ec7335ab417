"""The command line: index a corpus file, then search it.

    python -m duzudavida index CORPUS INDEX      # or the console script: duzudavida index ...
    python -m duzudavida search INDEX "查询" -k 10
"""

import argparse
import json
import os
import stat
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, BinaryIO

from duzudavida._native import BM25Index, Jieba, __version__, default_paths

DESCRIPTION = """\
Full-text search over a Chinese (or any UTF-8) text file, from the command line.

First index the corpus once; every non-blank line is a document (or, with --paragraphs, every
run of lines between blank lines):

    duzudavida index novel.txt novel.index

This writes novel.index (the BM25 index), novel.index.json (the options and where the corpus
is) and novel.index.offsets.npy (where each document starts and ends in the corpus). The corpus
must stay where it is, unchanged: search prints the documents' lines from it. Then ask:

    duzudavida search novel.index "方鸿渐 留学" -k 5

which prints, best first, the rank, the BM25 score and the document's text. Words are cut as
Jieba.cut_for_search cuts them (--mode), punctuation is left out (--keep-punctuation keeps it),
and search uses the options the index was made with.
"""

INDEX_HELP = """\
Every non-blank line of CORPUS (UTF-8) becomes a document; with --paragraphs, every run of
non-blank lines does. A document with no words left after the filters (a line of punctuation
only, say) is left out, and so is a line that is not UTF-8. Progress goes to standard error.
"""

SEARCH_HELP = """\
Prints one line per hit: its rank, its score and the document's text (cut to --width characters;
0 for whole). A query with no word in the index prints nothing.
"""

# Documents read and indexed per call, at most this many and about this many bytes (add_texts's own
# chunk), so that a corpus of any size streams in a bounded memory.
BATCH_DOCUMENTS = 65536
BATCH_BYTES = 2 << 20


class UsageError(Exception):
    """A mistake in what the user asked for: reported on standard error with exit status 2."""


def regular_file(path: str, role: str) -> Path:
    """The path, if it names a regular file; UsageError otherwise (a FIFO would block, a
    directory cannot be read)."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise UsageError(f"{role} {path!r} does not exist") from None
    except OSError as error:
        raise UsageError(f"{role} {path!r} cannot be read: {error.strerror}") from None
    if stat.S_ISDIR(mode):
        raise UsageError(f"{role} {path!r} is a directory, not a file")
    if not stat.S_ISREG(mode):
        raise UsageError(f"{role} {path!r} is not a regular file (a FIFO or a device cannot be indexed)")
    return Path(path)


def documents(corpus: BinaryIO, paragraphs: bool) -> Iterator[tuple[int, int, bytes]]:
    """(start, end, text) of each document of the corpus: byte offsets of its first and past its
    last line, and its text (its lines joined, without their line ends)."""
    position = 0
    start = end = 0
    lines: list[bytes] = []
    for line in corpus:
        text = line.rstrip(b"\r\n")
        if not text.strip():
            if lines:
                yield start, end, b"\n".join(lines)
                lines = []
        elif not paragraphs:
            yield position, position + len(text), text
        else:
            if not lines:
                start = position
            lines.append(text)
            end = position + len(text)
        position += len(line)
    if lines:
        yield start, end, b"\n".join(lines)


def next_batch(read: Iterator[tuple[int, int, bytes]]) -> Iterator[tuple[int, int, bytes]]:
    """The next documents of `read`, up to BATCH_DOCUMENTS of them or BATCH_BYTES of text."""
    size = 0
    for count, document in enumerate(read, 1):
        yield document
        size += len(document[2])
        if count == BATCH_DOCUMENTS or size >= BATCH_BYTES:
            return


def sidecar_paths(index_path: str) -> tuple[Path, Path]:
    return Path(index_path + ".json"), Path(index_path + ".offsets.npy")


def numpy_module() -> Any:
    try:
        import numpy
    except ImportError:
        raise UsageError("the command line needs numpy: pip install 'duzudavida[search]'") from None
    return numpy


def command_index(arguments: argparse.Namespace) -> int:
    corpus_path = regular_file(arguments.corpus, "corpus")
    # The index and its two files replace whatever is at their paths: never the corpus itself.
    for output in (Path(arguments.index), *sidecar_paths(arguments.index)):
        try:
            clobbers = output.exists() and os.path.samefile(output, corpus_path)
        except OSError:
            clobbers = False
        if clobbers:
            raise UsageError(f"{output} is the corpus itself: the index would overwrite it")
    numpy = numpy_module()
    jieba = Jieba(**default_paths())
    options = {
        "mode": arguments.mode,
        "hmm": not arguments.no_hmm,
        "drop_punctuation": not arguments.keep_punctuation,
        "drop_stop_words": arguments.drop_stop_words,
    }
    index = BM25Index(b=arguments.b, k1=arguments.k1)
    offsets: list[Any] = []
    with open(corpus_path, "rb") as corpus:
        status = os.fstat(corpus.fileno())
        read = documents(corpus, arguments.paragraphs)
        progress = None if arguments.quiet else progress_bar(status.st_size)
        while True:
            batch = list(next_batch(read))
            if not batch:
                break
            ids = index.add_texts(
                [text for _, _, text in batch], jieba, threads=arguments.threads, skip_empty=True, **options
            )
            places = numpy.array([(start, end) for start, end, _ in batch], dtype=numpy.uint64)
            offsets.append(places[ids >= 0])
            if progress is not None:
                progress.update(batch[-1][1] - progress.n)
        if progress is not None:
            progress.close()
    if len(index) == 0:
        raise UsageError(f"corpus {arguments.corpus!r} has no document with words in it")
    index.save(arguments.index)
    _, offsets_path = sidecar_paths(arguments.index)
    with open(offsets_path, "wb") as file:
        numpy.save(file, numpy.concatenate(offsets))
    description = {
        "format": "duzudavida command line index 1",
        "corpus": str(corpus_path.resolve()),
        "corpus_size": status.st_size,
        "corpus_mtime_ns": status.st_mtime_ns,
        "documents": len(index),
        "paragraphs": arguments.paragraphs,
        "options": options,
    }
    sidecar_paths(arguments.index)[0].write_text(json.dumps(description, indent=2) + "\n")
    if not arguments.quiet:
        print(f"indexed {len(index)} documents of {arguments.corpus} into {arguments.index}", file=sys.stderr)
    return 0


def progress_bar(total: int) -> Any:
    from duzudavida._progress import bar

    return bar(total, "index", "B")


# Each field of INDEX.json and what its value must be: search reads them all, so a file edited or
# damaged by hand must be refused here rather than fail with a traceback further on.
DESCRIPTION_FIELDS: dict[str, type | tuple[type, ...]] = {
    "corpus": str,
    "corpus_size": int,
    "corpus_mtime_ns": int,
    "documents": int,
    "paragraphs": bool,
    "options": dict,
}
OPTION_VALUES: dict[str, tuple[Any, ...]] = {
    "mode": ("search", "default", "full"),
    "hmm": (True, False),
    "drop_punctuation": (True, False),
    "drop_stop_words": (True, False),
}


def side_file(path: Path) -> None:
    """UsageError unless `path` is a regular file: a FIFO put in place of one would block search."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise UsageError(f"{path} is missing: make the index with `duzudavida index`") from None
    except OSError as error:
        raise UsageError(f"{path} cannot be read: {error.strerror}") from None
    if not stat.S_ISREG(mode):
        raise UsageError(f"{path} is not a regular file: index the corpus again")


def load_description(index_path: str) -> dict[str, Any]:
    description_path, _ = sidecar_paths(index_path)
    side_file(description_path)
    try:
        description = json.loads(description_path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise UsageError(f"{description_path} is missing: make the index with `duzudavida index`") from None
    except (OSError, ValueError) as error:
        raise UsageError(f"{description_path} cannot be read: {error}") from None
    if not isinstance(description, dict) or description.get("format") != "duzudavida command line index 1":
        raise UsageError(f"{description_path} is not the description of a command line index")
    for field, kind in DESCRIPTION_FIELDS.items():
        value = description.get(field)
        # bool is an int to isinstance: a count given as true or false is as wrong as one missing.
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise UsageError(f"{description_path} is damaged: {field!r} is {value!r}; index the corpus again")
    options = description["options"]
    if set(options) != set(OPTION_VALUES) or any(
        type(options[name]) is not type(values[0]) or options[name] not in values
        for name, values in OPTION_VALUES.items()
    ):
        raise UsageError(f"{description_path} is damaged: 'options' is {options!r}; index the corpus again")
    return description


def load_offsets(index_path: str, numpy: Any, documents: int) -> Any:
    """INDEX.offsets.npy, mapped: a uint64 array of a (start, end) per document."""
    _, offsets_path = sidecar_paths(index_path)
    side_file(offsets_path)
    try:
        offsets = numpy.load(offsets_path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as error:
        raise UsageError(f"{offsets_path} cannot be read: {error}; index the corpus again") from None
    if offsets.dtype != numpy.dtype(numpy.uint64) or offsets.shape != (documents, 2):
        raise UsageError(
            f"{offsets_path} holds {offsets.dtype} of shape {offsets.shape}, not uint64 of shape ({documents}, 2): "
            "index the corpus again"
        )
    return offsets


def document_place(offsets: Any, doc: int, corpus_size: int, offsets_path: Path) -> tuple[int, int]:
    """A document's start and end in the corpus, checked: lying offsets would print other text."""
    start, end = (int(value) for value in offsets[doc])
    if not start <= end <= corpus_size:
        raise UsageError(
            f"{offsets_path} places document {doc} at bytes {start} to {end} of a corpus of {corpus_size}: "
            "index the corpus again"
        )
    return start, end


def command_search(arguments: argparse.Namespace) -> int:
    if arguments.k < 1:
        raise UsageError(f"-k must be at least 1, not {arguments.k}")
    description = load_description(arguments.index)
    regular_file(arguments.index, "index")
    numpy = numpy_module()
    offsets = load_offsets(arguments.index, numpy, description["documents"])
    corpus_path = description["corpus"]
    try:
        status = os.stat(corpus_path)
    except OSError:
        raise UsageError(f"the corpus {corpus_path!r} the index was made from is gone") from None
    if (status.st_size, status.st_mtime_ns) != (description["corpus_size"], description["corpus_mtime_ns"]):
        raise UsageError(f"the corpus {corpus_path!r} changed since it was indexed: index it again")
    index = BM25Index.load(arguments.index, mmap=True)
    if len(index) != description["documents"]:
        raise UsageError(f"{arguments.index} and its description disagree: index the corpus again")
    jieba = Jieba(**default_paths())
    ids, scores = index.search([arguments.query], jieba, k=arguments.k, **description["options"])
    width = arguments.width
    with open(corpus_path, "rb") as corpus:
        for rank, (doc, score) in enumerate(zip(ids[0], scores[0]), 1):
            if score <= 0:
                break
            start, end = document_place(offsets, int(doc), status.st_size, sidecar_paths(arguments.index)[1])
            corpus.seek(start)
            text = corpus.read(end - start).decode("utf-8", "replace").replace("\n", " ")
            if width and len(text) > width:
                text = text[: width - 1] + "…"
            print(f"{rank}\t{score:.4f}\t{text}")
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="duzudavida", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    top.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    index = commands.add_parser(
        "index", help="index a text file, one document per line", description=INDEX_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    index.add_argument("corpus", metavar="CORPUS", help="the UTF-8 text file to index")
    index.add_argument("index", metavar="INDEX", help="the index file to write (two more files go beside it)")
    index.add_argument("--paragraphs", action="store_true",
                       help="one document per paragraph (lines between blank lines), not per line")
    index.add_argument("--mode", choices=["search", "default", "full"], default="search",
                       help="how words are cut: search (as cut_for_search, the default), default (as cut), "
                            "full (as cut_all)")
    index.add_argument("--no-hmm", action="store_true", help="do not find new words with the HMM")
    index.add_argument("--keep-punctuation", action="store_true", help="index words of punctuation too")
    index.add_argument("--drop-stop-words", action="store_true", help="leave out the dictionary's stop words")
    index.add_argument("--b", type=float, default=0.75, help="BM25 length normalisation (default 0.75)")
    index.add_argument("--k1", type=float, default=1.2, help="BM25 term-frequency saturation (default 1.2)")
    index.add_argument("--threads", type=_non_negative, default=0, help="threads to cut with (default 0: every processor)")
    index.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    index.set_defaults(run=command_index)

    search = commands.add_parser(
        "search", help="print the documents that best match a query", description=SEARCH_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    search.add_argument("index", metavar="INDEX", help="an index written by `duzudavida index`")
    search.add_argument("query", metavar="QUERY", help="the query, in words or as a sentence")
    search.add_argument("-k", type=int, default=10, help="how many documents to print (default 10)")
    search.add_argument("--width", type=_non_negative, default=120,
                        help="cut each document to this many characters (default 120; 0: whole)")
    search.set_defaults(run=command_search)
    return top


def _non_negative(text: str) -> int:
    """argparse's type for counts where 0 means "no limit" or "every processor"."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status (2 for a usage error, 1 for a failure)."""
    command_line = parser()
    arguments = command_line.parse_args(argv)
    try:
        status: int = arguments.run(arguments)
    except UsageError as error:
        command_line.print_usage(sys.stderr)
        print(f"duzudavida: error: {error}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as error:
        print(f"duzudavida: error: {error}", file=sys.stderr)
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
