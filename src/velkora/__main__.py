"""``python -m velkora``: the velkora command (velkora.cli)."""

import sys

from velkora.cli import main

sys.exit(main())
