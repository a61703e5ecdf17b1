"""The package's native type, on the same engine as ``marrow._marrow``."""

from collections.abc import Iterable, Sequence
from typing import SupportsIndex, Tuple, final

from marrow._marrow import Marrow

_Bytes = bytes | bytearray | memoryview | Sequence[SupportsIndex]

@final
class StoreCore:
    """An open store: Marrow's engine plus batch writes and read-only opening.

    ``StoreCore(storage_path, cache_size=10000, readonly=False)`` opens the
    store like ``Marrow`` does or, with ``readonly``, as a reader that takes
    no lock and writes nothing (the directory must exist).
    """

    def __new__(
        cls, storage_path: str, cache_size: SupportsIndex = ..., readonly: object = ...
    ) -> StoreCore: ...
    @property
    def raw(self) -> Marrow:
        """The Marrow object over the same open store."""
    @property
    def readonly(self) -> bool:
        """True when opened read-only."""
    def set_many(self, items: Iterable[Tuple[str, _Bytes]]) -> None:
        """Stores every (key, value) pair of ``items`` in order, as set_bytes()
        one by one would, with one log append and one write per record file.
        Every pair is checked first; on failure none of them is stored."""
    def refresh(self) -> None:
        """A read-only store catches up with its writer; otherwise nothing."""
