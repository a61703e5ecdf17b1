"""marrow.Store: CPython's mapping conformance tests, and what is the store's own."""

from __future__ import annotations

import ast
import pickle
import random
import sys
import threading
import time
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Iterable, List, Optional, Sequence, Tuple

import pytest
from test import mapping_tests  # type: ignore[import-not-found]

import marrow
from marrow import Marrow, Store


class Encoded(Store):
    """A Store whose keys and values may be of any type, so that the tests'
    keys and values go through: keys as their repr, values pickled, on the
    native methods. Everything the Store does on top is its own code."""

    __slots__ = ()

    def __getitem__(self, key: Any) -> Any:
        return pickle.loads(super().__getitem__(repr(key)))

    def get(self, key: Any, default: Any = None) -> Any:
        return self[key] if key in self else default

    def __setitem__(self, key: Any, val: Any) -> None:
        super().__setitem__(repr(key), pickle.dumps(val))

    def __delitem__(self, key: Any) -> None:
        super().__delitem__(repr(key))

    def __contains__(self, key: object) -> bool:
        return super().__contains__(repr(key))

    def __iter__(self) -> Any:
        return (ast.literal_eval(k) for k in self.raw.keys())

    def set_many(self, items: Iterable[Tuple[Any, Any]]) -> None:
        super().set_many((repr(k), pickle.dumps(v)) for k, v in items)

    def get_many(self, keys: Iterable[Any]) -> Any:
        return [(k, self.get(k)) for k in keys]


class StoreConformance(mapping_tests.TestMappingProtocol):  # type: ignore[misc]
    def _empty_mapping(self) -> Store:
        return Encoded(tempfile.mkdtemp(dir=self.base))

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
    store["mv"] = memoryview(b"-xy-")[1:3]
    expected["mv"] = b"xy"
    assert list(store.items()) == list(expected.items())
    assert list(store.values()) == list(expected.values()) and all(type(v) is bytes for v in store.values())
    assert store.get_many(k for k in ["mv", "none"]) == [("mv", b"xy"), ("none", None)]
    with pytest.raises(TypeError, match="PyString"):
        1 in store  # type: ignore[comparison-overlap]  # noqa: B015


def test_context_and_close(tmp_path: Path) -> None:
    path = tmp_path / "s"
    with pytest.raises(RuntimeError):
        with marrow.open(path) as store:
            store["k"] = b"v"
            raise RuntimeError("no persist on an error, only the close")
    assert store.closed and not (path / "snapshot.bin").exists() and (path / "wal.bin").stat().st_size > 0
    with marrow.open(path, readonly=True) as reader:  # a reader's block ends without a persist, which would raise
        assert dict(reader) == {"k": b"v"}
    assert reader.closed and not (path / "snapshot.bin").exists()
    with marrow.open(path, cache_size=3) as store:
        assert (store.path, store.cache_stats(), dict(store)) == (str(path), (1, 3), {"k": b"v"})
        store["j"] = b"w"
    assert (path / "snapshot.bin").exists() and (path / "wal.bin").stat().st_size == 0
    store.close()
    assert "closed" in repr(store)
    for op in (lambda: store["k"], lambda: store.get("k"), lambda: "k" in store, lambda: len(store), lambda: store.update(k=b"v"), lambda: store.__setitem__("k", b"v"), lambda: store.__delitem__("k"), store.persist, store.vacuum, lambda: store.raw, store.__enter__):
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


def test_threads_end_in_the_models_state(tmp_path: Path) -> None:
    """Threads writing, batching, reading, syncing, persisting and vacuuming
    one store at once, each on keys of its own: the store ends as the
    threads' own calls say, and so does a reopen."""
    store = marrow.open(tmp_path / "s", cache_size=8)
    models: list[dict[str, bytes]] = [{} for _ in range(4)]

    def work(t: int) -> None:
        rng, model = random.Random(t), models[t]
        for _ in range(400):
            key, r = f"t{t}-{rng.randrange(16)}", rng.random()
            if r < 0.4:
                store[key] = model[key] = rng.randbytes(rng.randrange(40))
            elif r < 0.5:
                store.pop(key, None), model.pop(key, None)
            elif r < 0.65:
                with store.batch() as b:
                    b[key], model[key] = b"batched", b"batched"
                    del b[f"t{t}-0"]
                model.pop(f"t{t}-0", None)
            elif r < 0.85:
                assert store.get_many([key]) == [(key, model.get(key))]
            else:
                [store.sync, store.persist, store.vacuum][rng.randrange(3)]()

    with ThreadPoolExecutor(4) as pool:  # a thread's failure is raised here
        list(pool.map(work, range(4)))
    expected = {k: v for model in models for k, v in model.items()}
    assert dict(store.items()) == expected
    store.close()
    assert dict(marrow.open(tmp_path / "s").items()) == expected


@pytest.mark.parametrize("call", ["vacuum", "get_many"])
def test_other_threads_run_during_a_long_call(tmp_path: Path, call: str) -> None:
    """With thread switches left to blocking calls alone, a loop in another
    thread runs while vacuum() or get_many() works only if the call gives up
    the interpreter lock (one that holds it runs to its end first); the
    loop's count is reported."""
    store = marrow.open(tmp_path / "s")
    keys = [f"k{i}" for i in range(200_000)]
    store.set_many((k, b"v" * 20) for k in keys)
    store.clear_cache()
    interval, spins = sys.getswitchinterval(), 0
    sys.setswitchinterval(1000)
    try:
        thread = threading.Thread(target=store.vacuum if call == "vacuum" else lambda: store.get_many(keys))
        thread.start()
        while thread.is_alive():
            spins += 1
            time.sleep(0)
    finally:
        sys.setswitchinterval(interval)
    print(f"a loop in another thread ran {spins} times during {call} of 200,000 records")
    assert spins > 10 and len(store) == 200_000


def test_the_cache_is_bounded_in_bytes(tmp_path: Path) -> None:
    """The mapping's cache keeps at most cache_bytes of values; the raw class's counts entries alone."""
    store, raw = marrow.open(tmp_path / "s", cache_size=5000, cache_bytes=1 << 20), Marrow(str(tmp_path / "r"), 5000)
    for i in range(3000):
        store[f"k{i}"] = b"x" * 1024
        raw.set_bytes(f"k{i}", b"x" * 1024)
    assert (store.cache_stats(), raw.cache_stats()) == ((1024, 5000), (3000, 5000))
