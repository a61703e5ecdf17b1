#!/usr/bin/env python3
"""Crash loop: SIGKILL a store's writer at random instants, reopen, check.

A child opens the store, prints what it reads (every key of a small universe,
len() and keys()), then runs a seeded random sequence of set_bytes, delete,
get_bytes, batches of puts and deletes (some larger than the log's buffer),
sync, persist, vacuum and reopen (a new store opened before the old one
goes). After each call that returned it appends the call's index to a
journal with write(2), which a SIGKILL cannot undo. The parent kills the
child at a random instant; the next child's report must equal the state
after some prefix of the journaled calls (or all of them plus the one that
was running), and that prefix must reach past the last sync, persist,
vacuum or reopen: later writes may be lost, but only as a suffix, and a
batch only whole.

In some cycles a reader process opens the store read-only beside the child
and refreshes at random instants, through the kill and after it; every state
it reports must be the state after some prefix of the child's calls.

    python tests/crashloop.py --cycles 10000 [--seed S]
"""

from __future__ import annotations

import argparse
import hashlib
import itertools
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Iterator, Optional

KEYS = [f"k{i:03d}" + ("-\u00e9\u00df" if i % 17 == 0 else "") for i in range(200)]
DURABLE = ("sync", "persist", "vacuum", "reopen")
Op = tuple[str, str, Optional[str]]  # kind, key (a batch: its changes as JSON), digest of the value


def calls(seed: int) -> Iterator[tuple[str, str, bytes]]:
    """The calls of one child, a pure function of the seed."""
    rng = random.Random(seed)
    while True:
        r, key = rng.random(), rng.choice(KEYS)
        if r < 0.5:  # now and then a value larger than the log's buffer
            size = rng.randrange(8192, 12289) if rng.random() < 0.02 else rng.randrange(rng.choice([64, 3001]))
            yield "set", key, rng.randbytes(size)
        elif r < 0.55:
            ops = [(rng.choice(KEYS), rng.randbytes(rng.randrange(rng.choice([64, 3001]))) if rng.random() < 0.7 else None) for _ in range(rng.randrange(1, 9))]
            yield "batch", json.dumps([(k, None if v is None else v.hex()) for k, v in ops]), b""
        elif r < 0.56:
            yield "sync", "", b""
        elif r < 0.935:
            yield ("delete" if r < 0.7 else "get"), key, b""
        else:
            yield ("persist" if r < 0.97 else "vacuum" if r < 0.99 else "reopen"), "", b""


def digest(value: Optional[bytes]) -> Optional[str]:
    return None if value is None else hashlib.blake2b(value, digest_size=8).hexdigest()


def report(db: object) -> dict[str, object]:
    return {"values": {k: digest(db.get_bytes(k)) for k in KEYS}, "len": db.len(), "keys": sorted(db.keys())}  # type: ignore[attr-defined]


