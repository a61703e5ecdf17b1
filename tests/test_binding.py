"""The Python face of the native module: module, type, argument binding,
conversions and the internal-failure exception.

Store behaviour (what values come back, persistence, vacuum) is tested
elsewhere; these tests only use the store to see that arguments arrive
intact or that a refused call changed nothing.
"""

from __future__ import annotations

import array
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from typing import Any

import pytest

import marrow
from marrow import Marrow, _marrow

METHODS = [
    ("set_bytes", "($self, key, val)"),
    ("get_bytes", "($self, key)"),
    ("delete", "($self, key)"),
    ("persist", "($self)"),
    ("vacuum", "($self)"),
    ("len", "($self)"),
    ("keys", "($self)"),
    ("cache_stats", "($self)"),
    ("clear_cache", "($self)"),
    ("get_many", "($self, keys)"),
]


@pytest.fixture
def store_dir(tmp_path: pathlib.Path) -> pathlib.Path:
    return tmp_path / "store"


@pytest.fixture
def db(store_dir: pathlib.Path) -> Iterator[Marrow]:
    store = Marrow(str(store_dir))
    yield store
    del store


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


# ---- Module and type ----


def test_module_exports_exactly_marrow() -> None:
    assert _marrow.__all__ == ["Marrow"]
    assert _marrow.__doc__ == ""
    own = {name for name in vars(_marrow) if not name.startswith("__")}
    assert own == {"Marrow"}
    assert marrow.Marrow is _marrow.Marrow

    namespace: dict[str, Any] = {}
    exec("from marrow._marrow import *", namespace)
    assert set(namespace) - {"__builtins__"} == {"Marrow"}


def test_type_identity_and_signature() -> None:
    assert Marrow.__name__ == "Marrow"
    assert Marrow.__qualname__ == "Marrow"
    assert Marrow.__module__ == "builtins"
    assert Marrow.__text_signature__ == "(storage_path, cache_size=...)"  # type: ignore[attr-defined]
    assert not Marrow.__doc__
    assert Marrow.__base__ is object
    with pytest.raises(TypeError):
        type("Sub", (Marrow,), {})


def test_method_table_order_docs_and_nothing_else() -> None:
    names = [name for name in vars(Marrow) if not name.startswith("__")]
    assert names == [name for name, _ in METHODS]
    for name, signature in METHODS:
        method = getattr(Marrow, name)
        assert method.__text_signature__ == signature, name
        assert not method.__doc__, name
    assert set(vars(Marrow)) - set(names) == {"__new__", "__doc__", "__module__"}
    assert not hasattr(Marrow, "__len__")


def test_builtin_len_does_not_apply(db: Marrow) -> None:
    with pytest.raises(TypeError):
        len(db)  # type: ignore[arg-type]
    assert db.len() == 0
    with pytest.raises(TypeError):
        db.len(1)  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        db.keys(x=1)  # type: ignore[call-arg]


# ---- Argument binding ----


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Marrow(), "Marrow.__new__() missing 1 required positional argument: 'storage_path'"),
        (lambda: Marrow("p", 1, 2), "Marrow.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Marrow("p", size=3), "Marrow.__new__() got an unexpected keyword argument 'size'"),
        (lambda: Marrow("p", storage_path="q"), "Marrow.__new__() got multiple values for argument 'storage_path'"),
        (lambda: Marrow(cache_size=1), "Marrow.__new__() missing 1 required positional argument: 'storage_path'"),
    ],
)
def test_constructor_binding_errors(
    call: Any, message: str, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)  # a stray store would land here, not in the repo
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


