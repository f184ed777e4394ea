#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The real agent downloads a payload that does not match its SHA-256: the
client shows the agent's own failure text and offers no install, nothing is
left in the install folder, and the next run offers the update again."""

import time

import agent_catalog
import harness
from harness import GOOD_CODE, check, check_equal

NAME = "Meridian Charts Fonts 3.0"
SIZE = 256 * 1024
RATE_KBPS = 512
FAILURE = "The update {name} failed: {reason}"


def settle(client, seconds):
    """Looks at the screen for a while; any prompt fails the test."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        check(client.window("Kelvarra") is None and client.window("Update Available") is None,
              "a prompt opened after the failure prompt")
        time.sleep(harness.POLL)


def test(session):
    update = agent_catalog.Update("fonts-3.0", NAME, SIZE, damaged=True, failure_text=FAILURE)
    catalog = agent_catalog.Catalog(session.workdir, GOOD_CODE, [update])
    session.use_agent(agent_catalog.activation_dir(), catalog.agent_args(RATE_KBPS))
    session.start_gui()

    offer = "Update available: " + NAME + "\r\nStart Download?"
    client = session.start_client(["-pc" + GOOD_CODE])
    client.answer("Kelvarra", offer, "Yes")
    client.form()
    client.answer("Kelvarra", "OnDownloadBegin for: " + NAME, "OK")
    client.answer("Kelvarra", update.failure("The downloaded file is damaged (checksum mismatch)."),
                  "OK", buttons=["OK"])
    settle(client, 0.5)
    check_equal(catalog.installed_files(), [], "install folder after the failure")
    check_equal(catalog.recorded(), {}, "installs the agent recorded")
    client.close_main_window()
    check_equal(client.wait_exit(), 0, "exit status after closing Form1")

    again = session.start_client(["-pc" + GOOD_CODE])
    again.answer("Kelvarra", offer, "No")
    again.form()
    again.close_main_window()
    check_equal(again.wait_exit(), 0, "exit status of the second run")
    check_equal(sorted(t for t in client.titles_seen if t != "Form1"), ["Kelvarra"],
                "titles of the prompts of the first run")


if __name__ == "__main__":
    harness.run(test, display=148)
