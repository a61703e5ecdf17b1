"""Stores opened with multiprocess=True by several real processes.

The model test drives three worker processes (mp_worker.py) one call at a
time, so that the order of the calls is the one serial order the answers
must agree with: every read sees every change acknowledged before it, in
whichever process. In the crash loop (mp_crashloop.py) they run at once,
and are killed. The table of opens shows how the two ways refuse each
other; a fork child is refused a store its parent opened.
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Optional

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import marrow
from mp_worker import Failed, Worker

KEYS = st.sampled_from(["a", "b", "é", "", "k\0"])
VALUES = st.one_of(st.binary(max_size=8), st.just(b"v" * 300)).map(bytes.hex)
WORKER = st.integers(0, 2)
OPS = st.lists(st.tuples(KEYS, st.none() | VALUES), max_size=4)

_pool: list[Worker] = []


def pool() -> list[Worker]:
    """Three workers, started once for the whole module."""
    while len(_pool) < 3:
        _pool.append(Worker())
    return _pool


atexit.register(lambda: list(map(Worker.stop, _pool)))


class Shared(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="marrow-mp-")
        self.model: dict[str, str] = {}  # key -> hex value, in record order

    def put(self, key: str, value: Optional[str]) -> None:
        self.model.pop(key, None)
        if value is not None:
            self.model[key] = value

    @initialize(cache_size=st.sampled_from([0, 2, 100]))
    def open(self, cache_size: int) -> None:
        for w in pool():
            w.call("open", self.dir, cache_size)

    @rule(w=WORKER, key=KEYS, value=st.none() | VALUES)
    def write(self, w: int, key: str, value: Optional[str]) -> None:
        if value is None:
            assert pool()[w].call("delete", key) is (key in self.model)
        else:
            pool()[w].call("set", key, value)
        self.put(key, value)

    @rule(w=WORKER, ops=OPS)
    def batch(self, w: int, ops: list[tuple[str, Optional[str]]]) -> None:
        pool()[w].call("batch", ops)
        for key, value in ops:
            self.put(key, value)

    @rule(w=WORKER, ops=st.lists(st.tuples(KEYS, st.none() | VALUES | st.just("incr")), max_size=4))
    def transaction(self, w: int, ops: list[tuple[str, Optional[str]]]) -> None:
        """Reads in the block see the latest state plus the block's writes;
        a block that raises leaves nothing."""
        before, expected = dict(self.model), []
        for key, value in ops:
            if value == "incr":
                try:
                    now = int(bytes.fromhex(self.model.get(key, b"0".hex())))
                except ValueError:  # not a number: the block raises
                    self.model = before
                    with pytest.raises(Failed, match="ValueError"):
                        pool()[w].call("txn", ops, False)
                    return
                expected.append(now)
                value = (b"%d" % (now + 1)).hex()
            self.put(key, value)
        assert pool()[w].call("txn", ops, False) == expected

    @rule(w=WORKER, key=KEYS, keys=st.lists(KEYS, max_size=4))
    def get(self, w: int, key: str, keys: list[str]) -> None:
        assert pool()[w].call("get", key) == self.model.get(key)
        assert pool()[w].call("get_many", keys) == [[k, self.model.get(k)] for k in keys]

    @rule(w=WORKER, call=st.sampled_from(["sync", "persist", "vacuum", "close"]))
    def durable(self, w: int, call: str) -> None:
        pool()[w].call(call)
        if call == "close":
            pool()[w].call("open", self.dir, 10)

    @invariant()
    def every_worker_agrees(self) -> None:
        for w in pool():
            assert w.call("state") == {"len": len(self.model), "keys": list(self.model), "items": self.model}

    def teardown(self) -> None:
        for w in pool():
            w.call("close")
        shutil.rmtree(self.dir, ignore_errors=True)


Shared.TestCase.settings = settings(
    max_examples=25, stateful_step_count=25, derandomize=True, database=None, deadline=None, suppress_health_check=list(HealthCheck)
)
TestShared = Shared.TestCase


HELD_ONE = "held by a process that opened it without multiprocess=True"
HELD_MANY = "held by processes that opened it with multiprocess=True; open it with multiprocess=True as well"


@pytest.mark.parametrize(
    "holder, opener, refused",
    [
        (False, True, HELD_ONE),
        (True, False, HELD_MANY),
        (False, False, "Resource temporarily unavailable"),
        (True, "readonly", None),
    ],
)
def test_the_two_ways_refuse_each_other(tmp_path: Path, holder: bool, opener: object, refused: Optional[str]) -> None:
    """While another process holds the store one way, an open the other way
    fails and says how it is held; readers open beside both."""
    w = pool()[0]
    w.call("open", str(tmp_path), 10, holder)
    try:
        w.call("set", "k", "01")
        kwargs = {"readonly": True} if opener == "readonly" else {"multiprocess": opener}
        if refused is None:
            with marrow.open(tmp_path, **kwargs) as db:
                assert db.get("k") == (b"\x01" if holder else None)  # a one-process holder still buffers it
        else:
            with pytest.raises(BlockingIOError, match=refused):
                marrow.open(tmp_path, **kwargs)
    finally:
        w.call("close")


def test_commands_beside_multiprocess_holders(tmp_path: Path, capsysbinary: pytest.CaptureFixture[bytes]) -> None:
    """Write commands join processes that hold the store with
    multiprocess=True; they and the read commands see each other's changes."""
    from marrow import cli

    w = pool()[0]
    w.call("open", str(tmp_path), 10)
    try:
        w.call("set", "held", "68")
        for argv in (["set", "P", "k", "v"], ["delete", "P", "held"], ["persist", "P"], ["set", "P", "j", "w"], ["vacuum", "P"]):
            assert cli.main([a.replace("P", str(tmp_path)) for a in argv]) == 0, argv
        assert w.call("state")["items"] == {"k": b"v".hex(), "j": b"w".hex()}
        w.call("set", "late", "6c")
        capsysbinary.readouterr()
        assert cli.main(["keys", str(tmp_path)]) == 0
        assert capsysbinary.readouterr().out == b"k\nj\nlate\n"
    finally:
        w.call("close")


