"""Text in, ranked text out: add_texts and search against the word lists they stand for, their
filters against Python's unicodedata, and bad items, threads and forks during a call."""

import os
import random
import sys
import threading
import unicodedata
from pathlib import Path

import pytest

import duzudavida
from conftest import ROOT, SANITIZED, run_isolated

# Text a corpus may hold besides the novel's: other scripts, digits, symbols and emoji, controls,
# format characters (a byte order mark, a zero-width space), full-width forms, white space of every
# kind, runs of punctuation.
HOSTILE_LINES = [
    "\ufeff第一章　开头，“引号”……破折号——还有《书名》！",
    "C++ 与 Python 3.12：速度 ±5%，价格 $100 / ¥700 ★★★ 😀👍🏽",
    "tab\there\r\nnewline\x0bvertical\x0cfeed\x1cseparator\x85next\u2028line\u2029para",
    "零宽\u200b空格\u200d连接 soft\u00adhyphen \u2060word joiner",
    "ＡＢＣ１２３，全角！？　 　 ",
    "Ελληνικά русский العربية עברית हिन्दी ไทย 한국어 日本語のテキスト",
    "１９４５年8月15日 第3.5版 Ⅻ ② ½",
    "...!!!???---___***&&&@@@###",
    "方鸿渐留学回国，买了克莱登大学的博士文凭。",
]
INSERTED_WORDS = ["方鸿渐留学", "克莱登大学", "全角！"]


def is_punctuation(word: str) -> bool:
    """The punctuation filter exactly, as the documentation gives it."""
    return word != "" and all(
        unicodedata.category(c)[0] in "PZ" or unicodedata.category(c) in ("Cc", "Cf") for c in word
    )


def stop_words_of(jieba: duzudavida.Jieba) -> set[bytes]:
    """The stop words exactly: the lines of the Jieba's stop_word_path, split at b"\\n"."""
    return set(Path(jieba.__getstate__()[4]).read_bytes().split(b"\n"))


def kept_words(jieba, text, mode, hmm, drop_punctuation, drop_stop_words, stop_words):
    if mode == "full":
        words = jieba.cut_all(text)
    else:
        words = [word for word, _, _ in jieba.tokenize(text, mode=mode, hmm=hmm)]
    return [
        word
        for word in words
        if not (drop_punctuation and is_punctuation(word))
        and not (drop_stop_words and word.encode() in stop_words)
    ]


@pytest.fixture(scope="module")
def texts(novel_lines) -> list[str]:
    sentences = [s + "。" for line in novel_lines for s in line.split("。") if s]
    return sentences[:1500] + HOSTILE_LINES


@pytest.fixture(scope="module")
def jieba_with_words(dict_paths) -> duzudavida.Jieba:
    jieba = duzudavida.Jieba(**dict_paths)
    for word in INSERTED_WORDS:
        assert jieba.insert_user_word(word)
    return jieba


@pytest.mark.parametrize(
    ("mode", "hmm", "drop_punctuation", "drop_stop_words", "kind"),
    [
        ("search", True, True, False, "str"),
        ("search", True, True, True, "bytes"),
        ("search", False, False, False, "str"),
        ("default", True, True, True, "str"),
        ("default", False, True, False, "bytes"),
        ("full", True, True, False, "str"),
        ("full", True, False, True, "bytes"),
    ],
)
@pytest.mark.parametrize("inserted", [False, True], ids=["dictionary", "inserted-words"])
def test_add_texts_and_search_equal_add_and_retrieve_of_the_kept_words(
    jieba, jieba_with_words, texts, mode, hmm, drop_punctuation, drop_stop_words, kind, inserted
):
    segmenter = jieba_with_words if inserted else jieba
    stop_words = stop_words_of(segmenter)
    options = {"mode": mode, "hmm": hmm, "drop_punctuation": drop_punctuation, "drop_stop_words": drop_stop_words}
    items = [text.encode() if kind == "bytes" else text for text in texts]
    words = [kept_words(segmenter, item, mode, hmm, drop_punctuation, drop_stop_words, stop_words) for item in items]
    indexed = [i for i, doc in enumerate(words) if doc]
    expected = duzudavida.BM25Index()
    expected.add([words[i] for i in indexed])
    index = duzudavida.BM25Index()
    assert index.add_texts((items[i] for i in indexed), segmenter, threads=2, **options) == 0
    assert index.__getstate__() == expected.__getstate__()

    queries = items[::97] + [item[:6] for item in items[::211]]
    ids, scores = index.search(queries, segmenter, k=7, **options)
    want_ids, want_scores = expected.retrieve(
        [kept_words(segmenter, q, mode, hmm, drop_punctuation, drop_stop_words, stop_words) for q in queries], k=7
    )
    assert (ids == want_ids).all() and (scores == want_scores).all()


