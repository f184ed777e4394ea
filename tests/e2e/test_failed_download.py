#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A download that fails: its begin and completion arrive while the next
offer is open, wait for it, and the failure is told in one prompt with the
update's own text and no install offer."""

import time

import contract
import harness
from harness import GOOD_CODE, check, check_equal

FIRST = "Orrery Maps 2024.1"
SECOND = "Orrery Maps Fonts"
FAILURE = "Download failed.\r\nThe server said: <i>404</i> & gave up"
ITEM1 = contract.SERVICE_PATH + "/Item1"


def settle(client, seconds):
    """Looks at the screen for a while; any second prompt fails the test."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        client.windows()
        time.sleep(harness.POLL)


def test(session):
    session.start_gui()
    fake = session.start_fake({"connected": contract.TRUE, "items": [
        {"name": FIRST, "text": FAILURE},
        {"name": SECOND, "text": "not this one"},
    ]})
    client = session.start_client(["-pc" + GOOD_CODE])

    client.answer("Kelvarra", "Update available: " + FIRST + "\r\nStart Download?", "Yes")
    fake.wait_calls("Execute", 1)
    offer = client.wait_prompt("Kelvarra")
    check_equal(offer.text, "Update available: " + SECOND + "\r\nStart Download?", "second offer")

    fake.emit(1, "OnDownloadBegin")
    fake.emit(1, "OnDownloadComplete", contract.CHECKSUM_MISMATCH)
    settle(client, 0.5)
    check(client.window("Kelvarra") is not None, "the second offer closed by itself")
    offer.press("No")

    client.answer("Kelvarra", "OnDownloadBegin for: " + FIRST, "OK", buttons=["OK"])
    client.answer("Kelvarra", FAILURE, "OK", buttons=["OK"])
    check_equal(fake.calls("GetText"), [[ITEM1, "GetText", [1]]], "GetText calls")

    form = client.form()
    settle(client, 0.5)
    check_equal(sorted(t for t in client.titles_seen if t != "Form1"), ["Kelvarra"],
                "titles of every prompt shown")
    check(client.window("Kelvarra") is None, "a prompt is open after the failure prompt")
    check_equal(len(fake.calls("Execute")), 1, "Execute calls (no install after a failure)")
    check_equal(form.text("lblStatus1"), "First Update Status", "lblStatus1 after the failure")

    client.close_main_window()
    check_equal(client.wait_exit(), 0, "exit status after closing Form1")


if __name__ == "__main__":
    harness.run(test, display=145)
