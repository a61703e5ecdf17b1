#!/usr/bin/env python3
"""I/O fault sweep: every public operation under every single I/O fault.

For each operation (open, set_bytes, delete, get_bytes on a cache miss,
get_many, persist, vacuum) and each fault mode (ENOSPC, EIO, EACCES, short
transfers, a short write followed by EIO, a disk that stays full), the
sweep makes the 1st, 2nd, 3rd, ... file-system call of that operation on the
store's files fail (through libfaultinject.so, loaded with LD_PRELOAD), until
the operation makes no more such calls. Each fault point runs in a fresh
child process on a fresh copy of a prepared store and checks:

- the process does not die from a signal and does not hang;
- the exception has the form the failing step reports in: an OSError
  subclass chosen by the error's kind (open, persist), a plain OSError
  (vacuum), or PanicException (the data path, the record files at open,
  vacuum's mapping); short transfers are no error at all;
- the object stays usable: after the fault every key reads back its value
  from the files, and a later write and delete succeed;
- after the object is dropped, a fresh process opens the store without
  injection and finds exactly the acknowledged contents, including the
  writes made after the failure (a failed write must not hide later log
  records); it can persist, and a second reopen agrees.

Usage: fault_sweep.py [--quick] [--ops open,vacuum] [--modes EIO,SHORT]
Prints the number of fault points exercised and the failures; exits 1 when
any fault point failed.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import ctypes
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tools" / "faultinject" / "faultinject.c"
LIBRARY = ROOT / "build" / "faultinject" / "libfaultinject.so"

ALL_OPS = ["open", "set_bytes", "delete", "get_bytes", "get_many", "persist",
           "vacuum", "set_bytes_grow"]
QUICK_OPS = ["open", "set_bytes", "delete", "get_bytes", "get_many", "persist",
             "vacuum"]
# name -> (FAULT_ERRNO, sticky)
MODES: dict[str, tuple[str, bool]] = {
    "ENOSPC": ("ENOSPC", False),
    "EIO": ("EIO", False),
    "EACCES": ("EACCES", False),
    "SHORT": ("SHORT", False),
    "SHORT_EIO": ("SHORT_EIO", False),
    "ENOSPC_STICKY": ("ENOSPC", True),
}
QUICK_MODES = ["EIO", "EACCES", "SHORT_EIO"]
ERRNO_OF = {"ENOSPC": 28, "EIO": 5, "EACCES": 13, "SHORT_EIO": 5}

PANIC_PREFIX = "called `Result::unwrap()` on an `Err` value"
RECORD_FILES = {"offsets.bin", "keys.bin", "vals.bin"}
LOG_BUFFER = 8192
GROW_SLOTS = 100_000
CHILD_TIMEOUT = 120.0


def load_marrow() -> Any:
    """The native Marrow class, loaded without running the package's
    __init__ (whose imports would dominate a short child's run time)."""
    import importlib.machinery
    import importlib.util

    package = importlib.machinery.PathFinder.find_spec("marrow")
    if package is None or not package.submodule_search_locations:
        from marrow import Marrow
        return Marrow
    found = importlib.machinery.PathFinder.find_spec(
        "_marrow", list(package.submodule_search_locations))
    if found is None or found.loader is None:
        from marrow import Marrow
        return Marrow
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.Marrow


def ensure_library() -> Path:
    """Builds libfaultinject.so when it is missing or older than its source."""
    if not LIBRARY.exists() or LIBRARY.stat().st_mtime < SOURCE.stat().st_mtime:
        LIBRARY.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
             "-o", str(LIBRARY), str(SOURCE), "-ldl", "-lpthread"],
            check=True)
    return LIBRARY


# ---------------------------------------------------------------- model files

Model = dict[str, bytes]


def save_model(path: Path, model: Model) -> None:
    path.write_text(json.dumps({k: v.hex() for k, v in model.items()}))


def load_model(path: Path) -> Model:
    return {k: bytes.fromhex(v) for k, v in json.loads(path.read_text()).items()}


