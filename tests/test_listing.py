"""len() and keys(): counts and key order, also across reopens and vacuum."""

from __future__ import annotations

from conftest import OpenStore


def test_keys_follow_the_order_of_the_latest_write(open_store: OpenStore) -> None:
    store = open_store()
    assert store.len() == 0
    assert store.keys() == []
    for k in ["a", "b", "c", "a"]:
        store.set_bytes(k, k.encode())
    assert store.keys() == ["b", "c", "a"]
    assert store.len() == 3
    assert store.delete("b") is True
    assert store.keys() == ["c", "a"]
    assert store.len() == 2
    assert store.delete("b") is False
    assert store.delete("zz") is False
    assert store.keys() == ["c", "a"]
    assert store.len() == 2
    store.vacuum()
    assert store.keys() == ["c", "a"]
    assert store.len() == 2


def test_reopen_from_snapshot_lists_every_live_key(open_store: OpenStore) -> None:
    store = open_store()
    for k in ["a", "", "é", "b"]:
        store.set_bytes(k, b"v")
    store.delete("b")
    store.set_bytes("b", b"w")
    store.persist()
    del store
    store = open_store()
    assert store.len() == 4
    assert store.keys() == ["a", "", "é", "b"]
    store.set_bytes("c", b"x")
    assert store.keys() == ["a", "", "é", "b", "c"]
    store.set_bytes("a", b"y")
    assert store.keys() == ["", "é", "b", "c", "a"]
    store.vacuum()
    assert store.keys() == ["", "é", "b", "c", "a"]
    assert store.len() == 5


def test_reopen_without_persist_lists_replayed_keys(open_store: OpenStore) -> None:
    store = open_store()
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"2")
    store.set_bytes("a", b"3")
    del store
    store = open_store()
    assert store.keys() == ["b", "a"]
    assert store.len() == 2
