#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""One update's whole road, from the offer to the install, with the service
started by the bus on the client's request."""

import contract
import harness
from harness import GOOD_CODE, check, check_equal

NAME = "Tellurion Suite 4.2 <b>Patch</b> \u00e9t\u00e9"
ITEM = contract.SERVICE_PATH + "/Item1"

# nBytes, nPercent, rate, time left -> the status label's four lines.
PROGRESS = [
    (0, 0, "", "", "Percent complete: 0%\r\nBytes downloaded: 0 kb\r\n"
                   "Transfer Rate: \r\nTime left: "),
    (2560, 3, "12 kB/s", "4 min", "Percent complete: 3%\r\nBytes downloaded: 2 kb\r\n"
                                  "Transfer Rate: 12 kB/s\r\nTime left: 4 min"),
    (3584, 5, "1.1 MB/s", "3 min", "Percent complete: 5%\r\nBytes downloaded: 4 kb\r\n"
                                   "Transfer Rate: 1.1 MB/s\r\nTime left: 3 min"),
    (52224, 17, "r", "t", "Percent complete: 17%\r\nBytes downloaded: 51 kb\r\n"
                          "Transfer Rate: r\r\nTime left: t"),
    (2147483647, 100, "0 B/s", "0 s", "Percent complete: 100%\r\nBytes downloaded: 2097152 kb\r\n"
                                      "Transfer Rate: 0 B/s\r\nTime left: 0 s"),
]


def test(session):
    session.start_gui()
    fake = session.install_fake({"connected": contract.TRUE, "items": [{"name": NAME, "text": "unused"}]})
    client = session.start_client(["-pc" + GOOD_CODE])

    client.answer("Kelvarra", "Update available: " + NAME + "\r\nStart Download?", "Yes",
                  buttons=["Yes", "No"])
    fake.wait_calls("Execute", 1, "Execute after Yes to the offer")
    check_equal([c[2] for c in fake.calls("PrepareDownload")], [[contract.TRUE]],
                "PrepareDownload calls")
    check_equal([c[2] for c in fake.calls("IsConnected") + fake.calls("GetUpdates")],
                [[GOOD_CODE], [GOOD_CODE]], "product code passed to the service")

    form = client.form()
    texts = form.texts()
    check_equal([texts["lbl1"], texts["lblStatus1"], texts["lblStatus2"]],
                ["", "First Update Status", "Second Update Status"], "Form1 before any event")

    fake.emit(1, "OnDownloadBegin")
    client.answer("Kelvarra", "OnDownloadBegin for: " + NAME, "OK", buttons=["OK"])

    for nBytes, nPercent, rate, left, expected in PROGRESS:
        fake.emit(1, "OnProgressChanged", nBytes, nPercent, rate, left)
        form.wait_text("lblStatus1", expected)
        check_equal(form.text("lbl1"), "Update name: " + NAME + "\r\n", "lbl1")
    check_equal(len(fake.calls("GetName")), 3, "GetName calls (offer, begin, first report)")

    fake.emit(1, "OnDownloadComplete", contract.SUCCESS)
    client.answer("Update Available",
                  "An Update [" + NAME + "] has been downloaded, do you want to install?", "Yes",
                  buttons=["Yes", "No"])
    executes = fake.wait_calls("Execute", 2, "Execute again after Yes to the install offer")
    check_equal(executes, [[ITEM, "Execute", []]] * 2, "Execute calls")
    check_equal(form.text("lblStatus1"), PROGRESS[-1][4], "lblStatus1 after completion")

    client.close_main_window()
    check_equal(client.wait_exit(), 0, "exit status after closing Form1")
    check_equal(len(fake.calls("Execute")), 2, "Execute calls in all")
    check_equal(len(fake.calls("Cancel")), 0, "Cancel calls")


if __name__ == "__main__":
    harness.run(test, display=144)
