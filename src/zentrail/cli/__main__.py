import sys

from . import command_line

if __name__ == "__main__":
    sys.exit(command_line())
