"""``python -m quelm``: the exercise estimate and the commands ``inspect``,
``estimate``, ``check`` and ``bill`` (see quelm/cli.py, or
``python -m quelm --help``)."""

from __future__ import annotations

import sys

from quelm.commands import cannot_import

try:
    from quelm.cli import main
except ImportError as exc:
    # Typically the sources under src/ put on sys.path by hand without a
    # build (the native modules missing), or a dependency not installed.
    sys.exit(f"python -m quelm: error: {cannot_import(exc)}")


if __name__ == "__main__":
    sys.exit(main())
