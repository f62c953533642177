"""Sphinx helpers for kyr's documentation.

- Escapes the "|" of "|amplitude|^2" in docstrings, which reST would take
  for substitutions.
- Appends a correction to the docstrings of the extension module where the
  fixed text promises more than the module does, and a note where it leaves
  out what users trip over (the docstrings themselves are part of the
  module's fixed surface and stay as they are).
- ``kyr-help``: shows the help text of the installed ``kyr`` command, so the
  command-line page never drifts from the program.
"""

import contextlib
import io
import os

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

CORRECTIONS = {
    "kyr": (
        "Two of the features listed above are labels only: the Golay flag and the bond "
        "dimension are stored in the file header, and nothing in kyr error-corrects or "
        "compresses data. The example's last line prints ``0.9999999999999996`` (1 up to "
        "rounding), not ``1.0``."
    ),
    "kyr.KyrFile": (
        "A ``KyrFile`` is a state held in memory (16 bytes per amplitude), not a handle to an "
        "open file: nothing on disk changes until ``save`` is called."
    ),
    "kyr.StreamingConverter": (
        "The converter turns arbitrary bytes into amplitude-encoded states, one state of at "
        "most 20 qubits per chunk; it does not read or write ``.kyr`` files. The ``encoding`` "
        "argument is checked and has no further effect. See :doc:`guide/streaming`."
    ),
    "kyr.Encoding": (
        "All five strategies convert by the same rule: the value chosen changes nothing."
    ),
    "kyr.KyrFile.bond_dimension": (
        "A label stored in the file header, one byte wide (values above 255 are written as 255, "
        "0 reads back as 64). Nothing in kyr compresses a state."
    ),
    "kyr.KyrFile.golay_enabled": (
        "A flag stored in the file header. Nothing in kyr error-corrects data."
    ),
    "kyr.KyrFile.amplitudes": (
        "The array is **float64, interleaved** (re0, im0, re1, im1, ...), of length "
        "``2 * 2**num_qubits``, not complex128. ``f.amplitudes.view(numpy.complex128)`` gives "
        "the complex view without copying. Each access makes a fresh copy of the whole state: "
        "keep it in a variable instead of reading the property in a loop."
    ),
    "kyr.KyrFile.fidelity": (
        "No normalisation is applied: for states that are not normalised the value can exceed "
        "1 (a state scaled by 2 compared with itself gives 16.0)."
    ),
    "kyr.save": (
        "``bond_dim`` and ``golay`` are header labels (no compression, no error correction). "
        "They are also stored in ``state``, even when they are left at their defaults and even "
        "when the write fails: ``kyr.save(f, path)`` sets ``f.bond_dimension`` to 64 and "
        "``f.golay_enabled`` to True. ``bond_dim`` is not range-checked; the file keeps at most "
        "255. Use ``f.save(path)`` to keep the state's own settings."
    ),
    "kyr.verify": (
        "\"Integrity\" means three checks: the header is valid, the file holds every amplitude, "
        "and the squared norm is within 1e-6 of 1. There is no checksum, so a change that keeps "
        "the norm (a flipped sign, two swapped amplitudes) is not detected. See "
        ":doc:`guarantees`."
    ),
}

NOTES = {
    "kyr.KyrFile.amplitudes_real": "A fresh float64 copy on each access.",
    "kyr.KyrFile.amplitudes_imag": "A fresh float64 copy on each access.",
    "kyr.KyrFile.save": (
        "Metadata and the source path are not written: the file holds the header and the "
        "amplitudes only. See :doc:`guarantees` for what a failed or interrupted save leaves."
    ),
    "kyr.load": (
        "``OSError`` (``IOError`` is the same class) is raised as plain ``OSError`` with the "
        "message \"Read error: ...\"; ``errno`` is None, so catch ``OSError``, not "
        "``FileNotFoundError``. ``path`` must be a ``str``: a ``pathlib.Path`` is refused with "
        "``TypeError``."
    ),
}


def add_correction(app, what, name, obj, options, lines):
    # "|amplitude|^2" in the summaries would read as reST substitutions.
    lines[:] = [line if line.lstrip().startswith(">>>") else line.replace("|", "\\|")
                for line in lines]
    for title, kind, texts in (("Correction", "warning", CORRECTIONS), ("Note", "note", NOTES)):
        if name in texts:
            lines += ["", f".. admonition:: {title}", f"   :class: {kind}", "", f"   {texts[name]}"]


class KyrHelp(SphinxDirective):
    """``kyr-help [COMMAND]``: the output of ``kyr [COMMAND] --help``."""

    optional_arguments = 1

    def run(self):
        from kyr_cli import main

        command = self.arguments[:1]
        output = io.StringIO()
        previous = os.environ.get("COLUMNS")
        os.environ["COLUMNS"] = "80"  # argparse wraps to the terminal width
        try:
            with contextlib.redirect_stdout(output), contextlib.suppress(SystemExit):
                main([*command, "--help"])
        finally:
            if previous is None:
                del os.environ["COLUMNS"]
            else:
                os.environ["COLUMNS"] = previous
        text = " ".join(["$ kyr", *command, "--help"]) + "\n" + output.getvalue()
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        return [block]


def setup(app):
    app.connect("autodoc-process-docstring", add_correction)
    app.add_directive("kyr-help", KyrHelp)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
