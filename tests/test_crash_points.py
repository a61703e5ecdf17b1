"""Crash atomicity of vacuum and persist.

A small engine program, vacuum_crash_driver, opens a store and runs vacuum
(or persist) and kills itself with SIGKILL at a named crash point of the
engine. Whatever the point, the next open must give exactly the contents the
store had before, which are also the contents after. A second test kills the
driver at random instants of a vacuum of a larger store.

The driver is built with the engine tests (make engine-test) into
build/engine/; MARROW_CRASH_DRIVER names another build of it.
"""

from __future__ import annotations

import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from marrow import Marrow

REPO = Path(__file__).resolve().parent.parent
DRIVER = Path(os.environ.get("MARROW_CRASH_DRIVER", REPO / "build" / "engine" / "vacuum_crash_driver"))

VACUUM_POINTS = [
    "vacuum.copied",
    "vacuum.log_synced",
    "vacuum.snapshot_written",
    "vacuum.committed",
    "vacuum.renamed_keys",
    "vacuum.renamed_vals",
    "vacuum.renamed_offsets",
    "vacuum.renamed_snapshot",
    "vacuum.finished",
]
PERSIST_POINTS = ["persist.synced", "persist.snapshot_written", "persist.renamed"]
ATTEMPTS = 5

pytestmark = pytest.mark.skipif(
    not DRIVER.exists(), reason=f"{DRIVER} is not built (make engine-test builds it)"
)

# Opens the store in a fresh interpreter and compares it with the pickled
# expectation: every value, the absent keys, len() and keys(). When asked,
# does it again after a reopen, and after a vacuum and another reopen.
CHECKER = textwrap.dedent(
    """
    import pickle, sys
    from pathlib import Path
    from marrow import Marrow

    path, expectation, thorough = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
    with open(expectation, "rb") as f:
        expected, gone = pickle.load(f)
    problems = []

    def check(label):
        store = Marrow(path)
        if store.len() != len(expected):
            problems.append(f"{label}: len() is {store.len()}, expected {len(expected)}")
        keys = store.keys()
        if sorted(keys) != sorted(expected):
            extra = sorted(set(keys) - set(expected))[:5]
            missing = sorted(set(expected) - set(keys))[:5]
            problems.append(f"{label}: keys() differ: extra {extra}, missing {missing}, {len(keys)} listed")
        wrong = [k for k, v in expected.items() if store.get_bytes(k) != v]
        if wrong:
            problems.append(f"{label}: {len(wrong)} wrong values, e.g. {wrong[:5]}")
        back = [k for k in gone if store.get_bytes(k) is not None]
        if back:
            problems.append(f"{label}: deleted keys readable: {back[:5]}")
        if Path(path, "snapshot.bin.vac").exists():
            problems.append(f"{label}: the open left a committed vacuum unfinished")
        return store

    store = check("first open")
    del store
    if thorough:
        store = check("second open")
        store.vacuum()
        del store
        check("after a vacuum and a reopen")
    print("\\n".join(problems))
    sys.exit(1 if problems else 0)
    """
)


def build_store(path: Path, keys: int, seed: int) -> tuple[dict[str, bytes], list[str]]:
    """A store with overwrites and deletes, part in the snapshot, part in the log.

    Returns the expected contents and the keys that were deleted for good.
    """
    rng = random.Random(seed)
    expected: dict[str, bytes] = {}
    deleted: set[str] = set()

    def put(key: str, val: bytes) -> None:
        store.set_bytes(key, val)
        expected[key] = val
        deleted.discard(key)

    def delete(key: str) -> None:
        store.delete(key)
        expected.pop(key, None)
        deleted.add(key)

    def value(i: int) -> bytes:
        return f"{i}:".encode() + rng.randbytes(rng.randrange(0, 40))

    store = Marrow(str(path))
    # In the snapshot: writes, overwrites and deletes.
    for i in range(keys):
        put(f"key{i:07d}", value(i))
    for i in rng.sample(range(keys), keys // 3):
        put(f"key{i:07d}", value(i))
    for i in rng.sample(range(keys), keys // 5):
        delete(f"key{i:07d}")
    store.persist()
    # Only in the log: more of the same, new keys, and records larger than
    # the log's buffer.
    for i in rng.sample(range(keys), keys // 4):
        put(f"key{i:07d}", value(i))
    for i in rng.sample(range(keys), keys // 10):
        delete(f"key{i:07d}")
    for i in range(keys, keys + keys // 10):
        put(f"key{i:07d}", value(i))
    put("large", rng.randbytes(20000))
    put("ünïcode ключ", b"")
    put("", b"empty key")
    del store  # writes the log's buffer out
    return expected, sorted(deleted)[:200]


def check_contents(path: Path, expected: dict[str, bytes], gone: list[str], thorough: bool) -> None:
    expectation = path.parent / f"{path.name}.expected"
    expectation.write_bytes(pickle.dumps((expected, gone)))
    proc = subprocess.run(
        [sys.executable, "-c", CHECKER, str(path), str(expectation), "1" if thorough else "0"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, f"contents differ after the crash:\n{proc.stdout}\n{proc.stderr}"


def run_driver(path: Path, point: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(DRIVER), str(path), point], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("point", VACUUM_POINTS + PERSIST_POINTS)
def test_a_kill_at_each_crash_point_keeps_the_contents(tmp_path: Path, point: str) -> None:
    store = tmp_path / "store"
    expected, gone = build_store(store, 3000, seed=sum(point.encode()))
    proc = run_driver(store, point)
    assert proc.returncode == -signal.SIGKILL, (
        f"the driver did not stop at {point} (exit {proc.returncode}):\n{proc.stderr}"
    )
    check_contents(store, expected, gone, thorough=True)


def test_the_driver_without_a_crash_point_completes(tmp_path: Path) -> None:
    store = tmp_path / "store"
    expected, gone = build_store(store, 500, seed=1)
    for point in ("none", "persist.none"):
        proc = run_driver(store, point)
        assert proc.returncode == 0, proc.stderr
    check_contents(store, expected, gone, thorough=True)


def test_a_kill_at_random_instants_of_a_large_vacuum(tmp_path: Path) -> None:
    original = tmp_path / "original"
    # About 160,000 records: 80,000 keys, a third rewritten and a fifth
    # deleted before the persist, as many changes again in the log.
    expected, gone = build_store(original, 80_000, seed=7)

    # One run to the end, for a scale of how long a vacuum takes here.
    finished = tmp_path / "finished"
    shutil.copytree(original, finished)
    started = time.monotonic()
    proc = run_driver(finished, "none")
    duration = time.monotonic() - started
    assert proc.returncode == 0, proc.stderr
    check_contents(finished, expected, gone, thorough=False)

    rng = random.Random(11)
    killed = 0
    for attempt in range(ATTEMPTS):
        copy = tmp_path / f"attempt{attempt}"
        shutil.copytree(original, copy)
        child = subprocess.Popen([str(DRIVER), str(copy), "none"], stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0.0, 1.0) * duration)
        child.send_signal(signal.SIGKILL)
        _, err = child.communicate(timeout=300)
        if child.returncode == -signal.SIGKILL:
            killed += 1
        else:
            assert child.returncode == 0, err.decode(errors="replace")
        check_contents(copy, expected, gone, thorough=False)
        shutil.rmtree(copy)
    print(f"vacuum took {duration:.2f} s; {killed} of {ATTEMPTS} runs killed before the end")
