"""The store's files byte for byte, crafted and damaged stores, and files cut
at every length."""

from __future__ import annotations

import contextlib
import itertools
import os
import resource
import signal
import struct
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable, Iterator, Optional

import pytest

from conftest import EMPTY_BITMAP, NEW_OFFSETS, entry, fingerprint, is_panic, make_dir, portable, siphash13, snapshot, sorted_snapshot, wal, wal_batch
import marrow
from marrow import Marrow
from marrow._core import StoreCore


def zeros(size: int, prefix: bytes = b"") -> bytes:
    """A file of `size` bytes that holds `prefix` and then only zero bytes."""
    return prefix + bytes(size - len(prefix))


def offsets(*entries: tuple[int, int, int, int]) -> bytes:
    """A new store's offsets.bin holding these entries."""
    return zeros(NEW_OFFSETS, b"".join(entry(*e) for e in entries))


LOG_36 = bytes.fromhex("00000000 0100000000000000 61 0200000000000000 7879 01000000 0100000000000000 61")
ONE_82 = snapshot({"a": 0}, [0], [], 1, 1, 2)
MANY = [("set_bytes", f"{i:06d}", b"v") for i in range(150_000)]
MANY_ENTRIES = b"".join(entry(6 * i, 6, i, 1) for i in range(150_000))
# 5,000 keys, then one key rewritten 70,000 times: bitmap and array containers, two container keys, and a
# dead set folded once before the snapshot.
BITMAPS = [("set_bytes", f"k{i:04d}", b"") for i in range(5000)] + [("set_bytes", "a", b"")] * 70_000
JUNK = b"\x01junk of an interrupted call" * 50
# A live set of one run container (ids 0 to 2), as other writers store it.
RUN_LIVE = struct.pack("<IBHHHHH", 12347, 1, 0, 2, 1, 0, 2)
ABC_FILES = {"keys.bin": b"abc", "vals.bin": b"aabbcc", "offsets.bin": entry(0, 1, 0, 2) + entry(1, 1, 2, 2) + entry(2, 1, 4, 2)}
ABC_SNAP = dict(ABC_FILES, **{"snapshot.bin": snapshot({"a": 0, "b": 1, "c": 2}, [0, 1, 2], [], 3, 3, 6)})
# A value the log names in vals.bin instead of holding it, and its XXH3-64.
BIG, BIG_HASH = bytes(range(256)) * 128, 0x396D389124D3090F
BIG_DAMAGED = BIG[:100] + b"\x01" + BIG[101:]


def placed(key: str, length: int, at: int, checksum: int) -> bytes:
    return struct.pack("<IQ", 4, len(key)) + key.encode() + struct.pack("<QQQ", length, at, checksum)


PLACED_LOG = wal("a", b"1") + placed("p", len(BIG), 0, BIG_HASH) + wal("b", b"2")

