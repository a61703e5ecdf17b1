"""The mapping interface: ``marrow.open()`` and ``marrow.Store``."""

from __future__ import annotations

import os
from collections.abc import (
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    MutableMapping,
    Sequence,
    ValuesView,
)
from types import TracebackType
from typing import Any, List, Optional, Tuple, Type, Union, cast

from marrow._core import StoreCore
from marrow._marrow import Marrow

__all__ = ["Batch", "Store", "Transaction", "open"]

BytesLike = Union[bytes, bytearray, memoryview]
"""What a value may be when it is stored; values always read back as bytes."""

PathLike = Union[str, "os.PathLike[str]"]

CACHE_BYTES = 64 << 20
"""The default bound of the value cache in bytes (64 MiB)."""

# get_many() batch used by the value and item views: one lock hold and one
# call per batch instead of one per key.
_BATCH = 1024


class Store(StoreCore, MutableMapping[str, bytes]):
    """A persistent ``MutableMapping[str, bytes]`` kept in one directory.

    Create one with :func:`marrow.open`. Keys are ``str``; values are stored
    from any bytes-like object and always read back as ``bytes``. Iteration
    follows record order: a key moves to the end when it is stored again.

    Changes reach the store's log at once and survive a crash of the process
    once the log's buffer has been written out (when it fills up, at
    :meth:`sync`, :meth:`persist`, :meth:`close` or when the store is
    released). :meth:`sync` makes every change before it survive a power
    loss as well, at the cost of what changed since the last sync; opened
    with ``sync=True``, the store does that after every change and batch.
    A batch (:meth:`batch`, :meth:`set_many`, :meth:`update`) is kept whole
    or not at all by any crash.

    Used as a context manager, the store is persisted when the block ends
    normally and closed however it ends::

        with marrow.open("data/store") as db:
            db["greeting"] = b"hello"

    After :meth:`close`, every operation raises :class:`ValueError`.

    Opened with ``readonly=True``, the store is a reader: it takes no lock,
    writes nothing, and sees the writer's changes up to its last
    :meth:`refresh`; changing it raises :class:`io.UnsupportedOperation`.

    Opened with ``multiprocess=True``, every process that opens it so reads
    and writes it at once, and each call sees every change any of them had
    made before the call began.
    """

    # The mapping's hot methods (``store[key]``, assignment, ``del``, ``in``,
    # ``len()``, ``get()``) and the closed state are the native base's.
    __slots__ = ()

    def __new__(
        cls,
        path: PathLike,
        cache_size: int = 10000,
        readonly: bool = False,
        sync: bool = False,
        cache_bytes: int = CACHE_BYTES,
        multiprocess: bool = False,
    ) -> Store:
        """Opens (or creates) the store in ``path``; see :func:`marrow.open`."""
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError(f"a store path must be str or os.PathLike[str], not {type(text).__name__}")
        return super().__new__(cls, text, cache_size, readonly, bool(sync), cache_bytes, multiprocess)

    def __init__(
        self,
        path: PathLike,
        cache_size: int = 10000,
        readonly: bool = False,
        sync: bool = False,
        cache_bytes: int = CACHE_BYTES,
        multiprocess: bool = False,
    ) -> None:
        """Opens (or creates) the store in ``path``; see :func:`marrow.open`."""
        # The store was opened by __new__; a subclass may still call this.

    # -- state ----------------------------------------------------------------

    @property
    def path(self) -> str:
        """The store's directory, as it was given to :func:`marrow.open`."""
        return super().path

    @property
    def readonly(self) -> bool:
        """True when the store was opened with ``readonly=True``."""
        return super().readonly

    @property
    def multiprocess(self) -> bool:
        """True when the store was opened with ``multiprocess=True``."""
        return super().multiprocess

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has been called."""
        return super().closed

    @property
    def raw(self) -> Marrow:
        """The underlying :class:`marrow.Marrow` object.

        Keeping a reference to it past :meth:`close` keeps the store open.
        """
        return super().raw

    def close(self) -> None:
        """Releases the store: writes out the log's buffer and closes the files.

        Does not persist. Closing twice is harmless; any other use afterwards
        raises :class:`ValueError`.
        """
        super().close()

    def __enter__(self) -> Store:
        self.raw
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        try:
            if exc_type is None and not self.closed and not self.readonly:
                self.persist()
        finally:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<marrow.Store {self.path!r} ({state})>"

    # -- the mapping ------------------------------------------------------------

    def __iter__(self) -> Iterator[str]:
        # keys() returns a list, so changing the store while iterating is safe.
        return iter(self.raw.keys())

    def keys(self) -> KeysView[str]:
        """A view of the live keys, in record order."""
        return KeysView(self)

    def values(self) -> ValuesView[bytes]:
        """A view of the values, in key order."""
        return _ValuesView(self)

    def items(self) -> ItemsView[str, bytes]:
        """A view of the (key, value) pairs, in key order."""
        return _ItemsView(self)

    def get_many(self, keys: Iterable[str]) -> List[Tuple[str, Optional[bytes]]]:
        """Reads several keys in one call.

        Returns one ``(key, value)`` pair per requested key, in request
        order, with ``None`` for a key that is absent.
        """
        self.raw  # a closed store raises before the keys are taken
        if isinstance(keys, (str, list, tuple)):
            return super().get_many(keys)
        return super().get_many(list(keys))

    def set_many(self, items: Iterable[Tuple[str, BytesLike]]) -> None:
        """Stores every ``(key, value)`` pair in order, as one batch.

        The result is what assigning them one by one would give (files
        included), but the batch costs one log append and one write per
        record file, and a crash keeps all of it or none. Every pair is
        checked before anything is stored; if the batch fails, none of it
        is stored.
        """
        super().set_many(items)
        if self.sync_writes:
            super().sync()

    def update(self, other: Any = (), /, **kwargs: BytesLike) -> None:
        """Like :meth:`dict.update`, stored as one batch (see :meth:`set_many`)."""
        if hasattr(other, "keys"):
            items = [(key, other[key]) for key in other.keys()]
        else:
            items = list(other)
        items.extend(kwargs.items())
        self.set_many(items)

    def batch(self, sync: Optional[bool] = None) -> Batch:
        """A batch of puts and deletes, committed together::

            with db.batch() as b:
                b["order:17"] = b"paid"
                del b["cart:17"]

        The batch is committed when the block ends without an exception, as
        one append to the log: a crash at any point keeps all of it or none
        of it, and a reader sees all of it or none. An exception discards
        it. With ``sync=True`` (by default, the store's own ``sync``
        option) it survives a power loss once the block has ended.
        """
        self.raw
        return Batch(self, self.sync_writes if sync is None else bool(sync))

    def transaction(self, sync: Optional[bool] = None) -> Transaction:
        """A read-modify-write block that no other writer interrupts::

            with db.transaction() as t:
                t["hits"] = b"%d" % (int(t.get("hits", b"0")) + 1)

        While the block runs, no other thread or process commits a change;
        its reads see the latest state plus the block's own writes, and its
        writes are committed as one batch when it ends without an exception
        (discarded when it raises). Other writers wait meanwhile, so keep
        the block short. ``sync`` as for :meth:`batch`.
        """
        self.raw
        return Transaction(self, self.sync_writes if sync is None else bool(sync))

    def refresh(self) -> None:
        """A read-only store catches up with the changes its writer made
        since it was opened or last refreshed; for a writer, nothing (one
        opened with ``multiprocess=True`` catches up at every call)."""
        super().refresh()

    def clear(self) -> None:
        """Deletes every key, as one batch."""
        self.commit([(key, None) for key in self.raw.keys()], self.sync_writes)

    def _iter_items(self) -> Iterator[Tuple[str, bytes]]:
        keys: Sequence[str] = list(self)
        for start in range(0, len(keys), _BATCH):
            for key, value in self.get_many(keys[start : start + _BATCH]):
                # A key deleted since the listing is skipped, as a dict view
                # would no longer show it.
                if value is not None:
                    yield key, value

    # -- the store ----------------------------------------------------------------

    def sync(self) -> None:
        """Makes every change made before it survive a power loss.

        Writes out the log and waits for the disk once; the cost is that of
        the changes since the last sync, not of the store. Threads that sync
        at once share the wait. Other threads run meanwhile. On a read-only
        store there is nothing to do.
        """
        super().sync()

    def persist(self) -> None:
        """Writes a snapshot of the index and empties the log.

        The checkpoint: it makes the current contents durable as
        :meth:`sync` does, and bounds the log, and with it the time an open
        takes, at a cost that grows with the store. Other threads run
        meanwhile.
        """
        super().persist()

    def vacuum(self) -> None:
        """Compacts the record files to the live records and persists.

        Rewrites every live key and value into fresh files; the space of
        overwritten and deleted values is given back. Empties the cache.
        Other threads run meanwhile.
        """
        super().vacuum()

    def cache_stats(self) -> Tuple[int, int]:
        """Returns ``(cached entries, capacity)`` of the value cache."""
        return self.raw.cache_stats()

    def clear_cache(self) -> None:
        """Empties the value cache."""
        self.raw.clear_cache()


class Batch:
    """Puts and deletes collected for one all-or-nothing commit; made by
    :meth:`Store.batch`, committed when its ``with`` block ends normally."""

    __slots__ = ("_ops", "_store", "_sync")

    def __init__(self, store: Store, sync: bool) -> None:
        self._store: Optional[Store] = store
        self._sync = sync
        self._ops: List[Tuple[str, Optional[BytesLike]]] = []

    def _open(self) -> List[Tuple[str, Optional[BytesLike]]]:
        if self._store is None:
            raise ValueError("operation on a batch that has ended")
        return self._ops

    def __setitem__(self, key: str, value: BytesLike) -> None:
        if not isinstance(key, str):
            raise TypeError(f"a key must be str, not {type(key).__name__}")
        if value is None:
            raise TypeError("a value must be bytes-like, not None (del batch[key] deletes)")
        # A buffer the caller may change before the commit is copied now.
        self._open().append((key, bytes(value) if isinstance(value, (bytearray, memoryview)) else value))

    def __delitem__(self, key: str) -> None:
        """Deletes the key at the commit; an absent key is no error."""
        if not isinstance(key, str):
            raise TypeError(f"a key must be str, not {type(key).__name__}")
        self._open().append((key, None))

    def update(self, other: Any = (), /, **kwargs: BytesLike) -> None:
        """Like :meth:`dict.update`, as puts of this batch."""
        pairs = [(key, other[key]) for key in other.keys()] if hasattr(other, "keys") else list(other)
        pairs.extend(kwargs.items())
        if type(self).__setitem__ is not Batch.__setitem__ or self._store is None:
            for key, value in pairs:
                self[key] = value
            return
        # The checks of __setitem__, without a call per pair; a pair that is
        # already a (str, bytes) tuple is kept as it is.
        append = self._ops.append
        for pair in pairs:
            key, value = pair
            if type(key) is not str and not isinstance(key, str):
                raise TypeError(f"a key must be str, not {type(key).__name__}")
            if type(value) is bytes and type(pair) is tuple:
                append(pair)
            else:
                self[key] = value

    def __len__(self) -> int:
        """The number of puts and deletes collected."""
        return len(self._ops)

    def __enter__(self) -> Batch:
        self._open()
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        store, self._store = self._store, None
        if exc_type is None and store is not None:
            store.commit(self._ops, self._sync)


class Transaction(Batch):
    """The writes of a :meth:`Store.transaction` block and its reads, which
    see them; committed when the block ends normally."""

    __slots__ = ("_pending", "_locked")

    def __init__(self, store: Store, sync: bool) -> None:
        super().__init__(store, sync)
        # The latest put (bytes) or delete (None) of each key written.
        self._pending: dict[str, Optional[bytes]] = {}
        self._locked = False

    def __setitem__(self, key: str, value: BytesLike) -> None:
        super().__setitem__(key, value)
        self._pending[key] = self._ops[-1][1]  # type: ignore[assignment]

    def __delitem__(self, key: str) -> None:
        super().__delitem__(key)
        self._pending[key] = None

    def get(self, key: str, default: Optional[bytes] = None) -> Optional[bytes]:
        """The key's value as the block sees it, or ``default``."""
        self._open()
        if not isinstance(key, str):
            raise TypeError(f"a key must be str, not {type(key).__name__}")
        if key in self._pending:
            value = self._pending[key]
            return default if value is None else value
        assert self._store is not None
        found = self._store.raw.get_bytes(key)
        return default if found is None else found

    def __getitem__(self, key: str) -> bytes:
        value = self.get(key)
        if value is None:
            raise KeyError(key)
        return value

    def __contains__(self, key: object) -> bool:
        return self.get(cast(str, key)) is not None

    def __enter__(self) -> Transaction:
        self._open()
        assert self._store is not None
        self._store.lock_writer()
        self._locked = True
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        store = self._store
        try:
            super().__exit__(exc_type, exc, tb)
        finally:
            if self._locked and store is not None:
                self._locked = False
                store.unlock_writer()


