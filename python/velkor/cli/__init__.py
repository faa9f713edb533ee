"""The `velkor` command."""
