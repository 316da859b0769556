"""``python -m vandrel``: the command line, in ``vandrel.cli``."""
import sys

from vandrel.cli import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
