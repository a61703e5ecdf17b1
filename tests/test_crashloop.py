"""The crash loop (tests/crashloop.py) in its short form; `make stress` runs it long."""

from __future__ import annotations

import json
from pathlib import Path

import crashloop


def test_the_check_rejects_holes_and_inventions() -> None:
    a, b, c = crashloop.KEYS[:3]
    batch = ("batch", json.dumps([(a, None), (c, "3")]), None)
    done = [("set", a, "1"), ("persist", "", None), ("set", b, "2"), batch]
    allowed = [({a: "1"}, True), ({a: "1", b: "2"}, True), ({b: "2", c: "3"}, True)]
    for state, ok in allowed + [({}, False), ({b: "2", a: "9"}, False), ({b: "2"}, False), ({a: "1", b: "2", c: "3"}, False)]:
        found = {"values": {k: state.get(k) for k in crashloop.KEYS}, "len": len(state), "keys": sorted(state)}
        assert (crashloop.check(found, {}, done, None, 2) is None) is ok, state


def test_crash_loop(tmp_path: Path) -> None:
    failures, calls, reader_states = crashloop.run(tmp_path, 120, seed=20240611)
    assert not failures, "\n".join(failures)
    assert calls > 90 and reader_states > 30
