"""Smoke test of an installed marrow, run by that environment's python -I.

    python -I tests/smoke_installed.py [--bundled]

--bundled (a repaired wheel): the module's shared libraries other than the
system's core ones resolve inside the package's marrow.libs/ (ldd), and the
process loads no other copy of CRoaring, Abseil or liburing.
"""

import json
import os
import re
import subprocess
import sys
import tempfile

import marrow
from marrow._marrow import Marrow

CORE = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}


def check_bundled(module: str, libs: str) -> None:
    ldd = subprocess.run(["ldd", module], check=True, capture_output=True, text=True).stdout
    print(ldd, end="")
    grafted = 0
    for line in ldd.splitlines():
        name, _, target = line.strip().partition(" => ")
        if os.path.basename(name.split()[0]) not in CORE:
            assert os.path.dirname(os.path.normpath(target.split(" (")[0])) == libs, line
            grafted += 1
    assert grafted > 0, ldd
    with open("/proc/self/maps") as f:
        loaded = {line.split()[-1] for line in f if re.search(r"/lib(roaring|absl_|uring)", line)}
    assert loaded and {os.path.dirname(os.path.normpath(p)) for p in loaded} == {libs}, loaded


def smoke(path: str) -> None:
    db = marrow.open(path)
    db["alpha"] = b"one"
    db["beta"] = bytearray(b"two")
    del db["beta"]
    assert len(db) == 1 and db["alpha"] == b"one" and db.get("beta") is None
    db.persist()
    db.close()
    with marrow.open(path) as db:
        assert dict(db.items()) == {"alpha": b"one"}
    raw = Marrow(path)
    raw.set_bytes("raw", b"\x00\xff")
    assert raw.get_bytes("raw") == b"\x00\xff" and raw.get_bytes("beta") is None
    raw.persist()
    del raw  # closes the store, so the command can open it

    cli = os.path.join(os.path.dirname(sys.executable), "marrow")

    def run(*args: str) -> bytes:
        return subprocess.run([cli, *args], check=True, capture_output=True).stdout

    assert run("get", path, "raw") == b"\x00\xff"
    assert run("keys", path) == b"alpha\nraw\n"
    info = json.loads(run("info", "--json", path))
    assert (info["live_keys"], info["live_value_bytes"]) == (2, 5), info


def main() -> None:
    module = marrow._marrow.__file__
    assert module.startswith(sys.prefix + os.sep), module  # the installed copy
    if "--bundled" in sys.argv[1:]:
        check_bundled(module, os.path.join(os.path.dirname(os.path.dirname(module)), "marrow.libs"))
    with tempfile.TemporaryDirectory(prefix="marrow-smoke-") as path:
        smoke(path)
    print(f"smoke ok: marrow {marrow.__version__} from {os.path.dirname(module)}")


if __name__ == "__main__":
    main()
