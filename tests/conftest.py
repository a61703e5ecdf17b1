"""Shared fixtures and helpers for the store's behaviour tests.

The helpers here encode and decode the store's files independently of the
engine (write-ahead log records, offset entries, snapshots with their
portable roaring bitmaps, key fingerprints), so tests can check files byte
for byte and craft damaged ones.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Callable, Iterable, Mapping, Optional

import pytest

from marrow import Marrow

SLOT_SIZE = 24
MIN_SLOTS = 100_000
NEW_OFFSETS_SIZE = MIN_SLOTS * SLOT_SIZE  # 2,400,000
LOG_BUFFER = 8192
EMPTY_BITMAP = bytes.fromhex("3a30000000000000")
PANIC_PREFIX = "called `Result::unwrap()` on an `Err` value"

# --------------------------------------------------------------------------
# Key fingerprint: SipHash-1-3, zero key, over the UTF-8 bytes plus 0xFF.
# --------------------------------------------------------------------------

_MASK = (1 << 64) - 1


def _rotl(x: int, b: int) -> int:
    return ((x << b) | (x >> (64 - b))) & _MASK


def siphash13(message: bytes, k0: int = 0, k1: int = 0) -> int:
    v0 = 0x736F6D6570736575 ^ k0
    v1 = 0x646F72616E646F6D ^ k1
    v2 = 0x6C7967656E657261 ^ k0
    v3 = 0x7465646279746573 ^ k1

    def sipround() -> None:
        nonlocal v0, v1, v2, v3
        v0 = (v0 + v1) & _MASK
        v1 = _rotl(v1, 13) ^ v0
        v0 = _rotl(v0, 32)
        v2 = (v2 + v3) & _MASK
        v3 = _rotl(v3, 16) ^ v2
        v0 = (v0 + v3) & _MASK
        v3 = _rotl(v3, 21) ^ v0
        v2 = (v2 + v1) & _MASK
        v1 = _rotl(v1, 17) ^ v2
        v2 = _rotl(v2, 32)

    full = len(message) - len(message) % 8
    for i in range(0, full, 8):
        m = int.from_bytes(message[i : i + 8], "little")
        v3 ^= m
        sipround()
        v0 ^= m
    last = int.from_bytes(message[full:], "little") | ((len(message) & 0xFF) << 56)
    v3 ^= last
    sipround()
    v0 ^= last
    v2 ^= 0xFF
    for _ in range(3):
        sipround()
    return v0 ^ v1 ^ v2 ^ v3


def fingerprint(key: str) -> int:
    return siphash13(key.encode("utf-8") + b"\xff")


assert fingerprint("abc") == 0xEF09E0F4895A251D

# --------------------------------------------------------------------------
# Write-ahead log records and offset entries.
# --------------------------------------------------------------------------


def _raw(key: str | bytes) -> bytes:
    return key.encode("utf-8") if isinstance(key, str) else key


def wal_put(key: str | bytes, val: bytes) -> bytes:
    k = _raw(key)
    return struct.pack("<IQ", 0, len(k)) + k + struct.pack("<Q", len(val)) + val


def wal_delete(key: str | bytes) -> bytes:
    k = _raw(key)
    return struct.pack("<IQ", 1, len(k)) + k


def offset_entry(key_offset: int, key_len: int, val_offset: int, val_len: int) -> bytes:
    return struct.pack("<QIQI", key_offset, key_len, val_offset, val_len)


def read_entry(data: bytes, record_id: int) -> tuple[int, int, int, int]:
    return struct.unpack_from("<QIQI", data, record_id * SLOT_SIZE)


# --------------------------------------------------------------------------
# Portable roaring bitmaps and snapshots.
# --------------------------------------------------------------------------


def roaring(values: Iterable[int]) -> bytes:
    """Portable serialization with array and bitmap containers only."""
    groups: dict[int, list[int]] = {}
    for v in sorted(set(values)):
        groups.setdefault(v >> 16, []).append(v & 0xFFFF)
    keys = sorted(groups)
    out = struct.pack("<II", 12346, len(keys))
    bodies = []
    for k in keys:
        lows = groups[k]
        out += struct.pack("<HH", k, len(lows) - 1)
        if len(lows) > 4096:
            bits = bytearray(8192)
            for low in lows:
                bits[low >> 3] |= 1 << (low & 7)
            bodies.append(bytes(bits))
        else:
            bodies.append(struct.pack(f"<{len(lows)}H", *lows))
    offset = len(out) + 4 * len(keys)
    for body in bodies:
        out += struct.pack("<I", offset)
        offset += len(body)
    return out + b"".join(bodies)


def parse_roaring(data: bytes) -> tuple[set[int], bool]:
    """Decodes a portable bitmap; returns (members, has run containers)."""
    (cookie,) = struct.unpack_from("<I", data, 0)
    pos = 4
    runs: set[int] = set()
    if cookie & 0xFFFF == 12347:
        size = (cookie >> 16) + 1
        flags = data[pos : pos + (size + 7) // 8]
        pos += (size + 7) // 8
        runs = {i for i in range(size) if flags[i // 8] >> (i % 8) & 1}
    elif cookie == 12346:
        (size,) = struct.unpack_from("<I", data, pos)
        pos += 4
    else:
        raise ValueError(f"unknown cookie {cookie}")
    header = [struct.unpack_from("<HH", data, pos + 4 * i) for i in range(size)]
    pos += 4 * size
    if not runs or size >= 4:
        pos += 4 * size  # offset header
    members: set[int] = set()
    for i, (key, card_minus_one) in enumerate(header):
        card = card_minus_one + 1
        base = key << 16
        if i in runs:
            (n,) = struct.unpack_from("<H", data, pos)
            pos += 2
            for _ in range(n):
                start, length = struct.unpack_from("<HH", data, pos)
                pos += 4
                members.update(base + v for v in range(start, start + length + 1))
        elif card > 4096:
            bits = data[pos : pos + 8192]
            pos += 8192
            members.update(base + b * 8 + j for b, byte in enumerate(bits) for j in range(8) if byte >> j & 1)
        else:
            members.update(base + v for v in struct.unpack_from(f"<{card}H", data, pos))
            pos += 2 * card
    if pos != len(data):
        raise ValueError("bitmap length does not match its contents")
    return members, bool(runs)


def snapshot_bytes(
    index: Mapping[int, int] | Iterable[tuple[int, int]],
    live: bytes | Iterable[int],
    dead: bytes | Iterable[int],
    next_id: int,
    keys_end: int,
    vals_end: int,
) -> bytes:
    """Encodes a snapshot; bitmaps given as member sets or as raw bytes."""
    pairs = list(index.items()) if isinstance(index, Mapping) else list(index)
    out = struct.pack("<Q", len(pairs))
    for fp, rid in pairs:
        out += struct.pack("<QI", fp, rid)
    for bitmap in (live, dead):
        raw = bitmap if isinstance(bitmap, (bytes, bytearray)) else roaring(bitmap)
        out += struct.pack("<Q", len(raw)) + raw
    return out + struct.pack("<IQQ", next_id, keys_end, vals_end)


class Snapshot:
    def __init__(self, data: bytes) -> None:
        (n,) = struct.unpack_from("<Q", data, 0)
        pos = 8
        self.index: dict[int, int] = {}
        for _ in range(n):
            fp, rid = struct.unpack_from("<QI", data, pos)
            self.index[fp] = rid
            pos += 12
        self.raw_bitmaps: list[bytes] = []
        sets = []
        for _ in range(2):
            (length,) = struct.unpack_from("<Q", data, pos)
            pos += 8
            raw = data[pos : pos + length]
            pos += length
            self.raw_bitmaps.append(raw)
            sets.append(parse_roaring(raw))
        (self.live, self.live_has_runs), (self.dead, self.dead_has_runs) = sets
        self.next_id, self.keys_end, self.vals_end = struct.unpack_from("<IQQ", data, pos)
        pos += 20
        assert pos == len(data), "snapshot has trailing bytes"

    def fields(self) -> tuple:
        return (self.index, self.live, self.dead, self.next_id, self.keys_end, self.vals_end)


# --------------------------------------------------------------------------
# Files of a store directory.
# --------------------------------------------------------------------------


def read(directory: Path, name: str) -> bytes:
    return (directory / name).read_bytes()


def size(directory: Path, name: str) -> int:
    return (directory / name).stat().st_size


def snapshot(directory: Path) -> Snapshot:
    return Snapshot(read(directory, "snapshot.bin"))


def scribble(directory: Path, name: str = "vals.bin", fill: int = 0xEE) -> None:
    """Overwrites a record file in place (same length) behind the store's back.

    A read answered from the value cache still returns the old bytes; a read
    that goes to the files returns the scribbled ones.
    """
    path = directory / name
    n = path.stat().st_size
    fd = os.open(path, os.O_WRONLY)
    try:
        os.pwrite(fd, bytes([fill]) * n, 0)
    finally:
        os.close(fd)


def store_files(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir()) if p.is_file()}


def assert_contents(store: Marrow, expected: Mapping[str, bytes], ordered: bool = True) -> None:
    """Checks len, keys and every value, from the cache and from the files."""
    assert store.len() == len(expected)
    if ordered:
        assert store.keys() == list(expected)
    else:
        assert sorted(store.keys()) == sorted(expected)
    for _ in range(2):
        for key, val in expected.items():
            assert store.get_bytes(key) == val, key
        store.clear_cache()


def fresh_dir(base: Path, name: str, files: Mapping[str, bytes]) -> Path:
    """Makes a store directory holding exactly the given files."""
    d = base / name
    d.mkdir(parents=True)
    for fname, data in files.items():
        (d / fname).write_bytes(data)
    return d


# --------------------------------------------------------------------------
# Fixtures.
# --------------------------------------------------------------------------


@pytest.fixture
def store_dir(tmp_path: Path) -> Path:
    """A store directory that does not exist yet (the open creates it)."""
    return tmp_path / "store"


OpenStore = Callable[..., Marrow]


@pytest.fixture
def open_store(store_dir: Path) -> OpenStore:
    def _open(path: Optional[Path] = None, cache_size: Optional[int] = None) -> Marrow:
        p = str(store_dir if path is None else path)
        return Marrow(p) if cache_size is None else Marrow(p, cache_size)

    return _open


def run_python(
    code: str,
    cwd: Optional[Path] = None,
    env: Optional[Mapping[str, str]] = None,
    check: bool = True,
    timeout: float = 120,
) -> subprocess.CompletedProcess[str]:
    """Runs a snippet in a fresh interpreter (the one running the tests)."""
    full_env = dict(os.environ)
    full_env["PYTHONDONTWRITEBYTECODE"] = "1"
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


# A preloaded library that kills the process (SIGKILL) just before or just
# after the N-th rename onto a store file (a name containing ".bin"), or only
# counts such renames. It stands in for a crash at an exact point of a persist
# or a vacuum; the store itself is unchanged.
_CRASH_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int seen;

static int watched(const char* path) { return path && strstr(path, ".bin"); }

static void note(const char* from, const char* to, int after) {
  const char* log = getenv("CRASH_SHIM_LOG");
  const char* at = getenv("CRASH_SHIM_AT");
  const char* when = getenv("CRASH_SHIM_WHEN");
  if (!after) {
    ++seen;
    if (log) {
      FILE* f = fopen(log, "a");
      if (f) { fprintf(f, "%s -> %s\n", from, to); fclose(f); }
    }
  }
  if (at && atoi(at) == seen && when && (strcmp(when, "after") == 0) == after)
    kill(getpid(), SIGKILL);
}

int rename(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  if (!real) real = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  int w = watched(to);
  if (w) note(from, to, 0);
  int rc = real(from, to);
  if (w) note(from, to, 1);
  return rc;
}

int renameat(int fd1, const char* from, int fd2, const char* to) {
  static int (*real)(int, const char*, int, const char*);
  if (!real) real = (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
  int w = watched(to);
  if (w) note(from, to, 0);
  int rc = real(fd1, from, fd2, to);
  if (w) note(from, to, 1);
  return rc;
}

int renameat2(int fd1, const char* from, int fd2, const char* to, unsigned flags) {
  static int (*real)(int, const char*, int, const char*, unsigned);
  if (!real)
    real = (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
  int w = watched(to);
  if (w) note(from, to, 0);
  int rc = real(fd1, from, fd2, to, flags);
  if (w) note(from, to, 1);
  return rc;
}
"""


@pytest.fixture(scope="session")
def crash_shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds the rename crash shim; skips when no C compiler is present."""
    d = tmp_path_factory.mktemp("shim")
    src = d / "crash_shim.c"
    src.write_text(_CRASH_SHIM)
    lib = d / "crash_shim.so"
    try:
        subprocess.run(
            ["cc", "-shared", "-fPIC", "-O1", "-o", str(lib), str(src), "-ldl"],
            check=True,
            capture_output=True,
        )
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"cannot build the crash shim: {e}")
    return lib
