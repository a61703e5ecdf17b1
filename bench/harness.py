"""The orchestrator: one fresh process per (store, workload) cell, a `sync`
before each, the raw I/O floors, and the worker's side of a cell."""
from __future__ import annotations

import argparse
import glob
import importlib
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from data import LARGE_LEN, VAL_LEN
from peers import STORES
from report import fmt
from workloads import WORKLOADS, Ctx

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
ENTRY = HERE / "bench.py"

Results = dict[tuple[str, str], dict[str, Any]]
Floors = dict[str, dict[str, Any]]

# ---------------------------------------------------------------------------
# Worker side: one (store, workload) in this process.


def worker_main(args: argparse.Namespace) -> int:
    store_name, workload = args.worker
    ctx = Ctx(STORES[store_name](), args.n, args.large, Path(args.workdir), args.cap)
    try:
        result = WORKLOADS[workload].fn(ctx)
    finally:
        shutil.rmtree(ctx.dir("scratch"), ignore_errors=True)
    print("RESULT " + json.dumps(result), flush=True)
    return 0


# ---------------------------------------------------------------------------
# Orchestrator side.


def available_stores() -> list[str]:
    names = []
    for name, cls in STORES.items():
        try:
            importlib.import_module(cls.module)
            names.append(name)
        except ImportError:
            print(f"note: {name} is not installed; skipped", file=sys.stderr)
    return names


def selected(wanted: str | None) -> set[str]:
    """The workloads of a comma-separated list of workload and group names
    (None: every workload)."""
    if not wanted:
        return set(WORKLOADS)
    names: set[str] = set()
    for name in wanted.split(","):
        group = {w.name for w in WORKLOADS.values() if w.group == name}
        if group:
            names |= group
        elif name in WORKLOADS:
            names.add(name)
        else:
            raise SystemExit(f"unknown workload {name!r}")
    return names


# The workloads compared with the raw I/O floors: a run measures the floors
# only when it asks for one of them (not when it runs one as a preparation).
FLOOR_WORKLOADS = {"fill", "overwrite", "delete", "cold-get", "large-write", "large-read"}


def plan(wanted: str | None, stores: list[str]) -> list[tuple[str, list[str]]]:
    """The cells to run, in run order: each selected workload with its
    stores; a workload it needs runs too, on the stores that need it."""
    runs = {w: {s for s in stores if WORKLOADS[w].runs_on(STORES[s])}
            for w in selected(wanted)}
    todo = list(runs)
    while todo:
        w = todo.pop()
        for dep in WORKLOADS[w].needs:
            add = {s for s in runs[w] if WORKLOADS[dep].runs_on(STORES[s])}
            if not add <= runs.get(dep, set()):
                runs[dep] = runs.get(dep, set()) | add
                todo.append(dep)
    return [(w, [s for s in stores if s in runs[w]]) for w in WORKLOADS if w in runs]


def eatmydata() -> str | None:
    found = glob.glob("/usr/lib/*/libeatmydata.so*") + glob.glob("/usr/lib/libeatmydata.so*")
    return found[0] if found else None


def build_floor(floor: Path) -> Path:
    src = HERE / "floor.c"
    if not floor.exists() or floor.stat().st_mtime < src.stat().st_mtime:
        floor.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", str(floor), str(src)],
                       check=True)
    return floor


def run_floors(floor: Path, workdir: Path, n: int, large: int) -> Floors:
    d = workdir / "floor"
    d.mkdir(parents=True, exist_ok=True)

    def run(*argv: object) -> dict[str, Any]:
        out = subprocess.run([str(floor), *map(str, argv)], check=True,
                             capture_output=True, text=True).stdout
        return json.loads(out)

    res = {
        "fill": run("write", d, n, 16, VAL_LEN),
        "cold-get": run("read", d, n, 16, VAL_LEN, n),
        "large-write": run("write", d, large, 16, LARGE_LEN),
        "large-read": run("read", d, large, 16, LARGE_LEN, large),
    }
    shutil.rmtree(d)
    out = {k: {"value": v["ops_per_s"], "unit": "ops/s"} for k, v in res.items()}
    for k in ("large-write", "large-read"):
        out[k] = {"value": res[k]["mb_per_s"], "unit": "MB/s"}
    # The write floor is the same two pwrites for overwrite and delete.
    out["overwrite"] = out["delete"] = out["fill"]
    return out


def run_worker(store: str, workload: str, args: argparse.Namespace,
               workdir: Path, env: dict[str, str]) -> dict[str, Any]:
    cmd = [sys.executable, str(ENTRY), "--worker", store, workload,
           "--n", str(args.n), "--large", str(args.large), "--workdir", str(workdir),
           "--cap", str(args.cap)]
    # Dirty pages of earlier cells are written back first: on a small machine
    # their writeback takes a core and delays the fsyncs of the next cell.
    os.sync()
    start = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=1800)
    wall = time.perf_counter() - start
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith("RESULT "):
            result = json.loads(line[len("RESULT "):])
            result["wall"] = wall
            return result
    tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    return {"error": tail, "wall": wall}


def run_cells(args: argparse.Namespace, cells: list[tuple[str, list[str]]],
              with_floors: bool) -> tuple[Results, Floors]:
    """Every cell of the run, workload by workload, every store in turn."""
    lib = eatmydata()
    workdir: Path = args.workdir
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)

    results: Results = {}
    floors: Floors = {}
    try:
        def measure_floors() -> Floors:
            try:
                return run_floors(build_floor(args.floor), workdir, args.n, args.large)
            except (OSError, subprocess.CalledProcessError) as e:
                print(f"note: no raw floors ({e})", file=sys.stderr)
                return {}

        floors = measure_floors() if with_floors else {}
        if floors:
            print(f"floor: write {fmt(floors['fill']['value'], 'ops/s')} ops/s, "
                  f"read {fmt(floors['cold-get']['value'], 'ops/s')} ops/s", file=sys.stderr)
        # Workload by workload, every store in turn, so that the figures a
        # ratio compares are taken minutes apart at most: a shared machine's
        # speed drifts over a run.
        for w, stores in cells:
            wl = WORKLOADS[w]
            if w == "cold-get" and floors and (fresh := measure_floors()):
                floors["cold-get"] = fresh["cold-get"]  # next to the reads it is compared with
                print(f"floor: read {fmt(floors['cold-get']['value'], 'ops/s')} ops/s",
                      file=sys.stderr)
            for store in stores:
                env = dict(os.environ)
                if wl.nofsync:
                    if lib is None:
                        continue
                    env["LD_PRELOAD"] = lib
                same = wl.same_as.get(store)
                if same and (store, same) in results:
                    r = dict(results[(store, same)], same_as=same, wall=0.0)
                else:
                    r = run_worker(store, w, args, workdir, env)
                results[(store, w)] = r
                shown = (f"error: {r['error']}" if "error" in r
                         else f"{fmt(r['value'], r['unit'])} {r['unit']}")
                print(f"{store:>10} {w:<20} {shown}  [{r['wall']:.1f} s]", file=sys.stderr)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return results, floors
