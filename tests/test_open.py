"""Opening a store: directory creation, new files, failures, offsets.bin sizing."""

from __future__ import annotations

import errno
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import (
    NEW_OFFSETS_SIZE,
    OpenStore,
    fresh_dir,
    offset_entry,
    read,
    read_entry,
    run_python,
    size,
)
from marrow import Marrow


def test_new_store_deep_path_creates_every_level_and_empty_files(tmp_path: Path) -> None:
    path = tmp_path / "a" / "b" / "c" / "store"
    store = Marrow(str(path), 7)
    assert path.is_dir()
    offsets = read(path, "offsets.bin")
    assert len(offsets) == NEW_OFFSETS_SIZE
    assert offsets.count(0) == NEW_OFFSETS_SIZE
    for name in ("keys.bin", "vals.bin", "wal.bin"):
        assert size(path, name) == 0, name
    assert not (path / "snapshot.bin").exists()
    assert store.len() == 0
    assert store.keys() == []
    assert store.cache_stats() == (0, 7)
    del store
    # Closing an untouched store writes nothing and never creates a snapshot.
    for name in ("keys.bin", "vals.bin", "wal.bin"):
        assert size(path, name) == 0, name
    assert size(path, "offsets.bin") == NEW_OFFSETS_SIZE
    assert not (path / "snapshot.bin").exists()


def test_default_and_zero_cache_sizes(tmp_path: Path) -> None:
    assert Marrow(str(tmp_path / "d")).cache_stats() == (0, 10000)
    assert Marrow(str(tmp_path / "z"), 0).cache_stats() == (0, 0)


def test_existing_directory_is_opened(open_store: OpenStore, store_dir: Path) -> None:
    store_dir.mkdir()
    store = open_store()
    store.set_bytes("k", b"v")
    assert store.get_bytes("k") == b"v"


def test_empty_path_means_current_directory(tmp_path: Path) -> None:
    run_python(
        """
        from marrow import Marrow
        m = Marrow("")
        m.set_bytes("k", b"v")
        assert m.get_bytes("k") == b"v"
        """,
        cwd=tmp_path,
    )
    assert read(tmp_path, "keys.bin") == b"k"
    assert read(tmp_path, "vals.bin") == b"v"
    assert size(tmp_path, "offsets.bin") == NEW_OFFSETS_SIZE
    assert read(tmp_path, "wal.bin")[:4] == b"\0\0\0\0"
    proc = run_python(
        """
        from marrow import Marrow
        print(Marrow("").get_bytes("k"))
        """,
        cwd=tmp_path,
    )
    assert proc.stdout.strip() == "b'v'"


def _os_error_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def test_path_naming_a_regular_file_raises_file_exists(tmp_path: Path) -> None:
    target = tmp_path / "plain"
    target.write_bytes(b"data")
    with pytest.raises(FileExistsError) as info:
        Marrow(str(target))
    assert info.value.args == (_os_error_text(errno.EEXIST),)
    assert info.value.errno is None
    assert target.read_bytes() == b"data"


def test_path_below_a_regular_file_raises_os_error(tmp_path: Path) -> None:
    target = tmp_path / "plain"
    target.write_bytes(b"data")
    with pytest.raises(OSError) as info:
        Marrow(str(target / "sub" / "store"))
    assert info.value.args[0] in (_os_error_text(errno.ENOTDIR), _os_error_text(errno.EEXIST))
    assert target.read_bytes() == b"data"


def test_unwritable_parent_raises_permission_error() -> None:
    # Root ignores permission bits, so the open runs with an unprivileged
    # effective user id for the duration of the call.
    base = Path(tempfile.mkdtemp(prefix="marrow-perm-"))
    try:
        base.chmod(0o755)
        parent = base / "readonly"
        parent.mkdir(mode=0o555)
        parent.chmod(0o555)
        target = parent / "sub" / "store"
        switched = False
        if os.geteuid() == 0:
            try:
                os.seteuid(65534)
                switched = True
            except OSError as e:
                pytest.skip(f"cannot drop privileges to provoke EACCES: {e}")
        try:
            with pytest.raises(PermissionError) as info:
                Marrow(str(target))
        finally:
            if switched:
                os.seteuid(0)
        assert info.value.args == (_os_error_text(errno.EACCES),)
        assert list(parent.iterdir()) == []
    finally:
        for p in (base, base / "readonly"):
            if p.exists():
                p.chmod(0o755)
        shutil.rmtree(base)


