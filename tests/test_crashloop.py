"""The crash loop (tests/crashloop.py) in its short form; `make stress` runs it long."""

from __future__ import annotations

from pathlib import Path

import crashloop


def test_crash_loop(tmp_path: Path) -> None:
    failures, calls, reader_states = crashloop.run(tmp_path, 120, seed=20240611)
    assert not failures, "\n".join(failures)
    assert calls > 90 and reader_states > 30
