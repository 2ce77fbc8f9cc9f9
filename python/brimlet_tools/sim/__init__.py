"""The simulated device: its stream, and a pseudo-terminal that plays it
or a recording."""
