"""marrow.Store: CPython's mapping conformance tests, and what is the store's own."""

from __future__ import annotations

import ast
import pickle
import tempfile
from pathlib import Path
from typing import Any, Iterable, List, Optional, Sequence, Tuple

import pytest
from test import mapping_tests  # type: ignore[import-not-found]

import marrow
from marrow import Marrow, Store


class Encoded:
    """Stands in for the native objects under a Store, so that the tests'
    keys and values of any type go through: keys as their repr, values
    pickled. Everything the Store does on top is its own code."""

    readonly = False

    def __init__(self, path: str) -> None:
        self.raw = Marrow(path)

    def set_many(self, items: Iterable[Tuple[Any, Any]]) -> None:
        self.commit(items)

    def commit(self, ops: Iterable[Tuple[Any, Any]], sync: bool = False) -> None:
        for key, val in ops:
            self.delete(key) if val is None else self.set_bytes(key, val)

    def set_bytes(self, key: Any, val: Any) -> None:
        self.raw.set_bytes(repr(key), pickle.dumps(val))

    def get_bytes(self, key: Any) -> Any:
        found = self.raw.get_bytes(repr(key))
        return None if found is None else pickle.loads(found)

    def delete(self, key: Any) -> bool:
        return self.raw.delete(repr(key))

    def keys(self) -> List[Any]:
        return [ast.literal_eval(k) for k in self.raw.keys()]

    def get_many(self, keys: Sequence[Any]) -> List[Tuple[Any, Any]]:
        return [(k, self.get_bytes(k)) for k in keys]

    def len(self) -> int:
        return self.raw.len()


class StoreConformance(mapping_tests.TestMappingProtocol):  # type: ignore[misc]
    def _empty_mapping(self) -> Store:
        store = marrow.open(tempfile.mkdtemp(dir=self.base))
        store._db = store._core = Encoded(store.path)  # type: ignore[assignment]
        return store

    def setUp(self) -> None:
        self.base = self.enterContext(tempfile.TemporaryDirectory())

    # dict's own constructor, fromkeys() and copy() are not part of a MutableMapping.
    def test_constructor(self) -> None:
        self.assertEqual(self._empty_mapping(), self._empty_mapping())

    def test_fromkeys(self) -> None:
        self.assertFalse(hasattr(Store, "fromkeys") or hasattr(Store, "copy"))

    test_copy = test_fromkeys

    # A stored value is a copy: changing what setdefault() returned changes nothing.
    def test_setdefault(self) -> None:
        d = self._empty_mapping()
        # Values pass through the encoding adapter, which mypy cannot see.
        self.assertIsNone(d.setdefault("key0"))  # type: ignore[call-arg]
        self.assertEqual(d.setdefault("key", [3]), [3])  # type: ignore[arg-type]
        self.assertEqual(d.setdefault("key", []), [3])  # type: ignore[arg-type]

    def test_popitem(self) -> None:
        mapping_tests.BasicTestMappingProtocol.test_popitem(self)
        a = self._empty_mapping()
        a.update((repr(i), i) for i in range(300))
        self.assertEqual(sorted(int(a.popitem()[0]) for _ in range(300)), list(range(300)))
        self.assertRaises(KeyError, a.popitem)


def test_values_and_views(tmp_path: Path) -> None:
    store = marrow.open(tmp_path / "s")
    # More keys than one batch of the views; values of every bytes-like kind.
    expected = {f"k{i}": bytes([i % 256]) * (i % 7) for i in range(2500)}
    store.update(expected)
    store["ba"], store["mv"] = bytearray(b"xy"), memoryview(b"-xy-")[1:3]
    expected.update(ba=b"xy", mv=b"xy")
    assert list(store.items()) == list(expected.items())
    assert list(store.values()) == list(expected.values()) and all(type(v) is bytes for v in store.values())
    assert store.get_many(k for k in ["mv", "none"]) == [("mv", b"xy"), ("none", None)]
    with pytest.raises(KeyError) as info:
        store["none"]
    assert info.value.args == ("none",)
    with pytest.raises(TypeError, match="PyString"):
        1 in store  # type: ignore[comparison-overlap]  # noqa: B015
    store.clear()
    assert len(store) == 0 and store.raw.keys() == []


def test_context_and_close(tmp_path: Path) -> None:
    path = tmp_path / "s"
    with pytest.raises(RuntimeError):
        with marrow.open(path) as store:
            store["k"] = b"v"
            raise RuntimeError("no persist on an error, only the close")
    assert store.closed and not (path / "snapshot.bin").exists() and (path / "wal.bin").stat().st_size > 0
    with marrow.open(path, cache_size=3) as store:
        assert (store.path, store.cache_stats(), dict(store)) == (str(path), (1, 3), {"k": b"v"})
        store["j"] = b"w"
    assert (path / "snapshot.bin").exists() and (path / "wal.bin").stat().st_size == 0
    store.close()
    assert "closed" in repr(store)
    for op in (lambda: store["k"], lambda: len(store), store.persist, store.vacuum, lambda: store.raw, store.__enter__):
        with pytest.raises(ValueError, match=f"^operation on a closed marrow store: {path}$"):
            op()
    with pytest.raises(TypeError):
        marrow.open(bytes(path))  # type: ignore[arg-type]


def test_a_failing_persist_at_the_end_of_a_with_block(tmp_path: Path) -> None:
    path = tmp_path / "s"
    (path / "snapshot.bin.tmp").mkdir(parents=True)  # persist cannot write its snapshot
    kept: Optional[Store] = None
    with pytest.raises(OSError) as info:
        with marrow.open(path) as kept:
            kept["k"] = b"v"
    assert type(info.value) is OSError and info.value.args == ("Is a directory (os error 21)",)
    assert kept is not None and kept.closed and not (path / "snapshot.bin").exists()
    (path / "snapshot.bin.tmp").rmdir()
    with marrow.open(path) as store:
        assert dict(store) == {"k": b"v"}
