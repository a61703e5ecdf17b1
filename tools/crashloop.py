#!/usr/bin/env python3
"""Crash loop: kill a store's only writer at random instants, reopen, compare.

A child process opens the store, reports what it reads (every key of a small
key universe, len() and keys()), and then runs a seeded random sequence of
set_bytes, delete, get_bytes, persist, vacuum and reopen (a new Marrow on the
same directory, opened before the old object is dropped). It appends the index
of every operation that returned to a journal file with plain write(2) calls,
which a SIGKILL cannot undo. The parent kills the child with SIGKILL at a
random instant, and the next child's report is checked against the journal:

  - the open succeeds, len() and keys() agree with the values read;
  - the values equal the model after some prefix of the journaled operations
    (plus possibly the one that was running at the kill), and that prefix
    reaches at least past the last completed persist(), vacuum() or reopen.
    Writes after that may be lost, but only as a suffix.

Then the model is reset to what was read and the loop goes on with the same
directory. Some kills land while the child is still opening the store.

    python tools/crashloop.py --cycles 10000 --seed 1 --dir /tmp/crash
    python tools/crashloop.py child --dir D --journal J --seed S  (internal)
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator, Optional

UNIVERSE_SIZE = 200
# A few keys outside ASCII, so key text takes more than one byte per char.
KEYS = [f"k{i:03d}" + ("-\u00e9\u00df" if i % 17 == 0 else "") for i in range(UNIVERSE_SIZE)]
DURABLE = ("persist", "vacuum", "reopen")
OPEN_TIMEOUT = 60.0


@dataclass(frozen=True)
class Op:
    kind: str  # set, delete, get, persist, vacuum, reopen
    key: str = ""
    value: bytes = b""


def value_size(rng: random.Random) -> int:
    r = rng.random()
    if r < 0.35:
        return rng.randrange(0, 64)
    if r < 0.98:
        return rng.randrange(0, 3001)
    # Now and then a record larger than the log's 8192-byte buffer.
    return rng.randrange(8192, 12289)


def op_stream(seed: int) -> Iterator[Op]:
    """The operations of one child, a pure function of the seed."""
    rng = random.Random(seed)
    while True:
        r = rng.random()
        if r < 0.55:
            key = rng.choice(KEYS)
            yield Op("set", key, rng.randbytes(value_size(rng)))
        elif r < 0.70:
            yield Op("delete", rng.choice(KEYS))
        elif r < 0.935:
            yield Op("get", rng.choice(KEYS))
        elif r < 0.97:
            yield Op("persist")
        elif r < 0.99:
            yield Op("vacuum")
        else:
            yield Op("reopen")


def digest(value: Optional[bytes]) -> Optional[str]:
    return None if value is None else hashlib.blake2b(value, digest_size=10).hexdigest()


# --------------------------------------------------------------------------
# Child
# --------------------------------------------------------------------------


def die_with_parent() -> None:
    """Asks Linux to SIGKILL this process when its parent goes away."""
    try:
        import ctypes

        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL)
    except (OSError, AttributeError):
        pass


def child_main(directory: str, journal: str, seed: int, cache_size: int) -> None:
    parent = os.getppid()
    die_with_parent()
    if os.getppid() != parent:
        os._exit(4)
    from marrow import Marrow

    db = Marrow(directory, cache_size)
    values = {k: db.get_bytes(k) for k in KEYS}
    report = {
        "values": {k: digest(v) for k, v in values.items()},
        "len": db.len(),
        "keys": sorted(db.keys()),
    }
    sys.stdout.write(json.dumps(report) + "\n")
    sys.stdout.flush()

    model = {k: v for k, v in values.items() if v is not None}
    fd = os.open(journal, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    for i, op in enumerate(op_stream(seed)):
        try:
            if op.kind == "set":
                db.set_bytes(op.key, op.value)
                model[op.key] = op.value
            elif op.kind == "delete":
                db.delete(op.key)
                model.pop(op.key, None)
            elif op.kind == "get":
                got = db.get_bytes(op.key)
                if got != model.get(op.key):
                    os.write(fd, f"X {i} get({op.key!r}) returned {digest(got)}, "
                                 f"expected {digest(model.get(op.key))}\n".encode())
                    os._exit(3)
            elif op.kind == "persist":
                db.persist()
            elif op.kind == "vacuum":
                db.vacuum()
            else:
                db = Marrow(directory, cache_size)  # the old object goes after
        except BaseException as e:  # noqa: BLE001 - every failure is reported
            os.write(fd, f"E {i} {op.kind}({op.key!r}): {type(e).__name__}: {e}\n".encode())
            os._exit(3)
        os.write(fd, b"%d\n" % i)


# --------------------------------------------------------------------------
# Parent
# --------------------------------------------------------------------------


@dataclass
class Pending:
    """What the next report must match: a base state plus journaled ops."""

    base: dict[str, str] = field(default_factory=dict)  # key -> digest
    ops: list[Op] = field(default_factory=list)  # completed, in order
    extra: Optional[Op] = None  # the op that may have been running
    min_prefix: int = 0  # ops[:min_prefix] must be in effect


@dataclass
class Stats:
    cycles: int = 0
    failures: int = 0
    ops: int = 0
    lost_ops: int = 0
    extra_applied: int = 0
    killed_in_open: int = 0
    # The kind of the op that was running (or next) at each kill.
    killed_during: Counter[str] = field(default_factory=Counter)
    messages: list[str] = field(default_factory=list)


def check_report(report: dict, pending: Pending) -> tuple[Optional[str], int]:
    """(error or None, matched prefix length)."""
    values: dict[str, Optional[str]] = report["values"]
    live = sorted(k for k, v in values.items() if v is not None)
    if report["keys"] != live:
        extra = sorted(set(report["keys"]) - set(live))
        missing = sorted(set(live) - set(report["keys"]))
        return f"keys() disagrees with get_bytes: extra {extra[:5]}, missing {missing[:5]}", -1
    if report["len"] != len(live):
        return f"len() is {report['len']} but {len(live)} keys read back", -1

    model: dict[str, Optional[str]] = dict(pending.base)
    mismatched = {k for k in KEYS if model.get(k) != values[k]}
    ops = pending.ops + ([pending.extra] if pending.extra else [])
    first_mismatch: Optional[set[str]] = None
    for p in range(len(ops) + 1):
        if p == pending.min_prefix:
            first_mismatch = set(mismatched)
        if p >= pending.min_prefix and not mismatched:
            return None, p
        if p == len(ops):
            break
        op = ops[p]
        if op.kind == "set":
            model[op.key] = digest(op.value)
        elif op.kind == "delete":
            model.pop(op.key, None)
        else:
            continue
        if model.get(op.key) == values[op.key]:
            mismatched.discard(op.key)
        else:
            mismatched.add(op.key)
    keys = sorted(first_mismatch or ())[:8]
    return (f"no prefix of {len(pending.ops)} journaled ops (at least {pending.min_prefix}) "
            f"matches; at the minimum prefix these keys differ: {keys}"), -1


def read_journal(path: Path, seed: int) -> tuple[list[Op], Optional[Op], Optional[str]]:
    """(completed ops, the op after them, error line or None)."""
    lines = path.read_bytes().decode(errors="replace").splitlines() if path.exists() else []
    error = None
    count = 0
    for line in lines:
        if line.startswith(("E ", "X ")):
            error = line
            break
        if line != str(count):
            error = f"journal out of order at line {count}: {line!r}"
            break
        count += 1
    stream = op_stream(seed)
    ops = [next(stream) for _ in range(count)]
    return ops, next(stream), error


class CrashLoop:
    def __init__(self, directory: Path, seed: int, verbose: bool = False) -> None:
        self.dir = directory
        self.store = directory / "store"
        self.work = directory / "work"
        self.seed = seed
        self.verbose = verbose
        self.rng = random.Random(seed)
        # A directory that already holds a store gives the first report as
        # the starting state; a new one must open empty.
        self.pending: Optional[Pending] = None if self.store.exists() else Pending()
        self.stats = Stats()

    def fail(self, cycle: int, message: str) -> None:
        self.stats.failures += 1
        text = f"cycle {cycle}: {message}"
        self.stats.messages.append(text)
        print(f"FAIL {text}", flush=True)
        # Keep the directory as it was found, for a reproduction.
        keep = self.dir / "failures" / f"cycle-{cycle}"
        if not keep.exists():
            shutil.copytree(self.store, keep)

    def cycle(self, c: int) -> None:
        self.work.mkdir(parents=True, exist_ok=True)
        journal = self.work / "journal"
        journal.unlink(missing_ok=True)
        cycle_seed = self.rng.getrandbits(48)
        cache_size = self.rng.choice([4, 64, 10000])
        early = self.rng.random() < 0.1
        stderr_path = self.work / "stderr"
        with open(stderr_path, "wb") as stderr:
            child = subprocess.Popen(
                [sys.executable, __file__, "child", "--dir", str(self.store),
                 "--journal", str(journal), "--seed", str(cycle_seed),
                 "--cache-size", str(cache_size)],
                stdout=subprocess.PIPE, stderr=stderr, stdin=subprocess.DEVNULL,
            )
        assert child.stdout is not None
        line = b""
        try:
            if early:
                # Somewhere in start-up, the open and its recovery included.
                time.sleep(self.rng.uniform(0.02, 0.12))
            else:
                ready, _, _ = select.select([child.stdout], [], [], OPEN_TIMEOUT)
                if not ready:
                    child.kill()
                    child.wait()
                    self.fail(c, f"the open did not finish within {OPEN_TIMEOUT} s")
                    return
                line = child.stdout.readline()
                r = self.rng.random()
                time.sleep(self.rng.uniform(0, 0.004) if r < 0.3 else self.rng.uniform(0, 0.2))
        finally:
            if child.poll() is None:
                child.send_signal(signal.SIGKILL)
            child.wait()
            rest = child.stdout.read()
            child.stdout.close()
        line += rest
        self.stats.cycles += 1

        ops, extra, journal_error = read_journal(journal, cycle_seed)
        if child.returncode != -signal.SIGKILL:
            err = stderr_path.read_bytes().decode(errors="replace")[-2000:]
            self.fail(c, f"child exited with {child.returncode} before the kill: "
                         f"{journal_error or ''}\n{err}")
        elif journal_error:
            self.fail(c, journal_error)

        report = None
        if line.endswith(b"\n"):
            report = json.loads(line.decode().splitlines()[0])
        if report is None:
            self.stats.killed_in_open += 1
            if ops:
                self.fail(c, "operations journaled without a report")
            return  # the same expectations carry over to the next open

        error, matched = check_report(report, self.pending) if self.pending else (None, 0)
        if error:
            self.fail(c, error)
        elif self.pending:
            lost = len(self.pending.ops) - matched
            if lost < 0:
                self.stats.extra_applied += 1
            else:
                self.stats.lost_ops += lost
        self.stats.ops += len(ops)
        if extra is not None:
            self.stats.killed_during[extra.kind] += 1
        base = {k: v for k, v in report["values"].items() if v is not None}
        durable = [i + 1 for i, op in enumerate(ops) if op.kind in DURABLE]
        self.pending = Pending(base, ops, extra, durable[-1] if durable else 0)
        if self.verbose:
            print(f"cycle {c}: {len(ops)} ops, matched {matched}", flush=True)

    def run(self, cycles: int, progress: int = 0) -> Stats:
        for c in range(cycles):
            self.cycle(c)
            if progress and (c + 1) % progress == 0:
                print(f"  {c + 1} cycles, {self.stats.failures} failures", flush=True)
        # A last open checks the final kill.
        self.final_check(cycles)
        return self.stats

    def final_check(self, c: int) -> None:
        proc = subprocess.run(
            [sys.executable, "-c",
             "import json, sys\n"
             f"sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
             "import crashloop as cl\n"
             "from marrow import Marrow\n"
             f"db = Marrow({str(self.store)!r})\n"
             "print(json.dumps({'values': {k: cl.digest(db.get_bytes(k)) for k in cl.KEYS},"
             " 'len': db.len(), 'keys': sorted(db.keys())}))\n"],
            capture_output=True, text=True, timeout=OPEN_TIMEOUT,
        )
        if proc.returncode != 0:
            self.fail(c, f"final open failed: {proc.stderr[-2000:]}")
            return
        if self.pending is None:
            return
        error, _ = check_report(json.loads(proc.stdout), self.pending)
        if error:
            self.fail(c, error)


def run_crash_loop(directory: Path, cycles: int, seed: int, verbose: bool = False,
                   progress: int = 0) -> Stats:
    return CrashLoop(Path(directory), seed, verbose).run(cycles, progress)


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "child":
        p = argparse.ArgumentParser()
        p.add_argument("child")
        p.add_argument("--dir", required=True)
        p.add_argument("--journal", required=True)
        p.add_argument("--seed", type=int, required=True)
        p.add_argument("--cache-size", type=int, default=10000)
        a = p.parse_args()
        child_main(a.dir, a.journal, a.seed, a.cache_size)
        return 0

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cycles", type=int, default=200)
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--dir", default=None, help="working directory (default: a temporary one)")
    p.add_argument("-v", "--verbose", action="store_true")
    a = p.parse_args()
    seed = a.seed if a.seed is not None else random.randrange(1 << 32)
    print(f"crash loop: seed {seed}, {a.cycles} cycles", flush=True)
    start = time.monotonic()
    if a.dir:
        Path(a.dir).mkdir(parents=True, exist_ok=True)
        stats = run_crash_loop(Path(a.dir), a.cycles, seed, a.verbose, 1000)
    else:
        with tempfile.TemporaryDirectory(prefix="crashloop-") as d:
            stats = run_crash_loop(Path(d), a.cycles, seed, a.verbose, 1000)
    print(f"crash loop: seed {seed}: {stats.cycles} cycles, {stats.failures} failures, "
          f"{stats.ops} ops journaled, {stats.lost_ops} unpersisted ops lost, "
          f"{stats.killed_in_open} kills during the open, kills during ops: "
          f"{dict(sorted(stats.killed_during.items()))}, "
          f"{time.monotonic() - start:.0f} s", flush=True)
    return 1 if stats.failures else 0


if __name__ == "__main__":
    sys.exit(main())
