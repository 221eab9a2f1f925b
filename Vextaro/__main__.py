"""`python -m Vextaro`: the `vextaro` command."""
# ruff: noqa: N999 - the package's name is the project's
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
