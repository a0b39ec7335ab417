"""An independent plain-Python statement of the BM25 weights, used as the tests' oracle."""

import math
from collections import Counter


def key_text(token) -> bytes:
    if isinstance(token, int):
        return str(token).encode()
    return token.encode() if isinstance(token, str) else bytes(token)


class OracleBM25:
    def __init__(self, b: float = 0.75, k1: float = 1.2):
        self.b, self.k1 = b, k1
        self.doc_count = 0
        self.total = 0
        self.average = 0.0
        self.table: Counter[bytes] = Counter()

    def train(self, tokens) -> None:
        self.table.update(key_text(t) for t in tokens)
        self.doc_count += 1
        self.total += len(tokens)
        self.average = self.total / self.doc_count

    def encode_document(self, tokens) -> dict:
        length = len(tokens)
        factor = ((length / self.average) * self.b + (1.0 - self.b)) * self.k1
        return {t: tf / (tf + factor) for t, tf in sorted(Counter(tokens).items(), key=_order)}

    def idf(self, token) -> float:
        df = self.table.get(key_text(token))
        n = self.doc_count + 1
        return math.log(n / (df + 0.5)) if df is not None else math.log(n / 1.5)

    def encode_query(self, tokens) -> dict:
        weights = {t: self.idf(t) for t in sorted(set(tokens), key=lambda t: _order((t, 0)))}
        total = 0.0
        for value in weights.values():
            total += value
        return {t: w / total for t, w in weights.items()}


def _order(item):
    token = item[0]
    return token if isinstance(token, int) else key_text(token)
