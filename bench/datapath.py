#!/usr/bin/env python3
"""End-to-end data path: N set_bytes, then N get_bytes, then len() and keys().

Prints the time of each phase and the peak resident memory. Run with the
project's interpreter, e.g. `.venv/bin/python bench/datapath.py`.
"""
from __future__ import annotations

import argparse
import random
import resource
import shutil
import sys
import tempfile
import time

from marrow import Marrow


def peak_rss_mib() -> float:
    # ru_maxrss is in KiB on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=1_000_000, help="number of keys")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    n: int = args.n

    pool = random.Random(args.seed).randbytes(1 << 20)
    keys = [f"k{i:015d}" for i in range(n)]
    span = len(pool) - 100
    vals = [pool[(i * 7919) % span:(i * 7919) % span + 100] for i in range(n)]
    rss_before = peak_rss_mib()

    directory = tempfile.mkdtemp(prefix="marrow-datapath-")
    failures: list[str] = []
    try:
        store = Marrow(directory)
        put = store.set_bytes
        start = time.perf_counter()
        for k, v in zip(keys, vals):
            put(k, v)
        t_set = time.perf_counter() - start

        get = store.get_bytes
        start = time.perf_counter()
        for k in keys:
            get(k)
        t_get = time.perf_counter() - start
        peak_after_reads = peak_rss_mib()

        start = time.perf_counter()
        count = store.len()
        t_len = time.perf_counter() - start
        start = time.perf_counter()
        listed = store.keys()
        t_keys = time.perf_counter() - start

        # Checked after the timing, so the harness keeps no copies meanwhile.
        mismatched = sum(1 for k, v in zip(keys, vals) if get(k) != v)
        if mismatched:
            failures.append(f"{mismatched} values read back differently")
        if count != n:
            failures.append(f"len() is {count}, expected {n}")
        if len(listed) != n or set(listed) != set(keys):
            failures.append(f"keys() lists {len(listed)} keys, not the {n} written")
        del store
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    peak = peak_after_reads
    print(f"data path, {n:,} keys of 16 bytes, values of 100 bytes")
    print(f"| phase | seconds | per op | ops/s |")
    print(f"|---|---:|---:|---:|")
    for name, t, ops in (("set_bytes", t_set, n), ("get_bytes", t_get, n),
                         ("len()", t_len, 1), ("keys()", t_keys, n)):
        print(f"| {name} | {t:.3f} | {t / ops * 1e6:.2f} us | {ops / t:,.0f} |")
    print(f"peak RSS {peak:.0f} MiB (of which the test data and interpreter "
          f"{rss_before:.0f} MiB before the store was opened)")
    if failures:
        for f in failures:
            print("FAILED:", f)
        return 1
    print("len() and keys() agree with what was written; every value read back")
    return 0


if __name__ == "__main__":
    sys.exit(main())
