#!/usr/bin/env python3
"""Damaged-file sweep: damage one file of a store, then use the store.

A reference store is built with keys in three places: some only in the
compacted files and the snapshot a vacuum wrote, some only in the snapshot a
later persist() wrote, some only in the log. Each seeded case copies it,
damages one of the five files (keys.bin, vals.bin, offsets.bin, wal.bin,
snapshot.bin) by truncating it, flipping bytes, zeroing a range, planting a
huge length or offset field, appending garbage or removing the file, and then
runs every method of a Marrow on the copy in a subprocess limited to 2 GiB of
address space: the open, get_bytes of every key, get_many, len, keys,
cache_stats, clear_cache, set_bytes, delete, persist, vacuum and a reopen.

Each call may raise (the exception is counted, the case goes on), but the
subprocess must not die from a signal, hang, run out of memory, or return a
value that was never written for the key it was asked for. What counts as
written depends on the damage, since the files carry no checksums:

  - always: a value ever written for that key, or None;
  - wal.bin: also the value of any Put the damaged log still decodes to for
    that key (a flipped byte inside a logged key or value is a valid record);
  - vals.bin: also the damaged bytes of one of that key's records;
  - keys.bin: also the value of a record whose damaged key text is that key;
  - offsets.bin and snapshot.bin: also any run of bytes of vals.bin (an offset
    or an end position that changed can point anywhere in it).

    python tools/damage_sweep.py --cases 2000 --seed 1
    python tools/damage_sweep.py case --dir D --plan P --out O   (internal)
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

FILES = ("keys.bin", "vals.bin", "offsets.bin", "wal.bin", "snapshot.bin")
KINDS = ("truncate", "flip", "zero", "huge", "append", "remove")
LENGTH_FILES = ("offsets.bin", "wal.bin", "snapshot.bin")  # have length fields
WEAK_FILES = ("offsets.bin", "snapshot.bin")
MEMORY_LIMIT = 2 << 30
CASE_TIMEOUT = 120.0
SLOT = 24
HUGE64 = (2**64 - 1, 2**63, 2**63 - 1, 2**40, 2**32, 2**32 - 1)
HUGE32 = (2**32 - 1, 2**31, 2**31 - 1, 2**24)


def digest(value: bytes) -> str:
    return hashlib.blake2b(value, digest_size=10).hexdigest()


# --------------------------------------------------------------------------
# The reference store
# --------------------------------------------------------------------------


@dataclass
class Reference:
    directory: Path
    history: dict[str, list[bytes]]  # every value written for each key
    final: dict[str, bytes]


def _value(rng: random.Random) -> bytes:
    r = rng.random()
    n = rng.randrange(0, 40) if r < 0.3 else rng.randrange(0, 3001) if r < 0.95 else rng.randrange(8192, 12000)
    return rng.randbytes(n)


def build_reference(directory: Path, seed: int) -> Reference:
    """Keys a*: vacuumed; b*: in the persisted snapshot; c*: only in the log."""
    from marrow import Marrow

    rng = random.Random(seed)
    history: dict[str, list[bytes]] = {}
    final: dict[str, bytes] = {}
    db = Marrow(str(directory), 64)

    def put(key: str) -> None:
        v = _value(rng)
        db.set_bytes(key, v)
        history.setdefault(key, []).append(v)
        final[key] = v

    def delete(key: str) -> None:
        db.delete(key)
        final.pop(key, None)

    a = [f"a{i:03d}" + ("\u00e9" if i % 11 == 0 else "") for i in range(60)]
    b = [f"b{i:03d}" for i in range(60)]
    c = [f"c{i:03d}" + ("\u2603" if i % 13 == 0 else "") for i in range(40)]
    for k in a:
        put(k)
    for k in rng.sample(a, 20):
        put(k)
    for k in rng.sample(a, 5):
        delete(k)
    db.vacuum()
    for k in b:
        put(k)
    for k in rng.sample(a, 10) + rng.sample(b, 10):
        put(k)
    for k in rng.sample(b, 5):
        delete(k)
    db.persist()
    for k in c:
        put(k)
    for k in rng.sample(a, 5) + rng.sample(b, 5) + rng.sample(c, 10):
        put(k)
    for k in rng.sample(a, 3) + rng.sample(c, 3):
        delete(k)
    del db  # writes out the log's buffer
    return Reference(directory, history, final)


# --------------------------------------------------------------------------
# File layouts, read independently of the engine
# --------------------------------------------------------------------------


@dataclass
class WalRecord:
    start: int
    key_len_at: int
    val_len_at: Optional[int]
    key: str
    value: Optional[bytes]


def decode_wal(data: bytes) -> list[WalRecord]:
    """The records before the first one that does not decode."""
    out = []
    pos = 0
    while pos + 12 <= len(data):
        tag, klen = struct.unpack_from("<IQ", data, pos)
        if tag > 1 or pos + 12 + klen > len(data):
            break
        try:
            key = data[pos + 12 : pos + 12 + klen].decode("utf-8")
        except UnicodeDecodeError:
            break
        end = pos + 12 + klen
        if tag == 1:
            out.append(WalRecord(pos, pos + 4, None, key, None))
            pos = end
            continue
        if end + 8 > len(data):
            break
        (vlen,) = struct.unpack_from("<Q", data, end)
        if end + 8 + vlen > len(data):
            break
        out.append(WalRecord(pos, pos + 4, end, key, data[end + 8 : end + 8 + vlen]))
        pos = end + 8 + vlen
    return out


def offset_entries(data: bytes) -> list[tuple[int, int, int, int, int]]:
    """(record id, key_offset, key_len, val_offset, val_len) of non-zero slots."""
    out = []
    zero = bytes(SLOT)
    for rid in range(len(data) // SLOT):
        raw = data[rid * SLOT : rid * SLOT + SLOT]
        if raw != zero:
            out.append((rid, *struct.unpack("<QIQI", raw)))
    return out


def snapshot_fields(data: bytes) -> dict[str, int]:
    """Byte positions of the snapshot's counts, lengths and positions."""
    (n,) = struct.unpack_from("<Q", data, 0)
    l1_at = 8 + 12 * n
    (l1,) = struct.unpack_from("<Q", data, l1_at)
    l2_at = l1_at + 8 + l1
    (l2,) = struct.unpack_from("<Q", data, l2_at)
    next_id_at = l2_at + 8 + l2
    return {"N": 0, "L1": l1_at, "L2": l2_at, "next_id": next_id_at,
            "keys_end": next_id_at + 4, "vals_end": next_id_at + 12, "entries": n}


