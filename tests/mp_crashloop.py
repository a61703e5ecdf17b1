#!/usr/bin/env python3
"""Crash loop for several processes: three workers (mp_worker.py) hold one
store with multiprocess=True and write it at once, each its own keys plus a
counter that transactions increment. Now and then one of them is SIGKILLed:
while it holds the writer lock inside a transaction, or a moment into a
batch, a persist or a vacuum, or wherever it is. Every other worker's next
call must still return (a stuck lock times out); a new worker takes the
victim's keys over, and its first read must show every change the victim
had acknowledged, plus its last one or not (a batch whole; a transaction
killed before its commit never). At the end the store, opened the
one-process way, holds exactly what was acknowledged, and the counter
counts every increment that landed.

    python tests/mp_crashloop.py --cycles 300 [--seed S]
"""

from __future__ import annotations

import argparse
import random
import select
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Optional

import marrow
from mp_worker import Worker

WORKERS, KEYS = 3, 30
KINDS = {"set": 45, "delete": 15, "batch": 15, "txn": 15, "sync": 5, "persist": 3, "vacuum": 2}


class Loop:
    def __init__(self, directory: Path, seed: int) -> None:
        self.dir, self.rng = str(directory), random.Random(seed)
        self.model: dict[str, str] = {}  # acknowledged: key -> hex value
        self.counted = self.serial = 0
        self.stats = {"kills": 0, "landed": 0, "lost": 0}
        self.workers = [Worker(self.dir, 50) for _ in range(WORKERS)]
        self.running: list[Optional[list[Any]]] = [None] * WORKERS

    def make(self, i: int, kind: Optional[str] = None) -> list[Any]:
        rng = self.rng

        def key() -> str:
            return f"w{i}-{rng.randrange(KEYS)}"

        kind = kind or rng.choices(list(KINDS), list(KINDS.values()))[0]
        self.serial += 1
        if kind == "set":
            return ["set", key(), rng.randbytes(rng.randrange(200)).hex()]
        if kind == "delete":
            return ["delete", key()]
        if kind == "batch":
            size = rng.choice([100, 3000])
            return ["batch", [[key(), rng.randbytes(rng.randrange(size)).hex() if rng.random() < 0.8 else None] for _ in range(rng.randrange(1, 6))]]
        if kind == "txn":  # a value of its own shows whether it landed
            return ["txn", [["n", "incr"], [key(), f"{self.serial:08x}"]], False]
        return [kind]

    @staticmethod
    def changes(call: Optional[list[Any]]) -> list[tuple[str, Optional[str]]]:
        if call is None or call[0] not in ("set", "delete", "batch", "txn"):
            return []
        if call[0] in ("set", "delete"):
            return [(call[1], call[2] if call[0] == "set" else None)]
        return [(k, v) for k, v in call[1] if k != "n"]

    def acknowledge(self, call: list[Any]) -> None:
        for key, value in self.changes(call):
            self.model.pop(key, None)
            if value is not None:
                self.model[key] = value
        self.counted += call[0] == "txn"

    def settle(self, i: int) -> None:
        if self.running[i] is not None:
            answer = self.workers[i].reply()
            assert "err" not in answer, (self.running[i], answer)
            self.acknowledge(self.running[i])  # type: ignore[arg-type]
            self.running[i] = None

    def give(self, i: int, call: list[Any]) -> None:
        self.running[i] = call
        self.workers[i].send(*call)

    def step(self) -> None:
        ready = select.select(self.workers, [], [], 60)[0]
        assert ready, "no worker answered in 60 s"
        for w in ready:
            i = self.workers.index(w)
            self.settle(i)
            self.give(i, self.make(i))

    def kill(self, failures: list[str]) -> None:
        i = self.rng.randrange(WORKERS)
        how = self.rng.choice(["holding the lock", "batch", "persist", "vacuum", "anywhere"])
        self.settle(i)
        if how == "holding the lock":
            self.give(i, self.make(i, "txn")[:2] + [True])
            assert self.workers[i].reply() == {"holding": True}
        else:
            self.give(i, self.make(i, None if how == "anywhere" else how))
            time.sleep(self.rng.uniform(0, 0.004))
        self.workers[i].stop(kill=True)
        self.stats["kills"] += 1
        for j in range(WORKERS):  # the others go on: each one's next answer must come
            if j != i:
                self.settle(j)
                self.give(j, self.make(j))
        self.workers[i] = Worker(self.dir, 50)
        running, self.running[i] = self.running[i], None
        keys = [f"w{i}-{k}" for k in range(KEYS)]
        found = dict(self.workers[i].call("get_many", keys))
        before = {k: self.model.get(k) for k in keys}
        after = dict(before, **dict(self.changes(running)))
        if found == before:
            self.stats["lost"] += before != after
        elif found == after and how != "holding the lock":
            self.stats["landed"] += 1
            self.acknowledge(running)  # type: ignore[arg-type]
        else:
            failures.append(f"worker {i} killed {how} during {running}: found {found}, acknowledged {before}")

    def finish(self, failures: list[str]) -> None:
        for i, w in enumerate(self.workers):
            self.settle(i)
            w.call("close")
            w.stop()
        with marrow.open(self.dir) as db:
            state = {k: v.hex() for k, v in db.items() if k != "n"}
            count = int(db.get("n", b"0") or b"0")
        if state != self.model:
            failures.append(f"final state differs: {sorted(set(state.items()) ^ set(self.model.items()))[:6]}")
        if count != self.counted:
            failures.append(f"counter {count}, increments that landed {self.counted}")


def run(directory: Path, cycles: int, seed: int) -> tuple[list[str], dict[str, int]]:
    failures: list[str] = []
    loop = Loop(directory, seed)
    for i in range(WORKERS):
        loop.give(i, loop.make(i))
    for _ in range(cycles):
        for _ in range(loop.rng.randrange(5, 40)):
            loop.step()
        loop.kill(failures)
    loop.finish(failures)
    return failures, loop.stats


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=300)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="marrow-mp-crash-") as d:
        failures, stats = run(Path(d), args.cycles, args.seed)
    print(f"seed {args.seed}: {stats}", *failures, sep="\n")
    sys.exit(1 if failures else 0)
