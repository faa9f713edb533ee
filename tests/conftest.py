"""The tests exercise the installed wheel, never the source tree."""

import pathlib

import velkor_core

_installed = pathlib.Path(velkor_core.__file__)
if _installed.name != "velkor_core.abi3.so" or "site-packages" not in _installed.parts:
    raise RuntimeError(f"tests must run against the installed abi3 module, not {_installed}")
