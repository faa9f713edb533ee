"""Sphinx configuration of velkor's user guide and API reference (built by scripts/docs.sh)."""

from importlib.metadata import version as _version

project = "velkor"
author = "the velkor developers"
copyright = "the velkor developers"  # noqa: A001 - Sphinx's name
release = _version("velkor")
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3

# The API pages document the installed package, as the tests test it.
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "undoc-members": False}
# NumPy's and Dask's own types are not ours to document; an unresolved one is not an error.
nitpicky = False

html_theme = "alabaster"
html_title = f"velkor {release}"