def test_chunks_and_threads_do_not_change_the_index(jieba, novel_lines):
    """More texts than a chunk holds (65536), on one thread and on every one, give one add's index."""
    sentences = [s for line in novel_lines for s in line.split("。") if any(map(str.isalnum, s))]
    texts = (sentences * (70_000 // len(sentences) + 1))[:70_000]
    words = [[w for w in doc if not is_punctuation(w)] for doc in jieba.cut_for_search_batch(texts)]
    expected = duzudavida.BM25Index()
    expected.add(words)
    for threads in (1, 0):
        index = duzudavida.BM25Index()
        index.add([["before"]])
        assert index.add_texts(iter(texts), jieba, threads=threads) == 1
        index.delete([0])
        shifted = duzudavida.BM25Index()
        shifted.add([["before"]])
        shifted.add(words)
        shifted.delete([0])
        assert index.__getstate__() == shifted.__getstate__()


def test_punctuation_filter_is_the_unicode_categories_of_every_code_point(jieba):
    """Each code point as a one-word text: kept by search exactly when unicodedata says so."""
    # Under the sanitizers every fifth code point, since all of them took over a minute there; the
    # run without them checks all.
    step = 5 if SANITIZED else 1
    code_points = [c for c in range(0, sys.maxunicode + 1, step) if not 0xD800 <= c <= 0xDFFF]
    texts = [chr(c) for c in code_points]
    index = duzudavida.BM25Index()
    index.add_texts(texts, jieba, mode="default", drop_punctuation=False)
    ids, scores = index.search(texts, jieba, k=1, mode="default")
    kept = scores[:, 0] > 0
    assert (ids[kept, 0] == [i for i, k in enumerate(kept) if k]).all()
    wrong = [hex(c) for c, k in zip(code_points, kept) if k == is_punctuation(chr(c))]
    assert not wrong, wrong[:20]


# Code points at the edges of UTF-8's lengths, for each of a str's storage kinds (the widest one
# present decides it).
KIND_CODE_POINTS = {
    "latin-1": [0x41, 0x7F, 0x80, 0xAD, 0xE9, 0xFF],
    "two-byte": [0x100, 0x7FF, 0x800, 0x3002, 0x4E00, 0xD7FF, 0xE000, 0xFF0C, 0xFFFD, 0xFFFF],
    "four-byte": [0x10000, 0x1F600, 0x2A6D6, 0x10FFFF],
}


class _SubclassedText(str):
    """A str subclass, whose characters lie apart from the object (a str that is not compact), and
    whose __str__ and __len__ say otherwise: its characters are the text."""

    def __str__(self):
        return "x"

    def __len__(self):
        return 0


@pytest.mark.parametrize("kind", list(KIND_CODE_POINTS))
def test_a_str_is_indexed_and_searched_as_its_utf8(jieba, kind):
    """Python's own encoder is the oracle for the binding's: any str gives what its UTF-8 bytes give."""
    rng = random.Random(kind)
    kinds = list(KIND_CODE_POINTS)
    alphabet = [chr(c) for name in kinds[: kinds.index(kind) + 1] for c in KIND_CODE_POINTS[name]] + list("ab 中文。")
    # One code point alone first: the shortest str of its kind.
    texts = [chr(KIND_CODE_POINTS[kind][-1])]
    texts += ["".join(rng.choices(alphabet, k=rng.randint(1, 40))) for _ in range(300)]
    texts += [_SubclassedText(t) for t in texts[:60]]
    options = {"drop_punctuation": False, "skip_empty": True}
    from_str = duzudavida.BM25Index()
    from_bytes = duzudavida.BM25Index()
    ids_of_str = from_str.add_texts(texts, jieba, **options)
    assert (ids_of_str == from_bytes.add_texts([t.encode() for t in texts], jieba, **options)).all()
    assert from_str.__getstate__() == from_bytes.__getstate__()
    ids, scores = from_str.search(texts[:50], jieba, k=3, drop_punctuation=False)
    want_ids, want_scores = from_str.search([t.encode() for t in texts[:50]], jieba, k=3, drop_punctuation=False)
    assert (ids == want_ids).all() and (scores == want_scores).all()
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        from_str.add_texts([texts[1] + "\udfff"], jieba)


def failing_generator(texts, error):
    yield from texts
    raise error


BAD_ITEMS = [
    ("generator-raises", lambda t: failing_generator(t, KeyError("source gone")), KeyError, "source gone", 3),
    ("not-text", lambda t: [*t, 42, "后"], TypeError, r"texts\[3\] is int, not str, bytes or bytearray", 3),
    ("lone-surrogate", lambda t: [*t, "坏\ud800"], UnicodeEncodeError, "surrogates not allowed", 3),
    ("no-words", lambda t: [*t, "，。！", "后"], ValueError, r"texts\[3\]: no words left after the filters", 3),
    ("undecodable-bytes", lambda t: [*t, b"\xff\xfe"], ValueError, r"texts\[3\]: no words", 3),
    ("bad-first", lambda t: ["   "], ValueError, r"texts\[0\]: no words", 0),
]


@pytest.mark.parametrize(("factory", "error", "match", "position"), [b[1:] for b in BAD_ITEMS], ids=[b[0] for b in BAD_ITEMS])
def test_a_bad_item_leaves_exactly_the_texts_before_it(jieba, factory, error, match, position, capfd):
    good = ["方鸿渐回国", "苏小姐的爱情", b"\xe4\xb8\x89\xe9\x97\xbe\xe5\xa4\xa7\xe5\xad\xa6"]
    index = duzudavida.BM25Index()
    index.add([["earlier"]])
    with pytest.raises(error, match=match) as raised:
        index.add_texts(factory(good), jieba)
    capfd.readouterr()  # the engine's "decode failed" line for undecodable bytes
    notes = " ".join(getattr(raised.value, "__notes__", []))
    if position:
        assert f"texts[0:{position}] were added as ids 1 to {position}" in notes
    else:
        assert "no text of this call was added" in notes
    expected = duzudavida.BM25Index()
    expected.add([["earlier"]])
    if position:
        expected.add_texts(good[:position], jieba)
    assert index.__getstate__() == expected.__getstate__()


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves the address space: no limit on it holds")
def test_no_memory_for_a_texts_copy_leaves_the_texts_before_it(dict_paths):
    """A str whose UTF-8 copy finds no memory (the address space capped below it) is a bad item like
    the others: MemoryError naming it, the texts read before it in its chunk added and noted."""
    script = (
        "import resource, sys, duzudavida\n"
        "jieba = duzudavida.Jieba(*sys.argv[1:])\n"
        "good = ['方鸿渐回国', '苏小姐的爱情']\n"
        "expected = duzudavida.BM25Index(); expected.add_texts(good, jieba)\n"
        "huge = 'é' * 150_000_000  # 150 MB of Latin-1, 300 MB as UTF-8\n"
        "size = next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith('VmSize:'))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + 200_000_000, size + 200_000_000))\n"
        "index = duzudavida.BM25Index()\n"
        "try:\n"
        "    index.add_texts(iter([*good, huge, '后来']), jieba)\n"
        "except MemoryError as error:\n"
        "    print(' | '.join(getattr(error, '__notes__', [])))\n"
        "print(index.__getstate__() == expected.__getstate__())\n"
    )
    names = ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
    done = run_isolated(script, *(dict_paths[name] for name in names))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "in texts[2] | texts[0:2] were added as ids 0 to 1; nothing after them",
        "True",
    ]


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves the address space: no limit on it holds")
@pytest.mark.parametrize(
    ("threads", "skip_empty"), [(1, False), (2, False), (2, True)], ids=["one-thread", "two-threads", "skip-empty"]
)
def test_no_memory_for_a_cut_leaves_what_the_note_says(dict_paths, threads, skip_empty):
    """Memory runs out cutting a long text after the novel's lines: on threads the lines' parts go in
    while the next part is cut, and the MemoryError's note must say which texts are in the index."""
    script = (
        "import re, resource, sys, duzudavida, numpy  # numpy's own buffers before the cap\n"
        "threads, skip_empty, novel = int(sys.argv[1]), sys.argv[2] == 'True', sys.argv[3]\n"
        "jieba = duzudavida.Jieba(*sys.argv[4:])\n"
        "lines = [l.strip() for l in open(novel, encoding='utf-8') if l.strip()][:400]\n"
        "empty = ['，。'] if skip_empty else []  # a text without words, skipped\n"
        "texts = [*lines[:5], *empty, *lines[5:], 'a ' * 5_000_000, '后来']  # 10,000,000 words: 160 MB of spans\n"
        "size = next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith('VmSize:'))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + 80_000_000, resource.RLIM_INFINITY))\n"
        "index = duzudavida.BM25Index()\n"
        "try:\n"
        "    index.add_texts(texts, jieba, threads=threads, skip_empty=skip_empty)\n"
        "except MemoryError as error:\n"
        "    notes = ' '.join(getattr(error, '__notes__', []))\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))\n"
        "    found = re.search(r'texts\\[0:(\\d+)\\] were added', notes)\n"
        "    added = int(found.group(1)) if found else 0\n"
        "    expected = duzudavida.BM25Index()\n"
        "    if added: expected.add_texts(texts[:added], jieba, skip_empty=skip_empty)\n"
        "    print(notes, index.__getstate__() == expected.__getstate__())\n"
    )
    names = ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
    done = run_isolated(script, str(threads), str(skip_empty), str(ROOT / "third_party" / "weicheng.utf8"),
                        *(dict_paths[name] for name in names))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith(" True"), done.stdout


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda i, j: i.add_texts("一段文字", j), TypeError, "texts must be an iterable of texts, not one str"),
        (lambda i, j: i.add_texts(["x"], j, mode="cut"), ValueError, 'mode must be "default", "search" or "full"'),
        (lambda i, j: i.add_texts(["x"], object()), TypeError, "jieba must be a duzudavida.Jieba, not object"),
        (lambda i, j: i.add_texts(["x"], j, threads=-1), ValueError, "threads must be 0"),
        (lambda i, j: i.search("一段", j), TypeError, "queries must be a list or tuple of texts, not str"),
        (lambda i, j: i.search(["一段"], j, k=0), ValueError, "k must be at least 1, not 0"),
        (lambda i, j: i.search(["一段", 5], j), TypeError, r"queries\[1\] is int"),
        (lambda i, j: duzudavida.BM25Index.search(object(), ["x"], j), TypeError, "self must be a duzudavida.BM25Index"),
    ],
    ids=["one-str", "mode", "jieba", "threads", "query-str", "k", "query-int", "self"],
)
def test_arguments_are_checked_before_anything_is_added(jieba, call, error, match):
    index = duzudavida.BM25Index()
    with pytest.raises(error, match=match):
        call(index, jieba)
    assert len(index) == 0


