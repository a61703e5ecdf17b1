"""The report: bench/results.md (tables and targets) and the chart."""
from __future__ import annotations

import argparse
import datetime
import os
import platform
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from data import (BATCH, DURABLE_BATCH, FILL_BATCH, SMALL_STORE, SYNC_PUTS, THREADS,
                  VAL_LEN)
from peers import DURABLE_PEERS, PEERS, STORES
from workloads import DURABLE_ROWS, THROUGHPUT_ROWS, Row

REPO = Path(__file__).resolve().parent.parent

Results = dict[tuple[str, str], dict[str, Any]]
Floors = dict[str, dict[str, Any]]


def fmt(v: float, unit: str) -> str:
    if unit == "bytes/key":
        return f"{v:,.1f}"
    if unit == "MB/s" or unit.startswith("µs"):
        return f"{v:,.0f}"
    if unit == "x":
        return f"{v:.2f}x"
    if v >= 1e6:
        return f"{v / 1e6:,.2f} M"
    if v >= 1e3:
        return f"{v / 1e3:,.1f} k"
    return f"{v:,.1f}"


def machine_info(stores: list[str]) -> list[str]:
    import importlib.metadata as md
    import sqlite3

    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "unknown"
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / 1024 / 1024:.0f} GiB"
    except OSError:
        pass
    versions = []
    for dist in ("marrow", "lmdb", "rocksdict", "plyvel", "diskcache", "matplotlib"):
        try:
            versions.append(f"{dist} {md.version(dist)}")
        except md.PackageNotFoundError:
            pass
    versions.append(f"sqlite {sqlite3.sqlite_version}")
    try:
        commit = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    return [
        f"- CPU: {cpu}, {os.cpu_count()} cores, {mem} memory",
        f"- Kernel: {platform.system()} {platform.release()}",
        f"- Python: {platform.python_implementation()} {platform.python_version()}",
        f"- Packages: {', '.join(versions)}",
        f"- marrow commit: {commit}",
        "- Load average at the end (1, 5, 15 min): "
        + ", ".join(f"{x:.1f}" for x in os.getloadavg())
        + f" on {os.cpu_count()} cores (other work on the machine moves every figure)",
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
    ]


def figure(results: Results, floors: Floors, store: str, row: Row) -> float | None:
    """A row's figure for one store: marrow's own, a peer's (from the row's
    peers_from workload where it has one), or the floor."""
    if store == "floor":
        return floors.get(row.workload, {}).get("value")
    w = row.peers_from if row.peers_from and store != "marrow" else row.workload
    return results.get((store, w), {}).get(row.key)


def row_unit(results: Results, row: Row) -> str:
    return row.unit or results.get(("marrow", row.workload), {}).get("unit", "")


def best_peer(results: Results, workload: str, peers: list[str],
              key: str = "value") -> tuple[str, float] | None:
    vals = [(p, results[(p, workload)][key]) for p in peers
            if key in results.get((p, workload), {})]
    return max(vals, key=lambda x: x[1]) if vals else None


MEM_GOAL = 80  # bytes of anonymous memory per live key


@dataclass
class Target:
    """One row of the targets table; score is the measured figure over the
    required one (met at 1 or more), None for a figure shown for reference."""

    text: str
    measured: str
    score: float | None = None

    @property
    def met(self) -> str:
        return "-" if self.score is None else ("yes" if self.score >= 1 else "**no**")


