"""tokenize_batch: the words as offset arrays, against tokenize's words and offsets."""

import numpy as np
import pytest

from conftest import run_isolated

ODD_LINES = ["", "他来到了网易杭研大厦", "emoji 😀𠀀 astral\r\n全角ＡＢＣ１２３，tab\there。", "abc123 def", "   "]


@pytest.mark.parametrize("mode, hmm", [("default", True), ("default", False), ("search", True)])
@pytest.mark.parametrize("threads", [1, 3])
def test_offsets_slice_back_to_the_words_of_tokenize(jieba, novel_lines, mode, hmm, threads):
    lines = novel_lines[::7] + ODD_LINES
    as_bytes = [line.encode() if i % 2 else bytearray(line.encode()) for i, line in enumerate(lines)]
    for sentences in (lines, tuple(as_bytes)):
        starts, ends, indptr = jieba.tokenize_batch(sentences, mode=mode, hmm=hmm, threads=threads)
        assert all(array.dtype == np.int64 for array in (starts, ends, indptr))
        assert len(indptr) == len(sentences) + 1 and indptr[0] == 0 and indptr[-1] == len(starts) == len(ends)
        for i, sentence in enumerate(sentences):
            spans = list(zip(starts[indptr[i] : indptr[i + 1]].tolist(), ends[indptr[i] : indptr[i + 1]].tolist()))
            expected = jieba.tokenize(sentence, mode=mode, hmm=hmm)
            if isinstance(sentence, str):
                assert [(sentence[a:b], a, b) for a, b in spans] == expected
            else:  # byte offsets: the slices are the words' bytes, back to back as tokenize counts them
                assert [bytes(sentence[a:b]).decode() for a, b in spans] == [word for word, _, _ in expected]
                assert [len(sentence[:a].decode()) for a, _ in spans] == [start for _, start, _ in expected]


def test_offsets_refuse_bad_arguments_and_name_the_extra_without_numpy(jieba, dict_paths):
    with pytest.raises(ValueError, match='mode must be "default" or "search", not "full"'):
        jieba.tokenize_batch(["a"], mode="full")
    with pytest.raises(ValueError, match="threads must be 0"):
        jieba.tokenize_batch(["a"], threads=-1)
    with pytest.raises(TypeError, match=r"sentences\[1\] is int"):
        jieba.tokenize_batch(["a", 1])
    script = (
        "import sys; sys.modules['numpy'] = None\nimport duzudavida\n"
        f"j = duzudavida.Jieba(**{dict_paths!r})\n"
        "try:\n    j.tokenize_batch(['a'])\nexcept ImportError as e:\n    print(e)\n"
    )
    result = run_isolated(script)
    assert result.stdout.strip() == "tokenize_batch needs numpy: pip install 'duzudavida[search]'", result.stderr
