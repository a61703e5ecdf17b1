"""A get_many through the read mappings, run by an installed python.

    python -I tests/batch_read_probe.py

The values of the second batch were written after the first get_many mapped
the files: they lie inside the room the mappings leave to grow, so the batch
reads them from memory, probing each record's next page (no positioned
read). make wheel-check counts the system calls under qemu-user.
"""

import tempfile

import marrow


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="marrow-probe-") as path:
        with marrow.open(path, cache_size=1) as db:
            old = [f"k{i}" for i in range(100)]
            new = [f"n{i}" for i in range(50)]
            for k in old:
                db[k] = b"v" * 50
            assert db.get_many(old) == [(k, b"v" * 50) for k in old]
            for k in new:
                db[k] = b"w" * 50
            assert db.get_many(new) == [(k, b"w" * 50) for k in new]
    print("batched reads ok")


if __name__ == "__main__":
    main()
