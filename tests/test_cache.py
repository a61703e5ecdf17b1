"""The value cache: least-recently-used eviction, write-through, statistics.

Which keys are cached is observed by scribbling over vals.bin behind the
store's back: a cached key still reads its real value, an uncached one reads
the scribbled bytes. Cached keys are probed first, since a hit evicts nothing.
"""

from __future__ import annotations

from pathlib import Path

from conftest import OpenStore, scribble

REAL = {"a": b"AA", "b": b"BB", "c": b"CC", "d": b"DD"}
SCRIBBLED = b"\xee\xee"


def _assert_cached(store, store_dir: Path, cached: list[str], uncached: list[str]) -> None:
    scribble(store_dir)
    for key in cached:
        assert store.get_bytes(key) == REAL[key], f"{key} should be cached"
    for key in uncached:
        assert store.get_bytes(key) == SCRIBBLED, f"{key} should not be cached"


def test_reads_evict_the_least_recently_used(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    for k in "abc":
        store.set_bytes(k, REAL[k])
    store.clear_cache()
    assert store.cache_stats() == (0, 2)
    for k in "abac":
        assert store.get_bytes(k) == REAL[k]
    assert store.cache_stats() == (2, 2)
    _assert_cached(store, store_dir, ["a", "c"], ["b"])


def test_writes_go_through_the_cache(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    for k in "abc":
        store.set_bytes(k, REAL[k])
    assert store.cache_stats() == (2, 2)
    _assert_cached(store, store_dir, ["b", "c"], ["a"])


def test_hit_refreshes_recency_against_writes(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    store.set_bytes("a", REAL["a"])
    store.set_bytes("b", REAL["b"])
    assert store.get_bytes("a") == REAL["a"]
    store.set_bytes("c", REAL["c"])  # evicts b, the least recent
    _assert_cached(store, store_dir, ["a", "c"], ["b"])


def test_overwrite_replaces_in_place_without_eviction(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    store.set_bytes("a", b"old")
    store.set_bytes("b", REAL["b"])
    store.set_bytes("a", REAL["a"])
    assert store.cache_stats() == (2, 2)
    _assert_cached(store, store_dir, ["a", "b"], [])


def test_delete_drops_the_entry(open_store: OpenStore) -> None:
    store = open_store(cache_size=3)
    store.set_bytes("a", b"1")
    store.set_bytes("b", b"2")
    assert store.cache_stats() == (2, 3)
    store.delete("a")
    assert store.cache_stats() == (1, 3)
    store.delete("a")
    store.delete("never")
    assert store.cache_stats() == (1, 3)
    assert store.get_bytes("a") is None
    assert store.cache_stats() == (1, 3)


def test_read_of_absent_key_leaves_cache_unchanged(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    store.set_bytes("a", REAL["a"])
    store.set_bytes("b", REAL["b"])
    assert store.get_bytes("zz") is None
    assert store.get_many(["yy", "zz"]) == [("yy", None), ("zz", None)]
    assert store.cache_stats() == (2, 2)
    _assert_cached(store, store_dir, ["a", "b"], [])


def test_capacity_zero_holds_one_entry(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=0)
    store.set_bytes("a", REAL["a"])
    store.set_bytes("b", REAL["b"])
    assert store.cache_stats() == (1, 0)
    store.clear_cache()
    assert store.cache_stats() == (0, 0)
    assert store.get_bytes("a") == REAL["a"]
    assert store.cache_stats() == (1, 0)
    assert store.get_bytes("b") == REAL["b"]
    assert store.cache_stats() == (1, 0)
    _assert_cached(store, store_dir, ["b"], ["a"])


def test_second_read_is_answered_from_the_cache(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("a", REAL["a"])
    store.set_bytes("e", b"")
    store.clear_cache()
    assert store.get_bytes("a") == REAL["a"]
    assert store.get_bytes("e") == b""
    assert store.cache_stats() == (2, 10000)
    _assert_cached(store, store_dir, ["a"], [])
    assert store.get_bytes("e") == b""


def test_get_many_duplicates_use_the_cache(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    for k in "abc":
        store.set_bytes(k, REAL[k])
    store.clear_cache()
    assert store.get_many(["a", "b", "a", "c"]) == [(k, REAL[k]) for k in "abac"]
    assert store.cache_stats() == (2, 2)
    _assert_cached(store, store_dir, ["a", "c"], ["b"])


def test_clear_cache(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=3)
    assert store.clear_cache() is None
    assert store.cache_stats() == (0, 3)
    store.set_bytes("a", REAL["a"])
    assert store.clear_cache() is None
    assert store.cache_stats() == (0, 3)
    _assert_cached(store, store_dir, [], ["a"])


def test_vacuum_and_persist_and_reopen(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store(cache_size=2)
    for k in "abc":
        store.set_bytes(k, REAL[k])
    store.persist()  # leaves the cache alone
    assert store.cache_stats() == (2, 2)
    assert store.vacuum() is None
    assert store.cache_stats() == (0, 2)
    _assert_cached(store, store_dir, [], ["a"])
    del store
    # A reopen from a snapshot and an empty log starts with an empty cache.
    store = open_store(cache_size=2)
    assert store.cache_stats() == (0, 2)
    store.set_bytes("d", REAL["d"])
    del store
    # The replayed put goes through the cache.
    store = open_store(cache_size=2)
    assert store.cache_stats() == (1, 2)