def value_for(key: str, size: int) -> bytes:
    seed = key.encode()
    return (seed * (size // max(len(seed), 1) + 1))[:size]


def build_template(directory: Path, grow: bool, small: bool) -> None:
    """A store with a persisted baseline, dead records and log-only writes
    (closed, so they are in wal.bin); its contents go to model.json."""
    from marrow import Marrow

    store = directory / "store"
    model: Model = {}
    db = Marrow(str(store), 64)
    base = 12 if small else 40
    puts = 0

    def put(key: str, val: bytes) -> None:
        nonlocal puts
        db.set_bytes(key, val)
        model[key] = val
        puts += 1

    if grow:
        # Baseline up to some ids below the growth point of offsets.bin.
        for i in range(GROW_SLOTS - 200):
            put(f"g{i:06d}", b"v")
    for i in range(base):
        key = f"base-{i}"
        put(key, value_for(key, (i * 397) % 3000 if i % 7 else 0))
    db.persist()
    for i in range(base // 4):
        key = f"log-{i}"
        put(key, value_for(key, 50 + i * 31))
    for i in range(0, base, 5):  # overwrites leave dead records behind
        key = f"base-{i}"
        put(key, value_for(key + "'", 100 + i))
    for i in range(1, base, 9):
        db.delete(f"base-{i}")
        model.pop(f"base-{i}")
    db.delete("never-there")
    del db
    gc.collect()
    save_model(directory / "model.json", model)
    # Record ids in use after an open: the snapshot's and the replayed log's.
    (directory / "puts").write_text(str(puts))


# ---------------------------------------------------------------- child side

def _lib() -> Any:
    lib = ctypes.CDLL(None)
    lib.faultinject_calls.restype = ctypes.c_long
    lib.faultinject_fired.restype = ctypes.c_long
    lib.faultinject_first_fault.restype = ctypes.c_char_p
    lib.faultinject_last_fault.restype = ctypes.c_char_p
    return lib


def expected_forms(op: str, fault: str) -> set[str]:
    """The failure forms allowed when the failing call is `fault`
    ("<call> <path>")."""
    call, _, path = fault.partition(" ")
    name = os.path.basename(path)
    if op in ("set_bytes", "set_bytes_grow", "delete", "get_bytes", "get_many"):
        return {"panic"}
    if op == "persist":
        return {"by_kind"}
    if op == "vacuum":
        # Mapping the new offsets file is the one internal step.
        return {"panic"} if call == "mmap" else {"plain"}
    if op == "open":
        # The record files and their mapping are internal failures; the
        # directory, the lock, the snapshot and the log are I/O errors.
        return {"panic"} if name in RECORD_FILES else {"by_kind"}
    raise ValueError(op)


def classify(exc: BaseException, errno: Optional[int]) -> tuple[str, list[str]]:
    """The form of `exc` and what is wrong with its details."""
    problems: list[str] = []
    text = str(exc.args[0]) if exc.args else ""
    tag = f"(os error {errno})" if errno else None
    if type(exc).__name__ == "PanicException":
        if isinstance(exc, Exception):
            problems.append("PanicException derives from Exception")
        if not text.startswith(PANIC_PREFIX):
            problems.append(f"panic message lacks the prefix: {text!r}")
        if errno and f"code: {errno}," not in text:
            problems.append(f"panic message does not name errno {errno}: {text!r}")
        return "panic", problems
    if isinstance(exc, OSError):
        if tag and tag not in text:
            problems.append(f"message does not end in {tag}: {text!r}")
        if len(exc.args) != 1:
            problems.append(f"OSError has {len(exc.args)} arguments")
        by_kind = {13: PermissionError, 28: OSError, 5: OSError}
        if type(exc) is OSError:
            return ("plain" if errno in (None, 5, 28) else "plain_only"), problems
        if errno in by_kind and type(exc) is by_kind[errno]:
            return "by_kind", problems
        return f"other:{type(exc).__name__}", problems
    return f"other:{type(exc).__name__}", problems


def form_ok(form: str, allowed: set[str]) -> bool:
    # For ENOSPC and EIO the kind's class is OSError itself, so a plain
    # OSError is also the by-kind form.
    if form == "plain" and "by_kind" in allowed:
        return True
    if form == "plain_only":
        return "plain" in allowed
    if form == "by_kind" and "plain" in allowed:
        return False
    return form in allowed


def fill_log_buffer(db: Any, model: Model) -> None:
    """Buffers records until the log's buffer is 8 bytes short of full, so
    the next record overflows it and is written out mid-record."""
    used = 0
    i = 0
    while LOG_BUFFER - used - 8 > 1100:
        key = f"fill-{i}"
        val = value_for(key, 1000)
        db.set_bytes(key, val)
        model[key] = val
        used += 20 + len(key) + len(val)
        i += 1
    key = "fill-last"
    size = LOG_BUFFER - 8 - used - 20 - len(key)
    val = value_for(key, size)
    db.set_bytes(key, val)
    model[key] = val


def run_child(args: dict[str, Any]) -> dict[str, Any]:
    Marrow = load_marrow()

    lib = _lib()
    op: str = args["op"]
    template = Path(args["template"])
    point = Path(args["point"])
    store = point / "store"
    errno: Optional[int] = args["errno"]
    shutil.copytree(template / "store", store)
    model = load_model(template / "model.json")
    problems: list[str] = []
    result: dict[str, Any] = {"problems": problems}

    db: Any = None
    if op != "open":
        db = Marrow(str(store), 64)
    if op == "set_bytes_grow":
        # next_id reaches the capacity of offsets.bin: the op's append grows it.
        for i in range(GROW_SLOTS - int((template / "puts").read_text())):
            key = f"grow-{i}"
            db.set_bytes(key, b"x")
            model[key] = b"x"
    else:
        if db is None:
            db = Marrow(str(store), 64)
        fill_log_buffer(db, model)
    if op == "open":
        del db
        gc.collect()
        db = None

    target_key = {"set_bytes": "base-3", "set_bytes_grow": "base-3",
                  "delete": "log-2"}.get(op)
    new_value = value_for("new", 10_000)
    many = ["base-2", "log-1", "absent", "base-2", "base-4", "log-0"]
    if op in ("get_bytes", "get_many"):
        db.clear_cache()

    outcome: Any = None
    exc: Optional[BaseException] = None
    lib.faultinject_reset()
    lib.faultinject_arm(1)
    try:
        if op == "open":
            db = Marrow(str(store), 64)
        elif op in ("set_bytes", "set_bytes_grow"):
            db.set_bytes(target_key, new_value)
        elif op == "delete":
            outcome = db.delete(target_key)
        elif op == "get_bytes":
            outcome = db.get_bytes("base-2")
        elif op == "get_many":
            outcome = db.get_many(many)
        elif op == "persist":
            db.persist()
        elif op == "vacuum":
            db.vacuum()
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        exc = e
    finally:
        lib.faultinject_arm(0)
    fired = lib.faultinject_fired()
    result["calls"] = lib.faultinject_calls()
    result["fired"] = fired
    first = lib.faultinject_first_fault().decode()
    last = lib.faultinject_last_fault().decode()
    result["fault"] = last if args["mode"] == "SHORT_EIO" else first

    # The form of the failure.
    if exc is not None:
        result["exception"] = f"{type(exc).__name__}: {exc}"
        if fired == 0:
            problems.append(f"raised without a fault: {result['exception']}")
        elif errno is None:
            problems.append(f"a short transfer failed the call: {result['exception']}")
        else:
            form, details = classify(exc, errno)
            problems.extend(details)
            allowed = expected_forms(op, result["fault"])
            if not form_ok(form, allowed):
                problems.append(
                    f"form {form}, expected {sorted(allowed)}: {result['exception']}")
    succeeded = exc is None

    # What the operation did when it completed.
    if succeeded:
        if op in ("set_bytes", "set_bytes_grow"):
            model[target_key] = new_value
        elif op == "delete":
            if outcome is not True:
                problems.append(f"delete returned {outcome!r}")
            model.pop(target_key)
        elif op == "get_bytes" and outcome != model["base-2"]:
            problems.append("get_bytes returned a wrong value")
        elif op == "get_many":
            want = [(k, model.get(k)) for k in many]
            if outcome != want:
                problems.append("get_many returned wrong values")

    if db is None:  # a failed open: opening again must work
        try:
            db = Marrow(str(store), 64)
        except BaseException as e:  # noqa: BLE001
            problems.append(f"reopen after a failed open: {type(e).__name__}: {e}")
            result["unusable"] = True
            return result

    # The object stays usable and holds exactly the acknowledged state.
    try:
        if db.len() != len(model):
            problems.append(f"len {db.len()} after the fault, expected {len(model)}")
        db.clear_cache()
        keys = sorted(model)
        got = dict(db.get_many(keys))
        wrong = [k for k in keys if got.get(k) != model[k]]
        if wrong:
            problems.append(f"values differ after the fault: {wrong[:5]}")
        if sorted(db.keys()) != keys:
            problems.append("keys() differs after the fault")
        db.set_bytes("after", b"written after the fault")
        model["after"] = b"written after the fault"
        if db.delete("base-0") != ("base-0" in model):
            problems.append("delete after the fault answered wrongly")
        model.pop("base-0", None)
        if db.get_bytes("after") != model["after"]:
            problems.append("a write after the fault does not read back")
    except BaseException as e:  # noqa: BLE001
        problems.append(f"unusable after the fault: {type(e).__name__}: {e}")
        result["unusable"] = True
    del db
    gc.collect()
    save_model(point / "expected.json", model)
    return result


def run_verify(point: Path) -> dict[str, Any]:
    """A fresh process: opens without injection and compares."""
    Marrow = load_marrow()

    store = point / "store"
    model = load_model(point / "expected.json")
    problems: list[str] = []

    def compare(db: Any, stage: str) -> None:
        if db.len() != len(model):
            problems.append(f"{stage}: len {db.len()}, expected {len(model)}")
        keys = sorted(model)
        got = dict(db.get_many(keys))
        wrong = [k for k in keys if got.get(k) != model[k]]
        if wrong:
            problems.append(f"{stage}: values differ: {wrong[:5]}")
        listed = sorted(db.keys())
        if listed != keys:
            extra = sorted(set(listed) - set(keys))[:5]
            missing = sorted(set(keys) - set(listed))[:5]
            problems.append(f"{stage}: keys() extra {extra} missing {missing}")

    try:
        db = Marrow(str(store), 64)
        compare(db, "reopen")
        db.set_bytes("verify", b"v")
        model["verify"] = b"v"
        db.persist()
        del db
        gc.collect()
        db = Marrow(str(store), 64)
        compare(db, "second reopen")
        del db
    except BaseException as e:  # noqa: BLE001
        problems.append(f"reopen failed: {type(e).__name__}: {e}")
    return {"problems": problems}


# ---------------------------------------------------------------- parent side

@dataclass
class Tally:
    points: int = 0
    failures: list[str] = field(default_factory=list)
    per_task: dict[str, int] = field(default_factory=dict)


def _spawn(args: dict[str, Any], env: dict[str, str]) -> tuple[Optional[dict[str, Any]], str]:
    """Runs a child; returns its JSON report (None when it did not give one)
    and a description of how it ended."""
    try:
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", str(Path(__file__).resolve()),
             "--child", json.dumps(args)],
            env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, "hung (killed after the timeout)"
    if proc.returncode < 0:
        return None, f"killed by signal {-proc.returncode}: {proc.stderr[-2000:]}"
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        return None, f"exit {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(lines[-1]), ""


def sweep_task(op: str, mode: str, template: Path, work: Path, library: Path,
               max_points: int) -> tuple[int, list[str]]:
    fault_errno, sticky = MODES[mode]
    errno = ERRNO_OF.get(mode if mode != "ENOSPC_STICKY" else "ENOSPC")
    failures: list[str] = []
    points = 0
    base_env = {k: v for k, v in os.environ.items() if not k.startswith("FAULT_")}
    for n in range(1, max_points + 1):
        point = work / f"{op}-{mode}-{n}"
        point.mkdir()
        env = dict(base_env)
        env.update({
            "LD_PRELOAD": str(library),
            "FAULT_DIR": str(point / "store"),
            "FAULT_NTH": str(n),
            "FAULT_ERRNO": fault_errno,
            "FAULT_STICKY": "1" if sticky else "0",
            # Disarmed from the start; the child arms around the operation.
            "FAULT_ARM_FILE": str(point / "never"),
        })
        args = {"op": op, "mode": mode, "template": str(template),
                "point": str(point), "errno": errno}
        where = f"{op} {mode} N={n}"
        report, how = _spawn(args, env)
        if report is None:
            failures.append(f"{where}: child {how}")
            shutil.rmtree(point, ignore_errors=True)
            points += 1
            continue
        if report["fired"] == 0:  # the operation ran out of calls: done
            shutil.rmtree(point, ignore_errors=True)
            break
        points += 1
        problems = [f"{where} [{report['fault']}]: {p}" for p in report["problems"]]
        if not report.get("unusable"):
            clean_env = {k: v for k, v in base_env.items() if k != "LD_PRELOAD"}
            verified, how = _spawn({"verify": str(point)}, clean_env)
            if verified is None:
                problems.append(f"{where} [{report['fault']}]: verify child {how}")
            else:
                problems += [f"{where} [{report['fault']}]: {p}"
                             for p in verified["problems"]]
        failures += problems
        if not problems:
            shutil.rmtree(point, ignore_errors=True)
    else:
        failures.append(f"{op} {mode}: still faulting after {max_points} points")
    return points, failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer modes and a smaller store (for the test suite)")
    parser.add_argument("--ops", help="comma list of operations")
    parser.add_argument("--modes", help="comma list of fault modes")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--max-points", type=int, default=3000)
    parser.add_argument("--keep", action="store_true",
                        help="keep the directories of failed points")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child is not None:
        child_args = json.loads(args.child)
        if "verify" in child_args:
            report = run_verify(Path(child_args["verify"]))
        else:
            report = run_child(child_args)
        print(json.dumps(report))
        return 0

    ops = args.ops.split(",") if args.ops else (QUICK_OPS if args.quick else ALL_OPS)
    modes = args.modes.split(",") if args.modes else (
        QUICK_MODES if args.quick else list(MODES))
    for name in ops:
        if name not in ALL_OPS:
            parser.error(f"unknown operation {name}")
    for name in modes:
        if name not in MODES:
            parser.error(f"unknown mode {name}")
    library = ensure_library()
    started = time.monotonic()
    # A memory file system keeps vacuum's and persist's syncs cheap.
    shm = Path("/dev/shm")
    work = Path(tempfile.mkdtemp(prefix="marrow-faults-",
                                 dir=shm if shm.is_dir() else None))
    tally = Tally()
    try:
        templates: dict[bool, Path] = {}
        for grow in sorted({op == "set_bytes_grow" for op in ops}):
            templates[grow] = work / ("template-grow" if grow else "template")
            templates[grow].mkdir()
            build_template(templates[grow], grow, args.quick)
        tasks = [(op, mode) for op in ops for mode in modes]
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = {
                pool.submit(sweep_task, op, mode, templates[op == "set_bytes_grow"],
                            work, library, args.max_points): (op, mode)
                for op, mode in tasks}
            for future in concurrent.futures.as_completed(futures):
                op, mode = futures[future]
                points, failures = future.result()
                tally.points += points
                tally.per_task[f"{op}/{mode}"] = points
                tally.failures += failures
                print(f"  {op:15} {mode:14} {points:5} fault points, "
                      f"{len(failures)} failures", flush=True)
    finally:
        if args.keep and tally.failures:
            print(f"failed points kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    for failure in tally.failures:
        print(f"FAIL {failure}")
    print(f"fault points exercised: {tally.points}, failures: {len(tally.failures)} "
          f"({time.monotonic() - started:.0f} s)")
    return 1 if tally.failures else 0


if __name__ == "__main__":
    sys.exit(main())
