"""I/O faults injected under every public operation.

The sweep itself lives in tools/fault_sweep.py (it also runs in its long
form under `make stress`); this runs its reduced form, and one named case
of the log's rollback that the sweep covers among many others.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SWEEP = ROOT / "tools" / "fault_sweep.py"

sys.path.insert(0, str(SWEEP.parent))
import fault_sweep  # noqa: E402

pytestmark = pytest.mark.skipif(sys.platform != "linux",
                                reason="LD_PRELOAD fault injection is Linux only")


@pytest.fixture(scope="module")
def library() -> Path:
    return fault_sweep.ensure_library()


def run_python(code: str, env: dict[str, str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          env=env, capture_output=True, text=True, timeout=120)


def failed_write_then_reopen(tmp_path: Path, library: Path, fault: dict[str, str],
                             value_size: int) -> list[str]:
    """Buffers 8 KB of log, makes set_bytes("failed", ...) fail under
    `fault`, writes on, closes; returns what a fresh process then reads
    for "after", "before" and "failed"."""
    store = tmp_path / "store"
    armed = tmp_path / "armed"
    env = {k: v for k, v in os.environ.items() if not k.startswith("FAULT_")}
    env.update({"LD_PRELOAD": str(library), "FAULT_DIR": str(store),
                "FAULT_ERRNO": "ENOSPC", "FAULT_ARM_FILE": str(armed), **fault})
    writer = run_python(f"""
        import pathlib
        from marrow import Marrow
        db = Marrow({str(store)!r})
        db.set_bytes("before", b"b" * 8000)      # fills most of the log buffer
        armed = pathlib.Path({str(armed)!r})
        armed.touch()
        try:
            db.set_bytes("failed", b"f" * {value_size})   # overflows it
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            assert "code: 28" in str(e), str(e)
        else:
            raise AssertionError("no fault")
        finally:
            armed.unlink()
        assert db.get_bytes("failed") is None
        db.set_bytes("after", b"a")
        db.delete("before")
        print("done")
    """, env)
    assert writer.returncode == 0, writer.stderr
    assert "done" in writer.stdout

    clean = {k: v for k, v in env.items() if k != "LD_PRELOAD"}
    reader = run_python(f"""
        from marrow import Marrow
        db = Marrow({str(store)!r})
        print(db.get_bytes("after"), db.get_bytes("before"), db.get_bytes("failed"))
    """, clean)
    assert reader.returncode == 0, reader.stderr
    return reader.stdout.split()


def test_failed_log_write_out_keeps_later_writes(tmp_path: Path, library: Path) -> None:
    """A set_bytes whose log write-out fails raises PanicException and
    leaves no partial record: the writes after it replay at the next open."""
    got = failed_write_then_reopen(
        tmp_path, library, {"FAULT_NTH": "1", "FAULT_OPS": "write"}, 500)
    assert got == ["b'a'", "None", "None"]


def test_failed_rollback_is_finished_before_the_next_append(
        tmp_path: Path, library: Path) -> None:
    """Part of the failed record reached wal.bin and cutting it off failed
    too (the disk stays full): the next write cuts it first, so it and the
    writes after it replay, and the failed record does not."""
    got = failed_write_then_reopen(
        tmp_path, library,
        {"FAULT_NTH": "2", "FAULT_OPS": "write,ftruncate", "FAULT_STICKY": "1"},
        10_000)  # the value bypasses the buffer: write-out, then direct write
    assert got == ["b'a'", "None", "None"]


def test_reduced_fault_sweep(library: Path) -> None:
    """Every operation under every single fault of the reduced sweep: the
    right exception form, no crash, a usable object, and a reopen that
    finds every acknowledged change."""
    proc = subprocess.run([sys.executable, str(SWEEP), "--quick"],
                          capture_output=True, text=True, timeout=900)
    print(proc.stdout[-5000:])
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-3000:]
    summary = proc.stdout.strip().splitlines()[-1]
    assert "failures: 0" in summary
    points = int(summary.split("fault points exercised: ")[1].split(",")[0])
    assert points > 100  # the injection reached every operation