# --------------------------------------------------------------------------
# Damage
# --------------------------------------------------------------------------


@dataclass
class Case:
    index: int
    file: str
    kind: str
    detail: str = ""


def damage(directory: Path, case: Case, rng: random.Random) -> None:
    path = directory / case.file
    if not path.exists():
        case.detail = "file absent"
        return
    data = bytearray(path.read_bytes())
    size = len(data)
    # offsets.bin is mostly zero slots past the records; aim at the records.
    used = size
    if case.file == "offsets.bin":
        entries = offset_entries(bytes(data))
        used = (entries[-1][0] + 1) * SLOT if entries else size

    if case.kind == "remove":
        path.unlink()
        case.detail = "removed"
        return
    if case.kind == "truncate":
        r = rng.random()
        cut = 0 if r < 0.1 else size - rng.randrange(1, min(size, 64) + 1) if r < 0.4 else rng.randrange(0, max(size, 1))
        cut = max(cut, 0)
        if case.file == "offsets.bin" and r >= 0.4:
            cut = rng.randrange(0, max(used, 1))
        del data[cut:]
        case.detail = f"cut at {cut} of {size}"
    elif case.kind == "flip":
        spots = []
        for _ in range(rng.choice((1, 1, 2, 4, 8))):
            if not used:
                break
            at = rng.randrange(0, used)
            mask = 1 << rng.randrange(8) if rng.random() < 0.6 else rng.randrange(1, 256)
            data[at] ^= mask
            spots.append(f"{at}^{mask:#x}")
        case.detail = "flipped " + ",".join(spots)
    elif case.kind == "zero":
        if used:
            at = rng.randrange(0, used)
            n = min(rng.choice((1, 8, 24, 100, 4096, 100000)), used - at)
            data[at : at + n] = bytes(n)
            case.detail = f"zeroed {n} bytes at {at}"
    elif case.kind == "append":
        n = rng.choice((1, 7, 24, 300, 9000))
        data += rng.randbytes(n)
        case.detail = f"appended {n} random bytes"
    elif case.kind == "huge":
        case.detail = plant_huge(case.file, data, rng)
    path.write_bytes(bytes(data))


