"""Tools that stand beside the brimlet extension: frame encoding, the device
simulator that writes recordings and feeds a virtual serial port, and the
command-line tool."""
