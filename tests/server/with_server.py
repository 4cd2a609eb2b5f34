#!/usr/bin/env python3
"""Runs a command with the test HTTP server listening on 127.0.0.1 beside it.

    with_server.py [--log FILE] -- COMMAND ARGS...

The command finds the server through its environment (Wine hands it on to Windows programs):
PELLMORROW_TEST_PORT is the server's port, PELLMORROW_TEST_CLOSED_PORT a port that refuses
connections. The server stops when the command ends; the command's exit code is returned.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_server import TestServer  # noqa: E402


def main(argv):
    if "--" not in argv:
        sys.exit("usage: with_server.py [--log FILE] -- COMMAND ARGS...")
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    log_path = options[options.index("--log") + 1] if "--log" in options else None
    if not command:
        sys.exit("with_server.py: no command given")
    with TestServer(log_path=log_path) as server:
        env = dict(os.environ, PELLMORROW_TEST_PORT=str(server.port),
                   PELLMORROW_TEST_CLOSED_PORT=str(server.closed_port))
        return subprocess.call(command, env=env)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
