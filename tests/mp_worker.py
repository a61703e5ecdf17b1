"""A process that holds a store with multiprocess=True and runs the calls it
is sent: one JSON list per line on stdin, one JSON reply per line on stdout
({"ok": result} or {"err": [exception type, message]}). Values travel as hex.

    ["open", dir, cache_size, multiprocess (default true)]
    ["set", key, hex]              ["get", key]
    ["delete", key]                ["get_many", keys]     ["state"]
    ["batch", [[key, hex or None], ...]]
    ["txn", [[key, hex, None or "incr"], ...], hold]
        one transaction: each op stores a value, deletes, or stores the
        key's value plus one; replies with the values the block read. With
        `hold`, it says {"holding": true} inside the block and waits for a
        line before it commits.
    ["sync"] ["persist"] ["vacuum"] ["close"]
"""

from __future__ import annotations

import json
import os
import select
import subprocess
import sys
from typing import Any, Optional

import marrow


class Failed(Exception):
    """A call raised in the worker: (exception type, message)."""


class Worker:
    """The parent's end of one worker process."""

    def __init__(self) -> None:
        self.proc = subprocess.Popen([sys.executable, "-X", "faulthandler", __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""

    def send(self, *call: Any) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(json.dumps(call).encode() + b"\n")
        self.proc.stdin.flush()

    def fileno(self) -> int:
        assert self.proc.stdout is not None
        return self.proc.stdout.fileno()

    def reply(self, timeout: float = 60.0) -> dict[str, Any]:
        """The next line the worker writes; a worker silent for `timeout`
        seconds is stuck."""
        while b"\n" not in self.pending:
            if not select.select([self], [], [], timeout)[0]:
                raise TimeoutError(f"worker {self.proc.pid} answered nothing in {timeout} s")
            chunk = os.read(self.fileno(), 65536)
            if not chunk:
                raise EOFError(f"worker {self.proc.pid} ended")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return dict(json.loads(line))

    def call(self, *call: Any) -> Any:
        self.send(*call)
        answer = self.reply()
        if "err" in answer:
            raise Failed(*answer["err"])
        return answer["ok"]

    def kill(self) -> None:
        self.proc.kill()
        self.proc.wait()

    def stop(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait(60)


def run(store: Optional[marrow.Store], call: list[Any]) -> tuple[Optional[marrow.Store], Any]:
    name, args = call[0], call[1:]
    if name == "open":
        return marrow.open(args[0], args[1], multiprocess=args[2] if len(args) > 2 else True), None
    assert store is not None
    if name == "set":
        store[args[0]] = bytes.fromhex(args[1])
    elif name == "get":
        value = store.get(args[0])
        return store, None if value is None else value.hex()
    elif name == "delete":
        return store, store.raw.delete(args[0])
    elif name == "get_many":
        return store, [[k, None if v is None else v.hex()] for k, v in store.get_many(args[0])]
    elif name == "state":
        return store, {"len": len(store), "keys": list(store), "items": {k: v.hex() for k, v in store.items()}}
    elif name == "batch":
        with store.batch() as b:
            for key, value in args[0]:
                if value is None:
                    del b[key]
                else:
                    b[key] = bytes.fromhex(value)
    elif name == "txn":
        read = []
        with store.transaction() as t:
            for key, value in args[0]:
                if value == "incr":
                    found = t.get(key)
                    now = int(found if found is not None else b"0") + 1
                    read.append(now - 1)
                    t[key] = b"%d" % now
                elif value is None:
                    del t[key]
                else:
                    t[key] = bytes.fromhex(value)
            if args[1]:
                print(json.dumps({"holding": True}), flush=True)
                sys.stdin.readline()
        return store, read
    elif name in ("sync", "persist", "vacuum"):
        getattr(store, name)()
    elif name == "close":
        store.close()
        return None, None
    else:
        raise ValueError(f"unknown call {name}")
    return store, None


def main() -> None:
    store: Optional[marrow.Store] = None
    for line in sys.stdin:
        try:
            store, result = run(store, json.loads(line))
            reply: dict[str, Any] = {"ok": result}
        except Exception as e:  # the caller checks what was raised
            reply = {"err": [type(e).__name__, str(e)]}
        print(json.dumps(reply), flush=True)


if __name__ == "__main__":
    main()
