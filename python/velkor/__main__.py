"""`python -m velkor`: the same as the `velkor` command."""

import sys

from velkor.cli import main

sys.exit(main())