def test_progress_counts_every_text(jieba, monkeypatch):
    """add_texts's bar counts texts by chunk; the segmenting batches' count sentences and the
    encoders' documents, and give what they give without it."""
    import duzudavida._progress as progress

    seen = []

    class Bar:
        def __init__(self, total, description, unit):
            seen.append(("open", total, description, unit))

        def update(self, count):
            seen.append(("update", count))

        def close(self):
            seen.append(("close",))

    monkeypatch.setattr(progress, "bar", Bar)
    texts = ["方鸿渐", "苏小姐"] * 40_000
    duzudavida.BM25Index().add_texts(texts, jieba, show_progress=True)
    duzudavida.BM25Index().add_texts((t for t in texts[:5]), jieba, show_progress=True)
    assert seen == [
        ("open", 80_000, "add_texts", "texts"), ("update", 65536), ("update", 14464), ("close",),
        ("open", None, "add_texts", "texts"), ("update", 5), ("close",),
    ]
    sentences = texts[:10_000]
    for name in ("cut_batch", "cut_for_search_batch", "tokenize_batch"):
        seen.clear()
        with_bar = getattr(jieba, name)(sentences, show_progress=True)
        assert seen == [("open", 10_000, name, "sentences"), ("update", 8192), ("update", 1808), ("close",)]
        without = getattr(jieba, name)(sentences)
        assert str(with_bar) == str(without)
    model = duzudavida.BM25()
    model.train_batch([["方鸿渐", "苏小姐"], ["苏小姐"]])
    docs = [["方鸿渐"], [7, 7], ["苏小姐", "方鸿渐"]] * 6000
    for name in ("encode_documents", "encode_queries", "encode_documents_csr", "encode_queries_csr"):
        seen.clear()
        with_bar = getattr(model, name)(docs, show_progress=True)
        assert seen == [("open", 18_000, name, "docs"), ("update", 8192), ("update", 8192), ("update", 1616),
                        ("close",)]
        without = getattr(model, name)(docs)
        if name.endswith("_csr"):
            assert (with_bar != without).nnz == 0 and with_bar.shape == without.shape
        else:
            assert with_bar == without


