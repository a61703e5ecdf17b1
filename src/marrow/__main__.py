"""``python -m marrow``: the command-line tool."""

from marrow.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
