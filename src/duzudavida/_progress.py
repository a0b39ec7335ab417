"""Progress bars of the long calls: tqdm's when it is installed (the `progress` extra), else none."""

from typing import Any


def bar(total: int | None, description: str, unit: str) -> Any:
    """A tqdm bar over `total` items (None: unknown), or None without tqdm."""
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, desc=description, unit=unit)
