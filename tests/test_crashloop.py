"""The crash loop: SIGKILL a writing process at random instants, reopen, and
check that what survives is a prefix of what it did (tools/crashloop.py)."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import crashloop  # noqa: E402
from crashloop import Op, Pending, check_report, digest  # noqa: E402

SEED = 20240611
CYCLES = 220


def report(values: dict[str, bytes]) -> dict:
    live = sorted(values)
    return {
        "values": {k: digest(values.get(k)) for k in crashloop.KEYS},
        "len": len(live),
        "keys": live,
    }


def test_the_checker_accepts_lost_suffixes_and_rejects_everything_else() -> None:
    a, b = crashloop.KEYS[:2]
    ops = [Op("set", a, b"1"), Op("persist"), Op("set", b, b"2"), Op("delete", a), Op("set", b, b"3")]
    pending = Pending(base={}, ops=ops, extra=Op("set", a, b"4"), min_prefix=2)
    # Every prefix from the last persist on, and the op that was running.
    for state in ({a: b"1"}, {a: b"1", b: b"2"}, {b: b"2"}, {b: b"3"}, {a: b"4", b: b"3"}):
        assert check_report(report(state), pending)[0] is None, state
    # Before the persist, a hole, something invented, or a mixed-up value.
    for state in ({}, {a: b"1", b: b"3"}, {b: b"9"}, {b: b"1"}):
        assert check_report(report(state), pending)[0] is not None, state
    # len() and keys() must agree with what the reads found.
    bad = report({b: b"3"})
    bad["len"] = 2
    assert check_report(bad, pending)[0] is not None
    bad = report({b: b"3"})
    bad["keys"] = [a, b]
    assert check_report(bad, pending)[0] is not None


def test_crash_loop(tmp_path: Path) -> None:
    print(f"crash loop seed {SEED}, {CYCLES} cycles")
    stats = crashloop.run_crash_loop(tmp_path, CYCLES, SEED)
    print(f"{stats.cycles} cycles, {stats.failures} failures, {stats.ops} ops, "
          f"{stats.lost_ops} unpersisted ops lost, {stats.killed_in_open} kills in the open")
    assert stats.failures == 0, "\n".join(stats.messages)
    assert stats.cycles == CYCLES and stats.ops > CYCLES
