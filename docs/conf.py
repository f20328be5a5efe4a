"""Sphinx configuration of the velliq documentation site.

Why Sphinx rather than MkDocs: the API reference comes from the docstrings of
the installed package, two of whose modules are C++ extension modules, and
only importing the package (autodoc) reads those; Sphinx's doctest builder runs
every example of the site, its matplotlib plot directive draws the pictures from
the package at build time, and nitpicky mode turns every unresolved
cross-reference into an error. MkDocs needs a plugin for each of these
(mkdocstrings reads source statically and sees nothing of an extension module).

Built by tools/build_docs.sh (``make docs``) against the installed package, with
warnings as errors.
"""

import doctest
import importlib.metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent  # the clone: examples/ is read from there

project = "velliq"
author = "velliq developers"
copyright = "velliq developers"  # noqa: A001 (Sphinx's name)
release = importlib.metadata.version("velliq")  # pyproject.toml's, the one version source
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "matplotlib.sphinxext.plot_directive",
]
exclude_patterns = ["_build"]
nitpicky = True
# No network in the build: references to other projects' objects stay plain text.
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|pandas|pd|dask|distributed|matplotlib)(\..*)?"),
    (r"py:class", r"(array_like|ndarray|ufunc|DataFrame|Series|Figure|optional|callable)"),
    # NumPy-docstring type words and Python's own types, which napoleon turns into references.
    (r"py:class", r"(scalar|container|iterable|os\.PathLike|\{\"baw\"|\"american\"\})"),
]

# Docstrings in NumPy style; prose docstrings pass through unchanged.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
autodoc_default_options = {"members": True, "undoc-members": False}
autodoc_member_order = "bysource"
autodoc_typehints = "none"  # the .pyi stubs are not read by autodoc; signatures come from the code

# Every ``>>>`` example of the site and of the docstrings it shows runs under
# `make doctest`, in an empty directory that sees the clone's examples/, as a
# user's would; a docstring's example may use the small chain defined here.
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.IGNORE_EXCEPTION_DETAIL
doctest_global_setup = f"""
import os, pathlib, tempfile
_work = pathlib.Path(tempfile.mkdtemp(prefix="velliq-doctest-"))
(_work / "examples").symlink_to({str(ROOT / "examples")!r})
os.chdir(_work)
import numpy as np
import velliq
from velliq import baw
K = np.array([90.0, 100.0, 110.0])
S, D, F = 100.0, 0.98, 101.0
is_call = velliq.sides(["p", "c", "c"])
prices = baw.price(S, K, D, F, 0.2, is_call)
"""

# Pictures are drawn by the package at build time (docs/plots/*.py).
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.autolayout": True}
plot_working_directory = str(ROOT)  # the scripts read examples/

html_theme = "furo"
html_title = f"velliq {release}"
html_static_path = []


# --- NumPy ufuncs in the API reference ---------------------------------------------
# A ufunc's docstring opens with NumPy's generated signature over x1..x6; the
# velliq docstring after it names the arguments in a line "name(S, K, ...)". The
# reference shows that signature, with the ufunc keywords, and the text after
# NumPy's paragraph.
UFUNC_KEYWORDS = "/, out=None, *, where=True, casting='same_kind', order='K', dtype=None"


def _is_ufunc(obj):
    import numpy as np

    return isinstance(obj, np.ufunc)


def _ufunc_docstring(app, what, name, obj, options, lines):
    if _is_ufunc(obj) and "" in lines:
        del lines[: lines.index("") + 1]


def _ufunc_signature(app, what, name, obj, options, signature, return_annotation):
    if not _is_ufunc(obj):
        return None
    short = name.rpartition(".")[2]
    for line in (obj.__doc__ or "").splitlines():
        if line.startswith(short + "(") and ")" in line:
            arguments = line[len(short) + 1 : line.index(")")]
            return f"({arguments}, {UFUNC_KEYWORDS})", return_annotation
    return None


def setup(app):
    app.connect("autodoc-process-docstring", _ufunc_docstring)
    app.connect("autodoc-process-signature", _ufunc_signature)
