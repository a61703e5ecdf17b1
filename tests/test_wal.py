"""The write-ahead log: record bytes, replay, and what stops a replay."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest

from conftest import (
    OpenStore,
    assert_contents,
    fresh_dir,
    read,
    size,
    wal_delete,
    wal_put,
)
from marrow import Marrow


def test_put_then_delete_leaves_the_36_byte_log(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"xy")
    assert store.delete("a") is True
    del store
    expected = bytes.fromhex(
        "00000000" "0100000000000000" "61" "0200000000000000" "7879"
        "01000000" "0100000000000000" "61"
    )
    assert len(expected) == 36
    assert read(store_dir, "wal.bin") == expected


def test_log_holds_every_write_in_order_with_empty_key_and_value(
    open_store: OpenStore, store_dir: Path
) -> None:
    store = open_store()
    store.set_bytes("", b"")
    store.set_bytes("é", bytes(range(256)))
    assert store.delete("never-set") is False
    store.set_bytes("", b"z")
    assert store.delete("") is True
    del store
    assert read(store_dir, "wal.bin") == (
        wal_put("", b"")
        + wal_put("é", bytes(range(256)))
        + wal_delete("never-set")
        + wal_put("", b"z")
        + wal_delete("")
    )


def test_delete_of_absent_key_is_logged_and_changes_nothing(
    open_store: OpenStore, store_dir: Path
) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    assert store.delete("b") is False
    assert store.len() == 1
    assert store.keys() == ["a"]
    del store
    assert read(store_dir, "wal.bin") == wal_put("a", b"1") + wal_delete("b")
    assert_contents(open_store(), {"a": b"1"})


def test_missing_or_empty_log_replays_nothing(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    del store
    (store_dir / "wal.bin").unlink()
    store = open_store()
    assert store.len() == 0
    assert store.get_bytes("a") is None
    assert size(store_dir, "wal.bin") == 0
    del store
    (store_dir / "wal.bin").write_bytes(b"")
    assert open_store().len() == 0


def test_log_reaches_the_file_only_on_overflow(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"x" * 100)
    assert size(store_dir, "wal.bin") == 0  # still buffered
    for i in range(100):
        store.set_bytes(f"k{i}", b"y" * 100)
    on_disk = size(store_dir, "wal.bin")
    assert 0 < on_disk <= 8192 * 2
    del store
    assert size(store_dir, "wal.bin") == len(wal_put("a", b"x" * 100)) + sum(
        len(wal_put(f"k{i}", b"y" * 100)) for i in range(100)
    )


_LOG_OPS: list[tuple[str, str, bytes]] = [
    ("put", "a", b"1"),
    ("put", "bb", b"22"),
    ("del", "a", b""),
    ("put", "é", b""),
    ("put", "", b"empty-key"),
    ("put", "c", bytes(range(40))),
    ("del", "zz", b""),
]


def _encode(op: tuple[str, str, bytes]) -> bytes:
    kind, key, val = op
    return wal_put(key, val) if kind == "put" else wal_delete(key)


def _apply(ops: list[tuple[str, str, bytes]]) -> dict[str, bytes]:
    state: dict[str, bytes] = {}
    for kind, key, val in ops:
        if kind == "put":
            state.pop(key, None)
            state[key] = val
        else:
            state.pop(key, None)
    return state


def test_log_cut_at_every_length_replays_its_whole_records(tmp_path: Path) -> None:
    records = [_encode(op) for op in _LOG_OPS]
    log = b"".join(records)
    boundaries = [0]
    for r in records:
        boundaries.append(boundaries[-1] + len(r))
    for cut in range(len(log) + 1):
        whole = max(i for i, b in enumerate(boundaries) if b <= cut)
        d = fresh_dir(tmp_path, f"cut{cut}", {"wal.bin": log[:cut]})
        store = Marrow(str(d))
        expected = _apply(_LOG_OPS[:whole])
        assert_contents(store, expected)
        # The torn tail is cut off at open, so later writes are replayed.
        assert size(d, "wal.bin") == boundaries[whole], cut
        store.set_bytes("after", b"cut")
        del store
        expected["after"] = b"cut"
        assert_contents(Marrow(str(d)), expected)


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(struct.pack("<IQ", 2, 1) + b"b", id="tag-2"),
        pytest.param(struct.pack("<IQ", 0xFFFFFFFF, 0), id="tag-all-ones"),
        pytest.param(wal_put(b"\xff\xfe", b"v"), id="put-key-not-utf8"),
        pytest.param(wal_delete(b"b\xc3"), id="delete-key-not-utf8"),
        pytest.param(struct.pack("<IQ", 0, 1 << 40) + b"b", id="key-length-past-end"),
        pytest.param(struct.pack("<IQ", 0, 1) + b"b" + struct.pack("<Q", 1 << 40), id="value-length-past-end"),
    ],
)
def test_undecodable_record_ends_the_replay(tmp_path: Path, bad: bytes) -> None:
    good = wal_put("a", b"1") + wal_delete("x")
    after = wal_put("b", b"2") + wal_put("a", b"3")
    d = fresh_dir(tmp_path, "s", {"wal.bin": good + bad + after})
    store = Marrow(str(d))
    assert_contents(store, {"a": b"1"})
    assert read(d, "wal.bin") == good
    store.set_bytes("c", b"4")
    del store
    assert_contents(Marrow(str(d)), {"a": b"1", "c": b"4"})