def plant_huge(name: str, data: bytearray, rng: random.Random) -> str:
    if name == "wal.bin":
        records = decode_wal(bytes(data))
        if not records:
            return "no record"
        rec = rng.choice(records)
        at = rec.val_len_at if rec.val_len_at is not None and rng.random() < 0.5 else rec.key_len_at
        remaining = len(data) - at - 8
        value = rng.choice(HUGE64 + (remaining + 1, remaining, max(remaining - 1, 0)))
        struct.pack_into("<Q", data, at, value)
        return f"log length at {at} = {value:#x}"
    if name == "snapshot.bin":
        fields = snapshot_fields(bytes(data))
        which = rng.choice(("N", "L1", "L2", "next_id", "keys_end", "vals_end"))
        at = fields[which]
        if which == "next_id":
            value = rng.choice(HUGE32 + (fields["entries"] + 1, 99_999, 100_000, 0))
            struct.pack_into("<I", data, at, value)
        else:
            value = rng.choice(HUGE64 + (len(data), len(data) - at))
            struct.pack_into("<Q", data, at, value)
        return f"snapshot {which} = {value:#x}"
    # offsets.bin: one field of a used slot.
    entries = offset_entries(bytes(data))
    if not entries:
        return "no entry"
    rid = rng.choice(entries)[0]
    which = rng.choice(("key_offset", "key_len", "val_offset", "val_len"))
    at = rid * SLOT + {"key_offset": 0, "key_len": 8, "val_offset": 12, "val_len": 20}[which]
    if which.endswith("len"):
        value = rng.choice(HUGE32 + (0xFFFFFFFF,) * 2)
        struct.pack_into("<I", data, at, value)
    else:
        value = rng.choice(HUGE64)
        struct.pack_into("<Q", data, at, value)
    return f"record {rid} {which} = {value:#x}"


def acceptable_values(ref: Reference, damaged: Path, case: Case) -> dict[str, list[str]]:
    """Digests a read of each key may return, besides None."""
    ok: dict[str, set[str]] = {k: {digest(v) for v in vs} for k, vs in ref.history.items()}

    def add(key: str, value: bytes) -> None:
        ok.setdefault(key, set()).add(digest(value))

    def read(name: str, where: Path) -> bytes:
        p = where / name
        return p.read_bytes() if p.exists() else b""

    if case.file == "wal.bin":
        for rec in decode_wal(read("wal.bin", damaged)):
            if rec.value is not None:
                add(rec.key, rec.value)
    elif case.file in ("vals.bin", "keys.bin"):
        offsets = read("offsets.bin", ref.directory)
        keys = read("keys.bin", damaged if case.file == "keys.bin" else ref.directory)
        vals = read("vals.bin", damaged if case.file == "vals.bin" else ref.directory)
        for _, ko, kl, vo, vl in offset_entries(offsets):
            key = keys[ko : ko + kl].decode("utf-8", errors="replace")
            add(key, vals[vo : vo + vl])
            # A slice the damage cut short reads back padded when the file
            # grows again past it; padded with zeros is still made up.
    return {k: sorted(v) for k, v in ok.items()}


# --------------------------------------------------------------------------
# The case subprocess
# --------------------------------------------------------------------------