class _ValuesView(ValuesView[bytes]):
    _mapping: Store

    def __iter__(self) -> Iterator[bytes]:
        for _, value in self._mapping._iter_items():
            yield value


class _ItemsView(ItemsView[str, bytes]):
    _mapping: Store

    def __iter__(self) -> Iterator[Tuple[str, bytes]]:
        return self._mapping._iter_items()


def open(  # noqa: A001
    path: PathLike,
    cache_size: int = 10000,
    readonly: bool = False,
    sync: bool = False,
    cache_bytes: int = CACHE_BYTES,
    multiprocess: bool = False,
) -> Store:
    """Opens the store in directory ``path``, creating it if needed.

    ``cache_size`` is the number of values kept in the in-memory
    least-recently-used cache, and ``cache_bytes`` (64 MiB by default) the
    most bytes of values it keeps; a value larger than a 1,024th of
    ``cache_bytes`` (64 KiB by default) is not cached, since reading it from
    the record files costs no more than copying it out of the cache. Another process holding the store open makes
    this raise :class:`BlockingIOError`. Within one process a store may be
    opened more than once; each new opening sees every change made through
    the others.

    With ``multiprocess=True`` this process writes the store together with
    every other process that opens it so: each call sees every change that
    any of them had made before the call began, and a change reaches the
    store's files before its call returns. The two ways refuse each other
    (:class:`BlockingIOError`); readers work beside both. Refused on
    network and FUSE file systems.

    With ``readonly=True`` the store (which must exist) is opened as a
    reader, which never blocks and is never blocked by the process writing
    it: it sees the state as of the writer's last :meth:`Store.persist` plus
    every change that had reached the log when it opened or last called
    :meth:`Store.refresh`.

    With ``sync=True`` every change and every batch survives a power loss
    once its call returns (see :meth:`Store.sync`).
    """
    return Store(path, cache_size, readonly, sync, cache_bytes, multiprocess)
