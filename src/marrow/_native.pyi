"""The package's native type, on the same engine as ``marrow._marrow``."""

from collections.abc import Iterable, Sequence
from typing import List, Optional, SupportsIndex, Tuple, TypeVar, overload

from typing_extensions import disjoint_base

from marrow._marrow import Marrow

_Bytes = bytes | bytearray | memoryview | Sequence[SupportsIndex]
_BytesLike = bytes | bytearray | memoryview
_T = TypeVar("_T")
_Self = TypeVar("_Self", bound="StoreCore")

@disjoint_base
class StoreCore:
    """An open store: Marrow's engine plus batch writes, read-only opening
    and the hot methods of the mapping that ``marrow.Store`` subclasses it as.

    ``StoreCore(storage_path, cache_size=10000, readonly=False, sync=False,
    cache_bytes=64 MiB)`` opens the store like ``Marrow`` does or, with
    ``readonly``, as a reader that takes no lock and writes nothing (the
    directory must exist). With ``sync``, an assignment or deletion through
    the mapping syncs before it returns. The value cache keeps at most
    ``cache_bytes`` bytes of values, and no value larger than a 1,024th of
    that. After ``close()`` every use raises ``ValueError``.
    """

    def __new__(
        cls: type[_Self],
        storage_path: str,
        cache_size: SupportsIndex = ...,
        readonly: object = ...,
        sync: object = ...,
        cache_bytes: SupportsIndex = ...,
        multiprocess: object = ...,
    ) -> _Self: ...
    @property
    def path(self) -> str:
        """The path the store was opened with."""
    @property
    def closed(self) -> bool:
        """True once close() has been called."""
    @property
    def sync_writes(self) -> bool:
        """True when every change and batch syncs (the ``sync`` option)."""
    def close(self) -> None:
        """Drops the store; every later use raises ValueError."""
    def __getitem__(self, key: str, /) -> bytes:
        """The value of ``key``; KeyError when it is absent."""
    def __setitem__(self, key: str, value: _BytesLike, /) -> None:
        """Stores the value, as Marrow.set_bytes() does."""
    def __delitem__(self, key: str, /) -> None:
        """Deletes the key (logged also when absent); KeyError when it was absent."""
    def __contains__(self, key: object, /) -> bool:
        """Whether the key has a value; a key that is not a str raises TypeError."""
    def __len__(self) -> int:
        """The number of live keys."""
    @overload
    def get(self, key: str, default: None = None) -> Optional[bytes]: ...
    @overload
    def get(self, key: str, default: bytes | _T) -> bytes | _T: ...
    @property
    def raw(self) -> Marrow:
        """The Marrow object over the same open store."""
    @property
    def readonly(self) -> bool:
        """True when opened read-only."""
    @property
    def multiprocess(self) -> bool:
        """True when opened with multiprocess=True."""
    def set_many(self, items: Iterable[Tuple[str, _BytesLike]]) -> None:
        """Stores every (key, value) pair of ``items`` in order as one batch
        (see commit())."""
    def commit(self, ops: Iterable[Tuple[str, Optional[_Bytes]]], sync: object = ...) -> None:
        """Applies every (key, value) pair of ``ops`` in order as one batch: a
        value stores it, None deletes the key. The batch is one frame in the
        log, so a crash keeps all of it or none; the record files end up as
        the single calls would leave them. Every pair is checked first; on
        failure none of them is stored. With ``sync``, the batch survives a
        power loss when the call returns."""
    def get_many(self, keys: Sequence[str]) -> List[Tuple[str, Optional[bytes]]]:
        """[(key, value or None)] for every key of ``keys``, in order, as
        Marrow.get_many() gives them."""
    def sync(self) -> None:
        """Every change made before the call survives a power loss when it
        returns. Costs what changed since the last sync; threads that sync at
        once share the wait on the disk. Nothing to do on a read-only store."""
    def persist(self) -> None:
        """Marrow.persist(), letting other threads run."""
    def vacuum(self) -> None:
        """Marrow.vacuum(), letting other threads run."""
    def refresh(self) -> None:
        """A read-only store catches up with its writer; one opened with
        multiprocess=True with the other processes; otherwise nothing."""
    def lock_writer(self) -> None:
        """Waits until no other thread or process can change the store, and
        keeps it so until unlock_writer() from the same thread; changes of
        this thread go through meanwhile. Calls nest."""
    def unlock_writer(self) -> None:
        """Ends one lock_writer()."""
