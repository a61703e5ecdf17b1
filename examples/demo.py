"""A short tour of a marrow store: write, read, delete, list, persist, vacuum.

Usage: python examples/demo.py [STORE_DIR]

Without STORE_DIR the store is created in a new temporary directory that is
removed at the end.
"""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

from marrow import Marrow

STORE_FILES = ("keys.bin", "vals.bin", "offsets.bin", "wal.bin", "snapshot.bin")


def show_files(path: Path) -> None:
    for name in STORE_FILES:
        file = path / name
        size = f"{file.stat().st_size:>10,} bytes" if file.exists() else "    (absent)"
        print(f"    {name:<13} {size}")


def try_step(label: str, step: Callable[[], object]) -> bool:
    """Runs a step that a store may not support yet."""
    try:
        step()
    except NotImplementedError as exc:
        print(f"{label}: not available yet ({exc})")
        return False
    print(f"{label}: done")
    return True


def tour(path: Path) -> None:
    print(f"opening a store in {path}")
    db = Marrow(str(path), cache_size=1000)

    for i in range(100):
        db.set_bytes(f"user:{i:03}", f"record number {i}".encode())
    db.set_bytes("greeting", b"hello, marrow")
    db.set_bytes("greeting", [104, 105])  # any sequence of ints 0..255
    print("wrote 101 keys, then replaced 'greeting'")

    print(f"get_bytes('greeting') -> {db.get_bytes('greeting')!r}")
    print(f"get_bytes('missing')  -> {db.get_bytes('missing')!r}")
    print(f"get_many(['user:001', 'nope']) -> {db.get_many(['user:001', 'nope'])!r}")

    deleted = sum(db.delete(f"user:{i:03}") for i in range(0, 100, 2))
    print(f"deleted {deleted} keys; delete('missing') -> {db.delete('missing')}")
    print(f"len() -> {db.len()}; first keys: {db.keys()[:3]}")
    print(f"cache_stats() -> {db.cache_stats()} (entries, capacity)")
    print("files before persist:")
    show_files(path)

    try_step("persist()", db.persist)
    del db  # closing writes out the log buffer

    db = Marrow(str(path))
    print(f"reopened: len() -> {db.len()}, greeting -> {db.get_bytes('greeting')!r}")
    if try_step("vacuum()", db.vacuum):
        print(f"after vacuum: len() -> {db.len()}")
    print("files at the end:")
    show_files(path)
    del db


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        tour(Path(argv[1]))
        return 0
    with tempfile.TemporaryDirectory(prefix="marrow-demo-") as tmp:
        tour(Path(tmp) / "store")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    sys.exit(main(sys.argv))
