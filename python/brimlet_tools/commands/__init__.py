"""The commands of the command-line tool, one module each.

A command module has `NAME` and `HELP` (the command's name and its one-line
description), `add_arguments(parser)`, which defines its options, and
`run(args)`, which does the work and returns the exit status. `cli` lists the
modules and dispatches to them. What several commands share lives beside
them: `common` (argument types, progress line, signals, outputs, errors),
`source` (reading packets from a recording or a port) and `simulation` (the
options of the simulated stream).
"""
