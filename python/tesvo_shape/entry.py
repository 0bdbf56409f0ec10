"""The entry point of the tesvo and tesvo-shape commands. Ctrl-C and SIGTERM are held back
from the first thing the command does on: importing the package takes a good part of a
second, and a signal then would end the interpreter with a traceback. tesvo.cli.main lets
them through once it can answer them (quietly, with the status of an interrupted run)."""

import signal
import sys


def main() -> int:
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    from tesvo.cli import main as command

    return command()


if __name__ == "__main__":
    sys.exit(main())
