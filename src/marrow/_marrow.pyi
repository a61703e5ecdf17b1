"""The native module: the class ``Marrow``, one open store directory."""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["Marrow"]

# What ``val`` accepts: any sequence of integers in 0..255 that is not a str
# (bytes, bytearray, memoryview, a list or tuple of ints, ...).
_Bytes = bytes | bytearray | memoryview | Sequence[SupportsIndex]

@final
class Marrow:
    """One open store directory.

    ``Marrow(storage_path, cache_size=10000)`` opens the store in
    ``storage_path`` (a ``str``), creating the directory and its parents when
    needed, and recovers its state: the last snapshot, then every change
    logged after it. ``cache_size`` is the number of values kept in the
    least-recently-used value cache.

    The store stays open until the object is destroyed; there is no close
    method. Destroying it writes the log's buffer out and closes the files.
    Another process holding the directory open makes the constructor raise
    ``BlockingIOError``.
    """

    def __new__(cls, storage_path: str, cache_size: SupportsIndex = ...) -> Marrow: ...
    def set_bytes(self, key: str, val: _Bytes) -> None:
        """Stores ``val`` under ``key``, replacing any earlier value.

        The change is logged first; it reaches the log file when the log's
        8 KiB buffer fills, at ``persist()`` or when the object is destroyed.
        """
    def get_bytes(self, key: str) -> bytes | None:
        """Returns the value stored under ``key``, or None when it is absent."""
    def delete(self, key: str) -> bool:
        """Removes ``key``; returns True when it was present.

        A delete of an absent key is logged too.
        """
    def persist(self) -> None:
        """Makes the current state durable and empties the log.

        Writes the record files and the log out to stable storage, writes
        the index to ``snapshot.bin`` (through ``snapshot.bin.tmp`` and a
        rename), and only then empties the log. After it returns, the state
        survives a power loss. Raises an ``OSError`` subclass on I/O errors.
        """
    def vacuum(self) -> None:
        """Compacts the record files to the live records, and persists.

        Copies every live key and value into fresh files in record order,
        renumbers the records, switches to the new files atomically and
        writes a snapshot of the compacted state. Empties the value cache.
        Raises ``OSError`` on I/O errors; a crash at any point leaves the
        store as it was before or as it is after.
        """
    def len(self) -> int:
        """Returns the number of live keys (the built-in ``len()`` does not apply)."""
    def keys(self) -> list[str]:
        """Returns every live key, in record order (oldest write first)."""
    def cache_stats(self) -> tuple[int, int]:
        """Returns ``(cached values, capacity)`` of the value cache."""
    def clear_cache(self) -> None:
        """Empties the value cache."""
    def get_many(self, keys: Sequence[str]) -> list[tuple[str, bytes | None]]:
        """Reads several keys in one call.

        Returns one ``(key, value)`` pair per requested key, in request
        order, with None for an absent key. ``keys`` is a sequence of str
        other than a str itself.
        """
