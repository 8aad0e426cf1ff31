"""Sphinx configuration of the orrin documentation.

autodoc reads the installed package (the wheel in CI; a development build with
PYTHONPATH=src works as well). The user guide shows the figures and tables of the main job,
examples/main_job.py: they are read from _generated/main_job, and the main job runs first
when they are missing.
"""

import os
import pathlib
import subprocess
import sys

import orrin

# Document the compiled modules as they are at run time (their docstrings and text
# signatures), not their .pyi stubs, which Sphinx would otherwise execute in their place.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

HERE = pathlib.Path(__file__).resolve().parent
MAIN_JOB_DIR = HERE / "_generated" / "main_job"
MAIN_JOB_OUTPUT = HERE / "_generated" / "main_job.txt"

if not (MAIN_JOB_OUTPUT.exists() and MAIN_JOB_DIR.is_dir()):
    MAIN_JOB_DIR.mkdir(parents=True, exist_ok=True)
    with open(MAIN_JOB_OUTPUT, "w") as output:
        subprocess.run([sys.executable, str(HERE.parent / "examples" / "main_job.py"),
                        str(MAIN_JOB_DIR)], stdout=output, check=True)

project = "orrin"
author = "the orrin developers"
copyright = "the orrin developers"
release = orrin.__version__
version = release

extensions = ["sphinx.ext.autodoc", "sphinx.ext.mathjax", "numpydoc"]
autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_inherit_docstrings = False
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
exclude_patterns = ["_build", "_generated"]
html_theme = "alabaster"
html_static_path = []


def drop_self(app, what, name, obj, options, signature, return_annotation):
    """Methods of the compiled classes carry `self` in their text signatures; pages omit it."""
    if what == "method" and signature and signature.startswith("(self"):
        return "(" + signature[len("(self"):].lstrip(", "), return_annotation
    return None


def setup(app):
    # Before numpydoc's handler: the first handler that returns a signature sets it.
    app.connect("autodoc-process-signature", drop_self, priority=400)