def targets(results: Results, floors: Floors, n: int) -> list[Target]:
    """The round's targets, each from this run's figures."""
    rows: list[Target] = []

    def fig(store: str, w: str, key: str = "value") -> float | None:
        if store == "floor":
            return floors.get(w, {}).get(key)
        return results.get((store, w), {}).get(key)

    def unit_of(w: str) -> str:
        return results[("marrow", w)]["unit"]

    def ratio(w: str, what: str, other: str, need: float | None, shown: str = "",
              other_w: str = "") -> None:
        """marrow's w over other's w (or other_w), against a required ratio."""
        mv, ov = fig("marrow", w), fig(other, other_w or w)
        if mv and ov:
            r = mv / ov
            unit = unit_of(w)
            goal = f">= {need:g}x " if need else "vs "
            rows.append(Target(f"{what}: {goal}{shown or other}",
                               f"{r:.2f}x ({fmt(mv, unit)} vs {fmt(ov, unit)} {unit})",
                               r / need if need else None))

    def versus_best(w: str, what: str, need: float | None, peers_w: str = "") -> None:
        """marrow's w over the best durable peer's w (or peers_w)."""
        mv, bp = fig("marrow", w), best_peer(results, peers_w or w, DURABLE_PEERS)
        if mv and bp:
            r = mv / bp[1]
            unit = unit_of(w)
            goal = f">= {need:g}x" if need else "vs"
            rows.append(Target(f"{what}: {goal} the best peer",
                               f"{r:.2f}x {bp[0]} ({fmt(mv, unit)} vs {fmt(bp[1], unit)} "
                               f"{unit})", r / need if need else None))

    def absolute(w: str, what: str, need: float | None) -> None:
        mv = fig("marrow", w)
        if mv is not None:
            unit = unit_of(w)
            goal = f" >= {need / 1e6:g} M {unit}" if need else ""
            rows.append(Target(f"{what}{goal}", f"{mv / 1e6:.2f} M {unit}",
                               mv / need if need else None))

    fill = "fill, one store[k] = v per put"
    ratio("fill", fill, "floor", 0.8, "two-pwrite floor")
    ratio("fill", fill, "plyvel", 1.2)
    ratio("overwrite", "random overwrite", "floor", 0.7, "two-pwrite floor")
    cold = "cold store.get, random over all keys"
    ratio("cold-get", cold, "lmdb", 1.2, "lmdb (a read transaction per get)")
    ratio("cold-get", cold, "floor", 0.85, "two-pread floor")
    ratio("cold-get", cold, "rocksdict", 1.3)
    ratio("cold-get", cold, "plyvel", 1.3)
    many = f"get_many, batches of {BATCH}, per key"
    ratio("get-many", many, "lmdb", 1.5, "lmdb getmulti (a read transaction per batch)")
    ratio("get-many", many, "lmdb-1txn", None, "lmdb-1txn getmulti")
    batch = f"batch fill ({FILL_BATCH:,} per set_many), per key"
    ratio("batch-fill", batch, "lmdb-1txn", 1.5, "lmdb-1txn fill (one transaction)")
    ratio("batch-fill", batch, "plyvel", 3, "plyvel write_batch")
    for w, order in (("batch-fill", "sequential"), ("batch-fill-random", "random")):
        what = f"batch fill ({FILL_BATCH:,} per set_many), {order} keys, per key"
        ratio(w, what, "plyvel", 1.5, "plyvel write_batch")
        ratio(w, what, "rocksdict", 1.5, "rocksdict WriteBatch")
        ratio(w, what, "lmdb", 1.0, "lmdb putmulti in one transaction")
    mv, bp = fig("marrow", "hot-get"), best_peer(results, "hot-get", PEERS)
    if mv and bp:
        r = mv / bp[1]
        rows.append(Target("hot reads: >= 2x every peer", f"{r:.2f}x {bp[0]} (the fastest)",
                           r / 2))
    mv, bp = fig("marrow", "mixed"), best_peer(results, "mixed", ["lmdb", "plyvel", "rocksdict"])
    if mv and bp:
        r = mv / bp[1]
        rows.append(Target("90/10 mix of store.get and store[k] = v: >= 1.2x lmdb, plyvel "
                           "and rocksdict", f"{r:.2f}x {bp[0]} (the fastest of them)", r / 1.2))
    for w, what in (("large-write", "100 KiB writes"), ("large-read", "100 KiB reads"),
                    ("huge-write", "1 MiB writes"), ("huge-read", "1 MiB reads")):
        ratio(w, what, "lmdb", 1.0)
    absolute("keys", "keys()", 5e6)
    absolute("reopen", "reopen from snapshot", 10e6)
    absolute("vacuum", "vacuum(), small records", 1.5e6)
    for w in ("mem-fill", "mem-reopen"):
        mem = results.get(("marrow", w), {})
        if "value" in mem:
            rows.append(Target(f"{w}: <= {MEM_GOAL} bytes per live key (anonymous memory)",
                               f"{mem['anon']:.1f} B/key (RSS {mem['value']:.1f}, "
                               f"peak {mem['peak']:.1f})", MEM_GOAL / max(mem["anon"], 1e-9)))
    # Durable writes.
    single = "durable single writes (a put, then sync())"
    versus_best("durable-put-small", f"{single}, {SMALL_STORE:,} keys", 1.0)
    versus_best("durable-put-big", f"{single}, {n:,} keys", 1.0)
    versus_best("durable-put-option", f"durable single writes, open option sync=True, "
                f"{SMALL_STORE:,} keys", None, "durable-put-small")
    versus_best("durable-batch-small", f"durable batches of {DURABLE_BATCH}, "
                f"{SMALL_STORE:,} keys", 1.5)
    versus_best("durable-batch-big", f"durable batches of {DURABLE_BATCH}, {n:,} keys", 1.5)
    th = results.get(("marrow", "durable-threads"), {})
    if "value" in th:
        rows.append(Target(f"durable writes from {THREADS} threads (each a put, then sync()): "
                           ">= 2x one thread",
                           f"{th['scaling']:.2f}x ({fmt(th['value'], th['unit'])} vs "
                           f"{fmt(th['one_thread'], th['unit'])} {th['unit']})",
                           th["scaling"] / 2))
    small, big = fig("marrow", "sync-cost-small"), fig("marrow", "sync-cost-big")
    if small and big:
        r = big / small
        rows.append(Target(f"sync() after {SYNC_PUTS} puts: {n:,} keys within 20% of "
                           f"{SMALL_STORE:,} keys",
                           f"{r:.2f}x ({big:,.0f} vs {small:,.0f} µs)", 1.2 / r))
    ratio("batch-fill-commit", f"batch fill through the batch commit ({FILL_BATCH:,} per "
          "Store.set_many), per key", "plyvel", 1.5, "plyvel write_batch",
          other_w="batch-fill")
    # For reference, no target.
    absolute("persist", "persist() with its fsyncs", None)
    absolute("persist-nofsync", "persist() without fsyncs", None)
    absolute("replay", "log replay", None)
    absolute("vacuum-nofsync", "vacuum() without fsyncs", None)
    gil = results.get(("marrow", "vacuum-gil"), {})
    if "value" in gil:
        rows.append(Target("vacuum(): a Python loop in another thread meanwhile",
                           f"{gil['share']:.0%} of its rate alone ({fmt(gil['value'], '')} "
                           f"vs {fmt(gil['alone'], '')} iterations/s)"))
    for w in ("large-vacuum", "large-vacuum-nofsync"):
        lv = results.get(("marrow", w), {})
        if "value" in lv:
            rows.append(Target(f"{w}: time vs cp of the live bytes",
                               f"{lv['seconds'] / lv['cp_seconds']:.2f}x cp time "
                               f"({lv['value']:,.0f} vs {lv['cp_mb_per_s']:,.0f} MB/s)"))
    return rows


