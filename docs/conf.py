"""Sphinx configuration: the reference comes from the installed package's
own docstrings (the nox session installs this tree first)."""

from importlib.metadata import version as _version

project = "velkora"
author = "The velkora developers"
copyright = "The velkora developers, MIT licence"  # noqa: A001 - Sphinx's name
release = _version("velkora")
extensions = ["sphinx.ext.autodoc"]
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
exclude_patterns = ["_build"]
html_theme = "alabaster"
nitpicky = False
