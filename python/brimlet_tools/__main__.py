"""`python -m brimlet_tools`: the command-line tool."""

import signal

from .cli import main, terminate

if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
    signal.signal(signal.SIGTERM, terminate)
raise SystemExit(main())