def test_nul_byte_in_path_raises_os_error_before_touching_disk(tmp_path: Path) -> None:
    with pytest.raises(OSError) as info:
        Marrow(str(tmp_path / "st\0ore"))
    assert type(info.value) is OSError
    assert "file name contained an unexpected NUL byte" in str(info.value)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("initial", "after_open"),
    [
        (0, NEW_OFFSETS_SIZE),
        (100, NEW_OFFSETS_SIZE),
        (NEW_OFFSETS_SIZE, NEW_OFFSETS_SIZE),
        (2_400_010, 2_400_010),
        (3_000_005, 3_000_005),
    ],
)
def test_existing_offsets_file_sizing(tmp_path: Path, initial: int, after_open: int) -> None:
    d = fresh_dir(tmp_path, "s", {"offsets.bin": bytes(initial)})
    store = Marrow(str(d))
    assert size(d, "offsets.bin") == after_open
    store.set_bytes("key", b"value")
    store.set_bytes("k2", b"")
    assert size(d, "offsets.bin") == after_open
    offsets = read(d, "offsets.bin")
    assert offsets[:48] == offset_entry(0, 3, 0, 5) + offset_entry(3, 2, 5, 0)
    assert offsets.count(0, 48) == after_open - 48
    store.clear_cache()
    assert store.get_bytes("key") == b"value"
    assert store.get_bytes("k2") == b""
    del store
    assert size(d, "offsets.bin") == after_open


def test_larger_offsets_file_sets_the_growth_threshold(tmp_path: Path) -> None:
    # 3,000,005 bytes hold 125,000 whole slots: the file grows (to twice the
    # slot count) only when record 125,000 is appended.
    d = fresh_dir(tmp_path, "s", {"offsets.bin": bytes(3_000_005)})
    store = Marrow(str(d), 1)
    for i in range(125_000):
        store.set_bytes(str(i), b"")
    assert size(d, "offsets.bin") == 3_000_005
    store.set_bytes("last", b"x")
    assert size(d, "offsets.bin") == 6_000_000
    keys_end = sum(len(str(i)) for i in range(125_000))
    assert read_entry(read(d, "offsets.bin"), 125_000) == (keys_end, 4, 0, 1)
    store.clear_cache()
    assert store.get_bytes("124999") == b""
    assert store.get_bytes("last") == b"x"
    assert store.len() == 125_001


def test_cache_size_too_large_to_reserve_fails_cleanly(tmp_path: Path) -> None:
    # Run in a child: a failed reservation must raise, never end the process.
    proc = run_python(
        f"""
        from marrow import Marrow
        for size in (2**64 - 1, 2**50):
            try:
                Marrow({str(tmp_path / "s")!r}, size)
            except BaseException as e:
                print(type(e).__name__)
            else:
                print("opened")
        m = Marrow({str(tmp_path / "s")!r}, 3)
        m.set_bytes("k", b"v")
        assert m.get_bytes("k") == b"v"
        """
    )
    largest, large = proc.stdout.split()
    assert largest in ("MemoryError", "PanicException")
    # 2**50 entries may open if the system grants the reservation lazily.
    assert large in ("MemoryError", "PanicException", "opened")


def test_new_files_and_directories_follow_the_umask(tmp_path: Path) -> None:
    path = tmp_path / "outer" / "store"
    run_python(
        f"""
        import os
        os.umask(0o027)
        from marrow import Marrow
        m = Marrow({str(path)!r})
        m.set_bytes("k", b"v")
        m.persist()
        """
    )
    assert (path.parent.stat().st_mode & 0o777) == 0o750
    assert (path.stat().st_mode & 0o777) == 0o750
    for name in ("offsets.bin", "keys.bin", "vals.bin", "wal.bin", "snapshot.bin"):
        assert ((path / name).stat().st_mode & 0o777) == 0o640, name


def test_store_descriptors_are_not_inherited(tmp_path: Path, open_store: OpenStore, store_dir: Path) -> None:
    store = open_store()
    store.set_bytes("k", b"v")
    proc = subprocess.run(
        ["sh", "-c", "ls -l /proc/self/fd/"], close_fds=False, capture_output=True, text=True, check=True
    )
    assert str(store_dir) not in proc.stdout
    assert store.get_bytes("k") == b"v"
