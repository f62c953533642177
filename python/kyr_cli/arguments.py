"""Argument parsing pieces shared by the subcommands."""

import argparse

FORMATTER = argparse.RawDescriptionHelpFormatter


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def add_progress_option(parser):
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="never show a progress bar (shown on a terminal when the work "
                             "takes more than a second)")
