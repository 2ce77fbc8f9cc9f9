"""`python -m brimlet_tools`: the command-line tool, as the console script
`brimlet` runs it."""

from .cli import main

raise SystemExit(main())
