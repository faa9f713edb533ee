"""The optional parts of velkor, each a pip extra, imported only by the feature that needs it."""

from __future__ import annotations

import importlib
from types import ModuleType

from velkor.errors import MissingExtraError


def import_extra(module: str, extra: str, feature: str) -> ModuleType:
    """Import ``module`` from the extra ``extra``; say in one line what to install when it is missing.

    A base install stays small: HEIF, RAW, the preview plot and Dask come
    with ``velkor[heif]``, ``velkor[raw]``, ``velkor[preview]`` and
    ``velkor[distributed]`` (all of them with ``velkor[all]``).
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        if error.name is None or module.split(".")[0] != error.name.split(".")[0]:
            raise  # the extra is there but broken: its own message says more
        raise MissingExtraError(f"{feature} needs velkor[{extra}]: pip install 'velkor[{extra}]'") from None

