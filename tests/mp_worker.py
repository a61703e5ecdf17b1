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
from typing import Any, Callable, Optional

import marrow


class Failed(Exception):
    """A call raised in the worker: (exception type, message)."""


class Worker:
    """The parent's end of one worker process."""

    def __init__(self, *opening: Any) -> None:
        """Starts a worker; with arguments, the "open" call it makes first."""
        self.proc = subprocess.Popen([sys.executable, "-X", "faulthandler", __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""
        if opening:
            self.call("open", *opening)

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

    def stop(self, kill: bool = False) -> None:
        """Ends the worker: SIGKILL, or the end of its input."""
        self.proc.kill() if kill else self.proc.stdin.close()  # type: ignore[union-attr]
        self.proc.wait(60)


def hexed(value: Optional[bytes]) -> Optional[str]:
    return None if value is None else value.hex()


def apply(block: Any, ops: list[list[Any]]) -> list[int]:
    """Puts, deletes and increments in a batch or transaction; the counts read."""
    read = []
    for key, value in ops:
        if value == "incr":
            found = block.get(key)
            read.append(int(found if found is not None else b"0"))
            block[key] = b"%d" % (read[-1] + 1)
        elif value is None:
            del block[key]
        else:
            block[key] = bytes.fromhex(value)
    return read


def run(store: Any, name: str, *args: Any) -> tuple[Optional[marrow.Store], Any]:
    if name == "open":
        return marrow.open(args[0], args[1], multiprocess=args[2] if len(args) > 2 else True), None
    if name == "close":
        store.close()
        return None, None
    if name in ("batch", "txn"):
        with store.batch() if name == "batch" else store.transaction() as block:
            read = apply(block, args[0])
            if args[1:] and args[1]:
                print(json.dumps({"holding": True}), flush=True)
                sys.stdin.readline()
        return store, read
    calls: dict[str, Callable[..., Any]] = {
        "set": lambda key, value: store.__setitem__(key, bytes.fromhex(value)),
        "get": lambda key: hexed(store.get(key)),
        "delete": lambda key: store.raw.delete(key),
        "get_many": lambda keys: [[k, hexed(v)] for k, v in store.get_many(keys)],
        "state": lambda: {"len": len(store), "keys": list(store), "items": {k: v.hex() for k, v in store.items()}},
        "sync": lambda: store.sync(),
        "persist": lambda: store.persist(),
        "vacuum": lambda: store.vacuum(),
    }
    return store, calls[name](*args)


def main() -> None:
    store: Optional[marrow.Store] = None
    for line in sys.stdin:
        try:
            store, result = run(store, *json.loads(line))
            reply: dict[str, Any] = {"ok": result}
        except Exception as e:  # the caller checks what was raised
            reply = {"err": [type(e).__name__, str(e)]}
        print(json.dumps(reply), flush=True)


if __name__ == "__main__":
    main()
