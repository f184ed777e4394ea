#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""What the prompts cannot say goes to stderr: after "IsConnected returned
False" the agent's reason and the command that tells more, and for an
update PrepareDownload refuses, its name and why. A service without the
status interface adds nothing."""

import os
import re

import agent_catalog
import contract
import harness
from harness import GOOD_CODE, check, check_equal

UNWRITABLE_CODE = "{2C1D6E3B-8FA5-4A4C-B7E9-3DA2F15A8B66}"
NAME = "Meridian Charts 3.0.2"


def run_client(session, code, prompts):
    """Answers each (text, button) in turn, closes the window; returns stderr."""
    client = session.start_client(["-pc" + code])
    for text, button in prompts:
        client.answer("Kelvarra", text, button)
    client.form()
    client.close_main_window()
    check_equal(client.wait_exit(), 0, "exit status")
    return client.stderr()


def test(session):
    products = os.path.join(session.workdir, "products")
    refused = agent_catalog.Catalog(os.path.join(session.workdir, "refused"), GOOD_CODE, [],
                                    products_dir=products, tampered=True)
    folder = os.path.join(session.workdir, "unwritable")
    os.makedirs(folder)
    open(os.path.join(folder, "blocker"), "w").close()
    unwritable = agent_catalog.Catalog(folder, UNWRITABLE_CODE,
                                       [agent_catalog.Update("charts-3.0.2", NAME, 4096)],
                                       products_dir=products,
                                       install_dir=os.path.join(folder, "blocker", "sub"))
    session.use_agent(agent_catalog.activation_dir(),
                      ["--products", products, "--state-file", refused.state_file])
    session.start_gui()

    # The fake has no status interface: the prompts alone, as ever.
    fake = session.start_fake({"connected": contract.FALSE})
    stderr = run_client(session, GOOD_CODE, [("IsConnected returned False", "OK")])
    check("kelvarra:" not in stderr, "a line without a status interface: %r" % stderr)
    for proc in session.processes:
        if proc.name == "fake-service":
            proc.stop()
    harness.wait_until("the fake to leave", lambda: not session.has_owner(contract.SERVICE_NAME))

    # The agent, started by the next client.
    stderr = run_client(session, GOOD_CODE, [("IsConnected returned False", "OK")])
    line = re.search(r"^kelvarra: (refused the feed of .* - signature: .*) "
                     r"\(more: palvane-updates status (\S+)\)$", stderr, re.M)
    check(line, "no reason line on stderr: %r" % stderr)
    check_equal(line[2], GOOD_CODE, "code in the hint")
    check(line[1] in session.agent_log_text(), "%r is not the agent's log line" % line[1])

    stderr = run_client(session, UNWRITABLE_CODE,
                        [("Update available: " + NAME + "\r\nStart Download?", "Yes")])
    wanted = "kelvarra: %s cannot be downloaded now: the install folder %s" % (
        NAME, unwritable.install_dir)
    check(wanted in stderr, "%r not on stderr: %r" % (wanted, stderr))
    check_equal(unwritable.installed_files(), [], "install folder")
    del fake


if __name__ == "__main__":
    harness.run(test, display=149)