def case_main(directory: str, plan_path: str, out_path: str) -> None:
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    from marrow import Marrow

    checks = json.loads(Path(plan_path).read_text())
    accept: dict[str, set[str]] = {k: set(v) for k, v in checks["accept"].items()}
    weak: bool = checks["weak"]
    keys: list[str] = checks["keys"]
    report: dict[str, Any] = {"exceptions": [], "violations": [], "calls": 0}
    vals_path = Path(directory) / "vals.bin"
    failed = object()

    def in_vals(value: bytes) -> bool:
        try:
            if vals_path.stat().st_size > 256 << 20:
                return True  # too big to search here; not checked
            return value in vals_path.read_bytes()
        except OSError:
            return False

    def check(where: str, key: Any, value: Any) -> None:
        if value is None or value is failed:
            return
        if not isinstance(value, bytes):
            report["violations"].append(f"{where}: {key!r} gave a {type(value).__name__}")
            return
        if digest(value) in accept.get(key, ()):
            return
        if weak and in_vals(value):
            return
        report["violations"].append(
            f"{where}: {key!r} gave {len(value)} bytes never written for it "
            f"({value[:16].hex()}...)")

    def call(name: str, fn: Callable[[], Any]) -> Any:
        report["calls"] += 1
        try:
            return fn()
        except BaseException as e:  # noqa: BLE001 - each call may raise
            report["exceptions"].append(f"{name}: {type(e).__name__}: {str(e)[:200]}")
            if isinstance(e, MemoryError):
                report["violations"].append(f"{name}: MemoryError")
            return failed

    def wrote(key: str, value: bytes) -> None:
        accept.setdefault(key, set()).add(digest(value))

    def read_all(db: Any, phase: str) -> None:
        for k in keys:
            check(f"{phase} get_bytes", k, call("get_bytes", lambda: db.get_bytes(k)))
        many = call("get_many", lambda: db.get_many(keys))
        if many is not failed:
            if not isinstance(many, list) or len(many) != len(keys):
                report["violations"].append(f"{phase} get_many returned {type(many).__name__}")
            else:
                for k, pair in zip(keys, many):
                    if not isinstance(pair, tuple) or len(pair) != 2 or pair[0] != k:
                        report["violations"].append(f"{phase} get_many gave {pair!r:.60} for {k!r}")
                    else:
                        check(f"{phase} get_many", k, pair[1])
        call("len", db.len)
        listed = call("keys", db.keys)
        if listed is not failed:
            for k in listed:
                if not isinstance(k, str):
                    report["violations"].append(f"{phase} keys() holds a {type(k).__name__}")
                elif k not in accept:
                    check(f"{phase} get_bytes of listed", k, call("get_bytes", lambda: db.get_bytes(k)))
        call("cache_stats", db.cache_stats)

    def exercise(db: Any, phase: str, salt: int, compact: bool) -> None:
        read_all(db, phase)
        call("clear_cache", db.clear_cache)
        read_all(db, phase + " uncached")
        rng = random.Random(salt)
        for key in ("new-key", keys[salt % len(keys)], keys[(salt * 7 + 3) % len(keys)]):
            v = rng.randbytes(rng.choice((0, 10, 3000, 9000)))
            wrote(key, v)
            call("set_bytes", lambda: db.set_bytes(key, v))
        call("delete", lambda: db.delete(keys[(salt * 5 + 1) % len(keys)]))
        call("delete", lambda: db.delete("never-there"))
        read_all(db, phase + " after writes")
        call("persist", db.persist)
        read_all(db, phase + " after persist")
        if compact:
            call("vacuum", db.vacuum)
            read_all(db, phase + " after vacuum")

    db = call("open", lambda: Marrow(directory, 16))
    if db is failed:
        db = call("open again", lambda: Marrow(directory, 16))
    if db is not failed:
        exercise(db, "first", 1, compact=True)
        del db
    db = call("reopen", lambda: Marrow(directory, 16))
    if db is not failed:
        exercise(db, "reopened", 2, compact=False)
        del db
    db = call("last open", lambda: Marrow(directory))
    if db is not failed:
        read_all(db, "last")
        del db
    Path(out_path).write_text(json.dumps(report))


# --------------------------------------------------------------------------
# Parent
# --------------------------------------------------------------------------


@dataclass
class SweepStats:
    cases: int = 0
    failures: int = 0
    calls: int = 0
    exceptions: int = 0
    opens_failed: int = 0
    messages: list[str] = field(default_factory=list)
    # "file kind call: exception class" -> count
    raised: Counter[str] = field(default_factory=Counter)


def plan(cases: int, seed: int) -> list[Case]:
    combos = [(f, k) for f in FILES for k in KINDS if k != "huge" or f in LENGTH_FILES]
    rng = random.Random(seed)
    out = []
    for i in range(cases):
        if i % len(combos) == 0:
            rng.shuffle(combos)
        f, k = combos[i % len(combos)]
        out.append(Case(i, f, k))
    return out


