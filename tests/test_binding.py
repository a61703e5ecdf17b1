"""The native module's face: the type, argument binding and conversion, and
the exception forms that reach Python. Refused calls must change nothing."""

from __future__ import annotations

import array
import gc
import os
from pathlib import Path
from typing import Any, Callable, Optional

import pytest

from conftest import wal
from marrow import Marrow, _marrow

METHODS = ("set_bytes($self, key, val) get_bytes($self, key) delete($self, key) persist($self) vacuum($self) len($self) keys($self) "
           "cache_stats($self) clear_cache($self) get_many($self, keys)")


def test_module_and_type() -> None:
    assert _marrow.__all__ == ["Marrow"] and {n for n in vars(_marrow) if not n.startswith("__")} == {"Marrow"}
    assert (Marrow.__module__, Marrow.__qualname__, Marrow.__base__) == ("builtins", "Marrow", object)
    assert Marrow.__text_signature__ == "(storage_path, cache_size=...)"  # type: ignore[attr-defined]
    assert " ".join(n + getattr(Marrow, n).__text_signature__ for n in vars(Marrow) if not n.startswith("__")) == METHODS
    assert not hasattr(Marrow, "__len__")
    assert _marrow.__file__ is not None and _marrow.__file__.endswith(".abi3.so")


