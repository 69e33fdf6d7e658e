"""python -m alphabet: see alphabet._cli."""

import sys

from ._cli import main

sys.exit(main())
