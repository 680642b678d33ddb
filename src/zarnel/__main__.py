"""``python -m zarnel``: the ``zarnel`` command."""

import sys

from zarnel.cli import main

sys.exit(main())
