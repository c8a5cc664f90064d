"""``python -m quelm``: the exercise estimate and the commands ``inspect``,
``estimate``, ``check`` and ``bill`` (see quelm/cli.py, or
``python -m quelm --help``)."""

from __future__ import annotations

import sys

try:
    from quelm.cli import main
except ImportError as exc:
    # The package is importable but its extension is not: typically the
    # sources under src/ put on sys.path by hand without a build.
    sys.exit(
        f"quelm: cannot load the native module ({exc}).\n"
        "Install the package (pip install .) or build in place with tools/devbuild.sh."
    )


if __name__ == "__main__":
    sys.exit(main())