def test_method_binding_errors(db: Marrow) -> None:
    cases: list[tuple[Any, str]] = [
        (lambda: db.set_bytes(), "Marrow.set_bytes() missing 2 required positional arguments: 'key' and 'val'"),
        (lambda: db.set_bytes("k"), "Marrow.set_bytes() missing 1 required positional argument: 'val'"),
        (lambda: db.set_bytes(val=b""), "Marrow.set_bytes() missing 1 required positional argument: 'key'"),
        (lambda: db.set_bytes("k", b"", b""), "Marrow.set_bytes() takes 2 positional arguments but 3 were given"),
        (lambda: db.set_bytes("k", b"", x=1), "Marrow.set_bytes() got an unexpected keyword argument 'x'"),
        (lambda: db.set_bytes("k", b"", key="j"), "Marrow.set_bytes() got multiple values for argument 'key'"),
        (lambda: db.get_bytes("a", "b"), "Marrow.get_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: db.get_bytes(), "Marrow.get_bytes() missing 1 required positional argument: 'key'"),
        (lambda: db.delete(name="a"), "Marrow.delete() got an unexpected keyword argument 'name'"),
        (lambda: db.get_many(), "Marrow.get_many() missing 1 required positional argument: 'keys'"),
        (lambda: db.get_many([], keys=[]), "Marrow.get_many() got multiple values for argument 'keys'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_binding_checks_run_in_order(db: Marrow) -> None:
    # Too many positionals beats a bad keyword; the first bad keyword in
    # call order wins; binding errors come before conversion errors.
    with pytest.raises(TypeError, match="takes 2 positional arguments"):
        db.set_bytes(1, 2, 3, bogus=1)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        db.set_bytes(1, zz=1, key=2)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="multiple values for argument 'key'"):
        db.set_bytes(1, key=2, zz=1)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'val'"):
        db.set_bytes(1)  # type: ignore[call-arg]


def test_keyword_arguments_are_accepted(db: Marrow, store_dir: pathlib.Path) -> None:
    db.set_bytes(val=b"v", key="k")
    assert db.get_bytes(key="k") == b"v"
    assert db.get_many(keys=["k"]) == [("k", b"v")]
    assert db.delete(key="k") is True
    other = Marrow(storage_path=str(store_dir), cache_size=3)
    assert other.cache_stats() == (0, 3)


# ---- Conversions ----


def test_storage_path_must_be_str(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "store"
    for bad, type_name in [(target, type(target).__qualname__), (bytes(target), "bytes"), (None, "NoneType")]:
        with pytest.raises(TypeError) as info:
            Marrow(bad)  # type: ignore[arg-type]
        assert str(info.value) == f"argument 'storage_path': '{type_name}' object cannot be converted to 'PyString'"
        assert info.value.__cause__ is None
    assert not target.exists()

    class PathText(str):
        pass

    assert Marrow(PathText(target)).len() == 0
    with pytest.raises(UnicodeEncodeError):
        Marrow(str(tmp_path / "bad\udcff"))


def test_cache_size_conversion(store_dir: pathlib.Path) -> None:
    path = str(store_dir)
    for bad, type_name in [(None, "NoneType"), (2.5, "float"), ("10", "str")]:
        with pytest.raises(TypeError) as info:
            Marrow(path, bad)  # type: ignore[arg-type]
        assert str(info.value) == f"argument 'cache_size': '{type_name}' object cannot be interpreted as an integer"
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as overflow:
            Marrow(path, bad)
        assert not str(overflow.value).startswith("argument")
    assert not store_dir.exists()

    class Five:
        def __index__(self) -> int:
            return 5

    assert Marrow(path, True).cache_stats()[1] == 1
    assert Marrow(path, Five()).cache_stats()[1] == 5  # type: ignore[arg-type]
    assert Marrow(path).cache_stats()[1] == 10000


def test_key_must_be_str(db: Marrow) -> None:
    for call in (lambda: db.set_bytes(1, b"x"), lambda: db.get_bytes(1), lambda: db.delete(1)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "argument 'key': 'int' object cannot be converted to 'PyString'"
    for call in (lambda: db.set_bytes("\ud800", b"x"), lambda: db.get_bytes("a\udfff"), lambda: db.delete("\ud800")):
        with pytest.raises(UnicodeEncodeError):
            call()

    class Key(str):
        pass

    db.set_bytes(Key("sub"), b"1")
    assert db.get_bytes("sub") == b"1"


@pytest.mark.parametrize(
    ("val", "expected"),
    [
        (b"hi", b"hi"),
        (bytearray(b"hi"), b"hi"),
        ([104, 105], b"hi"),
        ((104, 105), b"hi"),
        (memoryview(b"hi"), b"hi"),
        (memoryview(b"h-i-")[::2], b"hi"),
        (array.array("B", [104, 105]), b"hi"),
        (array.array("b", [104, 105]), b"hi"),
        (array.array("i", [104, 105]), b"hi"),
        (memoryview(b"\x68\x00\x69\x00").cast("H"), b"hi"),
        ([True, False, 255], b"\x01\x00\xff"),
        (range(3), b"\x00\x01\x02"),
        (b"", b""),
        ([], b""),
        (bytes(range(256)), bytes(range(256))),
    ],
    ids=lambda v: type(v).__name__,
)
def test_val_accepted_forms(db: Marrow, val: Any, expected: bytes) -> None:
    db.set_bytes("k", val)
    assert db.get_bytes("k") == expected
    db.clear_cache()
    assert db.get_bytes("k") == expected


def test_val_items_through_index(db: Marrow) -> None:
    class Byte:
        def __init__(self, value: int) -> None:
            self.value = value

        def __index__(self) -> int:
            return self.value

    db.set_bytes("k", [Byte(1), 2, Byte(255)])
    assert db.get_bytes("k") == b"\x01\x02\xff"


def test_val_refused_forms(db: Marrow, store_dir: pathlib.Path) -> None:
    def gen() -> Iterator[int]:
        yield 1

    type_errors: list[tuple[Any, str]] = [
        ("abc", "argument 'val': Can't extract `str` to `Vec`"),
        (7, "argument 'val': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2}, "argument 'val': 'dict' object cannot be converted to 'Sequence'"),
        (gen(), "argument 'val': 'generator' object cannot be converted to 'Sequence'"),
        (None, "argument 'val': 'NoneType' object cannot be converted to 'Sequence'"),
        ([1, 2.0], "argument 'val': 'float' object cannot be interpreted as an integer"),
        ([1, "a"], "argument 'val': 'str' object cannot be interpreted as an integer"),
    ]
    for val, message in type_errors:
        with pytest.raises(TypeError) as info:
            db.set_bytes("k", val)
        assert str(info.value) == message

    out_of_range = [
        [1, 256],
        [-1],
        array.array("b", [-1]),
        array.array("i", [256]),
        memoryview(b"\x00\x01").cast("H"),
        memoryview(bytes([0x80])).cast("b"),
    ]
    for val in out_of_range:
        with pytest.raises(OverflowError) as overflow:
            db.set_bytes("k", val)
        assert str(overflow.value) == "out of range integral type conversion attempted", val

    with pytest.raises(OverflowError) as huge:
        db.set_bytes("k", [2**70])
    assert not str(huge.value).startswith("argument")

    # A 2-D buffer of unsigned bytes is not copied as a block: it fails the
    # way iterating it fails.
    with pytest.raises(NotImplementedError):
        db.set_bytes("k", memoryview(b"abcd").cast("B", (2, 2)))

    assert db.len() == 0
    assert db.keys() == []


def test_val_errors_from_a_custom_sequence(db: Marrow) -> None:
    root = KeyError("root")

    class Faulty:
        def __init__(self, error: BaseException) -> None:
            self.error = error

        def __len__(self) -> int:
            raise RuntimeError("length is only a hint")

        def __getitem__(self, index: int) -> int:
            if index == 0:
                return 1
            raise self.error

    chained = TypeError("boom")
    chained.__cause__ = root
    with pytest.raises(TypeError) as info:
        db.set_bytes("k", Faulty(chained))
    assert str(info.value) == "argument 'val': boom"
    assert info.value.__cause__ is root

    with pytest.raises(ValueError, match="^plain$"):
        db.set_bytes("k", Faulty(ValueError("plain")))
    assert db.get_bytes("k") is None


def test_keys_conversion(db: Marrow) -> None:
    db.set_bytes("a", b"1")
    cases: list[tuple[Any, str]] = [
        ("ab", "argument 'keys': Can't extract `str` to `Vec`"),
        ({"a": 1}, "argument 'keys': 'dict' object cannot be converted to 'Sequence'"),
        (5, "argument 'keys': 'int' object cannot be converted to 'Sequence'"),
        (["a", 1], "argument 'keys': 'int' object cannot be converted to 'PyString'"),
        (b"ab", "argument 'keys': 'int' object cannot be converted to 'PyString'"),
        ([b"a"], "argument 'keys': 'bytes' object cannot be converted to 'PyString'"),
    ]
    for keys, message in cases:
        with pytest.raises(TypeError) as info:
            db.get_many(keys)
        assert str(info.value) == message
    with pytest.raises(UnicodeEncodeError):
        db.get_many(["a", "\ud800"])
    assert db.get_many(("a",)) == [("a", b"1")]
    assert db.get_many([]) == []


def test_refused_calls_write_nothing(store_dir: pathlib.Path) -> None:
    db = Marrow(str(store_dir))
    refused: list[Any] = [
        lambda: db.set_bytes(1, b"x"),
        lambda: db.set_bytes("k", "x"),
        lambda: db.set_bytes("k", [1, 2, 300]),
        lambda: db.set_bytes("\ud800", b"x"),
        lambda: db.set_bytes("k", [1, 2, 3.0]),
        lambda: db.delete(1),
        lambda: db.delete("\udfff"),
        lambda: db.get_many(["a", 1]),
    ]
    for call in refused:
        with pytest.raises((TypeError, OverflowError, UnicodeEncodeError)):
            call()
    assert db.len() == 0
    del db  # writes out whatever the log buffer holds
    for name in ("keys.bin", "vals.bin", "wal.bin"):
        file = store_dir / name
        assert not file.exists() or file.stat().st_size == 0, name


# ---- Internal failures and initialisation ----


def test_panic_exception_on_damaged_values_file(tmp_path: pathlib.Path) -> None:
    result = run_python(
        f"""
        import os
        from marrow import Marrow

        def panic_types():
            return [t for t in BaseException.__subclasses__() if t.__name__ == "PanicException"]

        assert panic_types() == []
        path = {str(tmp_path / "store")!r}
        db = Marrow(path)
        db.set_bytes("lost", b"x" * 100)
        db.clear_cache()
        db.set_bytes("cached", b"y" * 10)
        os.truncate(os.path.join(path, "vals.bin"), 0)
        assert panic_types() == []  # created on first use only

        errors = []
        for _ in range(2):
            try:
                db.get_bytes("lost")
            except Exception:
                raise SystemExit("caught as Exception")
            except BaseException as exc:
                errors.append(exc)
        first, second = errors
        panic = type(first)
        assert type(second) is panic
        assert panic_types() == [panic]
        assert panic.__module__ == "pyo3_runtime" and panic.__name__ == "PanicException"
        assert panic.__bases__ == (BaseException,)
        assert "BaseException" in panic.__doc__
        assert len(first.args) == 1
        assert first.args[0].startswith("called `Result::unwrap()` on an `Err` value")
        assert "failed to fill whole buffer" in first.args[0]
        import marrow._marrow
        assert not hasattr(marrow._marrow, "PanicException")
        # The store stays usable.
        assert db.get_bytes("cached") == b"y" * 10
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
    assert "failed to fill whole buffer" in result.stderr


def test_second_initialisation_is_refused() -> None:
    result = run_python(
        """
        import importlib.util
        import marrow._marrow as first

        module_spec = importlib.util.spec_from_file_location("elsewhere._marrow", first.__file__)
        try:
            importlib.util.module_from_spec(module_spec)
        except ImportError as exc:
            print("ImportError:", exc)
        else:
            print("loaded twice")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError: ")
    assert "only be initialized once per interpreter process" in result.stdout


def test_extension_is_abi3() -> None:
    assert _marrow.__file__ is not None
    assert _marrow.__file__.endswith(".abi3.so")
    module_spec = importlib.util.find_spec("marrow._marrow")
    assert module_spec is not None and module_spec.origin == _marrow.__file__
