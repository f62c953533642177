"""The ``kyr`` command: look at, check, convert and compare .kyr files from a shell."""

import argparse
import os
import sys

import kyr

from . import compare, convert, info, verify

COMMANDS = (info, verify, convert, compare)

EXIT_STATUSES = """\
exit status:
  0  success
  1  a file could not be read, failed verification, or a conversion failed
  2  usage error (unknown command or option, missing argument)

Errors go to standard error as "kyr COMMAND: FILE: reason".
Run "kyr COMMAND --help" for the details of one command."""


class ShowVersion(argparse.Action):
    """--version: the distribution's version, and kyr.version(), the version of the
    module's interface, which later releases that leave it unchanged keep."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib.metadata import version  # only here: it costs start-up time

        print(f"kyr {version('kyr')} (kyr.version() {kyr.version()})")
        parser.exit()


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kyr",
        description="Inspect, verify, convert and compare .kyr quantum state files.",
        epilog=EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=ShowVersion,
                        help="show the installed kyr's version and exit")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.add_parser(commands)
    return parser


def main(argv=None):
    """Runs the command line ``argv`` (default: sys.argv[1:]) and returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        status = args.run(args)
        sys.stdout.flush()  # a closed pipe shows here, not at interpreter exit
        return status
    except KeyboardInterrupt:
        print("kyr: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (kyr info ... | head): stop quietly, and keep
        # the interpreter from complaining again while flushing at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