def test_words_inserted_during_add_texts_apply_to_whole_texts(dict_paths):
    """Another thread inserts words while add_texts cuts: each text is cut before or after."""
    jieba = duzudavida.Jieba(**dict_paths)
    texts = ["克莱登大学的博士文凭，方鸿渐留学回国"] * 60_000
    index = duzudavida.BM25Index()
    stop = threading.Event()

    def insert():
        n = 0
        while not stop.is_set():
            jieba.insert_user_word(f"博士文凭{n}")
            n += 1
        jieba.insert_user_word("克莱登大学的博士")

    thread = threading.Thread(target=insert)
    thread.start()
    try:
        index.add_texts(texts, jieba, threads=2)
    finally:
        stop.set()
        thread.join()
    assert len(index) == len(texts)
    with pytest.raises(RuntimeError, match="cannot change while another thread uses it"):
        blocker = threading.Event()

        def slow():
            yield "一"
            blocker.wait(5)

        runner = threading.Thread(target=lambda: index.add_texts(slow(), jieba))
        runner.start()
        try:
            while not blocker.is_set():
                try:
                    index.add([["抢"]])
                except RuntimeError:
                    blocker.set()
                    raise
        finally:
            blocker.set()
            runner.join()


def test_fork_inside_the_texts_gives_the_child_the_texts_before(jieba):
    index = duzudavida.BM25Index()

    def texts():
        for n in range(70_000):
            if n == 66_000:
                pid = os.fork()
                if pid == 0:
                    # The first chunk (65536 texts) is in; the child's copy is whole and usable.
                    os._exit(0 if len(index) == 65536 and index.add([["子"]]) == 65536 else 1)
                _, status = os.waitpid(pid, 0)
                assert os.waitstatus_to_exitcode(status) == 0
            yield f"第{n}句话"

    assert index.add_texts(texts(), jieba) == 0
    assert len(index) == 70_000


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("skip_empty", [False, True])
def test_a_late_bad_item_in_a_long_chunk(jieba, threads, skip_empty):
    """The chunk is cut and added in parts on several threads: a text without words deep in it
    stops the call (or is skipped) exactly where it stands."""
    texts = [f"方鸿渐第{n}次回国" for n in range(40_000)]
    texts[31_337] = "……"
    index = duzudavida.BM25Index()
    if skip_empty:
        ids = index.add_texts(texts, jieba, threads=threads, skip_empty=True)
        assert list(ids[31_330:31_340]) == [*range(31_330, 31_337), -1, 31_337, 31_338]
        kept = texts[:31_337] + texts[31_338:]
    else:
        with pytest.raises(ValueError, match=r"texts\[31337\]: no words left") as raised:
            index.add_texts(texts, jieba, threads=threads)
        assert "texts[0:31337] were added as ids 0 to 31336" in raised.value.__notes__[-1]
        kept = texts[:31_337]
    expected = duzudavida.BM25Index()
    expected.add([[w for w in jieba.cut_for_search(t) if not is_punctuation(w)] for t in kept])
    assert index.__getstate__() == expected.__getstate__()


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("place", [0, 9_999, 39_990, 39_999], ids=["first", "middle", "last-part", "last"])
def test_a_bad_item_in_any_part_of_a_chunk(jieba, threads, place):
    """A chunk goes in parts, the last one small: a text without words in any of them stops the
    call exactly there."""
    texts = [f"方鸿渐第{n}次回国" for n in range(40_000)]
    texts[place] = "……"
    index = duzudavida.BM25Index()
    with pytest.raises(ValueError, match=rf"texts\[{place}\]: no words left"):
        index.add_texts(texts, jieba, threads=threads)
    expected = duzudavida.BM25Index()
    if place:
        expected.add([[w for w in jieba.cut_for_search(t) if not is_punctuation(w)] for t in texts[:place]])
    assert index.__getstate__() == expected.__getstate__()


