"""Sphinx configuration of kyr's documentation (built by scripts/docs.sh)."""

import pathlib
import sys

import kyr

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

project = "kyr"
author = "the kyr developers"
copyright = "the kyr developers"
release = version = kyr.version()

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "kyr_docs",
]
source_suffix = {".md": "markdown"}
# sizes.md is the benchmark's table, included by the performance page.
exclude_patterns = ["performance/sizes.md"]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
napoleon_google_docstring = False
napoleon_numpy_docstring = True

# Only the {doctest} blocks of these pages run; the module's own docstring
# examples are shown as they are (the API page says where they are off).
doctest_test_doctest_blocks = ""
doctest_global_setup = """
import os
import tempfile

import numpy as np

import kyr

_scratch = tempfile.TemporaryDirectory()
_home = os.getcwd()
os.chdir(_scratch.name)
"""
doctest_global_cleanup = """
os.chdir(_home)
_scratch.cleanup()
"""

html_theme = "furo"
html_title = f"kyr {release}"
