"""marrow.open() and marrow.Store: the MutableMapping over one store."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from collections.abc import MutableMapping
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Mapping, Tuple

import pytest

import marrow
from marrow import Marrow, Store

# CPython's own mapping conformance tests. They ship with the interpreter
# (the "test" package); a stripped interpreter lacks them.
mapping_tests: Any
try:
    from test import mapping_tests as _mapping_tests  # type: ignore[import-not-found]
except ImportError:  # pragma: no cover - depends on the interpreter build
    mapping_tests = None
else:
    mapping_tests = _mapping_tests


def run_child(code: str, check: bool = True) -> subprocess.CompletedProcess[str]:
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


class _TempStores:
    """Hands out stores in fresh temporary directories; closes them all."""

    def __init__(self) -> None:
        self.base = tempfile.mkdtemp(prefix="marrow-mapping-")
        self.stores: List[Store] = []

    def new(self) -> Store:
        store = marrow.open(os.path.join(self.base, str(len(self.stores))))
        self.stores.append(store)
        return store

    def cleanup(self) -> None:
        for store in self.stores:
            store.close()
        shutil.rmtree(self.base, ignore_errors=True)


# ---------------------------------------------------------------------------
# CPython's conformance tests, with str keys and bytes values.
# ---------------------------------------------------------------------------

if mapping_tests is not None:

    class StoreBasicMappingProtocol(mapping_tests.BasicTestMappingProtocol):  # type: ignore[misc]
        """The read and write protocol of any mapping."""

        def _reference(self) -> Dict[str, bytes]:
            return {"1": b"2", "key1": b"value1", "key2": bytes([1, 2, 3])}

        def _empty_mapping(self) -> Store:
            return self._stores.new()

        def setUp(self) -> None:
            self._stores = _TempStores()
            self.addCleanup(self._stores.cleanup)

        def test_update(self) -> None:
            # The base test feeds str values to the mapping through objects
            # whose __getitem__ returns the key; a store rejects str values
            # before the exception the test expects, so those cases get
            # bytes-returning twins here. Everything else is the base test.
            ref = self.reference

            class Exc(Exception):
                pass

            class FailingKeys:
                def keys(self) -> Any:
                    raise Exc

            class FailingSecondKey:
                def keys(self) -> Any:
                    def gen() -> Any:
                        yield "a"
                        raise Exc

                    return gen()

                def __getitem__(self, key: str) -> bytes:
                    return key.encode()

            class FailingGetitem:
                def keys(self) -> List[str]:
                    return [chr(c) for c in range(ord("a"), ord("z") + 1)]

                def __getitem__(self, key: str) -> bytes:
                    raise Exc

            class BadSeq:
                def __iter__(self) -> "BadSeq":
                    return self

                def __next__(self) -> Any:
                    raise Exc()

            class SimpleUserDict:
                def keys(self) -> Any:
                    return ref.keys()

                def __getitem__(self, key: str) -> bytes:
                    return ref[key]  # type: ignore[no-any-return]

            d = self._empty_mapping()
            d.update(self.other)
            self.assertEqual(list(d.items()), list(self.other.items()))
            d = self._empty_mapping()
            d.update()
            self.assertEqual(d, self._empty_mapping())
            d = self._empty_mapping()
            d.update(self.other.items())
            self.assertEqual(list(d.items()), list(self.other.items()))
            self.assertRaises((TypeError, AttributeError), d.update, 42)
            d.clear()
            d.update(SimpleUserDict())
            self.assertEqual(sorted(d.items()), sorted(ref.items()))
            d = self._empty_mapping()
            self.assertRaises(Exc, d.update, FailingKeys())
            d.clear()
            self.assertRaises(Exc, d.update, FailingSecondKey())
            self.assertRaises(Exc, d.update, FailingGetitem())
            d = self._empty_mapping()
            self.assertRaises(Exc, d.update, BadSeq())
            self.assertRaises(ValueError, d.update, [(1, 2, 3)])

    class StoreMappingProtocol(StoreBasicMappingProtocol, mapping_tests.TestMappingProtocol):  # type: ignore[misc]
        """The fuller protocol of dict-like mappings.

        The base tests spell their data as small ints and str; here each
        test that does runs with the same shapes in str keys and bytes
        values. fromkeys(), copy() and the keyword constructor belong to
        dict itself, not to MutableMapping, and a store has none of them.
        """

        def _full(self, data: Mapping[str, bytes]) -> Store:
            return self._full_mapping(data)  # type: ignore[no-any-return]

        def test_constructor(self) -> None:
            self.assertEqual(self._empty_mapping(), self._empty_mapping())
            self.assertIsNot(self._empty_mapping(), self._empty_mapping())

        def test_fromkeys(self) -> None:
            self.assertFalse(hasattr(Store, "fromkeys"))

        def test_copy(self) -> None:
            self.assertFalse(hasattr(Store, "copy"))

        def test_bool(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_bool(self)
            self.assertIs(bool(self._empty_mapping()), False)
            self.assertIs(bool(self._full({"x": b"y"})), True)

        def test_keys(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_keys(self)
            self.assertEqual(list(self._empty_mapping().keys()), [])
            k = self._full({"a": b"1", "b": b"2"}).keys()
            self.assertIn("a", k)
            self.assertIn("b", k)
            self.assertNotIn("c", k)

        def test_values(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_values(self)
            self.assertEqual(list(self._full({"1": b"2"}).values()), [b"2"])

        def test_items(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_items(self)
            self.assertEqual(list(self._full({"1": b"2"}).items()), [("1", b"2")])

        def test_contains(self) -> None:
            d = self._empty_mapping()
            self.assertNotIn("a", d)
            d = self._full({"a": b"1", "b": b"2"})
            self.assertIn("a", d)
            self.assertIn("b", d)
            self.assertNotIn("c", d)
            self.assertRaises(TypeError, d.__contains__)

        def test_len(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_len(self)
            self.assertEqual(len(self._full({"a": b"1", "b": b"2"})), 2)

        def test_getitem(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_getitem(self)
            d = self._full({"a": b"1", "b": b"2"})
            self.assertEqual(d["a"], b"1")
            self.assertEqual(d["b"], b"2")
            d["c"] = b"3"
            d["a"] = b"4"
            self.assertEqual(d["c"], b"3")
            self.assertEqual(d["a"], b"4")
            del d["b"]
            self.assertEqual(d, {"a": b"4", "c": b"3"})
            self.assertRaises(TypeError, d.__getitem__)

        def test_clear(self) -> None:
            d = self._full({"1": b"1", "2": b"2", "3": b"3"})
            d.clear()
            self.assertEqual(d, {})
            self.assertRaises(TypeError, d.clear, None)

        def test_update(self) -> None:
            StoreBasicMappingProtocol.test_update(self)
            d = self._empty_mapping()
            d.update({"1": b"100"})
            d.update({"2": b"20"})
            d.update({"1": b"1", "2": b"2", "3": b"3"})
            self.assertEqual(d, {"1": b"1", "2": b"2", "3": b"3"})
            d.update()
            self.assertEqual(d, {"1": b"1", "2": b"2", "3": b"3"})
            d = self._empty_mapping()
            d.update(x=b"100")
            d.update(y=b"20")
            d.update(x=b"1", y=b"2", z=b"3")
            self.assertEqual(d, {"x": b"1", "y": b"2", "z": b"3"})
            d = self._empty_mapping()
            d.update([("x", b"100"), ("y", b"20")])
            self.assertEqual(d, {"x": b"100", "y": b"20"})
            d = self._empty_mapping()
            d.update([("x", b"100"), ("y", b"20")], x=b"1", y=b"2")
            self.assertEqual(d, {"x": b"1", "y": b"2"})
            d = self._full({"1": b"3", "2": b"4"})
            d.update(self._full({"1": b"2", "3": b"4", "5": b"6"}).items())
            self.assertEqual(d, {"1": b"2", "2": b"4", "3": b"4", "5": b"6"})

        def test_get(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_get(self)
            d = self._empty_mapping()
            self.assertIsNone(d.get("c"))
            self.assertEqual(d.get("c", 3), 3)
            d = self._full({"a": b"1", "b": b"2"})
            self.assertIsNone(d.get("c"))
            self.assertEqual(d.get("c", 3), 3)
            self.assertEqual(d.get("a"), b"1")
            self.assertEqual(d.get("a", 3), b"1")

        def test_setdefault(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_setdefault(self)
            d = self._empty_mapping()
            self.assertEqual(d.setdefault("key0", b""), b"")
            self.assertEqual(d.setdefault("key0", b"other"), b"")
            self.assertEqual(d.setdefault("key", b"3"), b"3")
            self.assertEqual(d["key"], b"3")
            # None is no value: the store's own TypeError, nothing stored.
            self.assertRaises(TypeError, d.setdefault, "none")
            self.assertNotIn("none", d)

        def test_popitem(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_popitem(self)
            for log2size in range(12):
                size = 2**log2size
                a = self._empty_mapping()
                for i in range(size):
                    a[repr(i)] = repr(i).encode()
                for i in range(size):
                    ka, va = a.popitem()
                    self.assertEqual(va, ka.encode())
                self.assertFalse(a)

        def test_pop(self) -> None:
            mapping_tests.BasicTestMappingProtocol.test_pop(self)
            d = self._empty_mapping()
            k, v = "abc", b"def"
            self.assertEqual(d.pop(k, v), v)
            d[k] = v
            self.assertEqual(d.pop(k, 1), v)


def test_conformance_suite_is_available() -> None:
    """The interpreter used here must ship CPython's conformance tests."""
    assert mapping_tests is not None, (
        "this interpreter lacks CPython's test package (test.mapping_tests); "
        "use a full CPython build (for Debian's python3.11: apt-get install libpython3.11-testsuite)"
    )


