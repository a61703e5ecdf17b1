"""Loads ``marrow._native``, the package's native type ``StoreCore``.

It lives in the same shared object as ``marrow._marrow`` (which exports both
init functions), so that both share one engine and one directory lock per
store; it is loaded from that file under its own name.
"""

from __future__ import annotations

import sys
from importlib.machinery import ExtensionFileLoader
from importlib.util import module_from_spec, spec_from_loader
from types import ModuleType

from marrow import _marrow


def _load() -> ModuleType:
    name = "marrow._native"
    loaded = sys.modules.get(name)
    if loaded is not None:
        return loaded
    path = _marrow.__file__
    loader = ExtensionFileLoader(name, path)
    located = spec_from_loader(name, loader, origin=path)
    assert located is not None
    module = module_from_spec(located)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


_load()

from marrow._native import StoreCore  # noqa: E402

__all__ = ["StoreCore"]
