"""The errors that velkor reports to its callers.

Each one carries a message that reads well as a single line after
"velkor: error: ", so the command line can print it unchanged.
"""

from __future__ import annotations


class VelkorError(Exception):
    """Base class of every error that velkor raises on purpose."""


class RecipeError(VelkorError, ValueError):
    """A recipe field holds a value that the pipeline cannot use."""


class InputNotFoundError(VelkorError, FileNotFoundError):
    """The input file does not exist."""


class UnsupportedFormatError(VelkorError, ValueError):
    """The file is of a kind that velkor does not read or write."""


class ImageTooLargeError(UnsupportedFormatError):
    """The decoded image would need more memory than the limit allows."""


class UnreadableImageError(VelkorError, OSError):
    """The file looks like a supported image but cannot be decoded."""


class OutputExistsError(VelkorError, FileExistsError):
    """The output file exists and overwriting was not asked for."""


class OutputWriteError(VelkorError, OSError):
    """The output file cannot be created or written."""


class ClusterError(VelkorError, OSError):
    """The Dask cluster cannot be reached, or lost what it was running."""


class NoWorkersError(ClusterError):
    """The scheduler had no worker for the whole of the wait."""


class SchedulerLostError(ClusterError):
    """The scheduler went away in the middle of a run."""


class ColourProfileWarning(UserWarning):
    """The input carries an ICC profile other than sRGB, read as sRGB anyway."""


class InputWarning(UserWarning):
    """A decoder worked around a problem in an input file, or velkor repaired its values."""


class MissingExtraError(VelkorError, ImportError):
    """A feature needs an optional part of velkor that is not installed (``pip install 'velkor[EXTRA]'``)."""
