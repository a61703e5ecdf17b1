"""Damaged store files: a seeded sweep over the five files
(tools/damage_sweep.py), and the cases it found, kept as regressions."""

from __future__ import annotations

import gc
import os
import shutil
import struct
import sys
import tempfile
from pathlib import Path

import pytest

from marrow import Marrow

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import damage_sweep  # noqa: E402

SEED = 4242
CASES = 84  # three of each pairing of file and kind of damage


def test_damage_sweep(tmp_path: Path) -> None:
    # The sweep needs no durability: on a memory file system its many fsyncs
    # cost nothing.
    shm = Path("/dev/shm")
    work = Path(tempfile.mkdtemp(dir=shm)) if os.access(shm, os.W_OK) else tmp_path
    print(f"damage sweep seed {SEED}, {CASES} cases in {work}")
    try:
        stats = damage_sweep.run_sweep(work, CASES, SEED)
    finally:
        if work != tmp_path:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{stats.cases} cases, {stats.failures} failures, {stats.calls} calls, "
          f"{stats.exceptions} exceptions, {stats.opens_failed} failed opens")
    assert stats.failures == 0, "\n".join(stats.messages)
    assert stats.cases == CASES


def _store_under_a_snapshot(path: Path) -> dict[str, bytes]:
    """Ten 2-byte keys with 100-byte values in the snapshot, one in the log."""
    values = {f"k{i}": bytes([65 + i]) * 100 for i in range(10)}
    db = Marrow(str(path))
    for k, v in values.items():
        db.set_bytes(k, v)
    db.persist()
    db.set_bytes("late", b"L" * 50)
    del db
    gc.collect()
    return values


@pytest.mark.parametrize("name,cut", [("vals.bin", 0), ("vals.bin", 500), ("keys.bin", 0),
                                      ("keys.bin", 10), ("vals.bin", None), ("keys.bin", None)])
def test_a_record_file_cut_short_under_a_snapshot_loses_records_but_invents_none(
    tmp_path: Path, name: str, cut: int | None
) -> None:
    # The snapshot's ends lie past the file's end; the log's record is appended
    # after them, so without care the gap would read back as zeros, as values
    # of the lost records or, after a vacuum, as their keys.
    path = tmp_path / "s"
    values = _store_under_a_snapshot(path)
    if cut is None:
        (path / name).unlink()
        cut = 0
    else:
        os.truncate(path / name, cut)
    # Records wholly before the cut survive (keys at 2*i, values at 100*i).
    per_record = 2 if name == "keys.bin" else 100
    survivors = {k: v for i, (k, v) in enumerate(values.items()) if (i + 1) * per_record <= cut}
    expected = dict(survivors, late=b"L" * 50)
    for step in ("open", "vacuum", "reopen"):
        if step == "open":
            db = Marrow(str(path))
        elif step == "vacuum":
            db.vacuum()
        else:
            del db
            gc.collect()
            db = Marrow(str(path))
        got = {k: db.get_bytes(k) for k in list(values) + ["late"]}
        assert {k: v for k, v in got.items() if v is not None} == expected, step
        assert sorted(db.keys()) == sorted(expected), step
        assert db.len() == len(expected), step


@pytest.mark.parametrize("field", ["keys_end", "vals_end"])
@pytest.mark.parametrize("value", [2**63, 2**64 - 1, 2**40])
def test_a_snapshot_end_past_its_file_keeps_the_store_usable(
    tmp_path: Path, field: str, value: int
) -> None:
    # Appending at such an end fails (or leaves a gap of zeros); the records
    # inside the file stay readable and new writes go after them.
    path = tmp_path / "s"
    values = _store_under_a_snapshot(path)
    data = bytearray((path / "snapshot.bin").read_bytes())
    struct.pack_into("<Q", data, damage_sweep.snapshot_fields(bytes(data))[field], value)
    (path / "snapshot.bin").write_bytes(bytes(data))
    expected = dict(values, late=b"L" * 50)
    db = Marrow(str(path))
    db.set_bytes("new", b"N" * 10)
    expected["new"] = b"N" * 10
    db.clear_cache()
    assert {k: db.get_bytes(k) for k in expected} == expected
    db.persist()
    db.vacuum()
    del db
    gc.collect()
    db = Marrow(str(path))
    assert {k: db.get_bytes(k) for k in expected} == expected
    assert sorted(db.keys()) == sorted(expected)
    assert (path / "vals.bin").stat().st_size == sum(map(len, expected.values()))
