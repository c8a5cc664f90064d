"""The command line's commands.

Each command is a module of this package with

    add_parser(subparsers)   registers its subparser: its arguments and help
    run(args) -> Report      does the work: the lines for standard output,
                             the exit status and the warnings for standard
                             error (quelm._terminal.Report), or raises
                             CommandError

and is imported only when its name is given (so `bill`'s msgspec loads for
`bill` alone).  A command is added by writing its module and naming it in
COMMANDS with the one line `python -m quelm --help` shows for it.
"""

from __future__ import annotations

import importlib
from types import ModuleType

COMMANDS = {
    "inspect": "show the table a price list gives",
    "estimate": "the cost of one call, class by class",
    "check": "point out what in a price list makes estimates wrong",
    "bill": "the cost of a whole run, per model and token class",
}


def load(name: str) -> ModuleType:
    """The module of the command `name` (one of COMMANDS); a dependency
    that cannot be imported is a CommandError naming it."""
    try:
        return importlib.import_module(f"quelm.commands.{name}")
    except ImportError as exc:
        from quelm._terminal import CommandError

        raise CommandError(cannot_import(exc)) from exc


def cannot_import(exc: ImportError) -> str:
    """What to say when a module the command line needs cannot be imported:
    the dependency by name, or the native module not built."""
    missing = exc.name or ""
    if missing.partition(".")[0] == "quelm":
        return (f"cannot load {missing!r} ({exc}): install the package (pip install .) or "
                "build it in place with tools/devbuild.sh")
    if not missing:
        return f"cannot import what it needs: {exc}"
    package = missing.partition(".")[0]
    return (f"needs the package {package!r}, which cannot be imported ({exc}): install it "
            f"with pip install {package}, or reinstall quelm with its dependencies")
