"""The ``marrow`` command-line tool: inspect, check, export and import stores.

Exit status: 0 on success; 1 when a key is absent (``get``, ``delete``) or
``check`` finds damage; 2 for every error (bad usage, no store at the path,
a store held by another process, an I/O error, a bad import file).
"""

from __future__ import annotations

import argparse
import base64
import binascii
import contextlib
import json
import os
import re
import struct
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import marrow
from marrow._store import Store

EXIT_OK = 0
EXIT_NO = 1  # an absent key, or damage found by check
EXIT_ERROR = 2

RECORD_FILES = ("keys.bin", "vals.bin", "offsets.bin")
STORE_FILES = RECORD_FILES + ("wal.bin", "snapshot.bin", "snapshot.bin.tmp")
OFFSET_ENTRY_SIZE = 24
ROARING_COOKIE = 12346  # portable bitmap, array and bitmap containers
ROARING_RUN_COOKIE = 12347  # the same with run containers (low 16 bits)

# Keys read per get_many() call by the commands that read every value.
BATCH = 1000
# Damaged keys that check names for each kind of damage.
SHOWN_EXAMPLES = 5


class CliError(Exception):
    """A failure reported as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


# -- helpers -------------------------------------------------------------------


def _is_fatal(exc: BaseException) -> bool:
    """Exceptions that must not be reported as a store failure."""
    return isinstance(exc, (KeyboardInterrupt, SystemExit, GeneratorExit))


def _describe(exc: BaseException) -> str:
    """One line for an exception raised by the store."""
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if type(exc).__name__ != "PanicException":
        return text
    # An engine step that failed unexpectedly, usually a read of a damaged
    # file: "called `Result::unwrap()` on an `Err` value: IoError { kind:
    # UnexpectedEof, description: "..." }".
    kind = re.search(r"\bkind: (\w+)", text)
    description = re.search(r'\bdescription: "(.*)"', text)
    if kind and description:
        return f"read failed: {description.group(1)} ({kind.group(1)})"
    return f"internal failure: {text.split(': ', 1)[-1]}"


def _store_problem(path: str) -> Optional[str]:
    """Why ``path`` is not a store directory, or None when it is one."""
    if not os.path.exists(path):
        return f"{path}: no such store"
    if not os.path.isdir(path):
        return f"{path}: not a marrow store (not a directory)"
    missing = [name for name in RECORD_FILES if not os.path.isfile(os.path.join(path, name))]
    if missing:
        return f"{path}: not a marrow store (no {', '.join(missing)})"
    return None


def _open(path: str, cache_size: int, create: bool = False, readonly: bool = False) -> Store:
    """Opens a store; without ``create``, only an existing one.

    Read-only opens take no lock, so they work while an application holds
    the store open for writing. A write joins processes that hold the store
    with ``multiprocess=True``.
    """
    if not create:
        problem = _store_problem(path)
        if problem is not None:
            raise CliError(problem)
    try:
        try:
            return marrow.open(path, cache_size, readonly=readonly)
        except BlockingIOError as e:
            if readonly or "with multiprocess=True" not in str(e):
                raise
            return marrow.open(path, cache_size, multiprocess=True)
    except BlockingIOError:
        raise CliError(f"{path}: the store is in use by another process") from None
    except OSError as e:
        raise CliError(f"{path}: cannot open the store: {_describe(e)}") from None


def _key_bytes(key: str) -> bytes:
    return key.encode("utf-8", "surrogateescape")


class _Progress:
    """A progress bar on a terminal (stderr), nothing otherwise."""

    def __init__(self, total: Optional[int], desc: str, unit: str, enabled: bool) -> None:
        self._bar: Any = None
        if enabled and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:  # the bar is a convenience only
                return
            scale = unit == "B"
            self._bar = tqdm(
                total=total,
                desc=desc,
                unit=unit,
                unit_scale=scale,
                unit_divisor=1024 if scale else 1000,
                file=sys.stderr,
                leave=False,
                dynamic_ncols=True,
            )

    def update(self, n: int) -> None:
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


@contextlib.contextmanager
def _progress(total: Optional[int], desc: str, args: argparse.Namespace, unit: str = "key") -> Iterator[_Progress]:
    bar = _Progress(total, desc, unit, enabled=not args.quiet)
    try:
        yield bar
    finally:
        bar.close()


def _read_all(
    store: Store, keys: Sequence[str], on_value: Callable[[str, Optional[bytes]], None], bar: _Progress
) -> None:
    """Reads every key in batches, calling ``on_value`` in key order."""
    raw = store.raw
    for start in range(0, len(keys), BATCH):
        batch = keys[start : start + BATCH]
        for key, value in raw.get_many(batch):
            on_value(key, value)
        bar.update(len(batch))


def _file_size(path: str, name: str) -> Tuple[int, bool]:
    try:
        return os.stat(os.path.join(path, name)).st_size, True
    except FileNotFoundError:
        return 0, False


# -- commands --------------------------------------------------------------------


def cmd_info(args: argparse.Namespace) -> int:
    store = _open(args.path, args.cache_size, readonly=True)
    with contextlib.closing(store):
        keys = store.raw.keys()
        live_keys = store.raw.len()
        key_bytes = sum(len(_key_bytes(k)) for k in keys)
        value_bytes = 0

        def count(_key: str, value: Optional[bytes]) -> None:
            nonlocal value_bytes
            if value is not None:
                value_bytes += len(value)

        with _progress(len(keys), "reading", args) as bar:
            _read_all(store, keys, count, bar)
        capacity = store.cache_stats()[1]

    files: Dict[str, int] = {}
    present: Dict[str, bool] = {}
    for name in STORE_FILES:
        files[name], present[name] = _file_size(args.path, name)
    dead = max(0, files["keys.bin"] + files["vals.bin"] - key_bytes - value_bytes)
    info: Dict[str, Any] = {
        "path": os.path.abspath(args.path),
        "live_keys": live_keys,
        "live_key_bytes": key_bytes,
        "live_value_bytes": value_bytes,
        "files": files,
        "snapshot": present["snapshot.bin"],
        "offset_slots": files["offsets.bin"] // OFFSET_ENTRY_SIZE,
        "dead_bytes": dead,
        "cache_capacity": capacity,
    }
    if args.json:
        print(json.dumps(info, indent=2))
        return EXIT_OK

    lines = [
        f"store            {info['path']}",
        f"live keys        {live_keys:,}",
        f"live data        {key_bytes:,} key bytes, {value_bytes:,} value bytes",
        f"snapshot         {'yes' if info['snapshot'] else 'no (state is rebuilt from the log at open)'}",
        f"dead weight      {dead:,} bytes in keys.bin/vals.bin (reclaimed by vacuum)",
        f"offset slots     {info['offset_slots']:,}",
        f"log              {files['wal.bin']:,} bytes"
        + (" of changes not yet persisted (replayed at every open until persist)" if files["wal.bin"] else ""),
        f"cache capacity   {capacity:,} values",
        "files",
    ]
    for name in STORE_FILES:
        note = "" if present[name] else "  (absent)"
        lines.append(f"  {name:<17}{files[name]:>15,} bytes{note}")
    print("\n".join(lines))
    return EXIT_OK


def cmd_get(args: argparse.Namespace) -> int:
    with contextlib.closing(_open(args.path, args.cache_size, readonly=True)) as store:
        value = store.raw.get_bytes(args.key)
    if value is None:
        raise CliError(f"{args.key!r}: no such key", EXIT_NO)
    sys.stdout.buffer.write(value)
    sys.stdout.buffer.flush()
    return EXIT_OK


def cmd_set(args: argparse.Namespace) -> int:
    if args.value == "-":
        value = sys.stdin.buffer.read()
    else:
        # The exact bytes given on the command line.
        value = os.fsencode(args.value)
    with contextlib.closing(_open(args.path, args.cache_size, create=True)) as store:
        store[args.key] = value
        store.persist()
    return EXIT_OK


def cmd_delete(args: argparse.Namespace) -> int:
    with contextlib.closing(_open(args.path, args.cache_size)) as store:
        found = store.raw.delete(args.key)
        store.persist()
    if not found:
        raise CliError(f"{args.key!r}: no such key", EXIT_NO)
    return EXIT_OK


def cmd_keys(args: argparse.Namespace) -> int:
    with contextlib.closing(_open(args.path, args.cache_size, readonly=True)) as store:
        keys = store.raw.keys()
    out = sys.stdout.buffer
    for key in keys:
        out.write(_key_bytes(key) + b"\n")
    out.flush()
    return EXIT_OK


def _export_lines(store: Store, keys: List[str], out: IO[bytes], args: argparse.Namespace) -> None:
    def write(key: str, value: Optional[bytes]) -> None:
        if value is None:  # deleted since the listing: cannot happen here
            return
        record = {"key": key, "value_b64": base64.b64encode(value).decode("ascii")}
        out.write(json.dumps(record).encode("ascii") + b"\n")

    with _progress(len(keys), "exporting", args) as bar:
        _read_all(store, keys, write, bar)


def cmd_export(args: argparse.Namespace) -> int:
    with contextlib.closing(_open(args.path, args.cache_size, readonly=True)) as store:
        keys = store.raw.keys()
        if args.output in (None, "-"):
            _export_lines(store, keys, sys.stdout.buffer, args)
            sys.stdout.buffer.flush()
            return EXIT_OK
        # Written under a temporary name, so a failed export leaves no
        # partial dump behind.
        target = os.path.abspath(args.output)
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".marrow-export-")
        try:
            with os.fdopen(fd, "wb") as out:
                _export_lines(store, keys, out, args)
            os.replace(temp, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temp)
            raise
    return EXIT_OK


def _parse_record(line: bytes, where: str) -> Tuple[str, bytes]:
    try:
        record = json.loads(line)
    except ValueError as e:
        raise CliError(f"{where}: not a JSON object: {e}") from None
    if not isinstance(record, dict):
        raise CliError(f"{where}: not a JSON object")
    key, encoded = record.get("key"), record.get("value_b64")
    if not isinstance(key, str):
        raise CliError(f"{where}: \"key\" must be a string")
    if not isinstance(encoded, str):
        raise CliError(f"{where}: \"value_b64\" must be a string")
    try:
        value = base64.b64decode(encoded, validate=True)
    except (binascii.Error, ValueError) as e:
        raise CliError(f"{where}: \"value_b64\" is not base64: {e}") from None
    return key, value


def cmd_import(args: argparse.Namespace) -> int:
    if args.file == "-":
        source: IO[bytes] = sys.stdin.buffer
        name = "<stdin>"
        total: Optional[int] = None
    else:
        try:
            source = open(args.file, "rb")  # noqa: SIM115 - closed below
        except OSError as e:
            raise CliError(f"{args.file}: {e.strerror or e}") from None
        name = args.file
        total = os.fstat(source.fileno()).st_size
    imported = 0
    try:
        with contextlib.closing(_open(args.path, args.cache_size, create=True)) as store:
            raw = store.raw
            try:
                with _progress(total, "importing", args, unit="B") as bar:
                    for number, line in enumerate(source, 1):
                        bar.update(len(line))
                        if not line.strip():
                            continue
                        key, value = _parse_record(line, f"{name}:{number}")
                        try:
                            raw.set_bytes(key, value)
                        except UnicodeEncodeError:
                            raise CliError(f"{name}:{number}: the key is not valid Unicode text") from None
                        imported += 1
            except CliError as e:
                # What was imported before the bad line stays; say so.
                store.persist()
                raise CliError(f"{e} ({imported:,} records before it were imported)") from None
            store.persist()
    finally:
        if source is not sys.stdin.buffer:
            source.close()
    if not args.quiet:
        print(f"imported {imported:,} records into {args.path}", file=sys.stderr)
    return EXIT_OK


class _SnapshotFields(NamedTuple):
    live: int  # records the snapshot holds as live
    next_id: int
    keys_end: int
    vals_end: int


def _bitmap_cardinality(bitmap: bytes) -> int:
    """The number of ids in a portable roaring bitmap, from its header."""
    (cookie,) = struct.unpack_from("<I", bitmap, 0)
    if cookie == ROARING_COOKIE:
        (containers,) = struct.unpack_from("<I", bitmap, 4)
        header = 8
    elif cookie & 0xFFFF == ROARING_RUN_COOKIE:
        containers = (cookie >> 16) + 1
        header = 4 + (containers + 7) // 8  # after the run-container flags
    else:
        raise ValueError("unknown cookie")
    if header + 4 * containers > len(bitmap):
        raise ValueError("short")
    pairs = struct.unpack_from(f"<{2 * containers}H", bitmap, header)
    return sum(card_minus_one + 1 for card_minus_one in pairs[1::2])


def _snapshot_fields(path: str) -> Optional[_SnapshotFields]:
    """The counts and ends of snapshot.bin, None if it does not decode.

    Checks the layout (lengths inside the file, bitmap headers), not every
    rule of the bitmap format.
    """
    with open(os.path.join(path, "snapshot.bin"), "rb") as f:
        data = f.read()
    pos = 0

    def take(n: int) -> bytes:
        nonlocal pos
        if n > len(data) - pos:
            raise ValueError("short")
        piece = data[pos : pos + n]
        pos += n
        return piece

    try:
        (count,) = struct.unpack("<Q", take(8))
        take(12 * count)
        (length,) = struct.unpack("<Q", take(8))
        live = _bitmap_cardinality(take(length))
        (length,) = struct.unpack("<Q", take(8))
        _bitmap_cardinality(take(length))
        next_id, keys_end, vals_end = struct.unpack("<IQQ", take(20))
    except (ValueError, struct.error):
        return None
    return _SnapshotFields(live, next_id, keys_end, vals_end)


def _file_damage(path: str) -> Tuple[List[str], Optional[int]]:
    """Damage that the files show before the store is opened.

    Opening repairs some damage quietly (an undecodable snapshot counts as
    absent; records past the end of a cut file are dropped), so it is looked
    for first. Also returns the number of live keys the open must find, when
    the log is empty and so cannot change it.
    """

    def exists(name: str) -> bool:
        return os.path.exists(os.path.join(path, name))

    if not exists("snapshot.bin") or exists("snapshot.bin.vac"):
        return [], None  # nothing to compare, or a vacuum the open will finish
    fields = _snapshot_fields(path)
    if fields is None:
        return ["snapshot.bin does not decode: the store opens without it, and the keys only it indexed are lost"], None
    problems = []
    for name, end in (("keys.bin", fields.keys_end), ("vals.bin", fields.vals_end)):
        size = _file_size(path, name)[0]
        if size < end:
            problems.append(
                f"{name} is {end - size:,} bytes shorter than the snapshot says ({size:,} of {end:,}):"
                " the records in the missing part are lost"
            )
    slots = _file_size(path, "offsets.bin")[0] // OFFSET_ENTRY_SIZE
    if slots < fields.next_id:
        problems.append(f"offsets.bin holds {slots:,} entries, fewer than the snapshot's {fields.next_id:,} records")
    expected = fields.live if _file_size(path, "wal.bin")[0] == 0 else None
    return problems, expected


Damage = List[Tuple[Optional[str], str]]  # (key or None for the store, what is wrong)


def _check_reads(
    store: Store, args: argparse.Namespace, damaged: Damage, expected: Optional[int]
) -> Tuple[int, int]:
    """Reads every live key and value; returns (keys listed, value bytes)."""
    raw = store.raw
    count = raw.len()
    if expected is not None and count < expected:
        damaged.append(
            (None, f"{expected - count:,} of the snapshot's {expected:,} live records point past the end of"
             " keys.bin or vals.bin: they were dropped")
        )
    try:
        keys = raw.keys()
    except BaseException as e:
        if _is_fatal(e):
            raise
        damaged.append((None, f"cannot list the keys: {_describe(e)}"))
        return 0, 0
    if count != len(keys):
        damaged.append((None, f"the store counts {count:,} keys but lists {len(keys):,}"))
    value_bytes = 0
    with _progress(len(keys), "checking", args) as bar:
        for start in range(0, len(keys), BATCH):
            batch = keys[start : start + BATCH]
            try:
                results = raw.get_many(batch)
            except BaseException as e:
                if _is_fatal(e):
                    raise
                # Find the unreadable keys of the batch one by one.
                results = []
                for key in batch:
                    try:
                        results.append((key, raw.get_bytes(key)))
                    except BaseException as e2:
                        if _is_fatal(e2):
                            raise
                        damaged.append((key, _describe(e2)))
            for key, value in results:
                if value is None:
                    damaged.append((key, "listed, but its record does not hold this key"))
                else:
                    value_bytes += len(value)
            bar.update(len(batch))
    return len(keys), value_bytes


def cmd_check(args: argparse.Namespace) -> int:
    problem = _store_problem(args.path)
    if problem is not None:
        raise CliError(problem)
    expected: Optional[int] = None
    try:
        found, expected = _file_damage(args.path)
    except OSError as e:
        found = [f"snapshot.bin cannot be read: {e.strerror or e}"]
    damaged: Damage = [(None, msg) for msg in found]
    with contextlib.closing(_open(args.path, args.cache_size, readonly=True)) as store:
        listed, value_bytes = _check_reads(store, args, damaged, expected)

    if args.json:
        report = {
            "path": os.path.abspath(args.path),
            "keys": listed,
            "value_bytes": value_bytes,
            "damaged": [{"key": k, "error": msg} for k, msg in damaged],
            "ok": not damaged,
        }
        print(json.dumps(report, indent=2))
        return EXIT_NO if damaged else EXIT_OK

    # Damaged keys grouped by what went wrong, with a few examples each.
    groups: Dict[str, List[str]] = {}
    for key, msg in damaged:
        if key is None:
            print(f"damaged: {msg}")
        else:
            groups.setdefault(msg, []).append(key)
    for msg, group in groups.items():
        examples = ", ".join(repr(k) for k in group[:SHOWN_EXAMPLES])
        more = ", ..." if len(group) > SHOWN_EXAMPLES else ""
        print(f"damaged: {len(group):,} key(s): {msg}: {examples}{more}")
    if not damaged:
        print(f"{args.path}: ok: {listed:,} keys and {value_bytes:,} value bytes read")
        return EXIT_OK
    bad = sum(len(g) for g in groups.values())
    parts = [f"{bad:,} of {listed:,} listed keys unreadable"]
    if len(damaged) > bad:
        parts.insert(0, f"{len(damaged) - bad} problem(s) with the files")
    print(f"{args.path}: DAMAGED: {'; '.join(parts)}")
    return EXIT_NO


def cmd_vacuum(args: argparse.Namespace) -> int:
    with contextlib.closing(_open(args.path, args.cache_size)) as store:
        before = _file_size(args.path, "keys.bin")[0] + _file_size(args.path, "vals.bin")[0]
        store.vacuum()
        after = _file_size(args.path, "keys.bin")[0] + _file_size(args.path, "vals.bin")[0]
    if not args.quiet:
        print(f"vacuumed {args.path}: record files {before:,} -> {after:,} bytes", file=sys.stderr)
    return EXIT_OK


def cmd_persist(args: argparse.Namespace) -> int:
    with contextlib.closing(_open(args.path, args.cache_size)) as store:
        store.persist()
    return EXIT_OK


# -- argument parsing ---------------------------------------------------------------


def _cache_size(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return n


class _VersionAction(argparse.Action):
    """--version, looking the version up only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, *_: Any) -> None:
        print(f"marrow {marrow.__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--cache-size",
        type=_cache_size,
        default=10000,
        metavar="N",
        help="values the store keeps cached while the command runs (default: 10000)",
    )
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bar or summary on stderr")
    common.add_argument(
        "--debug",
        action="store_true",
        help="show the engine's own failure reports and Python tracebacks",
    )

    parser = argparse.ArgumentParser(
        prog="marrow",
        description="Inspect, check, export and import marrow stores.",
        epilog="Exit status: 0 success, 1 absent key or damage found, 2 error.",
    )
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, func: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, parents=[common], help=help, description=help)
        p.set_defaults(func=func)
        p.add_argument("path", metavar="PATH", help="the store directory")
        return p

    p = command("info", cmd_info, "Show the store's key count, file sizes, dead weight and cache capacity.")
    p.add_argument("--json", action="store_true", help="print one JSON object")

    p = command("get", cmd_get, "Write the value of KEY to stdout as raw bytes (exit 1 when absent).")
    p.add_argument("key", metavar="KEY")

    p = command("set", cmd_set, "Store VALUE under KEY, creating the store if needed, and persist.")
    p.add_argument("key", metavar="KEY")
    p.add_argument("value", metavar="VALUE", help="the value's bytes, or - to read them from stdin")

    p = command("delete", cmd_delete, "Delete KEY and persist (exit 1 when it was absent).")
    p.add_argument("key", metavar="KEY")

    command("keys", cmd_keys, "List the live keys, one per line, in record order.")

    p = command("export", cmd_export, 'Dump every key and value as JSON Lines: {"key": ..., "value_b64": ...}.')
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of stdout")

    p = command("import", cmd_import, "Store every record of a JSON Lines dump (as written by export), then persist.")
    p.add_argument("file", metavar="FILE", help="the dump, or - for stdin")

    p = command(
        "check",
        cmd_check,
        "Compare the files with the snapshot and read every live key and value; exit 1 when anything is damaged.",
    )
    p.add_argument("--json", action="store_true", help="print one JSON object")

    command("vacuum", cmd_vacuum, "Compact the record files to the live records (also persists).")
    command("persist", cmd_persist, "Write a snapshot and empty the log.")
    return parser


