#!/usr/bin/env python3
"""Crash loop for several processes: three workers (mp_worker.py) hold one
store with multiprocess=True and write it at once, each its own keys plus a
counter that transactions increment. Now and then one of them is SIGKILLed:
while it holds the writer lock inside a transaction, or a moment into a
batch, a persist or a vacuum, or wherever it is. Every other worker's next
call must still return (a stuck lock would time out); a new worker takes
the victim's keys over, and its first read must show every change the
victim had acknowledged, plus its last one or not (a batch whole). At the
end the store, opened the one-process way, holds exactly what was
acknowledged and the counter counts every increment that landed.

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

from mp_worker import Worker

WORKERS, KEYS = 3, 30
Change = tuple[str, Optional[str]]  # key, hex value or None for a delete


def own_keys(i: int) -> list[str]:
    return [f"w{i}-{k}" for k in range(KEYS)]


def changes(call: list[Any]) -> list[Change]:
    """What a call changes among the keys its worker owns."""
    if call[0] == "set":
        return [(call[1], call[2])]
    if call[0] == "delete":
        return [(call[1], None)]
    if call[0] == "batch":
        return [(k, v) for k, v in call[1]]
    if call[0] == "txn":
        return [(k, v) for k, v in call[1] if k != "n"]
    return []


class Loop:
    def __init__(self, directory: Path, seed: int) -> None:
        self.dir, self.rng = str(directory), random.Random(seed)
        self.model: dict[str, str] = {}
        self.counted = 0  # increments known to have landed
        self.serial = 0
        self.workers: list[Worker] = []
        self.running: list[Optional[list[Any]]] = []
        self.stats = {"calls": 0, "kills": 0, "landed": 0, "lost": 0, "longest wait after a kill (ms)": 0}
        for i in range(WORKERS):
            self.workers.append(self.start(i))
            self.running.append(None)

    def start(self, i: int) -> Worker:
        w = Worker()
        w.call("open", self.dir, 50)
        return w

    def call_for(self, i: int, kind: Optional[str] = None) -> list[Any]:
        rng, key = self.rng, f"w{i}-{self.rng.randrange(KEYS)}"
        self.serial += 1
        kind = kind or rng.choices(["set", "delete", "batch", "txn", "sync", "persist", "vacuum"], [45, 15, 15, 15, 5, 3, 2])[0]
        if kind == "set":
            return ["set", key, rng.randbytes(rng.randrange(200)).hex()]
        if kind == "delete":
            return ["delete", key]
        if kind == "batch":
            size = rng.choice([100, 3000])
            return ["batch", [[f"w{i}-{rng.randrange(KEYS)}", rng.randbytes(rng.randrange(size)).hex() if rng.random() < 0.8 else None] for _ in range(rng.randrange(1, 6))]]
        if kind == "txn":
            return ["txn", [["n", "incr"], [key, f"{self.serial:08x}"]], False]
        return [kind]

    def acknowledge(self, call: list[Any]) -> None:
        for key, value in changes(call):
            if value is None:
                self.model.pop(key, None)
            else:
                self.model[key] = value
        self.counted += call[0] == "txn"
        self.stats["calls"] += 1

    def settle(self, i: int) -> None:
        """Waits for worker i's call to return."""
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
            self.give(i, self.call_for(i))

    def kill(self, failures: list[str]) -> None:
        i = self.rng.randrange(WORKERS)
        how = self.rng.choice(["holding the lock", "batch", "persist", "vacuum", "anywhere"])
        self.settle(i)
        if how == "holding the lock":
            self.give(i, self.call_for(i, "txn")[:2] + [True])
            assert self.workers[i].reply() == {"holding": True}
        else:
            self.give(i, self.call_for(i, None if how == "anywhere" else how))
            time.sleep(self.rng.uniform(0, 0.004))
        self.workers[i].kill()
        self.stats["kills"] += 1
        # The others go on: each one's next answer must come.
        began = time.monotonic()
        for j in range(WORKERS):
            if j != i:
                self.settle(j)
                self.give(j, self.call_for(j))
        waited = int((time.monotonic() - began) * 1000)
        self.stats["longest wait after a kill (ms)"] = max(self.stats["longest wait after a kill (ms)"], waited)
        self.workers[i] = self.start(i)
        self.check_restart(i, self.running[i], how == "holding the lock", failures)
        self.running[i] = None

    def check_restart(self, i: int, running: Optional[list[Any]], uncommitted: bool, failures: list[str]) -> None:
        keys = own_keys(i)
        found = dict(self.workers[i].call("get_many", keys))
        before = {k: self.model.get(k) for k in keys}
        after = dict(before)
        for key, value in changes(running) if running else []:
            after[key] = value
        if found == before:
            self.stats["lost"] += running is not None and before != after
        elif found == after and running is not None and not uncommitted:
            self.stats["landed"] += 1
            self.acknowledge(running)
        else:
            wrong = {k: (found[k], before[k], after[k]) for k in keys if found[k] not in (before[k], after[k])}
            failures.append(f"worker {i} restarted after a kill during {running}: found, acknowledged, with the last call: {wrong}")
            self.model.update({k: v for k, v in found.items() if v is not None})

    def finish(self, failures: list[str]) -> None:
        for i in range(WORKERS):
            self.settle(i)
            self.workers[i].call("close")
            self.workers[i].stop()
        import marrow

        with marrow.open(self.dir) as db:
            state = {k: v.hex() for k, v in db.items() if k != "n"}
            count = int(db.get("n", b"0"))
        if state != self.model:
            failures.append(f"final state differs: {sorted(set(state.items()) ^ set(self.model.items()))[:6]}")
        # An increment whose worker was killed holding the lock never lands;
        # one killed elsewhere counted when its key showed it.
        if count != self.counted:
            failures.append(f"counter {count}, increments that landed {self.counted}")


def run(directory: Path, cycles: int, seed: int) -> tuple[list[str], dict[str, int]]:
    failures: list[str] = []
    loop = Loop(directory, seed)
    for i in range(WORKERS):
        loop.give(i, loop.call_for(i))
    for _ in range(cycles):
        for _ in range(loop.rng.randrange(5, 40)):
            loop.step()
        loop.kill(failures)
    loop.finish(failures)
    return failures, loop.stats


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=300)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="marrow-mp-crash-") as d:
        failures, stats = run(Path(d), args.cycles, args.seed)
    print(f"seed {args.seed}: {stats}")
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
