"""marrow: an embedded persistent key-value store (str keys, bytes values).

Two ways in:

- :func:`open` returns a :class:`Store`, a ``MutableMapping[str, bytes]``
  with context-manager support, all-or-nothing batches (:meth:`Store.batch`),
  :meth:`Store.sync`, :meth:`Store.persist` and :meth:`Store.vacuum`;
- :class:`Marrow` is the native class underneath, with the methods
  ``set_bytes``, ``get_bytes``, ``delete``, ``get_many``, ``persist``,
  ``vacuum``, ``len``, ``keys``, ``cache_stats`` and ``clear_cache``.

The command-line tool ``marrow`` (also ``python -m marrow``) inspects,
checks, exports and imports stores.
"""

from marrow._marrow import Marrow
from marrow._store import Batch, Store, Transaction, open

__all__ = ["Batch", "Marrow", "Store", "Transaction", "open", "__version__"]

__version__: str


def __getattr__(name: str) -> str:
    # The version is looked up on first use: importlib.metadata costs more
    # than the rest of the package's import together.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("marrow")
        except PackageNotFoundError:  # running from a source tree
            found = "0+unknown"
        globals()["__version__"] = found
        return found
    raise AttributeError(f"module 'marrow' has no attribute {name!r}")
