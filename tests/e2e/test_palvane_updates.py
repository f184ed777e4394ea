# SPDX-License-Identifier: GPL-3.0-or-later
"""palvane-updates against the real agent, started by activation on a
private bus, over products whose feeds are good, empty, refused by each rule,
missing, or whose install folder cannot be written."""

import datetime
import hashlib
import json
import os
import signal
import subprocess
import time

import pytest

import agent_catalog
import harness

TOOL_ENV = "PALVANE_UPDATES"
# Slow enough that an interrupt lands mid-download, fast enough for two small ones.
RATE_KBPS = 256
PAST = (datetime.datetime.now(datetime.timezone.utc)
        - datetime.timedelta(days=1)).strftime("%Y-%m-%dT%H:%M:%SZ")
OTHER_CODE = "{00000000-0000-4000-8000-0000000000FF}"


def code(n):
    return "{%08X-0000-4000-8000-%012X}" % (n, n)


# Product: (code, updates as (id, size), catalog options).
PRODUCTS = {
    "good": (code(1), [("good-1", 4096)], {}),
    "empty": (code(2), [], {}),
    "install": (code(3), [("first-1", 16384), ("second-1", 24576)], {}),
    "slow": (code(4), [("big-1", 4 * 1024 * 1024)], {}),
    "unwritable": (code(5), [("u-1", 4096)], {}),
    "signature": (code(6), [("s-1", 4096)], {"tampered": True}),
    "expiry": (code(7), [], {"feed_fields": {"expires": PAST}}),
    "product": (code(8), [], {"feed_fields": {"product": OTHER_CODE}}),
    "serial": (code(9), [], {}),
    "size": (code(10), [], {"feed_fields": {"padding": "x" * (1024 * 1024)}}),
    "unreachable": (code(11), [], {}),
    "held": (code(12), [("held-1", 4096, {"rollout": 0}), ("open-1", 4096, {"rollout": 100})], {}),
}