def cell(results: Results, store: str, row: Row) -> str:
    r = results.get((store, row.workload))
    if r is None:
        return ""
    if "error" in r:
        return "error"
    v = r.get(row.key)
    return "" if v is None else fmt(v, row.unit or r["unit"])


def durable_section(args: argparse.Namespace, stores: list[str], results: Results) -> list[str]:
    rows = [row for row in DURABLE_ROWS
            if any((s, row.workload) in results for s in stores)]
    if not rows:
        return []
    cols = [s for s in stores if STORES[s].durable
            and any((s, row.workload) in results for row in rows)]
    lines = ["", "## Durable writes", "",
             "Each write, or each batch, is on the disk when its call returns, before the "
             "next one starts:", ""]
    lines += [f"- {STORES[s].durable_how}" for s in cols if STORES[s].durable_how]
    lines += ["",
              f"The writes overwrite random keys of a store of {SMALL_STORE:,} keys (loaded "
              f"untimed and brought to rest: marrow persisted) or of the {args.n:,} keys of "
              f"the throughput cells' store, {args.cap:g} s of writes per cell. The "
              f"{THREADS} threads and the one thread run in the same cell one after the "
              "other on the same store, each thread a put and its sync at a time. The "
              f"sync() cost is marrow's sync() after {SYNC_PUTS} puts that are not timed "
              "(the mean over the cell). `best peer` is the fastest of the peers in the row.",
              ""]
    lines.append("| workload | " + " | ".join(cols) + " | best peer | marrow / best peer |")
    lines.append("|---|" + "---:|" * (len(cols) + 2))
    for row in rows:
        cells = [cell(results, s, row) for s in cols]
        best, vs = "", ""
        if row.key == "value" and row.higher:
            bp = best_peer(results, row.peers_from or row.workload,
                           [s for s in DURABLE_PEERS if s in stores])
            mv = results.get(("marrow", row.workload), {}).get("value")
            if bp:
                best = f"{fmt(bp[1], row_unit(results, row))} {bp[0]}"
                if mv:
                    vs = f"{mv / bp[1]:.2f}x"
        lines.append(f"| {row.text(args.n)} | " + " | ".join(cells) + f" | {best} | {vs} |")
    return lines