# (initial files, calls, the files afterwards (None: absent), the contents
# after a reopen in key order, or None to skip that check)
GOLDEN: dict[str, tuple[dict[str, bytes], list[tuple[Any, ...]], dict[str, Any], Optional[dict[str, bytes]]]] = {
    "log-put-delete-36-bytes": ({}, [("set_bytes", "a", b"xy"), ("delete", "a")],
                                {"wal.bin": LOG_36, "keys.bin": b"a", "vals.bin": b"xy", "offsets.bin": offsets((0, 1, 0, 2)), "snapshot.bin": None}, {}),
    "log-batch-frame-between-records": (
        {}, [("set_bytes", "a", b"xy"), ("commit", [("b", b"1"), ("a", None), ("", b"")]), ("commit", []), ("delete", "b")],
        {"wal.bin": wal("a", b"xy") + wal_batch([("b", b"1"), ("a", None), ("", b"")]) + wal("b"),
         "keys.bin": b"ab", "vals.bin": b"xy1", "offsets.bin": offsets((0, 1, 0, 2), (1, 1, 2, 1), (2, 0, 3, 0))}, {"": b""}),
    "log-names-a-large-value-written-once": ({}, [("set_bytes", "a", b"xy"), ("set_bytes", "p", BIG), ("delete", "a")],
                                             {"wal.bin": wal("a", b"xy") + placed("p", len(BIG), 2, BIG_HASH) + wal("a"),
                                              "keys.bin": b"ap", "vals.bin": b"xy" + BIG}, {"p": BIG}),
    "mapping-places-bytes-and-bytearray": ({}, [("setitem", "p", BIG), ("setitem", "q", bytearray(BIG))],
                                           {"wal.bin": placed("p", len(BIG), 0, BIG_HASH) + placed("q", len(BIG), len(BIG), BIG_HASH),
                                            "vals.bin": BIG + BIG}, {"p": BIG, "q": BIG}),
    "placed-value-elsewhere-copied-at-replay": ({"wal.bin": PLACED_LOG, "vals.bin": BIG}, [],
                                                {"wal.bin": PLACED_LOG, "vals.bin": BIG + b"1" + BIG + b"2"}, {"a": b"1", "p": BIG, "b": b"2"}),
    "damaged-placed-value-ends-the-replay": ({"wal.bin": PLACED_LOG, "vals.bin": BIG_DAMAGED}, [],
                                             {"wal.bin": wal("a", b"1"), "vals.bin": BIG_DAMAGED + b"1"}, {"a": b"1"}),
    "reopen-after-persist-appends-at-the-snapshot-ends": (
        {"keys.bin": b"ab" + JUNK, "vals.bin": b"122" + JUNK, "offsets.bin": entry(0, 1, 0, 1) + entry(1, 1, 1, 2),
         "snapshot.bin": snapshot({"a": 0, "b": 1}, [0, 1], [], 2, 2, 3), "wal.bin": wal("c", b"333")},
        [("set_bytes", "d", b"4")],
        {"keys.bin": b"abcd" + JUNK[2:], "vals.bin": b"1223334" + JUNK[4:], "offsets.bin": offsets((0, 1, 0, 1), (1, 1, 1, 2), (2, 1, 3, 3), (3, 1, 6, 1))},
        {"a": b"1", "b": b"22", "c": b"333", "d": b"4"}),
    "offsets-full-at-100000": ({}, MANY[:100_000], {"offsets.bin": zeros(NEW_OFFSETS, MANY_ENTRIES[:NEW_OFFSETS])}, None),
    "offsets-double-at-100001": ({}, MANY[:100_000] + [("set_bytes", "grow", b"")],
                                 {"offsets.bin": zeros(2 * NEW_OFFSETS, MANY_ENTRIES[:NEW_OFFSETS] + entry(600_000, 4, 100_000, 0))}, None),
    "vacuum-sizes-offsets-to-its-records": ({}, MANY + [("vacuum",), ("set_bytes", "more", b"m")],
                                            {"offsets.bin": zeros(7_200_000, MANY_ENTRIES + entry(900_000, 4, 150_000, 1))}, None),
    "persist-bitmap-and-array-containers": ({}, BITMAPS + [("persist",)], {"snapshot.bin": snapshot(
        dict({f"k{i:04d}": i for i in range(5000)}, a=74_999), [*range(5000), 74_999], range(5000, 74_999), 75_000, 70_000 + 5 * 5000, 0)}, None),
    "short-offsets-lengthened": ({"offsets.bin": bytes(100)}, [("set_bytes", "k", b"v")], {"offsets.bin": offsets((0, 1, 0, 1))}, {"k": b"v"}),
    "long-offsets-kept": ({"offsets.bin": bytes(3_000_005)}, [("set_bytes", "k", b"v")], {"offsets.bin": zeros(3_000_005, entry(0, 1, 0, 1))}, {"k": b"v"}),
    "leftover-tmp-and-vac-files-replaced": (
        {"snapshot.bin.tmp": JUNK, "keys.bin.vac": JUNK, "vals.bin.vac": JUNK, "offsets.bin.vac": JUNK}, [("set_bytes", "a", b"xy"), ("persist",), ("vacuum",)],
        {"snapshot.bin": ONE_82, "snapshot.bin.tmp": None, "keys.bin.vac": None, "keys.bin": b"a", "vals.bin": b"xy", "offsets.bin": offsets((0, 1, 0, 2))},
        {"a": b"xy"}),
    "run-containers-read-and-rewritten-without": (
        dict(ABC_FILES, **{"snapshot.bin": snapshot({"a": 0, "b": 1, "c": 2}, RUN_LIVE, EMPTY_BITMAP, 3, 3, 6)}), [("persist",)],
        {"snapshot.bin": snapshot({"a": 0, "b": 1, "c": 2}, [0, 1, 2], [], 3, 3, 6)}, {"a": b"aa", "b": b"bb", "c": b"cc"}),
    "later-duplicate-index-entry-wins": (
        {"keys.bin": b"aa", "vals.bin": b"12", "offsets.bin": entry(0, 1, 0, 1) + entry(1, 1, 1, 1),
         "snapshot.bin": snapshot([(fingerprint("a"), 1), (fingerprint("a"), 0)], [0], [1], 2, 2, 2) + b"trailing bytes"},
        [("persist",)], {"snapshot.bin": snapshot({"a": 0}, [0], [1], 2, 2, 2)}, {"a": b"1"}),
}


