"""Sharing a store directory: between objects, between processes, and with
links planted at the names of the files persist() and vacuum() write."""

from __future__ import annotations

import gc
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Iterator, Optional

import pytest

from marrow import Marrow

# A process that holds stores open and obeys one command per line:
#   open NAME PATH | set NAME KEY VALUE | drop NAME | vacuum NAME | persist NAME
# answering "ok" or "error <exception class>" after each.
_HOLDER = textwrap.dedent(
    """
    import sys
    from marrow import Marrow
    dbs = {}
    for line in sys.stdin:
        cmd, name, *args = line.split()
        try:
            if cmd == "open":
                dbs[name] = Marrow(args[0])
            elif cmd == "set":
                dbs[name].set_bytes(args[0], args[1].encode())
            elif cmd == "drop":
                del dbs[name]
            else:
                getattr(dbs[name], cmd)()
            print("ok", flush=True)
        except BaseException as e:
            print("error", type(e).__name__, flush=True)
    """
)


class Holder:
    """Another process that opens stores and keeps them open."""

    def __init__(self) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-c", _HOLDER],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )

    def __call__(self, *words: object) -> str:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def kill(self) -> None:
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def close(self) -> None:
        if self.proc.poll() is None:
            assert self.proc.stdin is not None
            self.proc.stdin.close()
            self.proc.wait(timeout=60)


@pytest.fixture
def holder() -> Iterator[Holder]:
    h = Holder()
    yield h
    if h.proc.poll() is None:
        h.kill()


def open_elsewhere(path: Path) -> str:
    """Opens the store in a fresh process: "ok" or the exception's class."""
    proc = subprocess.run(
        [sys.executable, "-c",
         "import sys\nfrom marrow import Marrow\n"
         "try:\n    Marrow(sys.argv[1])\n    print('ok')\n"
         "except BaseException as e:\n    print(type(e).__name__)\n",
         str(path)],
        capture_output=True, text=True, timeout=60, check=True,
    )
    return proc.stdout.strip()


def contents(db: Marrow, keys: list[str]) -> dict[str, Optional[bytes]]:
    return {k: db.get_bytes(k) for k in keys}


def test_reassigning_an_open_store_keeps_every_write(tmp_path: Path) -> None:
    p = str(tmp_path / "s")
    keys = [f"k{i}" for i in range(50)]
    expected = {k: f"value {i}".encode() * (i % 7) for i, k in enumerate(keys)}
    db = Marrow(p)
    for k, v in expected.items():
        db.set_bytes(k, v)  # all of it still in the log's buffer
    db.delete("k3")
    expected["k3"] = None  # type: ignore[assignment]
    # The new object is opened while the old one is still alive.
    db = Marrow(p)
    assert contents(db, keys) == expected
    assert db.len() == len(keys) - 1
    # More writes through the new object, one more reassignment, then a
    # reopen after every object is gone.
    db.set_bytes("k0", b"again")
    expected["k0"] = b"again"
    db = Marrow(p)
    assert contents(db, keys) == expected
    del db
    gc.collect()
    db = Marrow(p)
    assert contents(db, keys) == expected
    assert sorted(db.keys()) == sorted(k for k, v in expected.items() if v is not None)


def test_two_live_objects_in_one_process_see_each_others_writes_after_reopen(
    tmp_path: Path,
) -> None:
    p = str(tmp_path / "s")
    a = Marrow(p)
    a.set_bytes("from-a", b"1")
    b = Marrow(p)
    assert b.get_bytes("from-a") == b"1"
    b.set_bytes("from-b", b"2")
    del a, b
    gc.collect()
    db = Marrow(p)
    assert contents(db, ["from-a", "from-b"]) == {"from-a": b"1", "from-b": b"2"}


def test_a_directory_held_by_another_process_cannot_be_opened(
    tmp_path: Path, holder: Holder
) -> None:
    p = tmp_path / "s"
    assert holder("open", "a", p) == "ok"
    assert holder("set", "a", "key", "held") == "ok"
    with pytest.raises(BlockingIOError):
        Marrow(str(p))
    assert open_elsewhere(p) == "BlockingIOError"

    # The lock lasts as long as the holder's last object on the directory.
    assert holder("open", "b", p) == "ok"
    assert holder("drop", "a") == "ok"
    assert open_elsewhere(p) == "BlockingIOError"
    assert holder("drop", "b") == "ok"
    db = Marrow(str(p))
    assert db.get_bytes("key") == b"held"
    # Now this process holds it, and the other one is refused.
    assert holder("open", "c", p) == "error BlockingIOError"
    del db
    gc.collect()
    assert holder("open", "c", p) == "ok"
    holder.close()
    assert open_elsewhere(p) == "ok"


def test_the_lock_goes_with_a_killed_holder(tmp_path: Path, holder: Holder) -> None:
    p = tmp_path / "s"
    assert holder("open", "a", p) == "ok"
    assert holder("set", "a", "key", "v") == "ok"
    assert holder("persist", "a") == "ok"
    assert open_elsewhere(p) == "BlockingIOError"
    holder.kill()
    db = Marrow(str(p))
    assert db.get_bytes("key") == b"v"


def test_vacuum_keeps_the_directory_locked(tmp_path: Path, holder: Holder) -> None:
    p = tmp_path / "s"
    assert holder("open", "a", p) == "ok"
    for i in range(20):
        assert holder("set", "a", f"k{i % 5}", f"v{i}") == "ok"
    assert holder("vacuum", "a") == "ok"
    assert open_elsewhere(p) == "BlockingIOError"
    assert holder("set", "a", "k0", "after") == "ok"
    assert holder("vacuum", "a") == "ok"
    assert holder("persist", "a") == "ok"
    assert open_elsewhere(p) == "BlockingIOError"
    holder.close()
    db = Marrow(str(p))
    assert contents(db, [f"k{i}" for i in range(5)]) == {
        "k0": b"after", "k1": b"v16", "k2": b"v17", "k3": b"v18", "k4": b"v19"}


TEMP_NAMES = [
    "snapshot.bin.tmp",
    "keys.bin.vac",
    "vals.bin.vac",
    "offsets.bin.vac",
    "snapshot.bin.vac.tmp",
]


@pytest.mark.parametrize("name", TEMP_NAMES)
@pytest.mark.parametrize("dangling", [False, True], ids=["to-file", "dangling"])
def test_a_planted_link_is_never_written_through(
    tmp_path: Path, name: str, dangling: bool
) -> None:
    p = tmp_path / "s"
    outside = tmp_path / "outside.bin"
    original = b"not the store's\n" * 10
    if not dangling:
        outside.write_bytes(original)
    expected = {f"k{i}": os.urandom(i * 37) for i in range(40)}
    db = Marrow(str(p))
    for k, v in expected.items():
        db.set_bytes(k, v)
    db.delete("k1")
    del expected["k1"]
    os.symlink(outside, p / name)

    for op in (db.persist, db.vacuum, db.persist):
        try:
            op()
        except OSError:
            pass
        if dangling:
            assert not outside.exists()
        else:
            assert outside.read_bytes() == original
        assert contents(db, list(expected)) == expected
    del db
    gc.collect()
    db = Marrow(str(p))
    assert contents(db, list(expected)) == expected
    assert db.len() == len(expected)
