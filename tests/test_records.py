"""Record files: keys.bin, vals.bin and the offsets.bin slot table."""

from __future__ import annotations

from pathlib import Path

import pytest

from conftest import (
    NEW_OFFSETS_SIZE,
    OpenStore,
    offset_entry,
    read,
    read_entry,
    size,
    snapshot_bytes,
    wal_delete,
)
from marrow import Marrow


def test_first_record_layout(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"xy")
    assert read(store_dir, "keys.bin") == b"a"
    assert read(store_dir, "vals.bin") == b"xy"
    offsets = read(store_dir, "offsets.bin")
    assert len(offsets) == NEW_OFFSETS_SIZE
    assert offsets[:24] == offset_entry(0, 1, 0, 2)
    assert offsets.count(0, 24) == NEW_OFFSETS_SIZE - 24


def test_rewrite_keeps_both_copies_in_the_files(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("key", b"old")
    store.set_bytes("key", b"newer")
    assert read(store_dir, "keys.bin") == b"keykey"
    assert read(store_dir, "vals.bin") == b"oldnewer"
    offsets = read(store_dir, "offsets.bin")
    assert read_entry(offsets, 0) == (0, 3, 0, 3)
    assert read_entry(offsets, 1) == (3, 3, 3, 5)
    assert store.len() == 1
    store.clear_cache()
    assert store.get_bytes("key") == b"newer"


def test_delete_touches_no_record_file(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    before = {n: read(store_dir, n) for n in ("keys.bin", "vals.bin", "offsets.bin")}
    assert store.delete("a") is True
    assert {n: read(store_dir, n) for n in before} == before


def test_empty_key_and_empty_value_records(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("", b"x")
    store.set_bytes("e", b"")
    store.set_bytes("f", b"yz")
    offsets = read(store_dir, "offsets.bin")
    assert read_entry(offsets, 0) == (0, 0, 0, 1)
    assert read_entry(offsets, 1) == (0, 1, 1, 0)
    assert read_entry(offsets, 2) == (1, 1, 1, 2)
    assert read(store_dir, "keys.bin") == b"ef"
    assert read(store_dir, "vals.bin") == b"xyz"
    for _ in range(2):
        assert store.get_bytes("") == b"x"
        assert store.get_bytes("e") == b""
        assert store.get_bytes("f") == b"yz"
        store.clear_cache()
    assert store.keys() == ["", "e", "f"]


def test_offsets_file_doubles_when_record_100000_is_appended(
    open_store: OpenStore, store_dir: Path
) -> None:
    store = open_store(cache_size=1)
    for i in range(100_000):
        store.set_bytes(f"{i:06d}", b"v")
    # Records 0 to 99,999 fill the initial slots exactly.
    assert size(store_dir, "offsets.bin") == NEW_OFFSETS_SIZE
    store.set_bytes("grow", b"")
    assert size(store_dir, "offsets.bin") == 2 * NEW_OFFSETS_SIZE
    offsets = read(store_dir, "offsets.bin")
    assert read_entry(offsets, 99_999) == (599_994, 6, 99_999, 1)
    assert read_entry(offsets, 100_000) == (600_000, 4, 100_000, 0)
    assert offsets.count(0, 100_001 * 24) == 2 * NEW_OFFSETS_SIZE - 100_001 * 24
    store.clear_cache()
    assert store.get_bytes("000000") == b"v"
    assert store.get_bytes("099999") == b"v"
    assert store.get_bytes("grow") == b""
    store.set_bytes("000000", b"w")
    assert store.get_bytes("000000") == b"w"
    assert store.len() == 100_001


def test_used_up_record_ids_refuse_writes(tmp_path: Path) -> None:
    # A snapshot whose next_id is the largest 32-bit value: a write would
    # make next_id wrap, so it is refused with an ordinary exception before
    # anything is logged or written.
    d = tmp_path / "s"
    d.mkdir()
    (d / "snapshot.bin").write_bytes(snapshot_bytes({}, [], [], 0xFFFFFFFF, 0, 0))
    store = Marrow(str(d))
    assert store.len() == 0
    with pytest.raises(Exception) as info:
        store.set_bytes("k", b"v")
    assert "PanicException" not in type(info.value).__name__
    assert store.len() == 0
    assert store.get_bytes("k") is None
    assert store.delete("k") is False
    del store
    assert read(d, "wal.bin") == wal_delete("k")
    assert size(d, "keys.bin") == 0
    assert size(d, "vals.bin") == 0
    assert Marrow(str(d)).len() == 0