@pytest.mark.parametrize("multiprocess", [False, True])
def test_a_fork_child_is_refused_its_parents_store(tmp_path: Path, multiprocess: bool) -> None:
    """A child's calls on a store opened before the fork fail and write
    nothing (not even what the parent still buffers); a store it opens
    itself works as any process's."""
    db = marrow.open(tmp_path, multiprocess=multiprocess)
    db["a"] = b"1"
    files = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.name != "shared.bin"}
    verdict_r, verdict_w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports through the pipe, never raises
        verdict = []
        for call in (lambda: db.__setitem__("b", b"2"), lambda: db.get("a"), lambda: len(db), db.sync):
            try:  # a call that runs leaves no word
                call()
            except RuntimeError as e:
                verdict.append("refused" if "before the process forked" in str(e) else str(e))
        del db
        try:
            with marrow.open(tmp_path, multiprocess=multiprocess) as own:
                own["child"] = b"c"
            verdict.append("opened")
        except BlockingIOError:
            verdict.append("blocked")
        os.write(verdict_w, ",".join(verdict).encode())
        os._exit(0)
    os.waitpid(pid, 0)
    assert os.read(verdict_r, 1000).decode() == "refused,refused,refused,refused," + ("opened" if multiprocess else "blocked")
    if not multiprocess:
        assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == files
    db["c"] = b"3"
    db.close()
    with marrow.open(tmp_path) as after:
        assert dict(after.items()) == {"a": b"1", "c": b"3", **({"child": b"c"} if multiprocess else {})}


def test_shared_page_cut_behind_a_holder(tmp_path: Path) -> None:
    """shared.bin cut to nothing under an open holder fails each of its
    calls with an early end of file instead of killing it with SIGBUS; the
    next open makes the page anew from the store's files."""
    store = marrow.open(tmp_path, multiprocess=True)
    store["a"] = b"1"
    os.truncate(tmp_path / "shared.bin", 0)
    # Last, a second holder's open: the page is not made anew while one stays.
    for call in (lambda: store.get("a"), lambda: store.__setitem__("b", b"2"), lambda: len(store), store.sync,
                 lambda: marrow.open(tmp_path, multiprocess=True)):
        with pytest.raises(OSError, match="failed to fill whole buffer"):
            call()
    store.close()
    with marrow.open(tmp_path, multiprocess=True) as after:
        assert dict(after.items()) == {"a": b"1"}


def test_kills_keep_every_acknowledged_change(tmp_path: Path) -> None:
    """The crash loop of several processes (mp_crashloop.py) in its short
    form; `make stress` runs it long."""
    import mp_crashloop

    failures, stats = mp_crashloop.run(tmp_path, 30, seed=20261209)
    assert not failures, "\n".join(failures)
    assert stats["kills"] == 30 and stats["landed"] > 0 and stats["lost"] > 0, stats


def test_transactions_serialise_threads(tmp_path: Path) -> None:
    """Threads of one process (the one-process way) that increment one
    counter through transactions lose no update, and their plain writes
    through the raw class and the mapping wait for a block, never deadlock
    on it; thread switches are forced every microsecond."""
    db, interval = marrow.open(tmp_path), sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def work(i: int) -> None:
        for n in range(300):
            with db.transaction() as t:
                t["n"] = b"%d" % (int(t.get("n", b"0") or b"0") + 1)
            db.raw.set_bytes(f"r{i}", b"%d" % n)
            db[f"m{i}"] = b"%d" % n

    with ThreadPoolExecutor(3) as pool:
        list(pool.map(work, range(3)))
    sys.setswitchinterval(interval)
    assert (db["n"], db["r2"], db["m0"]) == (b"900", b"299", b"299")
