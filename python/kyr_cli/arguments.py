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
