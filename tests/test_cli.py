"""The marrow command-line tool, run as a subprocess against real stores."""

from __future__ import annotations

import base64
import fcntl
import json
import os
import pty
import random
import struct
import subprocess
import sys
import termios
import threading
from pathlib import Path
from typing import Any, Dict, List, Union

import pytest

import marrow

COMMANDS = ["info", "get", "set", "delete", "keys", "export", "import", "check", "vacuum", "persist"]
SIX_FILES = ["keys.bin", "vals.bin", "offsets.bin", "wal.bin", "snapshot.bin", "snapshot.bin.tmp"]

Arg = Union[str, bytes, Path]


def cli(*args: Arg, stdin: bytes = b"", stderr: Any = subprocess.PIPE) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "marrow", *[str(a) if isinstance(a, Path) else a for a in args]],
        input=stdin,
        stdout=subprocess.PIPE,
        stderr=stderr,
        timeout=120,
    )


def ok(*args: Arg, stdin: bytes = b"") -> bytes:
    proc = cli(*args, stdin=stdin)
    assert proc.returncode == 0, proc.stderr.decode()
    return proc.stdout


def info(path: Path, *extra: str) -> Dict[str, Any]:
    result: Dict[str, Any] = json.loads(ok("info", path, "--json", *extra))
    return result


def one_line_error(proc: subprocess.CompletedProcess[bytes], status: int, *needles: str) -> str:
    """Checks a failure: its exit status and a single line on stderr."""
    err = proc.stderr.decode()
    assert proc.returncode == status, (proc.returncode, err)
    assert err.startswith("marrow: ") and err.count("\n") == 1, err
    for needle in needles:
        assert needle in err, err
    return err


def make_store(path: Path, data: Dict[str, bytes], persist: bool = True) -> None:
    s = marrow.open(path)
    s.update(data)
    if persist:
        s.persist()
    s.close()


def test_every_command_has_help() -> None:
    top = ok("--help").decode()
    for command in COMMANDS:
        assert command in top
        assert f"usage: marrow {command}" in ok(command, "--help").decode()
    assert cli().returncode == 2  # a command is required
    assert ok("--version").decode().startswith("marrow ")


def test_console_script_is_installed() -> None:
    script = Path(sys.executable).parent / "marrow"
    proc = subprocess.run([str(script), "--help"], capture_output=True, timeout=60)
    assert proc.returncode == 0 and b"usage: marrow" in proc.stdout


def test_set_get_delete_keys(tmp_path: Path) -> None:
    path = tmp_path / "new" / "store"
    argv_value = b"caf\xc3\xa9 \xff"  # not UTF-8: stored as the exact bytes
    ok("set", path, "plain", argv_value)  # set creates the store
    binary = bytes(range(256)) * 40
    ok("set", path, "binary", "-", stdin=binary)
    ok("set", path, "empty", "")
    ok("set", path, "ключ", "значение")
    assert ok("get", path, "plain") == argv_value
    assert ok("get", path, "binary") == binary
    assert ok("get", path, "empty") == b""
    assert ok("get", path, "ключ") == "значение".encode()
    assert ok("keys", path) == "plain\nbinary\nempty\nключ\n".encode()
    # Every mutating command persisted: a snapshot, an empty log.
    assert (path / "snapshot.bin").exists() and (path / "wal.bin").stat().st_size == 0

    ok("delete", path, "plain")
    one_line_error(cli("get", path, "plain"), 1, "'plain'", "no such key")
    one_line_error(cli("delete", path, "plain"), 1, "no such key")
    one_line_error(cli("get", path, b"\xff"), 2, "Unicode")
    assert ok("keys", path) == "binary\nempty\nключ\n".encode()
    s = marrow.open(path)
    assert dict(s) == {"binary": binary, "empty": b"", "ключ": "значение".encode()}
    s.close()


