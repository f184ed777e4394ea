#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The real client with the real agent, started by the bus, over a feed
signed with openssl and served by HTTP with its payload: an update is
downloaded at a limited rate, its progress shows in slot 1, Yes to the
install offer puts the verified file in the install folder, and the next run
is offered nothing."""

import re
import time

import agent_catalog
import harness
from harness import GOOD_CODE, check, check_equal, fail

NAME = "Meridian Charts 3.0.2"
SIZE = 1024 * 1024
RATE_KBPS = 256

STATUS = re.compile(r"Percent complete: (\d+)%\r\nBytes downloaded: (\d+) kb\r\n"
                    r"Transfer Rate: (.*)\r\nTime left: (.*)", re.S)
RATE = re.compile(r"(\d+(?:\.\d+)?) (B|KB|MB)/s")
TIME = re.compile(r"\d+:\d\d(?::\d\d)?")
ESTIMATING = "Estimating..."


def watch_download(client, form):
    """Reads slot 1's status until the install offer shows, answering the
    begin prompt on the way; returns each status text seen, in order."""
    seen = []
    begins = 0
    deadline = time.monotonic() + harness.WAIT
    while client.window("Update Available") is None:
        check(time.monotonic() < deadline, "no install offer %.0f s after the start; "
              "slot 1 read %r" % (harness.WAIT, seen[-1:]))
        text = form.text("lblStatus1")
        if not seen or seen[-1] != text:
            seen.append(text)
        begin = client.window("Kelvarra")
        if begin is not None:
            prompt = harness.Prompt(client, "Kelvarra", begin)
            check_equal(prompt.text, "OnDownloadBegin for: " + NAME, "begin prompt")
            prompt.press("OK")
            begins += 1
        time.sleep(harness.POLL)
    check_equal(begins, 1, "begin prompts")
    seen.append(form.text("lblStatus1"))
    return seen


def parse_reports(texts):
    reports = []
    for text in texts:
        if text == "First Update Status":
            check(not reports, "slot 1 went back to its first text")
            continue
        match = STATUS.fullmatch(text)
        if match is None:
            fail("slot 1's status is not a progress report: %r" % text)
        reports.append((int(match[1]), int(match[2]), match[3], match[4]))
    return reports


def check_reports(reports):
    check(reports, "no progress report reached slot 1")
    percents = [r[0] for r in reports]
    kilobytes = [r[1] for r in reports]
    check_equal(percents, sorted(percents), "percents in the order shown")
    check_equal(kilobytes, sorted(kilobytes), "kilobytes in the order shown")
    check_equal(reports[-1][:2], (100, SIZE // 1024), "percent and kilobytes of the last report")
    moving = [r for r in reports if 0 < r[0] < 100]
    check(len(moving) >= 3, "fewer than three reports between 0 and 100%%: %r" % reports)
    for percent, kb, rate, left in reports:
        check(abs(kb * 1024 * 100 / SIZE - percent) <= 2,
              "%d kb shown with %d%%" % (kb, percent))
        check(rate == ESTIMATING or RATE.fullmatch(rate), "rate text %r" % rate)
        check(left == ESTIMATING or TIME.fullmatch(left), "time text %r" % left)
    kbps = [float(m[1]) * {"B": 1 / 1024, "KB": 1, "MB": 1024}[m[2]]
            for m in (RATE.fullmatch(r[2]) for r in moving) if m]
    check(any(RATE_KBPS / 2 <= k <= RATE_KBPS * 1.5 for k in kbps),
          "no rate shown near the %d KB/s limit: %r" % (RATE_KBPS, [r[2] for r in moving]))


def test(session):
    update = agent_catalog.Update("charts-3.0.2", NAME, SIZE)
    catalog = agent_catalog.Catalog(session.workdir, GOOD_CODE, [update], over_http=True)
    session.use_agent(agent_catalog.activation_dir(), catalog.agent_args(RATE_KBPS))
    session.start_gui()

    client = session.start_client(["-pc" + GOOD_CODE])
    client.answer("Kelvarra", "Update available: " + NAME + "\r\nStart Download?", "Yes",
                  buttons=["Yes", "No"])
    form = client.form()
    check_reports(parse_reports(watch_download(client, form)))
    check_equal(form.text("lbl1"), "Update name: " + NAME + "\r\n", "lbl1")
    check_equal(catalog.visible_files(), [], "install folder before the install offer")

    client.answer("Update Available",
                  "An Update [" + NAME + "] has been downloaded, do you want to install?", "Yes",
                  buttons=["Yes", "No"])
    harness.wait_until("the update in the install folder",
                       lambda: catalog.installed_files() == [update.file])
    check(catalog.installed_content(update) == update.content, "installed file's content")
    check_equal(catalog.recorded().get(update.id, {}).get("version"), "1.0",
                "version the agent recorded")
    client.close_main_window()
    check_equal(client.wait_exit(), 0, "exit status after closing Form1")

    again = session.start_client(["-pc" + GOOD_CODE])
    again.answer("Kelvarra", "No updates available for this product.", "OK", buttons=["OK"])
    again.form()
    again.close_main_window()
    check_equal(again.wait_exit(), 0, "exit status of the second run")
    check_equal(catalog.installed_files(), [update.file], "install folder at the end")


if __name__ == "__main__":
    harness.run(test, display=147)