def run_sweep(work: Path, cases: int, seed: int, verbose: bool = False,
              progress: int = 0) -> SweepStats:
    work.mkdir(parents=True, exist_ok=True)
    ref_dir = work / "reference"
    if ref_dir.exists():
        shutil.rmtree(ref_dir)
    ref = build_reference(ref_dir, seed)
    stats = SweepStats()
    keys = sorted(ref.history)
    for case in plan(cases, seed):
        rng = random.Random(f"{seed}:{case.index}")
        target = work / "case"
        if target.exists():
            shutil.rmtree(target)
        shutil.copytree(ref_dir, target)
        damage(target, case, rng)
        checks = {
            "accept": acceptable_values(ref, target, case),
            "weak": case.file in WEAK_FILES,
            "keys": keys,
        }
        plan_path = work / "plan.json"
        out_path = work / "out.json"
        plan_path.write_text(json.dumps(checks))
        out_path.unlink(missing_ok=True)
        label = f"case {case.index} ({case.file}, {case.kind}: {case.detail})"
        stats.cases += 1
        problem = None
        try:
            proc = subprocess.run(
                [sys.executable, __file__, "case", "--dir", str(target),
                 "--plan", str(plan_path), "--out", str(out_path)],
                capture_output=True, text=True, timeout=CASE_TIMEOUT,
            )
            if proc.returncode != 0:
                problem = f"exit status {proc.returncode}: {proc.stderr[-1500:]}"
            else:
                report = json.loads(out_path.read_text())
                stats.calls += report["calls"]
                stats.exceptions += len(report["exceptions"])
                stats.opens_failed += any(e.startswith("open:") for e in report["exceptions"])
                for e in report["exceptions"]:
                    call_name, kind = e.split(": ")[:2]
                    stats.raised[f"{case.file} {case.kind} {call_name}: {kind}"] += 1
                if report["violations"]:
                    problem = "; ".join(report["violations"][:5])
                if verbose:
                    print(f"{label}: {len(report['exceptions'])} exceptions "
                          f"{report['exceptions'][:3]}", flush=True)
        except subprocess.TimeoutExpired:
            problem = f"no answer within {CASE_TIMEOUT} s"
        if problem:
            stats.failures += 1
            msg = f"{label}: {problem}"
            stats.messages.append(msg)
            print(f"FAIL {msg}", flush=True)
            # Keep the damaged directory for a reproduction (before the case ran
            # it could have been changed, so damage a fresh copy again).
            keep = work / "failures" / f"case-{case.index}"
            if not keep.exists():
                shutil.copytree(ref_dir, keep)
                damage(keep, Case(case.index, case.file, case.kind), random.Random(f"{seed}:{case.index}"))
        if progress and stats.cases % progress == 0:
            print(f"  {stats.cases} cases, {stats.failures} failures", flush=True)
    shutil.rmtree(work / "case", ignore_errors=True)
    return stats


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "case":
        p = argparse.ArgumentParser()
        p.add_argument("case")
        p.add_argument("--dir", required=True)
        p.add_argument("--plan", required=True)
        p.add_argument("--out", required=True)
        a = p.parse_args()
        case_main(a.dir, a.plan, a.out)
        return 0

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cases", type=int, default=100)
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--dir", default=None,
                   help="working directory (default: a temporary one, in /dev/shm if possible)")
    p.add_argument("-v", "--verbose", action="store_true")
    p.add_argument("--exceptions", action="store_true", help="list the exceptions raised, by case kind")
    a = p.parse_args()
    seed = a.seed if a.seed is not None else random.randrange(1 << 32)
    print(f"damage sweep: seed {seed}, {a.cases} cases", flush=True)
    start = time.monotonic()
    if a.dir:
        stats = run_sweep(Path(a.dir), a.cases, seed, a.verbose, 250)
    else:
        # No durability needed: a memory file system makes the fsyncs free.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        with tempfile.TemporaryDirectory(prefix="damage-", dir=shm) as d:
            stats = run_sweep(Path(d), a.cases, seed, a.verbose, 250)
    if a.exceptions:
        for what, n in sorted(stats.raised.items()):
            print(f"  {n:6d}  {what}")
    print(f"damage sweep: seed {seed}: {stats.cases} cases, {stats.failures} failures, "
          f"{stats.calls} calls, {stats.exceptions} exceptions raised, "
          f"{stats.opens_failed} failed opens, {time.monotonic() - start:.0f} s", flush=True)
    return 1 if stats.failures else 0


if __name__ == "__main__":
    sys.exit(main())
