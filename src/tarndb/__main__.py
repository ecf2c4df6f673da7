"""``python -m tarndb``: the command line."""

import sys

from tarndb.cli import main

sys.exit(main())
