"""The marrow command: a table of invocations run in-process, and the
installed console script once."""

from __future__ import annotations

import base64
import io
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple

import pytest

import marrow
from marrow import cli
from mp_worker import Worker

A_B = {"a": b"1", "b": b"\xff\x00"}
LINE_A = json.dumps({"key": "a", "value_b64": "MQ=="})
LINE_B = json.dumps({"key": "b", "value_b64": base64.b64encode(b"\xff\x00").decode()})
LINE_C = json.dumps({"key": "c", "value_b64": "Yw=="})


def long_value(path: Path) -> None:
    # The entry of record 1 ("b") now says its value runs far past the end.
    with open(path / "offsets.bin", "r+b") as f:
        f.seek(24 + 20)
        f.write(struct.pack("<I", 10**6))


def plant_file(path: Path) -> None:
    shutil.rmtree(path)
    path.write_bytes(b"not a store")


# (arguments with P for the store, stdin, damage done first, exit status,
#  stdout (exact bytes, or a str it contains), a str stderr contains,
#  the store's contents afterwards or None)
Row = Tuple[List[str], bytes, Optional[Callable[[Path], object]], int, object, str, Optional[dict[str, bytes]]]
ROWS: dict[str, Row] = {
    "get": (["get", "P", "b"], b"", None, 0, b"\xff\x00", "", A_B),
    "get-absent": (["get", "P", "zz"], b"", None, 1, b"", "marrow: 'zz': no such key\n", A_B),
    "get-surrogate-key": (["get", "P", "\udcff"], b"", None, 2, b"", "a key must be valid Unicode text", None),
    "set-argument": (["set", "P", "c", "x y"], b"", None, 0, b"", "", dict(A_B, c=b"x y")),
    "set-stdin": (["set", "P", "a", "-"], b"\x00\x01", None, 0, b"", "", {"b": b"\xff\x00", "a": b"\x00\x01"}),
    "set-creates": (["set", "P/new", "k", "v"], b"", None, 0, b"", "", None),
    "delete": (["delete", "P", "a"], b"", None, 0, b"", "", {"b": b"\xff\x00"}),
    "delete-absent": (["delete", "P", "zz"], b"", None, 1, b"", "'zz': no such key", A_B),
    "keys": (["keys", "P"], b"", None, 0, b"a\nb\n", "", A_B),
    "export": (["export", "P"], b"", None, 0, f"{LINE_A}\n{LINE_B}\n".encode(), "", A_B),
    "import": (["import", "P", "-"], f"{LINE_C}\n\n{LINE_A}\n".encode(), None, 0, b"", "imported 2 records into", {"b": A_B["b"], "c": b"c", "a": b"1"}),
    "import-bad-line": (["import", "P", "-"], f"{LINE_C}\n[1]\n".encode(), None, 2, b"", "<stdin>:2: not a JSON object (1 records before it", dict(A_B, c=b"c")),
    "import-bad-base64": (["import", "-q", "P", "-"], b'{"key": "k", "value_b64": "@"}\n', None, 2, b"", '"value_b64" is not base64', A_B),
    "import-missing-file": (["import", "P", "P/absent.jsonl"], b"", None, 2, b"", "absent.jsonl", A_B),
    "check": (["check", "P"], b"", None, 0, b"P: ok: 2 keys and 3 value bytes read\n", "", A_B),
    "check-log-deletes-snapshot-records": (["check", "P"], b"", lambda p: marrow.Marrow(str(p)).delete("a"), 0, b"P: ok: 1 keys and 2 value bytes read\n", "", None),
    "check-json": (["check", "P", "--json"], b"", None, 0, '"ok": true', "", None),
    "check-cut-file": (["check", "P"], b"", lambda p: os.truncate(p / "vals.bin", 1), 1, "vals.bin is 2 bytes shorter than the snapshot says (1 of 3)", "", None),
    "check-unreadable-value": (["check", "P"], b"", long_value, 1, "damaged: 1 key(s): read failed: ", "", None),
    "get-unreadable-value": (["get", "P", "b"], b"", long_value, 2, b"", "read failed", None),
    "info-json": (["info", "P", "--json", "--cache-size", "42"], b"", None, 0, '"cache_capacity": 42', "", None),
    "info": (["info", "P"], b"", None, 0, "live keys        2", "", None),
    "vacuum": (["vacuum", "P"], b"", None, 0, b"", "vacuumed", A_B),
    "persist": (["persist", "P"], b"", None, 0, b"", "", A_B),
    "no-store": (["keys", "P/missing"], b"", None, 2, b"", "P/missing: no such store", None),
    "not-a-store": (["get", "P", "k"], b"", plant_file, 2, b"", "not a marrow store (not a directory)", None),
    "not-a-store-dir": (["delete", "P/..", "k"], b"", None, 2, b"", "not a marrow store (no keys.bin", None),
    "no-command": ([], b"", None, 2, b"", "usage: marrow", None),
    "version": (["--version"], b"", None, 0, f"marrow {marrow.__version__}", "", None),
}


