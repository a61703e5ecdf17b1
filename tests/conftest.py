"""Encoders of the store's files, written from the format description and not
from the engine, and the few helpers the suites share."""

from __future__ import annotations

import itertools
import struct
from pathlib import Path
from typing import Iterable, Mapping, Optional, Union

MASK = 2**64 - 1
EMPTY_BITMAP = bytes.fromhex("3a30000000000000")
NEW_OFFSETS = 2_400_000  # 100,000 entries of 24 bytes


def _rotl(x: int, b: int) -> int:
    return ((x << b) | (x >> (64 - b))) & MASK


def _sipround(v: list[int]) -> None:
    v[0], v[2] = (v[0] + v[1]) & MASK, (v[2] + v[3]) & MASK
    v[1], v[3] = _rotl(v[1], 13) ^ v[0], _rotl(v[3], 16) ^ v[2]
    v[0] = _rotl(v[0], 32)
    v[0], v[2] = (v[0] + v[3]) & MASK, (v[2] + v[1]) & MASK
    v[3], v[1] = _rotl(v[3], 21) ^ v[0], _rotl(v[1], 17) ^ v[2]
    v[2] = _rotl(v[2], 32)


def siphash13(data: bytes) -> int:
    """SipHash-1-3 under the all-zero key."""
    m = data + bytes(7 - len(data) % 8) + bytes([len(data) & 0xFF])  # the last word holds the length in its top byte
    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]
    for i in range(0, len(m), 8):
        w = int.from_bytes(m[i : i + 8], "little")
        v[3] ^= w
        _sipround(v)
        v[0] ^= w
    v[2] ^= 0xFF
    for _ in range(3):
        _sipround(v)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def fingerprint(key: str) -> int:
    """The key's fingerprint: SipHash-1-3 of its UTF-8 bytes plus 0xFF."""
    return siphash13(key.encode() + b"\xff")


def wal(key: Union[str, bytes], val: Optional[bytes] = None) -> bytes:
    """One log record: a put, or for no value a delete."""
    k = key.encode() if isinstance(key, str) else key
    if val is None:
        return struct.pack("<IQ", 1, len(k)) + k
    return struct.pack("<IQ", 0, len(k)) + k + struct.pack("<Q", len(val)) + val


def wal_batch(ops: Iterable[tuple[str, Optional[bytes]]]) -> bytes:
    """A batch frame: tag 3, the records' length and checksum, the records."""
    records = b"".join(wal(k, v) for k, v in ops)
    return struct.pack("<IQQ", 3, len(records), siphash13(records)) + records


def entry(key_offset: int, key_len: int, val_offset: int, val_len: int) -> bytes:
    """One 24-byte offsets.bin entry."""
    return struct.pack("<QIQI", key_offset, key_len, val_offset, val_len)


def portable(containers: list[tuple[int, int, bytes, bool]], runs: bool = True, offsets: Optional[bool] = None) -> bytes:
    """A portable roaring bitmap of raw (key, cardinality, body, is run) containers, unchecked: in the form with
    run containers (cookie 12347, run flags, offsets from 4 containers on unless `offsets` says) or without."""
    n = len(containers)
    head = struct.pack("<HH", 12347, n - 1) + sum(c[3] << i for i, c in enumerate(containers)).to_bytes((n + 7) // 8, "little") if runs else struct.pack("<II", 12346, n)
    head += b"".join(struct.pack("<HH", key, card - 1) for key, card, _, _ in containers)
    if offsets if offsets is not None else not runs or n >= 4:
        head += struct.pack(f"<{n}I", *list(itertools.accumulate([len(head) + 4 * n] + [len(c[2]) for c in containers]))[:n])
    return head + b"".join(c[2] for c in containers)


def roaring(values: Iterable[int]) -> bytes:
    """A portable roaring bitmap with array and bitmap containers only."""
    groups: dict[int, list[int]] = {}
    for v in sorted(set(values)):
        groups.setdefault(v >> 16, []).append(v & 0xFFFF)
    return portable([(high, len(lows), sum(1 << low for low in lows).to_bytes(8192, "little") if len(lows) > 4096
                      else struct.pack(f"<{len(lows)}H", *lows), False) for high, lows in groups.items()], runs=False)


Index = Union[Mapping[str, int], list[tuple[int, int]]]
Bitmap = Union[bytes, Iterable[int]]


def snapshot(index: Index, live: Bitmap, dead: Bitmap, next_id: int, keys_end: int, vals_end: int) -> bytes:
    """snapshot.bin: index as {key: id} or as raw (fingerprint, id) pairs,
    bitmaps as member sets or as raw bytes."""
    pairs = sorted((fingerprint(k), r) for k, r in index.items()) if isinstance(index, Mapping) else index
    out = struct.pack("<Q", len(pairs)) + b"".join(struct.pack("<QI", fp, r) for fp, r in pairs)
    for bitmap in (live, dead):
        raw = bitmap if isinstance(bitmap, bytes) else roaring(bitmap)
        out += struct.pack("<Q", len(raw)) + raw
    return out + struct.pack("<IQQ", next_id, keys_end, vals_end)


def sorted_snapshot(data: bytes) -> bytes:
    """The snapshot with its index entries (written in no fixed order) sorted."""
    (n,) = struct.unpack_from("<Q", data)
    pairs = sorted(struct.unpack_from("<QI", data, 8 + 12 * i) for i in range(n))
    return data[:8] + b"".join(struct.pack("<QI", *p) for p in pairs) + data[8 + 12 * n :]


def is_panic(exc: BaseException) -> bool:
    """The engine's internal-failure exception: a direct BaseException subclass."""
    kind = type(exc)
    named = (kind.__name__, kind.__module__, kind.__bases__) == ("PanicException", "pyo3_runtime", (BaseException,))
    return named and str(exc).startswith("called `Result::unwrap()` on an `Err` value")


def make_dir(path: Path, files: Mapping[str, bytes]) -> Path:
    path.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (path / name).write_bytes(data)
    return path