def test_info(tmp_path: Path) -> None:
    path = tmp_path / "s"
    s = marrow.open(path)
    s.update({"a": b"1" * 10, "bb": b"2" * 20, "ccc": b"3" * 30})
    s["a"] = b"4" * 5  # 1 + 10 bytes become dead
    del s["bb"]  # 2 + 20 more
    s.persist()
    s.close()

    got = info(path, "--cache-size", "42")
    assert got["path"] == str(path)
    assert got["live_keys"] == 2
    assert got["live_key_bytes"] == 4 and got["live_value_bytes"] == 35
    assert got["snapshot"] is True
    assert set(got["files"]) == set(SIX_FILES)
    for name in SIX_FILES:
        on_disk = path / name
        assert got["files"][name] == (on_disk.stat().st_size if on_disk.exists() else 0)
    assert got["files"]["keys.bin"] == 7 and got["files"]["vals.bin"] == 65
    assert got["files"]["snapshot.bin.tmp"] == 0
    assert got["offset_slots"] == got["files"]["offsets.bin"] // 24 == 100_000
    assert got["dead_bytes"] == 11 + 22
    assert got["cache_capacity"] == 42

    ok("vacuum", path)
    got = info(path)
    assert got["dead_bytes"] == 0
    assert got["files"]["keys.bin"] == 4 and got["files"]["vals.bin"] == 35
    assert got["cache_capacity"] == 10000

    text = ok("info", path).decode()
    for needle in ("live keys        2", "snapshot         yes", "dead weight      0 bytes", "offsets.bin", "10,000"):
        assert needle in text, text


def test_info_before_the_first_persist(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, {"k": b"v"}, persist=False)
    got = info(path)
    assert got["snapshot"] is False and got["files"]["snapshot.bin"] == 0
    assert got["files"]["wal.bin"] > 0
    # Opening replays the log, appending its records to the files again:
    # the estimate follows the files as they are.
    assert got["files"]["keys.bin"] == 2 and got["dead_bytes"] == 2
    assert "not yet persisted" in ok("info", path).decode()


def test_persist_and_vacuum_commands(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, {f"k{i}": b"x" * 100 for i in range(100)}, persist=False)
    assert not (path / "snapshot.bin").exists()
    ok("persist", path)
    assert (path / "snapshot.bin").exists() and (path / "wal.bin").stat().st_size == 0
    first = 10 * 2 + 90 * 3 + 100 * 100  # k0..k99 and their values
    assert info(path)["dead_bytes"] == first  # the open before persist replayed the log

    make_store(path, {f"k{i}": b"y" * 100 for i in range(50)})
    assert info(path)["dead_bytes"] == first + 10 * 2 + 40 * 3 + 50 * 100
    proc = cli("vacuum", path)
    assert proc.returncode == 0 and b"vacuumed" in proc.stderr
    assert info(path)["dead_bytes"] == 0
    s = marrow.open(path)
    assert dict(s) == {**{f"k{i}": b"x" * 100 for i in range(50, 100)}, **{f"k{i}": b"y" * 100 for i in range(50)}}
    s.close()


@pytest.mark.parametrize("kind", ["missing", "empty-dir", "file", "partial"])
def test_a_path_that_is_not_a_store_is_left_alone(tmp_path: Path, kind: str) -> None:
    path = tmp_path / "target"
    if kind == "empty-dir":
        path.mkdir()
    elif kind == "file":
        path.write_bytes(b"not a store")
    elif kind == "partial":
        path.mkdir()
        (path / "keys.bin").write_bytes(b"")
    before = sorted(p.name for p in tmp_path.rglob("*"))
    for args in (
        ["info"],
        ["info", "--json"],
        ["get", "--", "-k"],
        ["keys"],
        ["export"],
        ["check"],
        ["delete", "k"],
        ["vacuum"],
        ["persist"],
    ):
        proc = cli(args[0], path, *args[1:])
        one_line_error(proc, 2, str(path))
        assert proc.stdout == b""
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_a_store_held_by_another_process(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, {"k": b"v"})
    holder = marrow.open(path)  # this process holds it; the tool is another
    try:
        for args in (["info"], ["get", "k"], ["set", "k", "w"], ["keys"], ["check"], ["import", "-"], ["vacuum"]):
            proc = cli(args[0], path, *args[1:])
            one_line_error(proc, 2, "in use by another process")
        assert holder["k"] == b"v"
    finally:
        holder.close()
    assert ok("get", path, "k") == b"v"


