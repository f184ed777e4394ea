#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A good code, but no service on the bus and none to start: run-time error 1."""

import harness
from harness import GOOD_CODE, check, check_equal


def test(session):
    session.start_gui()
    client = session.start_client(["-pc" + GOOD_CODE])
    prompt = client.wait_prompt("Kelvarra")
    check(prompt.text.startswith("Run-time error 1:\r\n"),
          "the prompt is not run-time error 1: %r" % prompt.text)
    check(len(prompt.text) > len("Run-time error 1:\r\n"), "run-time error 1 has no description")
    check_equal(prompt.button_names, ["OK"], "buttons of the run-time error message")

    prompt.press("OK")
    check_equal(client.wait_exit(), 1, "exit status after a run-time error")
    check("ServiceUnknown: " in prompt.text and "palvane-update-agent is not installed" in prompt.text,
          "run-time error 1 lacks the bus error or the hint: %r" % prompt.text)
    # The same message on stderr as one line, where a shell user sees it.
    stderr = client.stderr()
    check(prompt.text.replace("\r\n", " ") + "\n" in stderr and "\r" not in stderr,
          "stderr lacks the message %r on one line; it has:\n%r" % (prompt.text, stderr))
    check("Form1" not in client.titles_seen, "Form1 appeared before the run-time error")


if __name__ == "__main__":
    harness.run(test, display=142)
