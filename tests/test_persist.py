"""persist(): snapshot bytes, the emptied log, and crashes around it."""

from __future__ import annotations

import signal
import struct
from pathlib import Path

import pytest

from conftest import (
    EMPTY_BITMAP,
    OpenStore,
    assert_contents,
    fingerprint,
    read,
    run_python,
    size,
    snapshot,
    snapshot_bytes,
    wal_put,
)


def test_snapshot_of_a_store_that_never_held_a_key(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    assert store.persist() is None
    expected = (
        bytes(8)
        + bytes.fromhex("0800000000000000") + EMPTY_BITMAP
        + bytes.fromhex("0800000000000000") + EMPTY_BITMAP
        + bytes(4)
        + bytes(16)
    )
    assert len(expected) == 60
    assert read(store_dir, "snapshot.bin") == expected
    assert size(store_dir, "wal.bin") == 0
    assert not (store_dir / "snapshot.bin.tmp").exists()


def test_snapshot_after_one_write(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"xy")
    store.persist()
    live = bytes.fromhex("3a300000" "01000000" "00000000" "10000000" "0000")
    expected = (
        struct.pack("<QQI", 1, fingerprint("a"), 0)
        + struct.pack("<Q", len(live)) + live
        + struct.pack("<Q", 8) + EMPTY_BITMAP
        + struct.pack("<IQQ", 1, 1, 2)
    )
    assert len(expected) == 82
    assert read(store_dir, "snapshot.bin") == expected
    assert size(store_dir, "wal.bin") == 0


def test_snapshot_tracks_rewrites_and_deletes(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"22")
    store.set_bytes("a", b"333")
    store.set_bytes("c", b"")
    store.delete("b")
    store.delete("nothing")
    store.persist()
    snap = snapshot(store_dir)
    assert snap.index == {fingerprint("a"): 2, fingerprint("c"): 3}
    assert snap.live == {2, 3}
    assert snap.dead == {0, 1}
    assert (snap.next_id, snap.keys_end, snap.vals_end) == (4, 4, 6)
    assert not snap.live_has_runs and not snap.dead_has_runs


def test_persist_twice_writes_the_same_snapshot(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    for i in range(50):
        store.set_bytes(f"k{i}", bytes([i]) * i)
    store.delete("k7")
    store.persist()
    first = snapshot(store_dir).fields()
    assert size(store_dir, "wal.bin") == 0
    store.persist()
    assert snapshot(store_dir).fields() == first
    assert size(store_dir, "wal.bin") == 0


def test_bitmaps_with_many_members(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=1)
    for i in range(70_000):
        store.set_bytes(str(i), b"")
    for i in range(0, 70_000, 3):
        store.set_bytes(str(i), b"x")
    store.persist()
    snap = snapshot(store_dir)
    rewritten = set(range(0, 70_000, 3))
    assert snap.dead == rewritten
    assert snap.live == (set(range(70_000)) - rewritten) | set(range(70_000, 70_000 + len(rewritten)))
    del store
    store = open_store()
    assert store.len() == 70_000
    assert store.get_bytes("69999") == (b"x" if 69999 % 3 == 0 else b"")
    assert store.get_bytes("3") == b"x"


def test_leftover_tmp_file_is_overwritten(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"xy")
    (store_dir / "snapshot.bin.tmp").write_bytes(b"\xab" * 100_000)
    store.persist()
    assert not (store_dir / "snapshot.bin.tmp").exists()
    assert size(store_dir, "snapshot.bin") == 82
    del store
    assert_contents(open_store(), {"a": b"xy"})


def test_log_after_persist_holds_only_later_writes(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("before", b"1")
    store.persist()
    store.set_bytes("after", b"2")
    del store
    assert read(store_dir, "wal.bin") == wal_put("after", b"2")


@pytest.mark.parametrize("lead", [0, 37, 4000, 8150, 8180, 8191, 8200])
def test_records_straddling_the_log_buffer_across_persist(
    open_store: OpenStore, store_dir: Path, lead: int
) -> None:
    # Records of 520 bytes from a varying start make the last write-out
    # before persist() split a record; persist() must leave none of it in the
    # log, so the writes after it are replayed at the next open.
    store = open_store()
    expected: dict[str, bytes] = {}
    if lead:
        store.set_bytes("lead", b"L" * lead)
        expected["lead"] = b"L" * lead
    for i in range(40):
        key, val = f"pre{i:02d}", bytes([i]) * 500
        store.set_bytes(key, val)
        expected[key] = val
    store.set_bytes("pre00", b"rewritten")
    expected.pop("pre00")
    expected["pre00"] = b"rewritten"
    store.persist()
    assert size(store_dir, "wal.bin") == 0
    later = {f"post{i}": bytes([i]) * 300 for i in range(3)}
    for key, val in later.items():
        store.set_bytes(key, val)
    store.set_bytes("pre01", b"changed after persist")
    store.delete("pre02")
    expected.update(later)
    expected.pop("pre01")
    expected["pre01"] = b"changed after persist"
    expected.pop("pre02")
    del store
    log = read(store_dir, "wal.bin")
    assert log.startswith(wal_put("post0", later["post0"]))
    assert_contents(open_store(), expected)


def test_persist_survives_a_crash_right_after(open_store: OpenStore, store_dir: Path) -> None:
    # Nothing after persist() is flushed; a kill then keeps the persisted
    # state exactly.
    proc = run_python(
        f"""
        import os
        from marrow import Marrow
        m = Marrow({str(store_dir)!r})
        for i in range(30):
            m.set_bytes(f"k{{i}}", bytes([i]) * 700)
        m.set_bytes("k0", b"new")
        m.persist()
        m.set_bytes("lost", b"buffered only")
        os.kill(os.getpid(), 9)
        """,
        check=False,
    )
    assert proc.returncode == -signal.SIGKILL
    expected = {f"k{i}": bytes([i]) * 700 for i in range(1, 30)}
    expected["k0"] = b"new"
    assert_contents(open_store(), expected)


@pytest.mark.parametrize("when", ["before", "after"])
def test_crash_at_the_snapshot_rename(
    open_store: OpenStore, store_dir: Path, crash_shim: Path, tmp_path: Path, when: str
) -> None:
    # After a first persist, the old value of "k" reaches wal.bin in a
    # write-out and the new one stays in the buffer; the process dies just
    # before or just after the second persist renames snapshot.bin into
    # place. Either way the reopened store must hold the state at that
    # persist: the old value must not come back from the log.
    log = tmp_path / "renames.log"
    proc = run_python(
        f"""
        from marrow import Marrow
        m = Marrow({str(store_dir)!r})
        m.set_bytes("first", b"1")
        m.persist()
        m.set_bytes("k", b"old")
        for i in range(20):
            m.set_bytes(f"fill{{i}}", b"f" * 500)
        m.set_bytes("k", b"new")
        m.delete("fill3")
        m.delete("first")
        m.persist()
        raise SystemExit("persist was not interrupted")
        """,
        env={
            "LD_PRELOAD": str(crash_shim),
            "CRASH_SHIM_AT": "2",
            "CRASH_SHIM_WHEN": when,
            "CRASH_SHIM_LOG": str(log),
        },
        check=False,
    )
    if proc.returncode != -signal.SIGKILL:
        pytest.skip(f"persist made no interceptable rename: {proc.returncode} {proc.stderr[-500:]}")
    assert log.read_text().split()[-1].endswith("snapshot.bin")
    expected = {f"fill{i}": b"f" * 500 for i in range(20) if i != 3}
    expected["k"] = b"new"
    store = open_store()
    assert_contents(store, expected, ordered=False)
    store.set_bytes("later", b"x")
    del store
    expected["later"] = b"x"
    assert_contents(open_store(), expected, ordered=False)


def test_failed_persist_raises_by_kind_and_changes_nothing(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.persist()
    snap = read(store_dir, "snapshot.bin")
    store.set_bytes("b", b"2")
    (store_dir / "snapshot.bin.tmp").mkdir()
    with pytest.raises(OSError) as info:
        store.persist()
    assert type(info.value) is OSError
    assert info.value.args == ("Is a directory (os error 21)",)
    assert read(store_dir, "snapshot.bin") == snap
    (store_dir / "snapshot.bin.tmp").rmdir()
    assert_contents(store, {"a": b"1", "b": b"2"})
    store.persist()
    del store
    assert_contents(open_store(), {"a": b"1", "b": b"2"})


def _run_container_live(members: range) -> bytes:
    # A single container holding one run, in the portable format with runs.
    return (
        struct.pack("<I", 12347)  # cookie, one container
        + b"\x01"  # run flag of container 0
        + struct.pack("<HH", 0, len(members) - 1)
        + struct.pack("<HHH", 1, members.start, len(members) - 1)
    )


def test_run_container_snapshot_loads_and_is_rewritten_without_runs(
    open_store: OpenStore, store_dir: Path
) -> None:
    store = open_store()
    for k in "abc":
        store.set_bytes(k, k.encode() * 2)
    del store
    (store_dir / "wal.bin").write_bytes(b"")
    (store_dir / "snapshot.bin").write_bytes(
        snapshot_bytes(
            {fingerprint(k): i for i, k in enumerate("abc")},
            _run_container_live(range(3)),
            EMPTY_BITMAP,
            3,
            3,
            6,
        )
    )
    store = open_store()
    assert_contents(store, {"a": b"aa", "b": b"bb", "c": b"cc"})
    store.persist()
    snap = snapshot(store_dir)
    assert snap.live == {0, 1, 2}
    assert not snap.live_has_runs
    assert snap.raw_bitmaps[0] == bytes.fromhex("3a300000" "01000000" "00000200" "10000000" "000001000200")