# ---------------------------------------------------------------------------
# The store's own behaviour.
# ---------------------------------------------------------------------------


@pytest.fixture
def store(tmp_path: Path) -> Iterator[Store]:
    s = marrow.open(tmp_path / "store")
    yield s
    s.close()


def test_open_creates_the_directory_and_accepts_path_like(tmp_path: Path) -> None:
    target = tmp_path / "a" / "b"
    with marrow.open(target, cache_size=3) as s:
        assert isinstance(s, Store)
        assert s.path == str(target)
        assert s.cache_stats() == (0, 3)
    assert (target / "keys.bin").is_file()
    with pytest.raises(TypeError):
        marrow.open(os.fsencode(target))  # type: ignore[arg-type]


def test_values_are_bytes_whatever_was_stored(store: Store) -> None:
    store["b"] = b"xy"
    store["ba"] = bytearray(b"xy")
    store["mv"] = memoryview(b"--xy--")[2:4]
    store["empty"] = b""
    for key in ("b", "ba", "mv"):
        assert store[key] == b"xy"
        assert type(store[key]) is bytes
    assert store["empty"] == b""
    assert all(type(v) is bytes for v in store.values())
    assert all(type(v) is bytes for _, v in store.items())
    assert dict(store) == {"b": b"xy", "ba": b"xy", "mv": b"xy", "empty": b""}


