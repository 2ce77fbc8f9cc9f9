"""A live port: packets as they arrive, raw capture, and the line's health."""