def gil_section(args: argparse.Namespace, results: Results) -> list[str]:
    r = results.get(("marrow", "vacuum-gil"))
    if r is None or "value" not in r:
        return []
    return ["", "## A Python thread during vacuum()", "",
            f"A plain Python loop (`for _ in range(1000): pass`, counted) runs in the main "
            f"thread while marrow's vacuum() of the {args.n:,}-key store, half of its keys "
            "overwritten, runs in another; alone, the same loop for the time cap. The loop "
            "keeps its rate only where vacuum() releases the GIL.", "",
            "| loop alone (iterations/s) | during vacuum() (iterations/s) | share | "
            "vacuum() (s) |", "|---:|---:|---:|---:|",
            f"| {fmt(r['alone'], '')} | {fmt(r['value'], '')} | {r['share']:.0%} | "
            f"{r['vacuum_seconds']:.2f} |"]


def command(args: argparse.Namespace) -> str:
    """The run's command line, and its make target where it has one."""
    flags = " --quick" if args.quick else ""
    if args.n != (100_000 if args.quick else 1_000_000):
        flags += f" --n {args.n}"
    for opt in ("stores", "workloads"):
        if getattr(args, opt):
            flags += f" --{opt} {getattr(args, opt)}"
    target = {"": "bench", " --quick": "bench-quick", " --workloads durable": "bench-durable",
              " --quick --workloads durable": "bench-durable-quick"}.get(flags)
    return f"`python bench/bench.py{flags}`" + (f" (`make {target}`)" if target else "")


