"""Stores opened with multiprocess=True by several real processes.

The model test drives three worker processes (mp_worker.py) one call at a
time, so that the order of the calls is the one serial order the answers
must agree with: every read sees every change acknowledged before it, in
whichever process. Then workers run at once: transactions that increment
one counter lose no update. The table of opens shows how the two ways refuse
each other; a fork child is refused a store its parent opened.
"""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Optional

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

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


@pytest.fixture(scope="module", autouse=True)
def _stop_pool() -> Any:
    yield
    while _pool:
        _pool.pop().stop()


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

    @rule(w=WORKER, key=KEYS, value=VALUES)
    def set(self, w: int, key: str, value: str) -> None:
        pool()[w].call("set", key, value)
        self.put(key, value)

    @rule(w=WORKER, key=KEYS)
    def delete(self, w: int, key: str) -> None:
        assert pool()[w].call("delete", key) is (key in self.model)
        self.put(key, None)

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

    @rule(w=WORKER, key=KEYS)
    def get(self, w: int, key: str) -> None:
        assert pool()[w].call("get", key) == self.model.get(key)

    @rule(w=WORKER, keys=st.lists(KEYS, max_size=4))
    def get_many(self, w: int, keys: list[str]) -> None:
        assert pool()[w].call("get_many", keys) == [[k, self.model.get(k)] for k in keys]

    @rule(w=WORKER, call=st.sampled_from(["sync", "persist", "vacuum"]))
    def durable(self, w: int, call: str) -> None:
        pool()[w].call(call)

    @rule(w=WORKER)
    def reopen(self, w: int) -> None:
        pool()[w].call("close")
        pool()[w].call("open", self.dir, 10)

    @precondition(lambda self: bool(self.model))
    @rule()
    def one_process(self) -> None:
        """The files stay what they are: with every worker closed, the store
        opens the one-process way and holds the same."""
        for w in pool():
            w.call("close")
        with marrow.open(self.dir) as db:
            assert dict(db.items()) == {k: bytes.fromhex(v) for k, v in self.model.items()}
        for w in pool():
            w.call("open", self.dir, 10)

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


def test_transactions_lose_no_update(tmp_path: Path) -> None:
    """Four processes at once increment one counter 250 times each through
    transactions, with a put of a key of their own in each: the count is
    exact, and no two transactions read the same count."""
    workers = pool() + [Worker()]
    try:
        for w in workers:
            w.call("open", str(tmp_path), 100)
        left = {w: 250 for w in workers}
        read: list[int] = []
        for w in workers:
            w.send("txn", [["n", "incr"]], False)
        while left:
            ready = select.select(list(left), [], [], 60)[0]
            assert ready, "no worker made progress in 60 s"
            for w in ready:
                answer = w.reply()
                assert "err" not in answer, answer
                read += answer["ok"]
                left[w] -= 1
                if left[w]:
                    w.send("txn", [["n", "incr"], [f"w{workers.index(w)}-{left[w]}", "00"]], False)
                else:
                    del left[w]
        assert sorted(read) == list(range(1000))
        assert workers[0].call("get", "n") == b"1000".hex()
        assert workers[3].call("state")["len"] == 1 + 4 * 249
    finally:
        for w in workers:
            w.call("close")
        workers[3].stop()
