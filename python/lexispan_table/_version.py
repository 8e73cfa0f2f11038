"""The distribution's version, in one place: the build reads it from here (pyproject.toml),
`lexispan_table.__version__` and `lexispan --version` import it."""

__version__ = "0.1.0"