class Setup:
    def __init__(self, session, catalogs):
        self.session = session
        self.catalogs = catalogs
        self.tool = os.environ.get(TOOL_ENV, "")
        harness.check(os.access(self.tool, os.X_OK), "%s=%r is no program" % (TOOL_ENV, self.tool))

    def run(self, *args, timeout=harness.WAIT * 2):
        return subprocess.run([self.tool] + list(args), env=self.session.base_env(),
                              capture_output=True, text=True, timeout=timeout, check=False)

    def start(self, *args):
        return subprocess.Popen([self.tool] + list(args), env=self.session.base_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def status(self, product):
        result = self.run("--json", "status", self.catalogs[product].code)
        harness.check_equal(result.returncode, 0, "status exit, stderr %r" % result.stderr)
        return json.loads(result.stdout)


@pytest.fixture(scope="module")
def setup():
    session = harness.Session("palvane-updates", 0, "", "")
    try:
        products = os.path.join(session.workdir, "products")
        state = os.path.join(session.workdir, "state", "installed.json")
        catalogs = {}
        for key, (product_code, updates, options) in PRODUCTS.items():
            folder = os.path.join(session.workdir, key)
            if key == "unwritable":
                # Root may write anywhere; nobody can make a folder inside a file.
                os.makedirs(folder)
                open(os.path.join(folder, "blocker"), "w").close()
                options = dict(options, install_dir=os.path.join(folder, "blocker", "sub"))
            catalogs[key] = agent_catalog.Catalog(
                folder, product_code,
                [agent_catalog.Update(u[0], u[0].upper(), u[1], fields=dict(*u[2:])) for u in updates],
                products_dir=products, name="Product " + key, **options)
        os.remove(catalogs["unreachable"].feed_path)
        # A feed of serial 1 after one of serial 5 was accepted: a replay.
        os.makedirs(os.path.dirname(state))
        with open(state, "w", encoding="utf-8") as f:
            json.dump({"feeds": {catalogs["serial"].code: {"serial": 5, "sha256": "00" * 32}}}, f)
        session.use_agent(agent_catalog.activation_dir(),
                          ["--products", products, "--state-file", state,
                           "--rate-limit", str(RATE_KBPS)])
        session.start_bus()
        setup = Setup(session, catalogs)
        setup.state_file = state
        # Fetch every feed once, as a user would first.
        first = setup.run("check")
        harness.check_equal(first.returncode, 3, "first check of all products: %s" % first.stderr)
        yield setup
    finally:
        session.close()


def recorded(setup, product):
    with open(setup.state_file, encoding="utf-8") as f:
        return json.load(f).get(setup.catalogs[product].code.upper(), {})


# Each refusal: the check that failed, as its log line starts its reason.
REFUSALS = {"signature": "signature:", "expiry": "expiry:", "product": "product:",
            "serial": "serial: 1 is lower than 5", "size": "size:",
            "unreachable": "not fetched -"}


def check_list(setup, result):
    lines = result.stdout.splitlines()
    harness.check_equal(len(lines), len(PRODUCTS), "lines of list: %r" % lines)
    # In the order the agent read them: by product file name.
    for line, key in zip(lines, sorted(PRODUCTS, key=lambda k: k + ".json")):
        harness.check(line.startswith(PRODUCTS[key][0] + "  Product " + key + "  feed "),
                      "list line %r for %s" % (line, key))
    listed = json.loads(setup.run("--json", "list").stdout)["products"]
    states = {p["name"]: (p["feedState"], p["offered"]) for p in listed}
    harness.check_equal(states["Product good"], ("current", 1), "good in list --json")
    harness.check_equal(states["Product empty"], ("current", 0), "empty in list --json")
    harness.check_equal(states["Product held"], ("current", 1), "one held back by its rollout")
    harness.check_equal(states["Product signature"], ("refused", 0), "signature in list --json")
    harness.check_equal(states["Product unreachable"], ("unreachable", 0), "missing feed")


def check_good(setup, result):
    catalog = setup.catalogs["good"]
    harness.check(not result.stdout.startswith("Problem"), "a problem shown: %s" % result.stdout)
    for text in (catalog.product_file, "serial 1", "good-1", "offered", "(writable)"):
        harness.check(text in result.stdout, "%r not in:\n%s" % (text, result.stdout))
    status = setup.status("good")
    harness.check_equal((status["feedState"], status["acceptedSerial"], status["problem"]),
                        ("current", 1, ""), "good status")
    harness.check_equal([(u["id"], u["size"], u["state"]) for u in status["updates"]],
                        [("good-1", 4096, "offered")], "good updates")
    harness.check(status["lastChecked"], "no time of the last fetch")


def check_refused(kind):
    def probe(setup, result):
        status = setup.status(kind)
        problem = status["problem"]
        harness.check(REFUSALS[kind] in problem, "%s: problem %r" % (kind, problem))
        harness.check(result.stdout.startswith("Problem: " + problem),
                      "the reason is not first:\n%s" % result.stdout)
        # The same words as the agent's log line.
        harness.check(problem in setup.session.agent_log_text(), "%r not in the log" % problem)
        harness.check_equal(setup.run("check", setup.catalogs[kind].code).returncode, 3,
                            "check of a feed that failed")
    return probe


def check_unwritable(setup, result):
    folder = setup.catalogs["unwritable"].install_dir
    wanted = "Problem: the install folder %s is not writable by you" % folder
    harness.check(result.stdout.startswith(wanted), "%r not first in:\n%s" % (wanted, result.stdout))
    harness.check("must be a folder you can write, such as ~/.local/share/sub" in result.stdout,
                  "no advice in:\n%s" % result.stdout)
    harness.check_equal(setup.status("unwritable")["installDirWritable"], False, "writable")


def check_held(setup, result):
    updates = setup.status("held")["updates"]
    harness.check_equal([(u["id"], u["state"], u["rollout"]) for u in updates],
                        [("held-1", "heldBack", 0), ("open-1", "offered", 100)], "held updates")
    bucket = updates[0]["rolloutBucket"]
    harness.check(0 <= bucket < 10000, "bucket %r" % bucket)
    reason = "held back by its rollout: bucket %d is not below 0" % bucket
    harness.check_equal(updates[0]["text"], reason, "held back text")
    harness.check(reason in result.stdout, "%r not in:\n%s" % (reason, result.stdout))


def check_install(setup, result):
    catalog = setup.catalogs["install"]
    output = json.loads(result.stdout)
    harness.check_equal([(u["id"], u["installed"]) for u in output["updates"]],
                        [("first-1", True), ("second-1", True)], "install --json")
    harness.check_equal(output["interrupted"], False, "interrupted")
    for update in catalog.updates:
        harness.check(catalog.installed_content(update) == update.content, update.id)
    harness.check_equal(sorted(recorded(setup, "install")), ["first-1", "second-1"], "record")
    harness.check_equal(setup.run("check", catalog.code).returncode, 1, "check after install")


def interrupt_install(setup):
    catalog = setup.catalogs["slow"]
    proc = setup.start("--json", "install", catalog.code)
    try:
        harness.wait_until("the download to run", lambda: any(
            u["state"] == "downloading" and u.get("bytes", 0) > 0
            for u in setup.status("slow")["updates"]))
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=harness.WAIT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    harness.check_equal(proc.returncode, 130, "exit after Ctrl-C, stderr %r" % err)
    output = json.loads(out)
    harness.check_equal((output["interrupted"], output["updates"][0]["installed"]), (True, False),
                        "install --json after Ctrl-C")
    harness.check_equal(catalog.installed_files(), [], "install folder after Ctrl-C")
    harness.check_equal(recorded(setup, "slow"), {}, "record after Ctrl-C")
    update = setup.status("slow")["updates"][0]
    harness.check_equal((update["state"], update.get("text")),
                        ("failed", catalog.updates[0].failure("Download cancelled.")),
                        "the update's state after Ctrl-C")


ROWS = [
    ("list", ["list"], 0, check_list),
    ("status good", ["status", code(1)], 0, check_good),
    *[("status refused " + kind, ["status", PRODUCTS[kind][0]], 0, check_refused(kind))
      for kind in REFUSALS],
    ("status unwritable", ["status", code(5)], 0, check_unwritable),
    ("status unknown", ["status", OTHER_CODE], 4, None),
    ("status held back by rollout", ["status", code(12)], 0, check_held),
    ("check offered", ["check", code(1)], 0, None),
    ("check offered, folder unwritable", ["check", code(5)], 0, None),
    ("check none offered", ["check", code(2)], 1, None),
    ("check unknown", ["check", OTHER_CODE], 4, None),
    ("check two codes", ["check", code(1), code(2)], 2, None),
    ("no command", [], 2, None),
    ("unknown option", ["list", "--all"], 2, None),
    ("install two", ["--json", "install", code(3)], 0, check_install),
    ("install not offered", ["install", code(1), "nothing-1"], 4, None),
    ("install interrupted", None, 130, None),
]


@pytest.mark.timeout(120)
@pytest.mark.parametrize("args,status,probe", [r[1:] for r in ROWS], ids=[r[0] for r in ROWS])
def test_palvane_updates(setup, args, status, probe):
    if args is None:
        interrupt_install(setup)
        return
    result = setup.run(*args)
    harness.check_equal(result.returncode, status,
                        "exit of %s; stdout %r, stderr %r" % (args, result.stdout, result.stderr))
    if probe:
        probe(setup, result)
