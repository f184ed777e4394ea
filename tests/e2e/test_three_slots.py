#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Three accepted updates downloading at once: each slot shows its own, a
cancel button reaches its own update, and a screenshot is kept."""

import os

import contract
import harness
from harness import GOOD_CODE, check, check_equal

NAMES = ["Atlas Core 7.3.1", "Atlas Core Language Pack (de, fr, es, it, nl, pt)",
         "Atlas Viewer Plug-in"]
# Slot N's report: nBytes, nPercent, rate, time left, kilobytes shown.
REPORTS = [
    (1536, 12, "850 kB/s", "2 min 10 s", "2"),
    (-2560, 150, "", "", "-2"),
    (10484224, 64, "3.2 MB/s", "12 s", "10238"),
]


def status_text(nBytes, nPercent, rate, left, kilobytes):
    return ("Percent complete: %d%%\r\nBytes downloaded: %s kb\r\nTransfer Rate: %s\r\n"
            "Time left: %s" % (nPercent, kilobytes, rate, left))


def check_window_size(session):
    from Xlib import X
    x = session.x()
    for window in x.root.query_tree().children:
        if x._title(window) == "Form1" and window.get_attributes().map_state == X.IsViewable:
            geometry = window.get_geometry()
            check_equal((geometry.width, geometry.height), (721, 230), "Form1's size")
            return
    harness.fail("no mapped X window titled Form1")


def test(session):
    session.start_gui()
    fake = session.start_fake({"connected": contract.TRUE, "items": [{"name": n} for n in NAMES]})
    client = session.start_client(["-pc" + GOOD_CODE])
    for name in NAMES:
        client.answer("Kelvarra", "Update available: " + name + "\r\nStart Download?", "Yes")
    fake.wait_calls("Execute", 3)

    form = client.form()
    check_window_size(session)
    for slot, name in enumerate(NAMES, 1):
        fake.emit(slot, "OnDownloadBegin")
        client.answer("Kelvarra", "OnDownloadBegin for: " + name, "OK")
    for slot, report in enumerate(REPORTS, 1):
        fake.emit(slot, "OnProgressChanged", *report[:4])
    for slot, (name, report) in enumerate(zip(NAMES, REPORTS), 1):
        form.wait_text("lblStatus%d" % slot, status_text(*report))
        check_equal(form.text("lbl%d" % slot), "Update name: " + name + "\r\n", "lbl%d" % slot)

    path = session.screenshot("three-slots.png")
    check(os.path.getsize(path) > 0, "empty screenshot")
    print("screenshot: " + path)

    # Another connection raising item 1's event is not the service.
    session.impostor_signal(contract.SERVICE_PATH + "/Item1", "OnProgressChanged", "iiss",
                            99, 99, "impostor", "impostor")
    fake.emit(2, "OnProgressChanged", 4096, 90, "x", "y")
    form.wait_text("lblStatus2", status_text(4096, 90, "x", "y", "4"))
    check_equal(form.text("lblStatus1"), status_text(*REPORTS[0]),
                "lblStatus1 after a signal from another connection")

    form.press("btnCancel2")
    cancels = fake.wait_calls("Cancel", 1)
    check_equal(cancels, [[contract.SERVICE_PATH + "/Item2", "Cancel", []]], "Cancel calls")
    check(client.window("Kelvarra") is None, "a prompt opened on cancel")

    client.close_main_window()
    check_equal(client.wait_exit(), 0, "exit status after closing Form1")
    check_equal(len(fake.calls("Cancel")), 1, "Cancel calls in all")


if __name__ == "__main__":
    harness.run(test, display=146)
