"""A get_many that takes the batched read path, run by an installed python.

    python -I tests/batch_read_probe.py

The values of the second batch lie past the file mapping made by the first
get_many (the file has grown, but not doubled), so they are read as one batch
of 50 reads: one io_uring submission where io_uring works, 50 positioned
reads where it is missing (under qemu-user, for one). make wheel-check
counts the system calls.
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