def contents(db: Marrow) -> list[tuple[str, Optional[bytes]]]:
    """Every listed key, in order, with its value read from the files."""
    db.clear_cache()
    found = db.get_many(db.keys())
    assert db.len() == len(found)
    return found


def plant_links(first: Path, *names: str) -> None:
    """Symbolic links to a file outside the store."""
    outside = first.parent.parent / "outside"
    outside.write_bytes(b"outside")
    for name in (first.name, *names):
        (first.parent / name).symlink_to(outside)


def patch(path: Path, offset: int, data: bytes) -> None:
    """Overwrites bytes of a file in place, as damage behind the store would."""
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


FILE_STEPS: dict[str, Callable[..., Any]] = {"truncate": os.truncate, "file": Path.read_bytes, "plant_links": plant_links, "patch": patch}


class Steps:
    """A store opened on crafted files. A step is one of its Marrow methods,
    "commit" (a batch), "reopen", or one of FILE_STEPS on a file of its
    directory."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.core: Optional[StoreCore] = StoreCore(str(path), 1)
        self.db: Optional[Marrow] = self.core.raw

    def close(self) -> None:
        self.core = self.db = None

    def __call__(self, name: str, *args: Any) -> Any:
        if name == "reopen":
            self.close()
            self.__init__(self.path)  # type: ignore[misc]
        elif name == "commit":
            assert self.core is not None
            return self.core.commit(*args)
        elif name == "setitem":
            assert self.core is not None
            self.core[args[0]] = args[1]
        elif name in FILE_STEPS:
            return FILE_STEPS[name](self.path / args[0], *args[1:])
        else:
            return getattr(self.db, name)(*args)


@pytest.mark.parametrize("name", GOLDEN)
def test_golden_files(tmp_path: Path, name: str) -> None:
    initial, calls, files, after = GOLDEN[name]
    store = Steps(make_dir(tmp_path / "s", initial))
    for call in calls:
        store(*call)
    store.close()
    for fname, expected in files.items():
        path = store.path / fname
        data = path.read_bytes() if path.exists() else None
        assert (sorted_snapshot(data) if data and fname == "snapshot.bin" else data) == expected, fname
    if after is not None:
        assert contents(Marrow(str(store.path))) == list(after.items())


PANIC = "panic"
K40, V40 = "k" * 40, b"v" * 40
ONE_RECORD = {"keys.bin": K40.encode(), "vals.bin": V40, "snapshot.bin": snapshot({K40: 0}, [0], [], 1, 40, 40)}


def one_record(key_offset: int, key_len: int, val_offset: int, val_len: int) -> dict[str, bytes]:
    return dict(ONE_RECORD, **{"offsets.bin": entry(key_offset, key_len, val_offset, val_len)})


BAD_KEY = [("get_bytes", K40, PANIC), ("keys", PANIC), ("vacuum", OSError), ("len", 1)]
BAD_VALUE = [("get_bytes", K40, PANIC), ("keys", [K40]), ("vacuum", OSError), ("len", 1)]
USABLE = [("set_bytes", "new", b"N", None), ("get_many", [K40, "new"], [(K40, V40), ("new", b"N")]), ("vacuum", None),
          ("reopen", None), ("keys", [K40, "new"]), ("get_bytes", K40, V40)]


def live_set(bitmap: bytes, members: Optional[list[int]] = None) -> tuple[dict[str, bytes], list[tuple[Any, ...]]]:
    """A store whose snapshot's live set is `bitmap`, with a record named after its id for each of the members it must
    decode to; an invalid bitmap (no members given) makes the snapshot count as absent, so the store opens empty."""
    ids, table = members or [], bytearray(24 * (max(members or [-1]) + 1))
    for i, r in enumerate(ids):
        table[24 * r : 24 * r + 24] = entry(6 * i, 6, 0, 0)
    keys = [f"{r:06d}" for r in ids]
    return {"keys.bin": "".join(keys).encode(), "offsets.bin": bytes(table),
            "snapshot.bin": snapshot(dict(zip(keys, ids)), bitmap, EMPTY_BITMAP, len(table) // 24, 6 * len(ids), 0)}, [("len", len(ids)), ("keys", keys)]


# Containers: (key, cardinality, body, is run), with the cardinality the members' unless given.
def array(key: int, *lows: int) -> tuple[int, int, bytes, bool]:
    return key, len(lows), struct.pack(f"<{len(lows)}H", *lows), False


def runs(key: int, *pairs: tuple[int, int], card: int = 0) -> tuple[int, int, bytes, bool]:
    """A run container of (start, count) pairs."""
    return key, card or sum(n for _, n in pairs), struct.pack(f"<{1 + 2 * len(pairs)}H", len(pairs), *(v for s, n in pairs for v in (s, n - 1))), True


def bits(key: int, lows: range, card: int = 0) -> tuple[int, int, bytes, bool]:
    return key, card or len(lows), sum(1 << v for v in lows).to_bytes(8192, "little"), False


# Bitmaps with run containers on both sides of the offset header's threshold (3 containers go without it, 4 carry
# it), mixed with array and bitmap containers; runs that become an array (4096 members) or a bitmap (4097), ending at 65535.
RUNS_3 = [runs(0, (0, 3), (10, 1)), array(1, 7, 65535), runs(2, (61440, 4096))]
RUNS_3_IDS = [0, 1, 2, 10, 65543, 131071, *range(2 << 16 | 61440, 3 << 16)]
RUNS_4 = [runs(0, (0, 3)), array(1, *range(1, 8192, 2)), bits(2, range(0, 8194, 2)), runs(3, (61439, 4097))]
RUNS_4_IDS = [0, 1, 2, *range(1 << 16 | 1, 1 << 16 | 8192, 2), *range(2 << 16, 2 << 16 | 8194, 2), *range(3 << 16 | 61439, 4 << 16)]
ONE_PER_KEY = [array(k, k) for k in range(9)]


BD = wal("b", b"2") + wal("d", b"4")
# Offsets at and near the ends of the signed and the unsigned 64-bit range.
FAR = {"wraps": 2**64 - 35, "2**63-1": 2**63 - 1, "2**63": 2**63, "2**64-1": 2**64 - 1}
# (files, [(method, *args, expected result: a value, an exception class or PANIC)])
CRAFTED: dict[str, tuple[dict[str, bytes], list[tuple[Any, ...]]]] = {
    **{f"key-offset-{n}": (one_record(at, 40, 0, 40), BAD_KEY) for n, at in FAR.items()},
    **{f"value-offset-{n}": (one_record(0, 40, at, 40), BAD_VALUE) for n, at in FAR.items()},
    "key-len-2**32-1": (one_record(0, 2**32 - 1, 0, 40), [("keys", PANIC), ("vacuum", OSError)]),
    "value-len-2**32-1": (one_record(0, 40, 0, 2**32 - 1), BAD_VALUE),
    "keys-end-past-the-file": (dict(one_record(0, 40, 0, 40), **{"snapshot.bin": snapshot({K40: 0}, [0], [], 1, 2**64 - 1, 40)}), USABLE),
    "vals-end-past-the-file": (dict(one_record(0, 40, 0, 40), **{"snapshot.bin": snapshot({K40: 0}, [0], [], 1, 40, 2**63)}), USABLE),
    "index-points-at-another-keys-record": (dict(ABC_FILES, **{"snapshot.bin": snapshot({"a": 1, "b": 1, "c": 2}, [1, 2], [0], 3, 3, 6)}), [
        ("get_bytes", "a", None), ("get_bytes", "b", b"bb"), ("len", 2), ("keys", ["b", "c"]), ("vacuum", None), ("reopen", None),
        ("get_many", ["a", "b", "c"], [("a", None), ("b", b"bb"), ("c", b"cc")])]),
    "record-files-cut-under-the-snapshot": (dict(ABC_SNAP, **{"vals.bin": b"aab"}), [
        ("keys", ["a"]), ("len", 1), ("get_bytes", "b", None), ("set_bytes", "d", b"dd", None), ("vacuum", None), ("reopen", None),
        ("get_many", ["a", "b", "d"], [("a", b"aa"), ("b", None), ("d", b"dd")]), ("keys", ["a", "d"])]),
    "values-cut-behind-an-open-store": (ABC_SNAP, [  # after a read has mapped the values
        ("get_bytes", "c", b"cc"), ("clear_cache", None), ("truncate", "vals.bin", 3, None), ("get_bytes", "c", PANIC), ("cache_stats", (0, 1)), ("get_many", ["a", "b"], PANIC),
        ("cache_stats", (1, 1)), ("get_bytes", "a", b"aa"), ("set_bytes", "n", b"N", None), ("clear_cache", None), ("get_bytes", "n", b"N")]),
    "keys-cut-behind-an-open-store": (ABC_SNAP, [("get_bytes", "c", b"cc"), ("clear_cache", None), ("truncate", "keys.bin", 1, None),
                                                 ("get_bytes", "c", PANIC), ("get_bytes", "a", b"aa")]),
    # Records written since the open: the key is compared with the bytes its
    # entry points to (here past the mapping made by the first read).
    "key-of-a-record-written-since-open-damaged": (ABC_SNAP, [
        ("get_bytes", "a", b"aa"), ("set_bytes", "d", b"dd", None), ("clear_cache", None), ("patch", "keys.bin", 3, b"x", None),
        ("get_bytes", "d", None), ("get_many", ["d"], [("d", None)]), ("cache_stats", (0, 1)), ("patch", "keys.bin", 3, b"d", None),
        ("get_bytes", "d", b"dd"), ("clear_cache", None), ("truncate", "keys.bin", 3, None), ("get_bytes", "d", PANIC), ("get_many", ["d"], PANIC),
        ("get_bytes", "a", b"aa")]),
    "batch-frame-checksum-ends-the-replay": (  # a value byte changed: only the checksum tells
        {"wal.bin": wal("a", b"1") + wal_batch([("b", b"2")])[:-1] + b"3" + wal("c", b"3")},
        [("keys", ["a"]), ("file", "wal.bin", wal("a", b"1")), ("commit", [("d", b"4"), ("a", None)], None), ("reopen", None), ("keys", ["d"])]),
    "log-tag-2-ends-the-replay": ({"wal.bin": wal("a", b"1") + struct.pack("<IQ", 2, 1) + b"b" + wal("c", b"3")}, [
        ("keys", ["a"]), ("file", "wal.bin", wal("a", b"1")), ("set_bytes", "d", b"4", None), ("reopen", None), ("keys", ["a", "d"])]),
    "log-key-not-utf8-ends-the-replay": ({"wal.bin": wal("a", b"1") + wal(b"\xff\xfe") + wal("a")}, [("keys", ["a"]), ("file", "wal.bin", wal("a", b"1"))]),
    "log-length-past-the-end": ({"wal.bin": wal("a", b"1") + struct.pack("<IQ", 0, 1) + b"b" + struct.pack("<Q", 1 << 40) + b"v"},
                                [("keys", ["a"]), ("get_bytes", "b", None), ("file", "wal.bin", wal("a", b"1"))]),
    "planted-links-are-never-written-through": (ABC_SNAP, [
        ("plant_links", "snapshot.bin.tmp", "keys.bin.vac", "vals.bin.vac", "offsets.bin.vac", "snapshot.bin.vac.tmp", None),
        ("delete", "b", True), ("persist", None), ("vacuum", None), ("persist", None), ("file", "../outside", b"outside"),
        ("reopen", None), ("get_many", ["a", "b", "c"], [("a", b"aa"), ("b", None), ("c", b"cc")])]),
    "record-ids-used-up": ({"snapshot.bin": snapshot({}, [], [], 2**32 - 1, 0, 0)}, [
        ("set_bytes", "k", b"v", OverflowError), ("delete", "k", False), ("len", 0), ("reopen", None), ("len", 0), ("vacuum", None),
        ("set_bytes", "k", b"v", None), ("get_bytes", "k", b"v")]),
    # A damaged entry count makes the snapshot absent, with no memory reserved for it (the table runs under a limit).
    **{f"snapshot-entry-count-{n}": (dict(ABC_SNAP, **{"snapshot.bin": struct.pack("<Q", n) + ABC_SNAP["snapshot.bin"][8:]}),
                                     [("len", 0), ("keys", [])]) for n in (2**28, 2**64 - 1)},
    "batch-frame-length-ends-inside-a-record": (  # its checksum covers the declared length
        {"wal.bin": wal("a", b"1") + struct.pack("<IQQ", 3, len(BD) - 1, siphash13(BD[:-1])) + BD + wal("c", b"3")},
        [("keys", ["a"]), ("file", "wal.bin", wal("a", b"1"))]),
    "live-set-runs-3-containers-no-offsets": live_set(portable(RUNS_3), RUNS_3_IDS),
    "live-set-runs-4-containers-with-offsets": live_set(portable(RUNS_4), RUNS_4_IDS),
    **{f"live-set-runs-{n + 1}-containers-last-run": live_set(portable(ONE_PER_KEY[:n] + [runs(n, (0, 2))]),
                                                           [k << 16 | k for k in range(n)] + [n << 16, n << 16 | 1]) for n in (7, 8)},
    "live-set-runs-3-containers-with-offsets": live_set(portable(RUNS_3, offsets=True)),
    "live-set-runs-4-containers-without-offsets": live_set(portable(RUNS_4, offsets=False)),
    "live-set-array-member-repeated": live_set(portable([array(0, 1, 1, 2)], runs=False)),
    "live-set-array-members-descending": live_set(portable([array(0, 2, 1)])),
    **{f"live-set-bitmap-cardinality-{c}-of-4098": live_set(portable([bits(0, range(4098), c)], runs=False)) for c in (4097, 4099)},
    "live-set-runs-overlap-by-one": live_set(portable([runs(0, (0, 6), (5, 2))])),
    "live-set-runs-descending": live_set(portable([runs(0, (10, 1), (0, 1))])),
    "live-set-run-past-65535": live_set(portable([runs(0, (65535, 2))])),
    **{f"live-set-run-cardinality-{c}-of-{n}": live_set(portable([runs(0, (0, n), card=c)])) for c, n in ((2, 3), (4097, 4096))},
    "live-set-container-key-repeated": live_set(portable(ONE_PER_KEY[:1] * 2, runs=False)),
    "live-set-container-keys-descending": live_set(portable(ONE_PER_KEY[1::-1])),
}


@contextlib.contextmanager
def address_space_limit(extra: int = 1 << 30) -> Iterator[None]:
    """No more than `extra` bytes of address space beyond what the process uses now."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (int(Path("/proc/self/statm").read_text().split()[0]) * os.sysconf("SC_PAGE_SIZE") + extra, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@pytest.mark.parametrize("name", CRAFTED)
