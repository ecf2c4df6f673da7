"""The ``tarndb`` command line (also ``python -m tarndb``).

Exit status: 0 on success; 1 when a store file is damaged or is not a store
(or, for ``get``, a key is absent); 2 for usage errors, bad input and I/O
errors; 130 when interrupted (``build``: only before the store is in
place). Errors are one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from typing import Callable, List, Optional, Sequence

from tarndb._cli_output import (EXIT_DAMAGED, EXIT_INTERRUPTED, EXIT_NOT_FOUND, EXIT_OK,
                                EXIT_USAGE, Failure, fail, os_error_message)
from tarndb._cli_parser import _Parser, parser

__all__ = ["EXIT_DAMAGED", "EXIT_NOT_FOUND", "EXIT_OK", "EXIT_USAGE", "main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with *argv* (default: ``sys.argv[1:]``); return the exit status."""
    # Paths and keys that are not valid UTF-8 reach us as surrogate escapes;
    # print them back as the bytes they were.
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(AttributeError, ValueError):
            stream.reconfigure(errors="surrogateescape")  # type: ignore[union-attr]
    args = _parse(list(sys.argv[1:] if argv is None else argv))
    command: Callable[[argparse.Namespace], int] = args.run
    try:
        return command(args)
    except Failure as exc:
        return fail(str(exc), exc.status)
    except BrokenPipeError:
        # The reader of our output went away (``tarndb keys … | head``): end
        # as other tools do, by SIGPIPE (status 141 in a shell), quietly.
        _die_of_sigpipe()
    except OSError as exc:
        return fail(os_error_message(exc), EXIT_USAGE)
    except KeyboardInterrupt:
        return fail("interrupted", EXIT_INTERRUPTED)
    return EXIT_USAGE  # not reached


def _parse(argv: List[str]) -> argparse.Namespace:
    """The arguments, with ``--`` ending the options as everywhere: every
    argument after it is an operand, whatever it looks like. (argparse
    mistakes an operand ``--`` after ``--`` for a second end of options;
    the operands are set aside under names no argument can have, since
    none holds a NUL, and put back after parsing.)"""
    if "--" not in argv[1:]:
        return parser().parse_args(argv)
    end = argv.index("--", 1)
    operands = argv[end + 1:]
    stand_ins = {f"\0{i}": operand for i, operand in enumerate(operands)}
    _Parser.stand_ins = stand_ins
    try:
        args = parser().parse_args(argv[:end] + list(stand_ins))
    finally:
        _Parser.stand_ins = {}
    for name, value in vars(args).items():
        if isinstance(value, str) and value in stand_ins:
            setattr(args, name, stand_ins[value])
        elif isinstance(value, list):
            setattr(args, name, [stand_ins.get(v, v) if isinstance(v, str) else v for v in value])
    return args


def _die_of_sigpipe() -> None:
    with contextlib.suppress(OSError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # no failing flush at exit
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)