def test_absent_keys(store: Store) -> None:
    store["here"] = b"1"
    with pytest.raises(KeyError) as info:
        store["gone"]
    assert info.value.args == ("gone",)
    with pytest.raises(KeyError):
        del store["gone"]
    assert "gone" not in store
    assert store.get("gone") is None
    assert store.get("gone", b"d") == b"d"
    del store["here"]
    with pytest.raises(KeyError):
        del store["here"]
    assert len(store) == 0


def test_wrong_types_raise_what_the_raw_class_raises(store: Store, tmp_path: Path) -> None:
    # Typed as Any: these calls break the annotations on purpose.
    ours: Any = store
    raw: Any = Marrow(str(tmp_path / "raw"))
    cases: List[Tuple[Callable[[], object], Callable[[], object]]] = [
        (lambda: ours.__setitem__(1, b"x"), lambda: raw.set_bytes(1, b"x")),
        (lambda: ours.__setitem__("k", "text"), lambda: raw.set_bytes("k", "text")),
        (lambda: ours.__setitem__("k", 7), lambda: raw.set_bytes("k", 7)),
        (lambda: ours.__setitem__("k", [1, 256]), lambda: raw.set_bytes("k", [1, 256])),
        (lambda: ours.__setitem__("k", None), lambda: raw.set_bytes("k", None)),
        (lambda: ours[1], lambda: raw.get_bytes(1)),
        (lambda: ours.__delitem__(None), lambda: raw.delete(None)),
        (lambda: ours["\udcff"], lambda: raw.get_bytes("\udcff")),
        (lambda: 1 in ours, lambda: raw.get_bytes(1)),
        (lambda: ours.get_many("abc"), lambda: raw.get_many("abc")),
        (lambda: ours.get_many([1]), lambda: raw.get_many([1])),
    ]
    for call_ours, call_raw in cases:
        with pytest.raises(BaseException) as expected:
            call_raw()
        with pytest.raises(type(expected.value)) as got:
            call_ours()
        assert str(got.value) == str(expected.value)
    assert len(store) == 0 and raw.len() == 0


def test_iteration_follows_record_order_and_tolerates_changes(store: Store) -> None:
    for key in ("a", "b", "c"):
        store[key] = key.encode()
    store["a"] = b"again"  # a rewritten key moves to the end
    assert list(store) == ["b", "c", "a"]
    assert list(store.keys()) == ["b", "c", "a"]
    assert list(store.items()) == [("b", b"b"), ("c", b"c"), ("a", b"again")]
    for key in store:  # changing the store while iterating is allowed
        del store[key]
        store[key + key] = b"x"
    assert sorted(store) == ["aa", "bb", "cc"]


