"""Holds every cell of Kestrune's report against the hardware's limit and an
independent reference; run through bench/run-accuracy."""
