"""``python -m vornkit`` runs the ``vorn`` command."""

import sys

from .cli import main

sys.exit(main())
