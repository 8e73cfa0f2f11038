"""Reading count tables: one module per format (`delimited` CSV/TSV, wide or
long; `matrix_market` with its vocabulary file; `parquet`), chosen by
`readers`. Every reader streams its rows into compressed sparse arrays; no
cell is stored for a zero count."""

from lexispan_cli.tables.common import display
from lexispan_cli.tables.readers import TABLE_KINDS, read_table

__all__ = ["TABLE_KINDS", "display", "read_table"]
