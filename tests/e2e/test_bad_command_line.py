#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A space between -pc and the code: the error prompt, exit status 2, no window."""

import harness
from harness import GOOD_CODE, check, check_equal

ERROR_TEXT = ("Error in specifying product code in cmdline.\r\n"
              "Must pass -pc<prod code> to exe. Exiting...")

USAGE_LINE = ("kelvarra: no valid product code on the command line; expected: "
              "kelvarra -pc{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}")


def test(session):
    session.start_gui()
    client = session.start_client(["-pc", GOOD_CODE])
    prompt = client.wait_prompt("Kelvarra")
    check_equal(prompt.text, ERROR_TEXT, "text of the command-line error prompt")
    check_equal(prompt.button_names, ["OK"], "buttons of the command-line error prompt")
    check("Form1" not in session.x().mapped_titles(), "Form1 was mapped behind the error prompt")

    # Written while the prompt is up, for whoever started it from a shell.
    check_equal(client.stderr().splitlines().count(USAGE_LINE), 1, "usage lines on stderr")

    prompt.press("OK")
    check_equal(client.wait_exit(), 2, "exit status after the command-line error prompt")
    check("Form1" not in client.titles_seen, "Form1 appeared on the accessibility bus")
    check("Form1" not in session.x().mapped_titles(), "Form1 is mapped after the exit")


if __name__ == "__main__":
    harness.run(test, display=141)
