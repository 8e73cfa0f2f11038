"""Command-line front end of lexispan: dispersion tables for a folder of texts or a frequency table."""
