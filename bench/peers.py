"""The stores under test, one adapter class each.

Each adapter runs its operations in tight loops over a chunk of prepared
arguments, in the store's natural one-call-per-operation mode. A new store is
one class here with the `@store` decorator: `open`, `close`, `put`,
`put_batch`, `get`, `get_one`, `get_many`, `delete`, `iter_keys`, and, when
it can make writes durable (`durable = True`), `open_durable` with
`durable_put` and `durable_batch` and a line for the report (`durable_how`).
The stores' columns follow the order of the classes.
"""
from __future__ import annotations

import operator
import threading
from pathlib import Path
from typing import Any, Iterator, Sequence, TypeVar


class Store:
    name = ""
    bytes_keys = True
    persistent = True
    module = ""
    # A durable mode: every durable_put and durable_batch is on the disk when
    # the call returns (a put, then its sync), and calls from several threads
    # at once are safe (thread_start runs first in each thread).
    durable = False
    durable_how = ""
    def __init__(self) -> None:
        # Imported here, so that no import lands inside a timed section.
        import importlib

        self.mod = importlib.import_module(self.module)

    def open(self, path: Path) -> None:
        raise NotImplementedError

    def open_durable(self, path: Path) -> None:
        """Opens the store in its durable mode."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        """Untimed loading: the store's fastest way to add many records."""
        self.put(keys, vals)

    def checkpoint(self) -> None:
        """Untimed: brings a freshly loaded store to its resting state."""

    def begin(self, write: bool) -> None:
        """Called inside the timed section before a run of chunks."""

    def end(self) -> None:
        """Called inside the timed section after a run of chunks."""

    def thread_start(self) -> None:
        """Called in each writer thread before its first durable write."""

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        raise NotImplementedError

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        """One batch write of (key, value) pairs, the store's own batch call."""
        raise NotImplementedError

    def durable_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        """One durable write per key, each on the disk before the next.

        The default suits stores whose durable mode syncs every commit."""
        self.put(keys, vals)

    def durable_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        """One batch write, on the disk when the call returns."""
        self.put_batch(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        raise NotImplementedError

    def mix(self, runs: Sequence[tuple[Sequence[Any], Sequence[bytes] | None]]) -> None:
        """Runs of reads (no values) and of writes, each run one get or put."""
        for keys, vals in runs:
            if vals is None:
                self.get(keys)
            else:
                self.put(keys, vals)

    def get_one(self, key: Any) -> bytes | None:
        raise NotImplementedError

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        raise NotImplementedError

    def delete(self, keys: Sequence[Any]) -> None:
        raise NotImplementedError

    def iter_keys(self) -> Iterator[Any]:
        """Every key, in the store's own listing call."""
        raise NotImplementedError

    def prepare_keys(self, keys: list[str]) -> list[Any]:
        return [k.encode() for k in keys] if self.bytes_keys else keys


STORES: dict[str, type[Store]] = {}
S = TypeVar("S", bound=type[Store])


def store(cls: S) -> S:
    """Registers an adapter; the report's columns follow registration order."""
    STORES[cls.name] = cls
    return cls


@store
class MarrowStore(Store):
    """Every workload opens the mapping users get, `marrow.open`'s `Store`,
    and calls its methods (`store[k] = v`, `store.get(k)`, `del store[k]`,
    `set_many`, `get_many`); `db` is its `raw` Marrow, for persist() and
    vacuum()."""

    name = "marrow"
    bytes_keys = False
    module = "marrow"
    durable = True
    durable_how = ("marrow: `store[k] = v` then `store.sync()` per write (with the open "
                   "option `sync=True`: `store[k] = v` alone); "
                   "`with store.batch(sync=True) as b: b.update(pairs)` per batch")

    def __init__(self) -> None:
        super().__init__()
        self.store: Any = None
        self.core: Any = None

    def open(self, path: Path) -> None:
        self.open_mapping(path)

    def open_mapping(self, path: Path, sync: bool = False) -> None:
        """Opens the store through `marrow.open`; sync: the open option that
        makes every write durable."""
        self.sync_option = sync
        self.store = self.mod.open(str(path), sync=sync)
        self.db = self.store.raw
        self.core = self.store  # a Store is a StoreCore
        self.sync = self.store.sync

    def open_durable(self, path: Path) -> None:
        self.open_mapping(path)

    def close(self) -> None:
        # Dropping the objects flushes the log buffer and closes the files.
        if self.store is not None:
            self.store.close()
            self.store = None
        del self.db, self.core

    def checkpoint(self) -> None:
        self.db.persist()  # the store at rest: a snapshot and an empty log

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        s = self.store
        for k, v in zip(keys, vals):
            s[k] = v

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        self.store.set_many(pairs)

    def put_batch_commit(self, pairs: list[tuple[Any, bytes]]) -> None:
        """A batch through the mapping's batch commit (opened with open_mapping)."""
        self.store.set_many(pairs)

    def durable_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        s = self.store
        if self.sync_option:  # every write is durable by itself
            for k, v in zip(keys, vals):
                s[k] = v
            return
        sync = self.sync
        for k, v in zip(keys, vals):
            s[k] = v
            sync()

    def durable_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.store.batch(sync=True) as b:
            b.update(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.store.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.store.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get_many = self.store.get_many
        for b in batches:
            get_many(b)

    def delete(self, keys: Sequence[Any]) -> None:
        s = self.store
        for k in keys:
            del s[k]

    def iter_keys(self) -> Iterator[Any]:
        return iter(self.store)  # one call builds the whole list


@store
class LmdbStore(Store):
    """One transaction per operation, without syncs (LMDB's per-op mode)."""

    name = "lmdb"
    module = "lmdb"
    durable = True
    durable_how = ("lmdb: `sync=True, metasync=True`, one write transaction per put "
                   "and per batch (`putmulti`)")

    def open(self, path: Path) -> None:
        path.mkdir(parents=True, exist_ok=True)
        self.env = self.mod.open(str(path), map_size=1 << 37, sync=False, metasync=False)

    def open_durable(self, path: Path) -> None:
        # Every commit flushes the data pages and the meta page.
        path.mkdir(parents=True, exist_ok=True)
        self.env = self.mod.open(str(path), map_size=1 << 37, sync=True, metasync=True)

    def close(self) -> None:
        self.env.close()

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        with self.env.begin(write=True) as txn:
            for k, v in zip(keys, vals):
                txn.put(k, v)

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        begin = self.env.begin
        for k, v in zip(keys, vals):
            txn = begin(write=True)
            txn.put(k, v)
            txn.commit()

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.env.begin(write=True) as txn:  # one write transaction per batch
            txn.cursor().putmulti(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        begin = self.env.begin
        for k in keys:
            txn = begin()
            txn.get(k)
            txn.abort()

    def get_one(self, key: Any) -> bytes | None:
        with self.env.begin() as txn:
            return txn.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        begin = self.env.begin
        for b in batches:
            txn = begin()
            txn.cursor().getmulti(b)
            txn.abort()

    def delete(self, keys: Sequence[Any]) -> None:
        begin = self.env.begin
        for k in keys:
            txn = begin(write=True)
            txn.delete(k)
            txn.commit()

    def iter_keys(self) -> Iterator[Any]:
        self.read_txn = self.env.begin()
        return self.read_txn.cursor().iternext(keys=True, values=False)


@store
class LmdbOneTxnStore(LmdbStore):
    """LMDB's best case: the whole workload in one transaction."""

    name = "lmdb-1txn"
    durable = False  # one transaction for a whole workload is not a durable write

    def begin(self, write: bool) -> None:
        self.txn = self.env.begin(write=write)

    def end(self) -> None:
        self.txn.commit()
        del self.txn

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.txn.put
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        put = self.txn.put  # batches are no different inside the one transaction
        for k, v in pairs:
            put(k, v)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.txn.get
        for k in keys:
            get(k)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        getmulti = self.txn.cursor().getmulti
        for b in batches:
            getmulti(b)

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.txn.delete
        for k in keys:
            delete(k)


@store
class RocksStore(Store):
    name = "rocksdict"
    module = "rocksdict"
    durable = True
    durable_how = ("rocksdict: `WriteOptions` with `sync = True` on each `put` and on "
                   "each `WriteBatch` write")

    def open(self, path: Path) -> None:
        self.db = self.mod.Rdict(str(path), options=self.mod.Options(raw_mode=True))

    def open_durable(self, path: Path) -> None:
        self.open(path)
        self.sync_opt = self.mod.WriteOptions()
        self.sync_opt.sync = True  # the log is synced before the write returns

    def close(self) -> None:
        self.db.close()

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        wb = self.mod.WriteBatch(raw_mode=True)
        put = wb.put
        for k, v in pairs:
            put(k, v)
        self.db.write(wb)

    def durable_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put, opt = self.db.put, self.sync_opt
        for k, v in zip(keys, vals):
            put(k, v, opt)

    def durable_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        wb = self.mod.WriteBatch(raw_mode=True)
        put = wb.put
        for k, v in pairs:
            put(k, v)
        self.db.write(wb, self.sync_opt)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.db.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.db.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.db.get  # a list of keys is one multi-get
        for b in batches:
            get(b)

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.db.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return iter(self.db.keys())


@store
class PlyvelStore(Store):
    name = "plyvel"
    module = "plyvel"
    durable = True
    durable_how = "plyvel: `put(k, v, sync=True)`; `write_batch(sync=True)` per batch"

    def open(self, path: Path) -> None:
        self.db = self.mod.DB(str(path), create_if_missing=True)

    def open_durable(self, path: Path) -> None:
        self.open(path)

    def close(self) -> None:
        self.db.close()

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.db.write_batch() as wb:
            put = wb.put
            for k, v in pairs:
                put(k, v)

    def durable_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v, sync=True)

    def durable_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.db.write_batch(sync=True) as wb:
            put = wb.put
            for k, v in pairs:
                put(k, v)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.db.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.db.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.db.get  # LevelDB has no multi-get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.db.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return self.db.iterator(include_value=False)


@store
class SqliteStore(Store):
    """A key-value table: WAL, synchronous=NORMAL, autocommit per statement."""

    name = "sqlite3"
    bytes_keys = False
    module = "sqlite3"
    durable = True
    durable_how = ("sqlite3: WAL journal with `synchronous=FULL` (the WAL is synced at "
                   "every commit), one autocommit statement per put, one transaction "
                   "(`executemany`) per batch; each writer thread has its own connection")

    def connect(self, path: Path, synchronous: str) -> Any:
        con = self.mod.connect(str(path / "kv.sqlite"), isolation_level=None)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute(f"PRAGMA synchronous={synchronous}")
        return con

    def open(self, path: Path) -> None:
        path.mkdir(parents=True, exist_ok=True)
        self.con = self.connect(path, "NORMAL")
        self.con.execute(
            "CREATE TABLE IF NOT EXISTS kv (k TEXT PRIMARY KEY NOT NULL, v BLOB NOT NULL)"
            " WITHOUT ROWID")

    def open_durable(self, path: Path) -> None:
        self.open(path)
        self.con.execute("PRAGMA synchronous=FULL")
        self.path = path
        self.local = threading.local()
        self.local.con = self.con

    def thread_start(self) -> None:
        if getattr(self.local, "con", None) is None:
            self.local.con = self.connect(self.path, "FULL")

    def close(self) -> None:
        self.con.close()

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        self.con.execute("BEGIN")
        self.put(keys, vals)
        self.con.execute("COMMIT")

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        ex = self.con.execute
        q = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"
        for k, v in zip(keys, vals):
            ex(q, (k, v))

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        self.con.execute("BEGIN")  # one transaction per batch
        self.con.executemany("INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)", pairs)
        self.con.execute("COMMIT")

    def durable_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        ex = self.local.con.execute  # this thread's connection
        q = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"
        for k, v in zip(keys, vals):
            ex(q, (k, v))

    def durable_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        con = self.local.con
        con.execute("BEGIN")
        con.executemany("INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)", pairs)
        con.execute("COMMIT")

    def get(self, keys: Sequence[Any]) -> None:
        ex = self.con.execute
        q = "SELECT v FROM kv WHERE k = ?"
        for k in keys:
            ex(q, (k,)).fetchone()

    def get_one(self, key: Any) -> bytes | None:
        row = self.con.execute("SELECT v FROM kv WHERE k = ?", (key,)).fetchone()
        return None if row is None else row[0]

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        ex = self.con.execute
        queries: dict[int, str] = {}
        for b in batches:
            q = queries.get(len(b))
            if q is None:
                q = queries[len(b)] = (
                    "SELECT k, v FROM kv WHERE k IN (" + ",".join("?" * len(b)) + ")")
            rows = dict(ex(q, b).fetchall())
            [rows.get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        ex = self.con.execute
        q = "DELETE FROM kv WHERE k = ?"
        for k in keys:
            ex(q, (k,))

    def iter_keys(self) -> Iterator[Any]:
        return map(operator.itemgetter(0), self.con.execute("SELECT k FROM kv"))


@store
class DiskcacheStore(Store):
    name = "diskcache"
    bytes_keys = False
    module = "diskcache"

    def open(self, path: Path) -> None:
        # No size limit: a store, not a cache that culls (the default is 1 GB).
        self.cache = self.mod.Cache(str(path), size_limit=1 << 40)

    def close(self) -> None:
        self.cache.close()

    def bulk_put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        with self.cache.transact():
            self.put(keys, vals)

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        put = self.cache.set
        for k, v in zip(keys, vals):
            put(k, v)

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        with self.cache.transact():  # one transaction per batch
            put = self.cache.set
            for k, v in pairs:
                put(k, v)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.cache.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.cache.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.cache.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        delete = self.cache.delete
        for k in keys:
            delete(k)

    def iter_keys(self) -> Iterator[Any]:
        return self.cache.iterkeys()


@store
class DictStore(Store):
    """The in-memory ceiling."""

    name = "dict"
    bytes_keys = False
    persistent = False
    module = "builtins"

    def open(self, path: Path) -> None:
        self.d: dict[Any, bytes] = {}

    def close(self) -> None:
        del self.d

    def put(self, keys: Sequence[Any], vals: Sequence[bytes]) -> None:
        d = self.d
        for k, v in zip(keys, vals):
            d[k] = v

    def put_batch(self, pairs: list[tuple[Any, bytes]]) -> None:
        self.d.update(pairs)

    def get(self, keys: Sequence[Any]) -> None:
        get = self.d.get
        for k in keys:
            get(k)

    def get_one(self, key: Any) -> bytes | None:
        return self.d.get(key)

    def get_many(self, batches: Sequence[list[Any]]) -> None:
        get = self.d.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys: Sequence[Any]) -> None:
        d = self.d
        for k in keys:
            del d[k]

    def iter_keys(self) -> Iterator[Any]:
        return iter(self.d)


# The peers of the targets: every store but marrow and the in-memory ceiling.
PEERS = [s for s, cls in STORES.items() if cls.persistent and s != "marrow"]
# The peers of the durable targets: every other store with a durable mode.
DURABLE_PEERS = [s for s, cls in STORES.items() if cls.durable and s != "marrow"]