class Faulty:
    """A sequence whose second item raises; its length is only a hint."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __len__(self) -> int:
        raise RuntimeError("no length")

    def __getitem__(self, index: int) -> int:
        if index:
            raise self.error
        return 1


CHAINED = TypeError("boom")
CHAINED.__cause__ = KeyError("root")
NEW = "Marrow.__new__() "
SET = "Marrow.set_bytes() "
CONVERT = "'{}' object cannot be converted to '{}'"
OUT_OF_RANGE = "out of range integral type conversion attempted"

# (call on a fresh store or on its path, exception class, exact message or None)
ERRORS: list[tuple[Callable[[Marrow, str], Any], type[BaseException], Optional[str]]] = [
    (lambda db, p: Marrow(), TypeError, NEW + "missing 1 required positional argument: 'storage_path'"),
    (lambda db, p: Marrow(p, 1, 2), TypeError, NEW + "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda db, p: Marrow(p, size=3), TypeError, NEW + "got an unexpected keyword argument 'size'"),
    (lambda db, p: Marrow(p, storage_path=p), TypeError, NEW + "got multiple values for argument 'storage_path'"),
    (lambda db, p: Marrow(Path(p)), TypeError, "argument 'storage_path': " + CONVERT.format("PosixPath", "PyString")),
    (lambda db, p: Marrow(p, None), TypeError, "argument 'cache_size': 'NoneType' object cannot be interpreted as an integer"),
    (lambda db, p: Marrow(p, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda db, p: Marrow(p, 2**64), OverflowError, "int too big to convert"),
    (lambda db, p: Marrow(p + "\0x"), OSError, "file name contained an unexpected NUL byte"),
    (lambda db, p: Marrow(p + "\udcff"), UnicodeEncodeError, None),
    (lambda db, p: Marrow("store/wal.bin"), FileExistsError, "File exists (os error 17)"),
    (lambda db, p: Marrow("store/wal.bin/sub"), FileExistsError, "File exists (os error 17)"),
    (lambda db, p: Marrow(p, 2**64 - 1), MemoryError, "cannot reserve a value cache of 18446744073709551615 entries"),
    (lambda db, p: db.set_bytes(), TypeError, SET + "missing 2 required positional arguments: 'key' and 'val'"),
    (lambda db, p: db.set_bytes("k"), TypeError, SET + "missing 1 required positional argument: 'val'"),
    (lambda db, p: db.set_bytes(val=b""), TypeError, SET + "missing 1 required positional argument: 'key'"),
    (lambda db, p: db.set_bytes(1, 2, 3, bogus=1), TypeError, SET + "takes 2 positional arguments but 3 were given"),
    (lambda db, p: db.set_bytes(1, zz=1, key=2), TypeError, SET + "got an unexpected keyword argument 'zz'"),
    (lambda db, p: db.get_many([], keys=[]), TypeError, "Marrow.get_many() got multiple values for argument 'keys'"),
    (lambda db, p: db.len(1), TypeError, "Marrow.len() takes no arguments (1 given)"),
    (lambda db, p: len(db), TypeError, "object of type 'builtins.Marrow' has no len()"),
    (lambda db, p: type("Sub", (Marrow,), {}), TypeError, "type 'builtins.Marrow' is not an acceptable base type"),
    (lambda db, p: db.set_bytes(1, b"x"), TypeError, "argument 'key': " + CONVERT.format("int", "PyString")),
    (lambda db, p: db.get_bytes(None), TypeError, "argument 'key': " + CONVERT.format("NoneType", "PyString")),
    (lambda db, p: db.delete(b"k"), TypeError, "argument 'key': " + CONVERT.format("bytes", "PyString")),
    (lambda db, p: db.set_bytes("\ud800", b"x"), UnicodeEncodeError, None),
    (lambda db, p: db.set_bytes("k", "abc"), TypeError, "argument 'val': Can't extract `str` to `Vec`"),
    (lambda db, p: db.set_bytes("k", 7), TypeError, "argument 'val': " + CONVERT.format("int", "Sequence")),
    (lambda db, p: db.set_bytes("k", (b for b in b"x")), TypeError, "argument 'val': " + CONVERT.format("generator", "Sequence")),
    (lambda db, p: db.set_bytes("k", [1, 2.0]), TypeError, "argument 'val': 'float' object cannot be interpreted as an integer"),
    (lambda db, p: db.set_bytes("k", Faulty(CHAINED)), TypeError, "argument 'val': boom"),
    (lambda db, p: db.set_bytes("k", Faulty(ValueError("plain"))), ValueError, "plain"),
    (lambda db, p: db.set_bytes("k", [1, 256]), OverflowError, OUT_OF_RANGE),
    (lambda db, p: db.set_bytes("k", array.array("i", [256])), OverflowError, OUT_OF_RANGE),
    (lambda db, p: db.set_bytes("k", [2**70]), OverflowError, "Python int too large to convert to C long"),
    (lambda db, p: db.set_bytes("k", memoryview(b"abcd").cast("B", (2, 2))), NotImplementedError, None),
    (lambda db, p: db.get_many("ab"), TypeError, "argument 'keys': Can't extract `str` to `Vec`"),
    (lambda db, p: db.get_many({"a": 1}), TypeError, "argument 'keys': " + CONVERT.format("dict", "Sequence")),
    (lambda db, p: db.get_many(["a", 1]), TypeError, "argument 'keys': " + CONVERT.format("int", "PyString")),
    (lambda db, p: db.get_many([b"a"]), TypeError, "argument 'keys': " + CONVERT.format("bytes", "PyString")),
]


@pytest.mark.parametrize(("call", "error", "message"), ERRORS)
def test_refused_calls(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, call: Any, error: type[BaseException], message: Optional[str]) -> None:
    store, other = tmp_path / "store", tmp_path / "other"
    monkeypatch.chdir(tmp_path)
    db = Marrow(str(store), 4)
    db.set_bytes("a", b"A")
    db.clear_cache()
    with pytest.raises(BaseException) as info:
        call(db, str(other))
    # The message alone; an OSError carries no errno.
    assert type(info.value) is error and (message is None or info.value.args == (message,)), info.value
    if str(info.value) == "argument 'val': boom":
        assert info.value.__cause__ is CHAINED.__cause__
    # Nothing was looked up, written or created.
    assert sorted(os.listdir(tmp_path)) == ["store"]
    assert (db.len(), db.cache_stats()) == (1, (0, 4))
    del info, db  # the traceback holds the object too
    gc.collect()
    assert [(store / name).read_bytes() for name in ("wal.bin", "keys.bin")] == [wal("a", b"A"), b"a"]


class Key(str):
    pass


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


VALUES: list[tuple[Any, bytes]] = [
    (b"hi", b"hi"), (bytearray(b"hi"), b"hi"), ([104, 105], b"hi"), ((104, 105), b"hi"), (memoryview(b"hi"), b"hi"),
    (memoryview(b"h-i-")[::2], b"hi"), (array.array("B", [104, 105]), b"hi"), (array.array("i", [104, 105]), b"hi"),
    (memoryview(b"\x68\x00\x69\x00").cast("H"), b"hi"), ([True, False, 255], b"\x01\x00\xff"), (range(3), b"\x00\x01\x02"),
    ([Index(1), 2, Index(255)], b"\x01\x02\xff"), (b"", b""), ([], b""), (bytes(range(256)), bytes(range(256))),
]


@pytest.mark.parametrize(("val", "expected"), VALUES)
def test_value_conversions(tmp_path: Path, val: Any, expected: bytes) -> None:
    db = Marrow(str(tmp_path / "s"))
    db.set_bytes(key=Key("k"), val=val)
    db.clear_cache()
    got = db.get_bytes(key="k")
    assert type(got) is bytes and got == expected
    assert db.get_many(keys=(Key("k"),)) == [("k", expected)]


@pytest.mark.parametrize(("given", "capacity"), [((), 10000), ((0,), 0), ((True,), 1), ((Index(5),), 5)])
def test_cache_size_conversions(tmp_path: Path, given: tuple[Any, ...], capacity: int) -> None:
    assert Marrow(Key(tmp_path), *given).cache_stats() == (0, capacity)
    assert Marrow(storage_path=str(tmp_path), cache_size=capacity).cache_stats() == (0, capacity)
