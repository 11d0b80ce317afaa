"""Sphinx configuration of the Quorvel guide (MyST Markdown, the furo theme, autodoc)."""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))
# From a checkout: the sources and the development build, as the tests use them; an installed
# quorvel is used when these are absent.
for path in (HERE.parent / "python", HERE.parent / "build" / "dev"):
    if path.is_dir() and str(path) not in sys.path:
        sys.path.append(str(path))

import quorvel  # noqa: E402

project = "Quorvel"
author = "The Quorvel developers"
copyright = "2026, The Quorvel developers"
release = version = quorvel.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "quorvel_nodes"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_ext"]
html_theme = "furo"
html_title = f"Quorvel {release}"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