@pytest.mark.skipif(SANITIZED, reason="memory is not measurable under AddressSanitizer")
@pytest.mark.parametrize("call", ["add_texts", "search"])
def test_a_long_text_leaves_no_memory_with_the_thread(dict_paths, call):
    """The word spans of one long text (16 bytes a word) go once the text is done, on the calling
    thread too, instead of staying with it for the life of the process."""
    script = (
        "import ctypes, gc, sys, duzudavida\n"
        "def rss():\n"
        "    gc.collect(); ctypes.CDLL('libc.so.6').malloc_trim(0)\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmRSS:'): return int(line.split()[1]) * 1024\n"
        "jieba = duzudavida.Jieba(*sys.argv[2:])\n"
        "index = duzudavida.BM25Index(); index.add_texts(['方鸿渐回国'], jieba, threads=1)\n"
        "def run(text):\n"
        "    if sys.argv[1] == 'search': index.search([text], jieba, k=1, threads=1)\n"
        "    else: duzudavida.BM25Index().add_texts([text], jieba, threads=1)\n"
        "run('方鸿渐回国')\n"
        "before = rss()\n"
        "run('a ' * 4_000_000)\n"
        "run('方鸿渐回国')\n"
        "print(rss() - before)\n"
    )
    names = ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
    done = run_isolated(script, call, *(dict_paths[name] for name in names), timeout=300)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 20_000_000, "the spans of 8,000,000 words (128 MB) outlived their text"