def test_views_read_in_batches(store: Store) -> None:
    expected = {f"k{i}": os.urandom(i % 50) for i in range(3000)}
    store.update(expected)
    assert dict(store.items()) == expected
    assert list(store.values()) == list(expected.values())
    assert store == expected
    items = iter(store.items())
    first = next(items)
    del store["k2999"]  # deleted after the listing: no longer shown
    assert [first, *items] == [(k, v) for k, v in expected.items() if k != "k2999"]
    store.clear()
    assert len(store) == 0 and list(store) == []


def test_get_many_and_the_store_methods(store: Store) -> None:
    store.update(a=b"1", b=b"2")
    assert store.get_many(["a", "x", "b"]) == [("a", b"1"), ("x", None), ("b", b"2")]
    assert store.get_many(("b",)) == [("b", b"2")]
    assert store.get_many(k for k in "ab") == [("a", b"1"), ("b", b"2")]
    assert store.get_many([]) == []
    assert store.cache_stats() == (2, 10000)
    store.clear_cache()
    assert store.cache_stats() == (0, 10000)
    store["a"] = b"3"
    store.vacuum()
    store.persist()
    assert dict(store) == {"b": b"2", "a": b"3"}
    assert isinstance(store.raw, Marrow)


def test_context_manager_persists_on_clean_exit(tmp_path: Path) -> None:
    path = tmp_path / "s"
    with marrow.open(path) as s:
        s["k"] = b"v"
    assert s.closed
    assert (path / "snapshot.bin").exists()
    assert (path / "wal.bin").stat().st_size == 0
    # Another process can open it now and sees the contents.
    run_child(f"import marrow; s = marrow.open({str(path)!r}); assert dict(s) == {{'k': b'v'}}")


def test_context_manager_closes_without_persisting_on_error(tmp_path: Path) -> None:
    path = tmp_path / "s"
    with pytest.raises(RuntimeError):
        with marrow.open(path) as s:
            s["k"] = b"v"
            raise RuntimeError("boom")
    assert s.closed
    assert not (path / "snapshot.bin").exists()
    # The log was written out at close: the write survives all the same.
    assert (path / "wal.bin").stat().st_size > 0
    run_child(f"import marrow; s = marrow.open({str(path)!r}); assert dict(s) == {{'k': b'v'}}")


def test_closed_store_refuses_every_operation(tmp_path: Path) -> None:
    path = tmp_path / "s"
    s = marrow.open(path)
    s["k"] = b"v"
    s.close()
    s.close()  # twice is fine
    assert s.closed
    assert "closed" in repr(s)
    operations = [
        lambda: s["k"],
        lambda: s.__setitem__("k", b"v"),
        lambda: s.__delitem__("k"),
        lambda: "k" in s,
        lambda: len(s),
        lambda: list(s),
        lambda: list(s.values()),
        lambda: s.get("k"),
        lambda: s.get_many(["k"]),
        lambda: s.update(a=b"1"),
        lambda: s.clear(),
        s.persist,
        s.vacuum,
        s.cache_stats,
        s.clear_cache,
        lambda: s.raw,
        s.__enter__,
    ]
    for op in operations:
        with pytest.raises(ValueError, match=f"^operation on a closed marrow store: {path}$"):
            op()
    # Closing released the directory: another process can open it.
    run_child(f"import marrow; s = marrow.open({str(path)!r}); assert s['k'] == b'v'")


def test_store_held_by_another_process(tmp_path: Path) -> None:
    path = tmp_path / "s"
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            f"import marrow, sys; s = marrow.open({str(path)!r}); print('open', flush=True); sys.stdin.read()",
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "open\n"
        with pytest.raises(BlockingIOError):
            marrow.open(path)
    finally:
        holder.communicate("")
    with marrow.open(path) as s:
        assert len(s) == 0


def test_reopen_in_one_process_sees_earlier_writes(tmp_path: Path) -> None:
    path = tmp_path / "s"
    first = marrow.open(path)
    first["k"] = b"v"
    second = marrow.open(path)  # opened while the first is alive
    first.close()
    assert second["k"] == b"v"
    second.close()


def test_package_exports() -> None:
    assert {"Marrow", "Store", "open"} <= set(marrow.__all__)
    assert isinstance(marrow.__version__, str)
    assert issubclass(Store, MutableMapping)


if __name__ == "__main__":  # pragma: no cover
    unittest.main()