def test_crafted_store(tmp_path: Path, name: str) -> None:
    files, steps = CRAFTED[name]
    with address_space_limit():
        store = Steps(make_dir(tmp_path / "s", {"offsets.bin": b"", **files}))
    for *step, expected in steps:
        try:
            got = store(*step)
        except BaseException as e:  # noqa: BLE001 - the table says which
            assert expected is PANIC and is_panic(e) or type(e) is expected, (step, e)
        else:
            assert got == expected, step


# Records and batch frames; no key is stored twice, so a dict of the changes,
# deletes dropped, is the state after them.
LOG_STEPS: list[list[tuple[str, Optional[bytes]]]] = [
    [("a", b"1")], [("bb", b"22")], [("a", None), ("é", b""), ("q", b"batched")], [("", b"empty key")], [("c", bytes(range(40)))], [("zz", None)]]
LOG_RECORDS = [wal_batch(ops) if len(ops) > 1 else wal(*ops[0]) for ops in LOG_STEPS]


@pytest.mark.parametrize("cut_file", ["wal.bin", "snapshot.bin"])
def test_every_cut_length(tmp_path: Path, cut_file: str) -> None:
    """A file cut anywhere opens without an error: the log as its whole
    records and batches before the cut, the snapshot as absent. A reader
    sees the same, and neither its open nor its refresh changes a file."""
    # Cutting the snapshot: a, b, c persisted, then a put of d in the log.
    base = {"wal.bin": b"".join(LOG_RECORDS)} if cut_file == "wal.bin" else dict(ABC_SNAP, **{"wal.bin": wal("d", b"4")})
    whole = base[cut_file]
    for cut in range(len(whole) + 1):
        files = dict(base, **{cut_file: whole[:cut]})
        d = make_dir(tmp_path / str(cut), files)
        if cut_file == "wal.bin":
            n = sum(len(prefix) <= cut for prefix in itertools.accumulate(LOG_RECORDS))
            expected = {k: v for k, v in dict(op for ops in LOG_STEPS[:n] for op in ops).items() if v is not None}
        else:
            expected = {"a": b"aa", "b": b"bb", "c": b"cc", "d": b"4"} if cut == len(whole) else {"d": b"4"}
        reader = StoreCore(str(d), 1, True)
        reader.refresh()
        assert contents(reader.raw) == list(expected.items()) and {f.name: f.read_bytes() for f in d.iterdir()} == files, cut
        db = Marrow(str(d))
        if cut_file == "wal.bin":  # the torn tail is cut off
            assert (d / "wal.bin").read_bytes() == b"".join(LOG_RECORDS[:n]), cut
        assert contents(db) == list(expected.items()), cut


