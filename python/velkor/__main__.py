"""`python -m velkor`: the same as the `velkor` command."""

import sys

from velkor.cli.main import main

if __name__ == "__main__":  # not when a worker process imports it
    sys.exit(main())
