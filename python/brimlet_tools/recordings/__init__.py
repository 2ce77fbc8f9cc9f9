"""Whole recordings: columns, data frames, summaries, playback and packet
text."""
