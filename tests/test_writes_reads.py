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
    open_store: OpenStore, store_dir: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    store = open_store(cache_size=8)
    store.set_bytes("a", b"x" * 10)
    store.set_bytes("b", b"y" * 10)
    store.clear_cache()
    os.truncate(store_dir / "vals.bin", 15)
    with pytest.raises(BaseException) as info:
        store.get_bytes("b")
    _assert_panic(info.value, "failed to fill whole buffer")
    assert capfd.readouterr().err  # a report precedes the exception
    assert store.cache_stats() == (0, 8)
    with pytest.raises(BaseException) as info:
        store.get_many(["a", "b"])
    _assert_panic(info.value, "failed to fill whole buffer")
    # The lookup of a before the failure keeps its cache entry.
    assert store.cache_stats() == (1, 8)
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


def test_damaged_entries_fail_without_reserving_memory(tmp_path: Path) -> None:
    # Lengths of 4 GiB and an offset past the end in a damaged offsets.bin
    # must not make a read reserve the declared size: the child runs with a
    # 1 GiB address-space limit.
    run_python(
        f"""
        import os, resource, struct
        from marrow import Marrow
        d = {str(tmp_path / "s")!r}
        m = Marrow(d)
        for k in ("a", "b", "c"):
            m.set_bytes(k, b"1")
        m.clear_cache()
        fd = os.open(os.path.join(d, "offsets.bin"), os.O_RDWR)
        os.pwrite(fd, struct.pack("<I", 0xFFFFFFFF), 20)      # val_len of a
        os.pwrite(fd, struct.pack("<I", 0xFFFFFFFF), 24 + 8)  # key_len of b
        os.pwrite(fd, struct.pack("<Q", 1 << 40), 48)         # key_offset of c
        os.close(fd)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        for key in ("a", "b", "c"):
            try:
                got = m.get_bytes(key)
            except BaseException as e:
                assert type(e).__name__ == "PanicException", repr(e)
                assert "failed to fill whole buffer" in str(e), str(e)
            else:
                # A stored key of another length may be told apart unread.
                assert key == "b" and got is None, (key, got)
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


def test_failed_record_write_leaves_the_open_store_consistent(tmp_path: Path) -> None:
    # A file-size limit makes the write of the value to vals.bin fail part
    # way; the key keeps its previous value (or stays absent) in the open
    # store, and the store goes on working once writes succeed again.
    run_python(
        f"""
        import resource, signal
        from marrow import Marrow
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        m = Marrow({str(tmp_path / "s")!r}, 4)
        m.set_bytes("k", b"old")
        m.set_bytes("filler", b"f" * 5000)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (5003 + 50, hard))
        for key in ("k", "new"):
            try:
                m.set_bytes(key, b"n" * 100)
            except BaseException as e:
                assert type(e).__name__ == "PanicException", repr(e)
            else:
                raise AssertionError("write past the file-size limit succeeded")
        for _ in range(2):
            assert m.get_bytes("k") == b"old"
            assert m.get_bytes("new") is None
            assert m.len() == 2
            assert m.keys() == ["k", "filler"]
            m.clear_cache()
        assert m.delete("new") is False
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        m.set_bytes("k", b"fresh")
        m.set_bytes("new", b"n")
        m.clear_cache()
        assert m.get_many(["k", "new", "filler"]) == [
            ("k", b"fresh"), ("new", b"n"), ("filler", b"f" * 5000)]
        assert m.keys() == ["filler", "k", "new"]
        assert m.len() == 3
        assert m.delete("k") is True
        assert m.len() == 2
        """
    )


def test_failed_log_write_leaves_the_open_store_unchanged(tmp_path: Path) -> None:
    # A value larger than the log buffer forces a write-out of wal.bin,
    # which the file-size limit makes fail before the store is changed.
    run_python(
        f"""
        import resource, signal
        from marrow import Marrow
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        m = Marrow({str(tmp_path / "s")!r})
        m.set_bytes("k", b"old")
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
        try:
            m.set_bytes("k", b"n" * 20000)
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            assert str(e).startswith("called `Result::unwrap()` on an `Err` value"), str(e)
        else:
            raise AssertionError("log write past the file-size limit succeeded")
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        m.clear_cache()
        assert m.get_bytes("k") == b"old"
        assert m.len() == 1
        assert m.keys() == ["k"]
        """
    )
