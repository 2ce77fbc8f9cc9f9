"""The commands of the command-line tool, one module each.

A command module has `NAME` and `HELP` (the command's name and its one-line
description), `add_arguments(parser)`, which defines its options, and
`run(args)`, which does the work and returns the exit status. `cli` lists the
modules and dispatches to them. What several commands share lives beside
them: `options` (every option, defined once, and the checks across them),
`common` (messages, signals, errors), `progress` (progress bars and
status lines) and `source` (reading packets from a recording or a port). No
command imports another.
"""