CHECK_VALUES = {f"key{i:04}": bytes([i % 256]) * 100 for i in range(3000)}


def patch(path: Path, offset: int, data: bytes) -> None:
    fd = os.open(path, os.O_RDWR)
    try:
        os.pwrite(fd, data, offset)
    finally:
        os.close(fd)


def check_json(path: Path) -> Dict[str, Any]:
    proc = cli("check", path, "--json")
    report: Dict[str, Any] = json.loads(proc.stdout)
    assert proc.returncode == (0 if report["ok"] else 1)
    return report


def test_check_healthy_store(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, CHECK_VALUES)
    proc = cli("check", path)
    assert proc.returncode == 0
    assert proc.stdout.decode() == f"{path}: ok: 3,000 keys and 300,000 value bytes read\n"
    report = check_json(path)
    assert report["ok"] is True and report["keys"] == 3000 and report["damaged"] == []
    assert report["value_bytes"] == 300_000


def test_check_reports_unreadable_values_and_keys(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, CHECK_VALUES)
    # key1000's value now runs far past the end of vals.bin; key0007's
    # stored text no longer matches its record.
    patch(path / "offsets.bin", 1000 * 24 + 20, struct.pack("<I", 10**6))
    patch(path / "keys.bin", 7 * 7, b"j")
    proc = cli("check", path)
    out = proc.stdout.decode()
    assert proc.returncode == 1, out
    assert "damaged: 1 key(s): read failed: " in out and "'key1000'" in out
    assert "damaged: 1 key(s): listed, but its record does not hold this key: 'jey0007'" in out
    assert out.endswith(": DAMAGED: 2 of 3,000 listed keys unreadable\n")
    assert proc.stderr == b""  # the engine's own report is not shown
    report = check_json(path)
    assert [d["key"] for d in report["damaged"]] == ["jey0007", "key1000"]

    # The other commands fail on the damaged value with one line.
    one_line_error(cli("get", path, "key1000"), 2, "read failed")
    assert ok("get", path, "key1001") == CHECK_VALUES["key1001"]
    one_line_error(cli("export", path, "-o", tmp_path / "dump.jsonl"), 2, "read failed")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s"]  # no partial dump left

    # A key text that cannot be read at all: the keys cannot be listed.
    patch(path / "offsets.bin", 2000 * 24, struct.pack("<Q", 10**9))
    proc = cli("check", path)
    assert proc.returncode == 1
    assert proc.stdout.decode().startswith("damaged: cannot list the keys: read failed")


def test_check_reports_damaged_files(tmp_path: Path) -> None:
    cut = tmp_path / "cut"
    make_store(cut, CHECK_VALUES)
    os.truncate(cut / "vals.bin", 1233 * 100 + 50)
    proc = cli("check", cut)
    out = proc.stdout.decode()
    assert proc.returncode == 1, out
    # The open drops the records past the cut; check says what was lost.
    assert "vals.bin is 176,650 bytes shorter than the snapshot says (123,350 of 300,000)" in out
    assert "1,767 of the snapshot's 3,000 live records point past the end" in out
    assert "DAMAGED: 2 problem(s) with the files; 0 of 1,233 listed keys unreadable" in out

    bad_snapshot = tmp_path / "snap"
    make_store(bad_snapshot, CHECK_VALUES)
    size = (bad_snapshot / "snapshot.bin").stat().st_size
    os.truncate(bad_snapshot / "snapshot.bin", size - 1)
    report = check_json(bad_snapshot)
    assert report["damaged"][0]["key"] is None
    assert report["damaged"][0]["error"].startswith("snapshot.bin does not decode")


def random_store(n: int, seed: int) -> Dict[str, bytes]:
    rng = random.Random(seed)
    data: Dict[str, bytes] = {}
    alphabet = "abcxyz\u00e9\u4e2d\U0001f600\n\"\\ "
    while len(data) < n:
        key = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12))) + str(len(data))
        data[key] = rng.randbytes(rng.choice((0, 1, 7, 40, 100)))
    return data


