"""Smoke test of an installed marrow, run by that environment's python -I.

    python -I tests/smoke_installed.py [--static | --bundled]

--static (a portable wheel): the module links CRoaring, liburing and the C++
standard library in, so the process loads no shared copy of any of them.
--bundled (a native wheel repaired by auditwheel): the process loads
CRoaring from the package's marrow.libs/ and from nowhere else.
"""

import os
import re
import sys
import tempfile

import marrow


def smoke(path: str) -> None:
    """The module loads and works; what it does is the suite's to test."""
    with marrow.open(path, cache_size=2) as db:  # persisted at the end of the block
        db["alpha"], db["beta"] = b"one", b"two"
        db.vacuum()
    assert marrow.open(path, readonly=True).get_many(["alpha", "gamma"]) == [("alpha", b"one"), ("gamma", None)]


def cut_behind(path: str) -> None:
    """A record file cut behind an open store fails the read, through this
    machine's page probe, and neither reads as zeros nor kills the process."""
    db = marrow.Marrow(path, 1)
    for i in range(2000):  # 40,000 bytes of values: ten pages and more
        db.set_bytes(f"{i:05d}", b"v" * 20)
    assert db.get_bytes("00001") == b"v" * 20
    db.clear_cache()
    os.truncate(os.path.join(path, "vals.bin"), 0)
    try:
        got = db.get_bytes("00001")
    except BaseException as e:  # the engine's internal failure
        assert "failed to fill whole buffer" in str(e), e
    else:
        raise AssertionError(f"a cut file read as {got!r}")


def main() -> None:
    module = marrow._marrow.__file__
    assert module.startswith(sys.prefix + os.sep), module  # the installed copy
    if "--static" in sys.argv[1:]:
        with open("/proc/self/maps") as f:
            loaded = {line.split()[-1] for line in f if re.search(r"/lib(roaring|uring|stdc\+\+|c\+\+)", line)}
        assert not loaded, loaded
    if "--bundled" in sys.argv[1:]:
        libs = os.path.join(os.path.dirname(os.path.dirname(module)), "marrow.libs")
        with open("/proc/self/maps") as f:
            loaded = {line.split()[-1] for line in f if re.search(r"/lib(roaring|uring)", line)}
        assert loaded and {os.path.dirname(os.path.normpath(p)) for p in loaded} == {libs}, loaded
    with tempfile.TemporaryDirectory(prefix="marrow-smoke-") as path:
        smoke(path)
        cut_behind(os.path.join(path, "cut"))
    print(f"smoke ok: marrow {marrow.__version__} from {os.path.dirname(module)}")


if __name__ == "__main__":
    main()