def child(directory: str, journal: str, seed: str, size: str) -> None:
    from marrow._core import StoreCore

    cache_size = int(size)
    core = StoreCore(directory, cache_size)
    db = core.raw
    print(json.dumps(report(db)), flush=True)
    model = {k: v for k, v in ((k, db.get_bytes(k)) for k in KEYS) if v is not None}
    fd = os.open(journal, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    for i, (kind, key, val) in enumerate(calls(int(seed))):
        try:
            if kind == "set":
                db.set_bytes(key, val)
                model[key] = val
            elif kind == "delete":
                db.delete(key)
                model.pop(key, None)
            elif kind == "batch":
                ops = [(k, None if v is None else bytes.fromhex(v)) for k, v in json.loads(key)]
                core.commit(ops)
                for k, v in ops:
                    model.pop(k, None)
                    if v is not None:
                        model[k] = v
            elif kind == "get" and db.get_bytes(key) != model.get(key):
                raise AssertionError(f"get_bytes({key!r}) disagrees with the calls before it")
            elif kind == "reopen":
                core = StoreCore(directory, cache_size)
                db = core.raw
            elif kind != "get":
                getattr(core, kind)()
        except BaseException as e:  # noqa: BLE001 - every failure is reported
            os.write(fd, f"E call {i} {kind}({key!r}): {type(e).__name__}: {e}\n".encode())
            os._exit(3)
        os.write(fd, b"%d\n" % i)


def reader(directory: str, cache_size: str) -> None:
    """Reports what a read-only open sees at each refresh until stdin closes."""
    import marrow

    while True:
        try:
            store = marrow.open(directory, int(cache_size), readonly=True)
            break
        except FileNotFoundError:  # the first writer has not made it yet
            time.sleep(0.002)
    rng = random.Random(os.getpid())
    while True:
        closing = select.select([sys.stdin], [], [], rng.uniform(0, 0.01))[0]
        store.refresh()
        print(json.dumps(report(store.raw)), flush=True)
        if closing:
            return


def check(found: dict[str, object], base: dict[str, str], done: list[Op], running: Optional[Op], floor: int) -> Optional[str]:
    """None when `found` is the state after done[:p] for some p >= floor, or after done + [running]."""
    values: dict[str, Optional[str]] = found["values"]  # type: ignore[assignment]
    live = {k: v for k, v in values.items() if v is not None}
    if found["keys"] != sorted(live) or found["len"] != len(live):
        return f"len() {found['len']} and keys() disagree with the {len(live)} values read"
    state, steps = dict(base), done + ([running] if running else [])
    for p in range(len(steps) + 1):
        if p >= floor and state == live:
            return None
        if p < len(steps) and steps[p][0] in ("set", "delete", "batch"):
            kind, key, value = steps[p]
            for k, v in json.loads(key) if kind == "batch" else [(key, value)]:
                state.pop(k, None)
                if v is not None and kind != "delete":
                    state[k] = v
    return f"no prefix of the {len(done)} journaled calls from call {floor} on gives what was read"


def ops(seed: int) -> Iterator[Op]:
    """The calls of one child as the parent checks them, values by digest."""
    for kind, key, val in calls(seed):
        if kind == "batch":  # the changes with their values' digests
            key = json.dumps([(k, None if v is None else digest(bytes.fromhex(v))) for k, v in json.loads(key)])
        yield kind, key, digest(val) if kind == "set" else None


def run(directory: Path, cycles: int, seed: int, readers: float = 0.3) -> tuple[list[str], int, int]:
    """Runs the loop; returns the failures, the number of calls journaled and
    the number of reader states checked."""
    rng, store, journal = random.Random(seed), directory / "store", directory / "journal"
    base: dict[str, str] = {}
    done: list[Op] = []
    running: Optional[Op] = None
    floor = total = checked = 0
    failures: list[str] = []
    for c in range(cycles):
        journal.unlink(missing_ok=True)
        child_seed = rng.getrandbits(48)
        argv = [sys.executable, __file__, "child", str(store), str(journal), str(child_seed), str(rng.choice([0, 4, 64]))]
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        watch = [sys.executable, __file__, "reader", str(store), str(rng.choice([0, 64]))] if rng.random() < readers else None
        watcher = watch and subprocess.Popen(watch, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if rng.random() < 0.1:  # somewhere in the start-up and the open
            time.sleep(rng.uniform(0.02, 0.12))
        elif select.select([proc.stdout], [], [], 60)[0]:  # the report is coming: the open is done
            time.sleep(rng.uniform(0, 0.004) if rng.random() < 0.3 else rng.uniform(0, 0.2))
        proc.send_signal(signal.SIGKILL)
        line = proc.communicate()[0]
        lines = journal.read_text().splitlines() if journal.exists() else []
        count = next((i for i, text in enumerate(lines) if text != str(i)), len(lines))
        if proc.returncode != -signal.SIGKILL or count < len(lines):
            failures.append(f"cycle {c}: the child ended on its own: {lines[count:]}")
        stream = ops(child_seed)
        acked, now = list(itertools.islice(stream, count)), next(stream)
        seen = b""
        if watcher is not None:
            seen, problem = watcher.communicate(b"", timeout=120)
            if watcher.returncode != 0:
                failures.append(f"cycle {c}: the reader failed: {problem.decode()[-2000:]}")
        if not line.endswith(b"\n"):
            if lines:
                failures.append(f"cycle {c}: calls journaled without a report")
            continue  # killed in the open: the same expectations hold for the next one
        found = json.loads(line)
        error = check(found, base, done, running, floor)
        failures += [f"cycle {c}: {error}"] if error else []
        base = {k: v for k, v in found["values"].items() if v is not None}
        # A reader sees the recovered state plus a prefix of this child's calls.
        errors = [check(json.loads(state), base, acked, now, 0) for state in seen.splitlines()]
        checked += len(errors)
        failures += [f"cycle {c}: a reader saw a state the calls do not allow: {e}" for e in errors if e]
        done, running = acked, now
        floor = max([i + 1 for i, op in enumerate(done) if op[0] in DURABLE], default=0)
        total += len(done)
    from marrow import Marrow

    error = check(report(Marrow(str(store))), base, done, running, floor)
    return failures + ([f"the last open: {error}"] if error else []), total, checked


def main() -> int:
    if sys.argv[1:2] in (["child"], ["reader"]):
        {"child": child, "reader": reader}[sys.argv[1]](*sys.argv[2:])
        return 0
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cycles", type=int, default=200)
    p.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    a = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="crashloop-") as d:
        failures, total, checked = run(Path(d), a.cycles, a.seed)
    print("\n".join(failures + [f"crash loop: seed {a.seed}, {a.cycles} cycles, {total} calls, {checked} reader states checked, {len(failures)} failures"]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