def test_export_import_round_trip_of_100000_keys(tmp_path: Path) -> None:
    source, copy = tmp_path / "source", tmp_path / "copy"
    data = random_store(100_000, seed=7)
    make_store(source, data)
    dump = tmp_path / "dump.jsonl"
    ok("export", source, "-o", dump)
    lines = dump.read_bytes().splitlines()
    assert len(lines) == len(data)
    first = json.loads(lines[0])
    assert set(first) == {"key", "value_b64"}
    assert base64.b64decode(first["value_b64"]) == data[first["key"]]

    proc = cli("import", copy, dump)
    assert proc.returncode == 0 and b"imported 100,000 records" in proc.stderr
    assert (copy / "snapshot.bin").exists() and (copy / "wal.bin").stat().st_size == 0
    # Same keys in the same order, same values: the dumps are identical.
    assert ok("export", copy) == dump.read_bytes()
    s = marrow.open(copy)
    assert s == data
    s.close()


def test_import_input_errors_and_stdin(tmp_path: Path) -> None:
    path = tmp_path / "s"
    good = [json.dumps({"key": k, "value_b64": base64.b64encode(v).decode()}) for k, v in (("a", b"1"), ("b", b"\0"))]
    ok("import", path, "-", stdin=("\n".join(good) + "\n\n").encode())
    assert ok("export", path).decode().splitlines() == good

    cases = {
        "not json": "not a JSON object",
        "[1, 2]": "not a JSON object",
        '{"key": 1, "value_b64": ""}': '"key" must be a string',
        '{"key": "k"}': '"value_b64" must be a string',
        '{"key": "k", "value_b64": "@@@"}': "not base64",
        '{"key": "\\udcff", "value_b64": ""}': "not valid Unicode",
    }
    for bad, message in cases.items():
        dump = tmp_path / "bad.jsonl"
        dump.write_text(good[0].replace('"a"', '"c"') + "\n" + bad + "\n" + good[1] + "\n")
        err = one_line_error(cli("import", path, dump), 2, f"{dump}:2:", message)
        assert "1 records before it were imported" in err
    # The line before each bad one was imported and persisted.
    assert ok("get", path, "c") == b"1"
    one_line_error(cli("import", path, tmp_path / "absent.jsonl"), 2, "absent.jsonl")


def _run_on_terminal(args: List[Arg]) -> bytes:
    """Runs the tool with stderr on a pseudo-terminal; returns what it showed."""
    master, slave = pty.openpty()
    # A terminal 80 columns wide (a fresh pseudo-terminal has no size).
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    chunks: List[bytes] = []

    def reader() -> None:
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO once the child's side is closed
                return
            if not chunk:
                return
            chunks.append(chunk)

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        proc = cli(*args, stderr=slave)
    finally:
        os.close(slave)
        thread.join(timeout=60)
        os.close(master)
    assert proc.returncode == 0
    return b"".join(chunks)


def test_progress_bar_on_a_terminal_only(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, {f"k{i}": b"v" for i in range(20_000)})
    shown = _run_on_terminal(["export", path, "-o", tmp_path / "d.jsonl"])
    assert b"exporting" in shown and b"20000" in shown
    assert b"checking" in _run_on_terminal(["check", path])
    assert b"importing" in _run_on_terminal(["import", tmp_path / "t", tmp_path / "d.jsonl"])
    assert _run_on_terminal(["check", path, "--quiet"]) == b""
    # Piped: nothing but the output itself.
    proc = cli("export", path, "-o", tmp_path / "e.jsonl")
    assert proc.returncode == 0 and proc.stderr == b""


def test_keys_into_a_closed_pipe(tmp_path: Path) -> None:
    path = tmp_path / "s"
    make_store(path, {f"k{i}": b"" for i in range(100_000)})
    proc = subprocess.Popen(
        [sys.executable, "-m", "marrow", "keys", str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout is not None and proc.stderr is not None
    assert proc.stdout.readline() == b"k0\n"
    proc.stdout.close()  # the reader goes away, as `| head -1` would
    err = proc.stderr.read()
    assert proc.wait(timeout=60) != 0
    assert b"Traceback" not in err
