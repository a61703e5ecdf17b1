"""set_bytes, delete, get_bytes and get_many as seen from Python."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from conftest import PANIC_PREFIX, OpenStore, read, run_python, size, wal_put


def _assert_panic(err: BaseException, text: str) -> None:
    assert type(err).__name__ == "PanicException"
    assert type(err).__module__ == "pyo3_runtime"
    assert not isinstance(err, Exception)
    assert str(err).startswith(PANIC_PREFIX)
    assert text in str(err)


def test_set_get_overwrite_delete(open_store: OpenStore) -> None:
    store = open_store()
    assert store.get_bytes("a") is None
    assert store.set_bytes("a", b"1") is None
    assert store.get_bytes("a") == b"1"
    store.set_bytes("a", b"2")
    assert store.get_bytes("a") == b"2"
    store.set_bytes("b", b"3")
    assert store.len() == 2
    assert store.delete("a") is True
    assert store.get_bytes("a") is None
    assert store.len() == 1
    assert store.delete("a") is False
    assert store.len() == 1
    store.clear_cache()
    assert store.get_bytes("a") is None
    assert store.get_bytes("b") == b"3"


def test_empty_key_and_empty_value_are_present(open_store: OpenStore) -> None:
    store = open_store()
    store.set_bytes("", b"x")
    store.set_bytes("empty", b"")
    for _ in range(2):
        assert store.get_bytes("") == b"x"
        assert store.get_bytes("empty") == b""
        assert store.get_many(["empty", ""]) == [("empty", b""), ("", b"x")]
        store.clear_cache()
    assert store.delete("") is True
    assert store.get_bytes("") is None


def test_get_many_keeps_order_and_duplicates(open_store: OpenStore) -> None:
    store = open_store()
    store.set_bytes("a", b"A")
    assert store.get_many([]) == []
    for _ in range(2):
        assert store.get_many(["a", "b", "a"]) == [("a", b"A"), ("b", None), ("a", b"A")]
        store.clear_cache()
    assert store.get_many(("a",)) == [("a", b"A")]
    result = store.get_many(["b", "a"])
    assert isinstance(result, list)
    assert all(type(pair) is tuple and type(pair[0]) is str for pair in result)


def test_get_many_with_a_bad_item_reads_nothing(open_store: OpenStore) -> None:
    store = open_store(cache_size=4)
    store.set_bytes("a", b"A")
    store.clear_cache()
    with pytest.raises(TypeError):
        store.get_many(["a", 1])  # type: ignore[list-item]
    assert store.cache_stats() == (0, 4)


def test_non_ascii_keys_are_distinct(open_store: OpenStore) -> None:
    store = open_store()
    keys = ["é", "e\u0301", "日本", "\U0001f600", "a\0b", "a"]
    for i, k in enumerate(keys):
        store.set_bytes(k, bytes([i]))
    store.clear_cache()
    assert store.get_many(keys) == [(k, bytes([i])) for i, k in enumerate(keys)]
    assert store.keys() == keys


def test_truncated_values_file_panics_and_store_stays_usable(
    open_store: OpenStore, store_dir: Path
) -> None:
    store = open_store(cache_size=8)
    store.set_bytes("a", b"x" * 10)
    store.set_bytes("b", b"y" * 10)
    store.clear_cache()
    os.truncate(store_dir / "vals.bin", 15)
    with pytest.raises(BaseException) as info:
        store.get_bytes("b")
    _assert_panic(info.value, "failed to fill whole buffer")
    assert store.cache_stats() == (0, 8)
    with pytest.raises(BaseException) as info:
        store.get_many(["a", "b"])
    _assert_panic(info.value, "failed to fill whole buffer")
    # The store goes on working after the failure.
    assert store.get_bytes("a") == b"x" * 10
    store.set_bytes("c", b"z")
    store.clear_cache()
    assert store.get_bytes("c") == b"z"
    assert store.len() == 3


def test_truncated_keys_file_panics(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("aaaa", b"1")
    store.clear_cache()
    os.truncate(store_dir / "keys.bin", 2)
    with pytest.raises(BaseException) as info:
        store.get_bytes("aaaa")
    _assert_panic(info.value, "failed to fill whole buffer")


def test_damaged_entry_lengths_do_not_reserve_memory(tmp_path: Path) -> None:
    # A 4 GiB key or value length in a damaged offsets.bin must fail the read
    # without reserving the declared size: the child runs with a 1 GiB
    # address-space limit.
    run_python(
        f"""
        import os, resource, struct
        from marrow import Marrow
        d = {str(tmp_path / "s")!r}
        m = Marrow(d)
        m.set_bytes("a", b"1")
        m.set_bytes("b", b"2")
        m.clear_cache()
        fd = os.open(os.path.join(d, "offsets.bin"), os.O_RDWR)
        os.pwrite(fd, struct.pack("<I", 0xFFFFFFFF), 20)       # val_len of a
        os.pwrite(fd, struct.pack("<I", 0xFFFFFFFF), 24 + 8)   # key_len of b
        os.close(fd)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        for key in ("a", "b"):
            try:
                m.get_bytes(key)
            except BaseException as e:
                assert type(e).__name__ == "PanicException", repr(e)
                assert "failed to fill whole buffer" in str(e), str(e)
            else:
                raise AssertionError("read of a damaged record succeeded")
        """
    )


def _available_memory() -> int:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


@pytest.mark.skipif(_available_memory() < 12 << 30, reason="needs about 8 GiB of free memory")
def test_value_of_four_gib_is_refused_before_logging(open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("small", b"1")
    huge = bytes(1 << 32)  # zero pages: cheap to make
    with pytest.raises(ValueError):
        store.set_bytes("big", huge)
    del huge
    assert store.len() == 1
    assert store.get_bytes("big") is None
    assert size(store_dir, "keys.bin") == 5
    assert size(store_dir, "vals.bin") == 1
    del store
    assert read(store_dir, "wal.bin") == wal_put("small", b"1")