def write_report(out: Path, args: argparse.Namespace, stores: list[str], results: Results,
                 floors: Floors, elapsed: float) -> None:
    peers = [s for s in stores if s != "marrow"]
    lines = ["# marrow benchmark", ""]
    lines.append(f"{args.n:,} keys of 16 bytes with {VAL_LEN}-byte values; {args.large:,} "
                 f"values of 100 KiB and {args.large // 10:,} of 1 MiB; marrow through "
                 f"marrow.open()'s Store. {command(args)}, {elapsed:.0f} s.")
    lines.append("")
    lines += machine_info(stores)
    lines += ["", "## Throughput", "",
              "Each cell is one fresh process, started after a `sync` so that no cell pays "
              "for the writeback of an earlier one. Peers run one call per operation "
              "(lmdb: one write transaction per put, `sync=False, metasync=False`); "
              "`lmdb-1txn` runs the whole workload in one transaction. A measurement stops "
              f"after {args.cap:g} s of operations (a fill stopped that way loads the rest of "
              "its records untimed, in one transaction where the store has them). "
              "`floor` is two `pwrite` (or `pread`) calls per record from C (the read floor "
              "measured again just before the reads). Cells run workload by workload, every "
              "store in turn, so the figures a ratio compares are minutes apart at most.", "",
              f"The batch fill writes the fill's records {FILL_BATCH:,} to a batch with each "
              "store's own batch write, timed per key: marrow one `Store.set_many` per "
              "batch (one log append and one write per record file), plyvel "
              "`write_batch()`, rocksdict a `WriteBatch`, lmdb one write transaction with "
              "`putmulti`, sqlite3 one transaction with `executemany`, diskcache one "
              "`transact()`, dict `update`. lmdb-1txn's cell is its sequential fill, which "
              "is already the whole load in one transaction. The row through "
              "`Store.set_many` is the same fill through the mapping's batch commit; its "
              "ratios are to the peers' batch fill. The random-order row writes the same "
              "records in batches of a seeded shuffle of the keys.", ""]
    cols = stores + ["floor"]
    lines.append("| workload | " + " | ".join(cols) + " |")
    lines.append("|---|" + "---:|" * len(cols))
    # A run of some workloads shows only their rows.
    rows = [row for row in THROUGHPUT_ROWS if any((s, row.workload) in results for s in stores)]
    for row in rows:
        cells = [cell(results, s, row) for s in stores]
        w = row.workload
        cells.append(fmt(floors[w]["value"], floors[w]["unit"]) if w in floors else "")
        lines.append(f"| {row.text(args.n)} | " + " | ".join(cells) + " |")
    lines += ["", "## marrow's ratio to each peer", "",
              "Higher is better for marrow (for memory: the peer's bytes per key over "
              "marrow's).", ""]
    lines.append("| workload | " + " | ".join(peers + ["floor"]) + " |")
    lines.append("|---|" + "---:|" * (len(peers) + 1))
    for row in rows:
        mv = figure(results, floors, "marrow", row)
        cells = []
        for p in peers + ["floor"]:
            pv = figure(results, floors, p, row)
            if mv and pv:
                cells.append(f"{(mv / pv if row.higher else pv / mv):.2f}x")
            else:
                cells.append("")
        lines.append(f"| {row.text(args.n)} | " + " | ".join(cells) + " |")
    lines += ["", "## Targets", "",
              "Every ratio is between two figures of this run. The chart's lower panel "
              "shows each target's measured figure over the required one (met at 1 or more).",
              "", "| target | measured | met |", "|---|---|---|"]
    for t in targets(results, floors, args.n):
        lines.append(f"| {t.text} | {t.measured} | {t.met} |")
    mem_stores = [s for s in stores
                  if any((s, w) in results for w in ("mem-fill", "mem-reopen"))]
    if mem_stores:
        lines += ["", "## Memory per key", "",
                  "Resident memory of a fresh process after the fill or after opening the "
                  "filled store, over the number of keys: total RSS (file-backed mapped pages "
                  "included), anonymous memory, and the peak.", "",
                  "| store | after fill: RSS | anon | peak | after reopen: RSS | anon | peak |",
                  "|---|---:|---:|---:|---:|---:|---:|"]
        for s in stores:
            cells = []
            for w in ("mem-fill", "mem-reopen"):
                r = results.get((s, w), {})
                cells += ([f"{r['value']:.1f}", f"{r['anon']:.1f}", f"{r['peak']:.1f}"]
                          if "value" in r else ["", "", ""])
            lines.append(f"| {s} | " + " | ".join(cells) + " |")
        r = results.get(("marrow", "mem-replay"), {})
        if "value" in r:
            lines.append(f"\nmarrow after an open that replays the whole log: RSS "
                         f"{r['value']:.1f}, anon {r['anon']:.1f}, peak {r['peak']:.1f} "
                         "bytes/key.")
    lines += durable_section(args, stores, results)
    lines += gil_section(args, results)
    errors = [(k, v["error"]) for k, v in results.items() if "error" in v]
    if errors:
        lines += ["", "## Errors", ""]
        lines += [f"- {s} {w}: `{e}`" for (s, w), e in errors]
    lines += ["", f"![ratios]({out.with_suffix('.png').name})", ""]
    out.write_text("\n".join(lines))


