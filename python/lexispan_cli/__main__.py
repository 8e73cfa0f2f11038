"""Lets ``python -m lexispan_cli`` run the same program as the ``lexispan`` script."""

from lexispan_cli.cli import main

raise SystemExit(main())
