#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Started with no display at all: one line on stderr and exit status 1. With
a display that cannot be opened: exit status 1 too, never a crash."""

import os
import subprocess

import harness
from harness import GOOD_CODE, WAIT, check, check_equal


def run_client(session, **extra):
    env = {"PATH": "/usr/bin:/bin", "HOME": session.workdir, "LANG": "C.UTF-8",
           # A bus it must not need to reach before giving up.
           "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(session.workdir, "no-bus")}
    env.update(extra)
    try:
        result = subprocess.run([session.kelvarra, "-pc" + GOOD_CODE], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT,
                                check=False, start_new_session=True)
    except subprocess.TimeoutExpired:
        harness.fail("kelvarra with no display still runs after %.0f s" % WAIT)
    return result


def unused_display():
    for number in range(29, 99):
        if not any(os.path.exists(p % number) for p in ("/tmp/.X11-unix/X%d", "/tmp/.X%d-lock")):
            return number
    harness.fail("no unused display number to try")


def test(session):
    result = run_client(session)
    stderr = result.stderr.decode("utf-8", "replace")
    check_equal(result.returncode, 1, "exit status with no display")
    lines = stderr.splitlines()
    check(len(lines) == 1 and lines[0].strip() and stderr.endswith("\n"),
          "stderr is not one line: %r" % stderr)
    check_equal(result.stdout, b"", "stdout with no display")

    dead = run_client(session, DISPLAY=":%d" % unused_display(), QT_QPA_PLATFORM="xcb")
    stderr = dead.stderr.decode("utf-8", "replace")
    check_equal(dead.returncode, 1, "exit status with a display that cannot be opened")
    check("kelvarra: cannot open the display" in stderr, "stderr: %r" % stderr)


if __name__ == "__main__":
    harness.run(test, display=143)
