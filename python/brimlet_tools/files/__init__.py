"""Files beside a recording: the receive times that a capture writes."""
