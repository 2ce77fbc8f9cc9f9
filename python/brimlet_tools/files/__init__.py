"""Files on disk: the one way to write an output, the one way to open a
recording, and the receive times that a capture writes beside it."""