def write_chart(path: Path, stores: list[str], results: Results, floors: Floors,
                title: str, n: int) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib is not installed; no chart", file=sys.stderr)
        return
    peers = [s for s in stores if s != "marrow"] + ["floor"]
    rows = [row for row in THROUGHPUT_ROWS + DURABLE_ROWS
            if row.chart and figure(results, floors, "marrow", row)
            and any(figure(results, floors, p, row) for p in peers)]
    # The peers with a bar (a run of some workloads leaves some out).
    peers = [p for p in peers if any(figure(results, floors, p, row) for row in rows)] or peers
    goals = [t for t in targets(results, floors, n) if t.score is not None]
    top_h = 0.13 * len(rows) * len(peers) + 1.0
    low_h = 0.3 * len(goals) + 1.0
    fig, (ax, gx) = plt.subplots(2, 1, figsize=(12, top_h + low_h),
                                 gridspec_kw={"height_ratios": [top_h, low_h]})
    height = 0.8 / len(peers)
    cmap = plt.get_cmap("tab10")
    for j, p in enumerate(peers):
        ys, xs = [], []
        for i, row in enumerate(rows):
            mv = figure(results, floors, "marrow", row)
            pv = figure(results, floors, p, row)
            if mv and pv:
                ys.append(i + (j - (len(peers) - 1) / 2) * height)
                xs.append(mv / pv if row.higher else pv / mv)
        ax.barh(ys, xs, height=height, label=p, color=cmap(j % 10))
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([row.text(n) for row in rows])
    ax.invert_yaxis()
    ax.set_xlabel("marrow's ratio to each peer and to the floor "
                  "(higher is better for marrow; log scale)")
    ax.set_title(title)
    ax.legend(loc="lower right", fontsize="small")
    ax.grid(axis="x", which="both", alpha=0.3)
    if goals:
        scores = [t.score or 0.0 for t in goals]
        gx.barh(range(len(goals)), scores, height=0.6,
                color=["tab:green" if x >= 1 else "tab:red" for x in scores])
        for i, t in enumerate(goals):
            gx.annotate(f" {t.measured.split(' (')[0]}", (scores[i], i), va="center",
                        fontsize="x-small")
        gx.axvline(1.0, color="black", linewidth=0.8)
        gx.set_xscale("log")
        gx.set_xlim(min(0.9, min(scores) / 1.2), max(1.1, max(scores)) * 2)
        plain = matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}")
        gx.xaxis.set_major_formatter(plain)
        gx.xaxis.set_minor_formatter(plain)
        gx.tick_params(axis="x", which="minor", labelsize="x-small")
        gx.set_yticks(range(len(goals)))
        gx.set_yticklabels([t.text for t in goals], fontsize="small")
        gx.invert_yaxis()
        gx.set_xlabel("targets: measured over required (met at 1 or more, green; log scale)")
        gx.grid(axis="x", which="both", alpha=0.3)
    else:
        gx.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