@contextlib.contextmanager
def _engine_reports_hidden(hide: bool) -> Iterator[None]:
    """Sends the engine's own stderr reports to /dev/null.

    The engine writes a report to file descriptor 2 before an internal
    failure reaches Python; the tool prints its own one-line message
    instead. Python's sys.stderr keeps the real stderr.
    """
    if not hide:
        yield
        return
    try:
        replace = sys.stderr.fileno() == 2
    except (AttributeError, OSError, ValueError):
        replace = False
    sys.stderr.flush()
    saved = os.dup(2)
    old_stderr = sys.stderr
    if replace:
        sys.stderr = open(  # noqa: SIM115 - closed below
            saved,
            "w",
            encoding=old_stderr.encoding,
            errors="backslashreplace",
            buffering=1,
            closefd=False,
        )
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    try:
        yield
    finally:
        if replace:
            sys.stderr.flush()
            sys.stderr.close()
            sys.stderr = old_stderr
        os.dup2(saved, 2)
        os.close(saved)


def _fail(message: str, status: int) -> int:
    print(f"marrow: {message}", file=sys.stderr)
    return status


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the tool; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        with _engine_reports_hidden(not args.debug):
            try:
                status: int = args.func(args)
                return status
            except CliError as e:
                return _fail(str(e), e.status)
            except BrokenPipeError:
                # The reader went away (for example `marrow keys | head`).
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, sys.stdout.fileno())
                os.close(devnull)
                return EXIT_ERROR
            except UnicodeEncodeError:
                if args.debug:
                    raise
                return _fail("a key must be valid Unicode text (no lone surrogates)", EXIT_ERROR)
            except BaseException as e:
                if _is_fatal(e) or args.debug:
                    raise
                return _fail(f"{args.path}: {_describe(e)}", EXIT_ERROR)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
