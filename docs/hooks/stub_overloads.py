"""A Griffe extension for the API pages: a stub's overloaded functions become members.

A .pyi gives only the @overload signatures of a function, with no implementation after them, and
Griffe attaches overloads to an implementation only; without this, train, encode_document and the
other overloaded methods would be missing from the pages. The first overload (the one carrying the
docstring) stands for the function, the rest are shown as its overloads.
"""

from typing import Any

import griffe


class StubOverloads(griffe.Extension):
    def _promote(self, parent: griffe.Module | griffe.Class) -> None:
        for name, overloads in list(parent.overloads.items()):
            if overloads and name not in parent.members:
                parent.set_member(name, overloads[0])
                overloads[0].overloads = overloads[1:]
                del parent.overloads[name]

    def on_class(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        self._promote(cls)

    def on_module(self, *, mod: griffe.Module, **kwargs: Any) -> None:
        self._promote(mod)
