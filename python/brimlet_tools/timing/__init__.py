"""Sample times: when the device sampled each packet, recovered from when
the host received it (`envelope` for whole recordings, `online` for live
packets)."""
