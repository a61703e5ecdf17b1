"""Writes docs/api.md, the API reference, from the package's docstrings.

The Python modules are read through the installed package (inspect); the
native class through its stub, src/marrow/_marrow.pyi (ast), since the
compiled module carries signatures only. The command-line reference is the
tool's own --help text.

    python docs/gen_api_docs.py            # rewrite docs/api.md
    python docs/gen_api_docs.py --check    # exit 1 when it is out of date
"""

from __future__ import annotations

import argparse
import ast
import inspect
import os
import re
import sys
from pathlib import Path
from typing import Any, List

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "marrow" / "_marrow.pyi"
OUTPUT = ROOT / "docs" / "api.md"

# Store members documented, in this order; the rest come from
# MutableMapping and behave as for any mapping.
STORE_MEMBERS = [
    "path",
    "closed",
    "raw",
    "close",
    "persist",
    "vacuum",
    "get_many",
    "cache_stats",
    "clear_cache",
    "keys",
    "values",
    "items",
    "clear",
]


def _markdown(doc: str) -> str:
    """Docstring markup to Markdown: roles and literals, literal blocks."""
    doc = re.sub(r":\w+:`~?([^`]+)`", r"`\1`", doc)
    doc = re.sub(r"``([^`]+)``", r"`\1`", doc)
    out: List[str] = []
    lines = doc.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.endswith("::") and i + 1 < len(lines) and not lines[i + 1].strip():
            out += [line[:-1], "", "```python"]
            i += 2
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                out.append(lines[i][4:])
                i += 1
            while out[-1] == "":
                out.pop()
            out += ["```", ""]
            continue
        out.append(line)
        i += 1
    return "\n".join(out).strip()


def _doc(obj: Any) -> str:
    return _markdown(inspect.cleandoc(inspect.getdoc(obj) or ""))


def _signature(name: str, func: Any) -> str:
    text = str(inspect.signature(func)).replace("'", "").replace("PathLike", "str | os.PathLike[str]")
    return f"{name}{text}".replace(" -> None", "") if name == "Store" else f"{name}{text}"


def _section(title: str, signature: str, doc: str, level: int = 3) -> List[str]:
    return [f"{'#' * level} `{title}`", "", "```python", signature, "```", "", doc, ""]


def _stub_sections() -> List[str]:
    tree = ast.parse(STUB.read_text())
    # Type aliases of the stub, spelled out in the signatures.
    aliases = {
        n.targets[0].id: ast.unparse(n.value)
        for n in tree.body
        if isinstance(n, ast.Assign) and isinstance(n.targets[0], ast.Name) and n.targets[0].id.startswith("_")
    }

    def spell(node: ast.expr) -> str:
        text = ast.unparse(node)
        return aliases.get(text, text)

    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Marrow")
    out = ["## `marrow.Marrow`", "", "```python", "Marrow(storage_path: str, cache_size: int = 10000)", "```", ""]
    out += [_markdown(ast.get_docstring(cls) or ""), ""]
    for node in cls.body:
        if not isinstance(node, ast.FunctionDef) or node.name.startswith("_"):
            continue
        args = [a.arg + (f": {spell(a.annotation)}" if a.annotation else "") for a in node.args.args[1:]]
        returns = f" -> {spell(node.returns)}" if node.returns else ""
        signature = f"Marrow.{node.name}({', '.join(args)}){returns}"
        out += _section(f"Marrow.{node.name}", signature, _markdown(ast.get_docstring(node) or ""))
    return out


def _cli_sections() -> List[str]:
    os.environ["COLUMNS"] = "80"  # argparse wraps to the terminal width
    from marrow import cli

    parser = cli.build_parser()
    out = ["## The `marrow` command", "", "```text", parser.format_help().rstrip(), "```", ""]
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    for name, command in sub.choices.items():
        out += [f"### `marrow {name}`", "", "```text", command.format_help().rstrip(), "```", ""]
    return out


def generate() -> str:
    import marrow
    from marrow import Store

    out = [
        "# API reference",
        "",
        "Generated from the docstrings by `docs/gen_api_docs.py` (`make package-docs`); do not edit.",
        "",
        "## `marrow`",
        "",
        _doc(marrow),
        "",
    ]
    out += _section("marrow.open", _signature("marrow.open", marrow.open), _doc(marrow.open), level=2)
    out += ["## `marrow.Store`", "", "```python", _signature("Store", Store.__init__).replace("self, ", ""), "```", ""]
    out += [_doc(Store), ""]
    for name in STORE_MEMBERS:
        member = inspect.getattr_static(Store, name)
        if isinstance(member, property):
            out += [f"### `Store.{name}`", "", f"Property. {_doc(member)}", ""]
        else:
            out += _section(f"Store.{name}", _signature(f"Store.{name}", member).replace("self, ", "").replace("(self)", "()"), _doc(member))
    out += [
        "Every other method of `collections.abc.MutableMapping` (`get`, `pop`, `popitem`, `setdefault`, `update`, `==`) behaves as for any mapping.",
        "",
    ]
    out += _stub_sections()
    out += _cli_sections()
    return "\n".join(out).rstrip() + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 when docs/api.md is out of date")
    args = parser.parse_args()
    text = generate()
    if args.check:
        if not OUTPUT.exists() or OUTPUT.read_text() != text:
            print(f"{OUTPUT.relative_to(ROOT)} is out of date: run `make package-docs`", file=sys.stderr)
            return 1
        return 0
    OUTPUT.parent.mkdir(exist_ok=True)
    OUTPUT.write_text(text)
    print(f"wrote {OUTPUT.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
