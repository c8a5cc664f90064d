"""``python -m quelm``: the exercise estimate, ``inspect`` and ``estimate``
(see quelm/cli.py, or ``python -m quelm --help``)."""

from __future__ import annotations

import sys

try:
    from quelm.cli import main
except ImportError as exc:
    # Typically `python -m quelm` started in the source checkout's top folder,
    # whose quelm/ holds no built extension and shadows the installed one.
    sys.exit(
        f"quelm: cannot load the native module ({exc}).\n"
        "Run from another folder to use the installed package, "
        "or build in place with tools/devbuild.sh."
    )


if __name__ == "__main__":
    sys.exit(main())
