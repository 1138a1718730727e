"""Exit statuses of the ``vorn`` command, and the error that ends a command with one line."""

from __future__ import annotations

import signal

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_MEMORY = 3                              # stopped at --max-memory, or out of memory
EXIT_INTERRUPTED = 128 + signal.SIGINT       # 130, as a shell reports a Ctrl-C
EXIT_TERMINATED = 128 + signal.SIGTERM       # 143
EXIT_PIPE_CLOSED = 128 + signal.SIGPIPE      # 141, as for a tool stopped by a closed pipe


class UserError(Exception):
    """A mistake in the command line or its inputs: reported as one line, ending the command with ``code``."""

    def __init__(self, message: str, code: int = EXIT_USAGE):
        super().__init__(message)
        self.code = code