@pytest.mark.parametrize("name", ROWS)
def test_command(name: str, tmp_path: Path, capsysbinary: pytest.CaptureFixture[bytes], monkeypatch: pytest.MonkeyPatch) -> None:
    argv, stdin, damage, status, out, err, after = ROWS[name]
    path = tmp_path / "s"
    with marrow.open(path) as store:
        store.update(A_B)
    if damage is not None:
        damage(path)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    try:
        got = cli.main([a.replace("P", str(path)) for a in argv])
    except SystemExit as e:  # argparse's own exits
        got = int(e.code or 0)
    captured = capsysbinary.readouterr()
    assert got == status, captured.err
    assert captured.out == out.replace(b"P", str(path).encode()) if isinstance(out, bytes) else str(out) in captured.out.decode()
    assert err.replace("P", str(path)) in captured.err.decode()
    if status == 2 and argv:
        assert captured.err.count(b"\n") == 1  # one line
    if after is not None:
        assert (path / "wal.bin").stat().st_size == 0  # every command persisted
        with marrow.open(path) as store:
            assert list(store.items()) == list(after.items())


WRITTEN = b"w" * 9000  # more than the log's buffer holds: it reaches wal.bin at once
# Commands beside a writer in another process: (arguments, exit status, stdout: exact bytes or a str it contains).
# Those that only read open the store read-only and see what the writer logged; the others are refused.
HELD: dict[str, Tuple[List[str], int, object]] = {
    "get": (["get", "P", "w"], 0, WRITTEN),
    "keys": (["keys", "P"], 0, b"a\nb\nw\n"),
    "export": (["export", "P"], 0, f"{LINE_B}\n{{\"key\": \"w\", \"value_b64\": \"d3d3"),
    "info": (["info", "P"], 0, "live keys        3\nlive data        3 key bytes, 9,003 value bytes"),
    "check": (["check", "P"], 0, "ok: 3 keys and 9,003 value bytes read"),
    **{argv[0]: (argv, 2, b"") for argv in (["set", "P", "k", "v"], ["delete", "P", "a"], ["import", "P", "-"], ["vacuum", "P"], ["persist", "P"])},
}


@pytest.fixture(scope="module")
def held(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Path]:
    path = tmp_path_factory.mktemp("held") / "s"
    with marrow.open(path) as store:
        store.update(A_B)
    writer = Worker(str(path), 10, False)  # a writer in another process, the one-process way
    writer.call("set", "w", WRITTEN.hex())
    yield path
    writer.stop()


@pytest.mark.parametrize("name", HELD)
def test_command_beside_a_writer(name: str, held: Path, capsysbinary: pytest.CaptureFixture[bytes]) -> None:
    argv, status, out = HELD[name]
    got = cli.main([a.replace("P", str(held)) for a in argv])
    captured = capsysbinary.readouterr()
    assert (got, captured.err) == (status, f"marrow: {held}: the store is in use by another process\n".encode() if status else b"")
    assert captured.out == out if isinstance(out, bytes) else str(out) in captured.out.decode()


def test_console_script(tmp_path: Path) -> None:
    script, path = str(Path(sys.executable).parent / "marrow"), str(tmp_path / "s")
    assert subprocess.run([script, "set", path, "k", "-"], input=b"hello", timeout=60).returncode == 0
    assert subprocess.run([script, "get", path, "k"], capture_output=True, timeout=60).stdout == b"hello"
