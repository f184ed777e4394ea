#!/usr/bin/python3
"""Started with no display at all: one line on stderr and exit status 1."""

import os
import subprocess

import harness
from harness import GOOD_CODE, WAIT, check, check_equal


def test(session):
    env = {"PATH": "/usr/bin:/bin", "HOME": session.workdir, "LANG": "C.UTF-8",
           # A bus it must not need to reach before giving up.
           "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(session.workdir, "no-bus")}
    try:
        result = subprocess.run([session.kelvarra, "-pc" + GOOD_CODE], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT,
                                check=False, start_new_session=True)
    except subprocess.TimeoutExpired:
        harness.fail("kelvarra with no display still runs after %.0f s" % WAIT)
    stderr = result.stderr.decode("utf-8", "replace")
    check_equal(result.returncode, 1, "exit status with no display")
    lines = stderr.splitlines()
    check(len(lines) == 1 and lines[0].strip() and stderr.endswith("\n"),
          "stderr is not one line: %r" % stderr)
    check_equal(result.stdout, b"", "stdout with no display")


if __name__ == "__main__":
    harness.run(test, display=143)
