"""The release number: the package's metadata and ``velkor.__version__`` both read it here."""

__version__ = "0.2.0"
