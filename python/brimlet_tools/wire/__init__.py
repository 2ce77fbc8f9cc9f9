"""The wire: the fields a packet carries, with their units, kinds and
default rates, how frames are laid out, and counting frames in live bytes."""