@pytest.mark.parametrize("cut_file", ["keys.bin", "vals.bin", "offsets.bin"])
def test_record_files_cut_behind_an_open_store(tmp_path: Path, cut_file: str) -> None:
    """A record file cut under an open writer and reader, inside a page or at
    a page's edge, after every page was read through the mappings: each
    record that ends below the cut (for offsets.bin: whose slot does) reads
    back whole, one by one and as a batch, and every other read fails; none
    sees zeros or dies of SIGBUS. A write whose slot lies past a cut of
    offsets.bin fails too, rather than grow the file back with zeros."""
    page = os.sysconf("SC_PAGE_SIZE")
    width = {"keys.bin": 50, "vals.bin": 70, "offsets.bin": 24}[cut_file]
    records = {f"{i:050d}": bytes([i % 255 + 1]) * 70 for i in range(5 * page // 50)}
    base = tmp_path / "base"
    db = Marrow(str(base))
    for k, v in records.items():
        db.set_bytes(k, v)
    db.persist()
    del db
    for cut in (3 * page + 17, 2 * page, page - 1, 0, len(records) * width - 1):
        d = tmp_path / str(cut)
        d.mkdir()
        for f in base.iterdir():
            (d / f.name).write_bytes(f.read_bytes())
        stores = [Marrow(str(d), 1), StoreCore(str(d), 1, True).raw]
        for store in stores:
            assert store.get_many(list(records)) == list(records.items())
            store.clear_cache()
        os.truncate(d / cut_file, cut)
        whole = [k for i, k in enumerate(records) if (i + 1) * width <= cut]
        for store in stores:
            for i, (k, v) in enumerate(records.items()):
                try:
                    assert store.get_bytes(k) == v and (i + 1) * width <= cut, (cut, k)
                except BaseException as e:  # noqa: BLE001 - only a panic is expected
                    assert is_panic(e) and "failed to fill whole buffer" in str(e), (cut, k, e)
                    assert (i + 1) * width > cut, (cut, k)
            store.clear_cache()
            assert store.get_many(whole) == [(k, records[k]) for k in whole], cut
            if len(whole) < len(records):
                with pytest.raises(BaseException, match="failed to fill whole buffer"):
                    store.get_many(whole[-1:] + [list(records)[len(whole)]])
        if cut_file == "offsets.bin":
            fits = (len(records) + 1) * width <= cut
            try:
                stores[0].set_bytes("new", b"x")
                assert fits and stores[0].get_bytes("new") == b"x", cut
            except BaseException as e:  # noqa: BLE001 - only a panic is expected
                assert is_panic(e) and "failed to fill whole buffer" in str(e) and not fits, (cut, e)
                assert os.path.getsize(d / cut_file) == cut
    if cut_file == "offsets.bin":  # the put that would grow a cut table
        full = marrow.open(str(tmp_path / "full"))
        full.set_many((f"{i}", b"") for i in range(os.path.getsize(tmp_path / "full" / cut_file) // width))
        os.truncate(tmp_path / "full" / cut_file, page)
        with pytest.raises(BaseException, match="failed to fill whole buffer"):
            full["grow"] = b"x"
        assert os.path.getsize(tmp_path / "full" / cut_file) == page


@pytest.mark.parametrize("faulthandler", [False, True])
def test_other_bus_errors_still_kill(tmp_path: Path, faulthandler: bool) -> None:
    """The read path takes only its own probes' bus errors: any other still
    ends the process, through a handler installed before the engine's too."""
    script = f"""if True:
        import faulthandler, mmap, os, sys
        from marrow import Marrow
        if {faulthandler}:
            faulthandler.enable()
        db = Marrow(sys.argv[1], 1)
        for i in range(3000):
            db.set_bytes(f"{{i:06d}}", b"v" * 10)
        db.clear_cache()
        assert db.get_bytes("000001") == b"v" * 10
        path = os.path.join(sys.argv[1], "other")
        with open(path, "wb") as f:
            f.write(bytes(8192))
        with open(path, "rb") as f:
            m = mmap.mmap(f.fileno(), 8192, prot=mmap.PROT_READ)
        os.truncate(path, 0)
        print(m[5000])
        print("survived")"""
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert run.returncode == -signal.SIGBUS and "survived" not in run.stdout, run
    assert ("Bus error" in run.stderr) == faulthandler, run.stderr


def test_raw_class_logs_large_values_whole(tmp_path: Path) -> None:
    db = Marrow(str(tmp_path))
    db.set_bytes("p", BIG)
    del db
    assert (tmp_path / "wal.bin").read_bytes() == wal("p", BIG)
