#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets from real stores.

Each seed is made by running the store (the installed marrow package) and
taking its files, so the fuzzers start from well-formed inputs:

- fuzz/corpus/wal_fuzz/:      wal.bin of stores written without persist;
- fuzz/corpus/snapshot_fuzz/: snapshot.bin of persisted stores, and bare
  portable bitmaps with array, bitset and run containers;
- fuzz/corpus/open_fuzz/:     whole store directories packed as open_fuzz
  reads them (five 32-bit lengths, then keys.bin, vals.bin, offsets.bin,
  wal.bin, snapshot.bin; 0xFFFFFFFF for a missing file). offsets.bin is cut
  to the slots in use; opening lengthens it again.

Files whose names start with "regress-" are inputs that once found a bug;
this script leaves them alone. Usage: make_corpus.py [corpus_dir]
"""

from __future__ import annotations

import gc
import shutil
import struct
import sys
import tempfile
from pathlib import Path
from typing import Callable, Optional

from marrow import Marrow

CORPUS = Path(__file__).resolve().parent / "corpus"
MISSING = 0xFFFFFFFF
FILES = ["keys.bin", "vals.bin", "offsets.bin", "wal.bin", "snapshot.bin"]

Script = Callable[[Marrow], None]


def run_store(script: Script, directory: Path) -> Path:
    store = directory / "store"
    db = Marrow(str(store), 16)
    script(db)
    del db
    gc.collect()
    return store


def few_writes(db: Marrow) -> None:
    db.set_bytes("a", b"xy")
    db.set_bytes("", b"empty key")
    db.set_bytes("clé", b"")
    db.set_bytes("a", b"replaced")
    db.delete("a")
    db.delete("never")
    db.set_bytes("b", bytes(range(256)))


def persisted_then_logged(db: Marrow) -> None:
    for i in range(20):
        db.set_bytes(f"k{i}", f"value {i}".encode() * (i % 4))
    db.delete("k3")
    db.persist()
    db.set_bytes("k1", b"after persist")
    db.delete("k2")
    db.set_bytes("new", b"n")


def vacuumed(db: Marrow) -> None:
    persisted_then_logged(db)
    db.vacuum()
    db.set_bytes("post-vacuum", b"p")


def many_dead(db: Marrow) -> None:
    for round_ in range(3):
        for i in range(60):
            db.set_bytes(f"key-{i}", bytes([round_, i]))
    for i in range(0, 60, 3):
        db.delete(f"key-{i}")
    db.persist()


def empty_persisted(db: Marrow) -> None:
    db.persist()


# ------------------------------------------------------------ bare bitmaps

def bitmap_no_runs(containers: list[tuple[int, list[int]]]) -> bytes:
    """Portable bitmap, cookie 12346, with array or bitset containers."""
    head = struct.pack("<II", 12346, len(containers))
    body = b""
    descr = b""
    offsets = b""
    start = len(head) + 8 * len(containers)
    for key, values in containers:
        descr += struct.pack("<HH", key, len(values) - 1)
        offsets += struct.pack("<I", start + len(body))
        if len(values) > 4096:
            bits = bytearray(8192)
            for v in values:
                bits[v // 8] |= 1 << (v % 8)
            body += bytes(bits)
        else:
            body += b"".join(struct.pack("<H", v) for v in sorted(values))
    return head + descr + offsets + body


def bitmap_runs(containers: list[tuple[int, Optional[list[tuple[int, int]]], list[int]]]) -> bytes:
    """Portable bitmap, cookie 12347: each container either runs
    [(start, length)] or plain array values."""
    count = len(containers)
    head = struct.pack("<HH", 12347, count - 1)
    flags = bytearray((count + 7) // 8)
    descr = b""
    bodies: list[bytes] = []
    for i, (key, runs, values) in enumerate(containers):
        if runs is not None:
            flags[i // 8] |= 1 << (i % 8)
            card = sum(length + 1 for _, length in runs)
            bodies.append(struct.pack("<H", len(runs)) +
                          b"".join(struct.pack("<HH", s, n) for s, n in runs))
        else:
            card = len(values)
            bodies.append(b"".join(struct.pack("<H", v) for v in values))
        descr += struct.pack("<HH", key, card - 1)
    out = head + bytes(flags) + descr
    if count >= 4:
        pos = len(out) + 4 * count
        for body in bodies:
            out += struct.pack("<I", pos)
            pos += len(body)
    return out + b"".join(bodies)


# --------------------------------------------------------------- packing

def pack_store(store: Path, offsets_slots: int) -> bytes:
    parts: list[bytes] = []
    lengths: list[int] = []
    for name in FILES:
        path = store / name
        if not path.exists():
            lengths.append(MISSING)
            continue
        data = path.read_bytes()
        if name == "offsets.bin":
            data = data[: offsets_slots * 24]
        lengths.append(len(data))
        parts.append(data)
    return struct.pack("<5I", *lengths) + b"".join(parts)


def used_slots(store: Path) -> int:
    data = (store / "offsets.bin").read_bytes()
    slots = len(data) // 24
    while slots > 0 and data[(slots - 1) * 24: slots * 24] == bytes(24):
        slots -= 1
    return slots


def write_seed(target: str, name: str, data: bytes) -> None:
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / f"seed-{name}").write_bytes(data)


def main() -> int:
    global CORPUS
    if len(sys.argv) > 1:
        CORPUS = Path(sys.argv[1])
    for target in ("wal_fuzz", "snapshot_fuzz", "open_fuzz"):
        for old in (CORPUS / target).glob("seed-*"):
            old.unlink()
    scripts: dict[str, Script] = {
        "few-writes": few_writes,
        "persisted-then-logged": persisted_then_logged,
        "vacuumed": vacuumed,
        "many-dead": many_dead,
        "empty-persisted": empty_persisted,
    }
    with tempfile.TemporaryDirectory() as tmp:
        for name, script in scripts.items():
            work = Path(tmp) / name
            work.mkdir()
            store = run_store(script, work)
            wal = (store / "wal.bin").read_bytes()
            if wal:
                write_seed("wal_fuzz", name, wal)
                write_seed("wal_fuzz", f"{name}-cut", wal[: len(wal) * 2 // 3])
            snapshot = store / "snapshot.bin"
            if snapshot.exists():
                write_seed("snapshot_fuzz", name, snapshot.read_bytes())
            write_seed("open_fuzz", name, pack_store(store, used_slots(store)))
            shutil.rmtree(work)

    write_seed("snapshot_fuzz", "bitmap-arrays",
               bitmap_no_runs([(0, [0, 1, 5, 65535]), (3, [7])]))
    write_seed("snapshot_fuzz", "bitmap-bitset",
               bitmap_no_runs([(1, list(range(0, 2 * 4097, 2)))]))
    write_seed("snapshot_fuzz", "bitmap-runs",
               bitmap_runs([(0, [(0, 9), (100, 0)], []), (2, None, [3, 4, 9])]))
    write_seed("snapshot_fuzz", "bitmap-runs-offsets",
               bitmap_runs([(k, [(k, 5000)] if k % 2 else None, [k]) for k in range(5)]))
    print(f"seed corpus written to {CORPUS}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
