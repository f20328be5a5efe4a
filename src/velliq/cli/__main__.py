"""``python -m velliq.cli``: the velliq command line."""

import sys

from . import main

sys.exit(main())
