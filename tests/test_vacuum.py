"""vacuum(): compacted files, renumbering, its snapshot, and crashes inside it."""

from __future__ import annotations

import os
import signal
import struct
from pathlib import Path

import pytest

from conftest import (
    EMPTY_BITMAP,
    NEW_OFFSETS_SIZE,
    OpenStore,
    assert_contents,
    fingerprint,
    offset_entry,
    read,
    read_entry,
    run_python,
    size,
    snapshot,
    store_files,
)

EMPTY_SNAPSHOT = (
    bytes(8) + struct.pack("<Q", 8) + EMPTY_BITMAP + struct.pack("<Q", 8) + EMPTY_BITMAP + bytes(20)
)


def _no_leftovers(directory: Path) -> None:
    names = {p.name for p in directory.iterdir()}
    assert not {n for n in names if n.endswith((".vac", ".tmp"))}, names


def test_vacuum_of_an_empty_store(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    assert store.vacuum() is None
    assert read(store_dir, "keys.bin") == b""
    assert read(store_dir, "vals.bin") == b""
    assert read(store_dir, "offsets.bin") == bytes(NEW_OFFSETS_SIZE)
    assert read(store_dir, "snapshot.bin") == EMPTY_SNAPSHOT
    assert size(store_dir, "wal.bin") == 0
    assert store.len() == 0
    _no_leftovers(store_dir)
    store.set_bytes("a", b"1")
    assert read_entry(read(store_dir, "offsets.bin"), 0) == (0, 1, 0, 1)


def test_vacuum_example_file_contents(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"22")
    store.set_bytes("a", b"333")
    store.delete("b")
    store.vacuum()
    assert read(store_dir, "keys.bin") == b"a"
    assert read(store_dir, "vals.bin") == b"333"
    offsets = read(store_dir, "offsets.bin")
    assert offsets == offset_entry(0, 1, 0, 3) + bytes(NEW_OFFSETS_SIZE - 24)
    live = bytes.fromhex("3a300000" "01000000" "00000000" "10000000" "0000")
    assert read(store_dir, "snapshot.bin") == (
        struct.pack("<QQI", 1, fingerprint("a"), 0)
        + struct.pack("<Q", len(live)) + live
        + struct.pack("<Q", 8) + EMPTY_BITMAP
        + struct.pack("<IQQ", 1, 1, 3)
    )
    assert size(store_dir, "wal.bin") == 0
    _no_leftovers(store_dir)
    assert store.len() == 1
    assert store.get_bytes("a") == b"333"
    assert store.get_bytes("b") is None
    # New records continue after the compacted ones.
    store.set_bytes("c", b"c")
    assert read_entry(read(store_dir, "offsets.bin"), 1) == (1, 1, 3, 1)
    del store
    assert_contents(open_store(), {"a": b"333", "c": b"c"})


def test_vacuum_renumbers_in_id_order(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=1)
    for i in range(10):
        store.set_bytes(f"k{i}", bytes([i]) * i)
    for i in range(0, 10, 2):
        store.delete(f"k{i}")
    store.set_bytes("k3", b"moved")
    store.vacuum()
    expected = {f"k{i}": bytes([i]) * i for i in (1, 5, 7, 9)}
    expected["k3"] = b"moved"
    assert read(store_dir, "keys.bin") == "".join(expected).encode()
    assert read(store_dir, "vals.bin") == b"".join(expected.values())
    snap = snapshot(store_dir)
    assert snap.index == {fingerprint(k): i for i, k in enumerate(expected)}
    assert snap.live == set(range(5))
    assert snap.dead == set()
    assert (snap.next_id, snap.keys_end, snap.vals_end) == (5, 10, 27)
    assert_contents(store, expected)


def test_two_vacuums_leave_identical_files(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    for i in range(200):
        store.set_bytes(f"key{i}", bytes([i % 256]) * (i % 17))
    for i in range(0, 200, 3):
        store.set_bytes(f"key{i}", b"again")
    for i in range(0, 200, 7):
        store.delete(f"key{i}")
    store.vacuum()
    first = store_files(store_dir)
    first_snap = snapshot(store_dir).fields()
    store.vacuum()
    second = store_files(store_dir)
    for name in ("keys.bin", "vals.bin", "offsets.bin", "wal.bin"):
        assert second[name] == first[name], name
    assert snapshot(store_dir).fields() == first_snap


def test_vacuum_supersedes_an_older_snapshot(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    for k in "abcdef":
        store.set_bytes(k, k.encode() * 3)
    store.persist()
    for k in "ace":
        store.delete(k)
    store.set_bytes("b", b"B")
    store.vacuum()
    del store
    assert_contents(open_store(), {"d": b"ddd", "f": b"fff", "b": b"B"})


def test_vacuum_of_150000_live_records(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=1)
    for i in range(150_000):
        store.set_bytes(f"{i:06d}", b"v")
    store.set_bytes("000007", b"w")
    store.delete("000008")
    store.set_bytes("000008", b"x")
    assert size(store_dir, "offsets.bin") == 2 * NEW_OFFSETS_SIZE
    store.vacuum()
    assert store.len() == 150_000
    assert size(store_dir, "offsets.bin") == 3_600_000
    offsets = read(store_dir, "offsets.bin")
    assert read_entry(offsets, 149_999) == (149_999 * 6, 6, 149_999, 1)
    assert snapshot(store_dir).live == set(range(150_000))
    assert store.get_bytes("149999") == b"v"
    assert store.get_bytes("000007") == b"w"
    # The next append grows the exactly-full table by doubling.
    store.set_bytes("more", b"m")
    assert size(store_dir, "offsets.bin") == 7_200_000
    del store
    store = open_store()
    assert store.len() == 150_001
    assert store.get_bytes("000008") == b"x"
    assert store.get_bytes("more") == b"m"


def test_leftover_vac_files_are_ignored_and_overwritten(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"2")
    del store
    for name in ("keys.bin.vac", "vals.bin.vac", "offsets.bin.vac"):
        (store_dir / name).write_bytes(b"\x01junk from an interrupted vacuum" * 100)
    store = open_store()
    assert_contents(store, {"a": b"1", "b": b"2"})
    store.delete("a")
    store.vacuum()
    _no_leftovers(store_dir)
    assert read(store_dir, "keys.bin") == b"b"
    assert read(store_dir, "vals.bin") == b"2"
    assert read(store_dir, "offsets.bin") == offset_entry(0, 1, 0, 1) + bytes(NEW_OFFSETS_SIZE - 24)
    del store
    assert_contents(open_store(), {"b": b"2"})


def test_failed_vacuum_raises_plain_os_error_and_changes_nothing(
    open_store: OpenStore, store_dir: Path
) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"22")
    store.set_bytes("a", b"333")
    before = {n: read(store_dir, n) for n in ("keys.bin", "vals.bin", "offsets.bin")}
    (store_dir / "vals.bin.vac").mkdir()
    with pytest.raises(OSError) as info:
        store.vacuum()
    assert type(info.value) is OSError
    assert info.value.args == ("Is a directory (os error 21)",)
    assert {n: read(store_dir, n) for n in before} == before
    assert_contents(store, {"b": b"22", "a": b"333"})
    (store_dir / "vals.bin.vac").rmdir()
    store.vacuum()
    assert read(store_dir, "keys.bin") == b"ba"
    del store
    assert_contents(open_store(), {"b": b"22", "a": b"333"})


def test_vacuum_over_a_truncated_values_file(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"22")
    os.truncate(store_dir / "vals.bin", 2)
    with pytest.raises(OSError) as info:
        store.vacuum()
    # A plain OSError, not a PanicException, and not a subclass.
    assert type(info.value) is OSError
    assert info.value.args == ("failed to fill whole buffer",)
    assert read(store_dir, "keys.bin") == b"ab"
    assert store.len() == 2
    store.clear_cache()
    assert store.get_bytes("a") == b"1"
    del store
    store = open_store()
    assert store.get_bytes("a") == b"1"
    assert store.len() == 2


_CRASH_CHILD = """
from marrow import Marrow
m = Marrow({path!r})
m.vacuum()
raise SystemExit("vacuum was not interrupted")
"""


def test_vacuum_is_atomic_against_a_kill_at_every_rename(
    tmp_path: Path, crash_shim: Path, open_store: OpenStore
) -> None:
    # One store, written, persisted, written again; each run copies it and
    # kills a vacuum just before or just after one of its renames. Every
    # reopen must give the same contents, and the store must go on working.
    source = tmp_path / "source"
    store = open_store(source)
    expected: dict[str, bytes] = {}
    for i in range(60):
        store.set_bytes(f"k{i}", bytes([i]) * (i * 7))
        expected[f"k{i}"] = bytes([i]) * (i * 7)
    store.persist()
    for i in range(0, 60, 4):
        store.delete(f"k{i}")
        del expected[f"k{i}"]
    store.set_bytes("k1", b"latest")
    del expected["k1"]
    expected["k1"] = b"latest"
    del store
    files = store_files(source)

    count_log = tmp_path / "renames.log"
    (tmp_path / "count").mkdir()
    for name, data in files.items():
        (tmp_path / "count" / name).write_bytes(data)
    run_python(
        _CRASH_CHILD.format(path=str(tmp_path / "count")),
        env={"LD_PRELOAD": str(crash_shim), "CRASH_SHIM_LOG": str(count_log)},
        check=False,
    )
    renames = count_log.read_text().splitlines() if count_log.exists() else []
    if not renames:
        pytest.skip("vacuum made no interceptable rename")

    for at in range(1, len(renames) + 1):
        for when in ("before", "after"):
            d = tmp_path / f"crash-{at}-{when}"
            d.mkdir()
            for name, data in files.items():
                (d / name).write_bytes(data)
            proc = run_python(
                _CRASH_CHILD.format(path=str(d)),
                env={
                    "LD_PRELOAD": str(crash_shim),
                    "CRASH_SHIM_AT": str(at),
                    "CRASH_SHIM_WHEN": when,
                },
                check=False,
            )
            assert proc.returncode == -signal.SIGKILL, (at, when, proc.stderr[-500:])
            store = open_store(d)
            assert_contents(store, expected)
            store.set_bytes("after", b"crash")
            store.vacuum()
            del store
            store = open_store(d)
            assert_contents(store, {**expected, "after": b"crash"})
            del store
