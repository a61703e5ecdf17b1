"""Recovery at open: snapshot plus log replay, damaged snapshots and crashes."""

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
    fresh_dir,
    read,
    roaring,
    run_python,
    size,
    snapshot_bytes,
    store_files,
    wal_put,
)
from marrow import Marrow


def _write_all(store, items: dict[str, bytes]) -> None:
    for k, v in items.items():
        store.set_bytes(k, v)


def test_reopen_without_persist_replays_the_whole_log(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    _write_all(store, {"a": b"1", "bb": b"22", "c": b"333"})
    store.set_bytes("a", b"4444")
    store.delete("bb")
    del store
    keys_before, vals_before = read(store_dir, "keys.bin"), read(store_dir, "vals.bin")
    assert keys_before == b"abbca"
    store = open_store()
    assert_contents(store, {"c": b"333", "a": b"4444"})
    # Every logged put is appended once more, from id 0 on.
    assert read(store_dir, "keys.bin") == keys_before * 2
    assert read(store_dir, "vals.bin") == vals_before * 2
    del store
    store = open_store()
    assert_contents(store, {"c": b"333", "a": b"4444"})
    assert read(store_dir, "keys.bin") == keys_before * 3


def test_reopen_after_persist_loads_the_snapshot_alone(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    _write_all(store, {"a": b"1", "b": b"22", "c": b""})
    store.delete("b")
    store.persist()
    del store
    before = store_files(store_dir)
    assert before["wal.bin"] == b""
    store = open_store()
    assert_contents(store, {"a": b"1", "c": b""})
    assert store_files(store_dir) == before


def test_reopen_after_persist_and_later_writes(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    _write_all(store, {"a": b"1", "b": b"22", "c": b"333"})
    store.persist()
    store.set_bytes("b", b"rewritten")
    store.set_bytes("d", b"4444")
    store.delete("a")
    del store
    keys_len = size(store_dir, "keys.bin")
    store = open_store(cache_size=2)
    expected = {"c": b"333", "b": b"rewritten", "d": b"4444"}
    assert_contents(store, expected)
    # The replay rewrote the later records at the snapshot's ends.
    assert size(store_dir, "keys.bin") == keys_len
    store.set_bytes("e", b"55555")
    store.set_bytes("c", b"6")
    expected.pop("c")
    expected.update({"e": b"55555", "c": b"6"})
    store.clear_cache()
    assert_contents(store, expected)
    del store
    assert_contents(open_store(), expected)


def test_appends_after_a_lost_log_tail_start_at_the_snapshot_ends(
    open_store: OpenStore, store_dir: Path
) -> None:
    # The child's writes after persist() reach keys.bin and vals.bin but not
    # the log; the next open continues from the snapshot's ends over them.
    proc = run_python(
        f"""
        import os
        from marrow import Marrow
        m = Marrow({str(store_dir)!r})
        m.set_bytes("a", b"1")
        m.set_bytes("b", b"22")
        m.persist()
        m.set_bytes("lost", b"never logged")
        os.kill(os.getpid(), 9)
        """,
        check=False,
    )
    assert proc.returncode == -signal.SIGKILL
    assert read(store_dir, "keys.bin") == b"ablost"
    store = open_store()
    assert_contents(store, {"a": b"1", "b": b"22"})
    store.set_bytes("c", b"333")
    store.set_bytes("dd", b"4")
    assert read(store_dir, "keys.bin")[:5] == b"abcdd"
    assert read(store_dir, "vals.bin")[:7] == b"1223334"
    assert_contents(store, {"a": b"1", "b": b"22", "c": b"333", "dd": b"4"})
    del store
    assert_contents(open_store(), {"a": b"1", "b": b"22", "c": b"333", "dd": b"4"})


def test_reopen_after_vacuum_and_after_vacuum_plus_writes(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    _write_all(store, {"a": b"1", "b": b"22", "c": b"333"})
    store.persist()  # an older snapshot that the vacuum must supersede
    store.set_bytes("a", b"new")
    store.delete("b")
    store.set_bytes("d", b"d")
    store.vacuum()
    del store
    expected = {"c": b"333", "a": b"new", "d": b"d"}
    store = open_store()
    assert_contents(store, expected)
    store.set_bytes("e", b"e")
    store.delete("c")
    del store
    expected.pop("c")
    expected["e"] = b"e"
    store = open_store()
    assert_contents(store, expected)
    del store
    assert_contents(open_store(), expected)


def test_crash_keeps_a_prefix_of_the_writes(open_store: OpenStore, store_dir: Path) -> None:
    proc = run_python(
        f"""
        import os
        from marrow import Marrow
        m = Marrow({str(store_dir)!r})
        for i in range(100):
            m.set_bytes(f"k{{i:03d}}", bytes([i]) * 95)
        os.kill(os.getpid(), 9)
        """,
        check=False,
    )
    assert proc.returncode == -signal.SIGKILL
    store = open_store()
    n = store.len()
    assert 0 < n < 100
    assert_contents(store, {f"k{i:03d}": bytes([i]) * 95 for i in range(n)})
    # The torn record was cut off, so new writes survive the next reopen.
    assert size(store_dir, "wal.bin") == n * len(wal_put("k000", bytes(95)))
    store.set_bytes("after", b"crash")
    del store
    assert open_store().get_bytes("after") == b"crash"


def _base_store(base: Path) -> tuple[Path, bytes]:
    """A persisted store with a, b, c; the log then holds a put of d."""
    d = base / "base"
    store = Marrow(str(d))
    _write_all(store, {"a": b"1", "b": b"22", "c": b"333"})
    store.set_bytes("b", b"x")
    store.persist()
    store.set_bytes("d", b"4")
    del store
    return d, read(d, "snapshot.bin")


def test_snapshot_cut_at_every_length_is_ignored(tmp_path: Path) -> None:
    d, snap = _base_store(tmp_path)
    log = read(d, "wal.bin")
    assert_contents(Marrow(str(d)), {"a": b"1", "c": b"333", "b": b"x", "d": b"4"})
    for cut in range(len(snap)):
        (d / "snapshot.bin").write_bytes(snap[:cut])
        (d / "wal.bin").write_bytes(log)
        store = Marrow(str(d))
        # Opened as if there were no snapshot: only the logged put is known.
        assert store.len() == 1, cut
        assert store.keys() == ["d"], cut
        assert store.get_bytes("a") is None, cut
        store.clear_cache()
        assert store.get_bytes("d") == b"4", cut
        del store


def _crafted(live: bytes) -> bytes:
    return snapshot_bytes(
        {fingerprint("a"): 0, fingerprint("b"): 1}, live, EMPTY_BITMAP, 2, 2, 3
    )


@pytest.mark.parametrize(
    ("live", "loads"),
    [
        pytest.param(roaring([0, 1]), True, id="valid"),
        pytest.param(b"\x39\x30" + roaring([0, 1])[2:], False, id="unknown-cookie"),
        pytest.param(struct.pack("<II", 12346, 65537) + bytes(16), False, id="too-many-containers"),
        pytest.param(
            struct.pack("<IIHHIHH", 12346, 1, 0, 1, 16, 1, 0), False, id="unsorted-array"
        ),
        pytest.param(roaring([0, 1])[:-1], False, id="short-bitmap"),
    ],
)
def test_crafted_snapshot_bitmaps(tmp_path: Path, live: bytes, loads: bool) -> None:
    d = fresh_dir(tmp_path, "s", {})
    store = Marrow(str(d))
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"22")
    store.persist()
    del store
    (d / "snapshot.bin").write_bytes(_crafted(live))
    store = Marrow(str(d))
    if loads:
        assert_contents(store, {"a": b"1", "b": b"22"})
    else:
        assert store.len() == 0
        assert store.get_bytes("a") is None


def test_later_duplicate_index_entry_wins(tmp_path: Path) -> None:
    d = fresh_dir(tmp_path, "s", {})
    store = Marrow(str(d))
    store.set_bytes("a", b"1")
    store.set_bytes("a", b"2")
    store.persist()
    del store
    (d / "snapshot.bin").write_bytes(
        snapshot_bytes([(fingerprint("a"), 0), (fingerprint("a"), 1)], [1], [0], 2, 2, 2)
    )
    assert_contents(Marrow(str(d)), {"a": b"2"})


def test_extra_bytes_after_the_snapshot_are_ignored(tmp_path: Path) -> None:
    d, snap = _base_store(tmp_path)
    (d / "snapshot.bin").write_bytes(snap + b"\x01trailing garbage" * 10)
    assert_contents(Marrow(str(d)), {"a": b"1", "c": b"333", "b": b"x", "d": b"4"})


@pytest.mark.parametrize("name", ["snapshot.bin", "wal.bin"])
def test_read_error_at_open_fails_the_open_and_changes_nothing(tmp_path: Path, name: str) -> None:
    # A directory in the file's place opens but cannot be read.
    d, _ = _base_store(tmp_path)
    (d / name).unlink()
    (d / name).mkdir()
    before = {n: read(d, n) for n in ("keys.bin", "vals.bin", "offsets.bin") + (
        ("wal.bin",) if name == "snapshot.bin" else ("snapshot.bin",))}
    with pytest.raises(OSError):
        Marrow(str(d))
    assert {n: read(d, n) for n in before} == before
    assert (d / name).is_dir()


def test_huge_declared_lengths_do_not_reserve_memory(tmp_path: Path) -> None:
    # Corrupt counts and lengths must read as damage, not as a request for
    # memory: the child runs with a 1 GiB address-space limit.
    good_live = roaring([0])
    cases = {
        "wal-key": (None, struct.pack("<IQ", 0, 3 << 30) + b"abc"),
        "wal-value": (None, struct.pack("<IQ", 0, 1) + b"a" + struct.pack("<Q", 3 << 30) + b"v"),
        "snap-count": (struct.pack("<Q", 1 << 28) + bytes(64), b""),
        "snap-live": (struct.pack("<QQ", 0, 3 << 30) + good_live, b""),
        "snap-dead": (
            struct.pack("<QQ", 0, len(good_live)) + good_live + struct.pack("<Q", 3 << 30) + EMPTY_BITMAP,
            b"",
        ),
    }
    dirs = {}
    for name, (snap, log) in cases.items():
        files = {"wal.bin": log}
        if snap is not None:
            files["snapshot.bin"] = snap
        dirs[name] = str(fresh_dir(tmp_path, name, files))
    run_python(
        f"""
        import resource
        from marrow import Marrow
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        for name, d in {dirs!r}.items():
            m = Marrow(d)
            assert m.len() == 0, name
            m.set_bytes("k", b"v")
            assert m.get_bytes("k") == b"v", name
            del m
        """
    )
    for name in ("wal-key", "wal-value"):
        # The undecodable record was cut off; the new write follows.
        assert read(Path(dirs[name]), "wal.bin") == wal_put("k", b"v")
