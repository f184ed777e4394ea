#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Publishes the demo product with scripts/make-demo-feed, serves its feed
and payloads over HTTP on 127.0.0.1, and runs the client for it against the
build-tree agent, on a private session bus; server and bus end with the
demo (scripts/demo calls this).

    demo_driver.py BUILD_DIR

With a display (DISPLAY or WAYLAND_DISPLAY) the user answers the prompts.
Without one the client runs in Xvfb; every prompt is answered with its
default button through AT-SPI, a screenshot is kept of each prompt and of
the window while downloads run, and the window is closed once every
download has ended.

Either way it then asks the agent about the product whose feed is a tampered
copy, and shows the agent refusing it. The server cuts the core update's
first download halfway, once; the summary shows how much of it was fetched
again when the agent resumed.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import agent_catalog
import contract
import harness
from harness import TestFailure, check, check_equal, fail

# Slow enough that the downloads run for several seconds side by side; a
# person answering the prompts needs longer than the autopilot.
RATE_KBPS_HEADLESS = 512
RATE_KBPS_WATCHED = 160
# Headless only: the whole run, start to end.
DEADLINE = 150
FIRST_DISPLAY = 170
SLOTS = 3
# An update that is accepted and installed, so that its download runs anyway.
CUT = "/payloads/core-2.1.tar"
PERCENT = re.compile(r"Percent complete: (-?\d+)%")
XDG = {"xdg-state": "XDG_STATE_HOME", "xdg-data": "XDG_DATA_HOME",
       "xdg-cache": "XDG_CACHE_HOME", "xdg-config": "XDG_CONFIG_HOME"}
MAKE_DEMO_FEED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                              "make-demo-feed")


class Interrupted(Exception):
    pass


def show_refused_feed(session, folder):
    """Asks the agent about the product whose feed a hijacked mirror changed,
    and prints its answer with the agent's log line about that feed."""
    code, feed = folder.mirror_product()
    agent = session.bus().get_object(contract.SERVICE_NAME, contract.SERVICE_PATH)
    connected = int(agent.IsConnected(code, dbus_interface=contract.AGENT_IFACE, timeout=30))
    lines = [line for line in session.agent_log_text().splitlines() if feed in line]
    print("\nRefused feed: a tampered copy at %s (one payload address changed, the "
          "vendor's signature kept)" % feed)
    print("  IsConnected(%s) = %d" % (code, connected))
    for line in lines:
        print("  agent: " + line)
    check(connected == contract.FALSE and lines, "the agent did not refuse the tampered feed")


def show_delivery(folder):
    """Which update came as a delta and which the staged rollout held back,
    in the agent's words."""
    if not os.path.exists(folder.log):
        return
    with open(folder.log, encoding="utf-8", errors="replace") as f:
        log = f.read()
    for m in re.finditer(r"verified (\S+) (\d+) bytes from a delta of (\d+)", log):
        print("Arrived as a delta: %s, %s bytes made from a delta of %s bytes against the "
              "copy installed before" % m.groups())
    for m in re.finditer(r": (\S+) (\S+) (held back by its rollout: .*)", log):
        print("Held back: %s %s, %s (released to 10 %% of machines; this one's id is in %s)"
              % (m.group(1), m.group(2), m.group(3), os.path.join(folder.root, "machine-id")))


def show_resume(folder, server):
    """Where the server cut the download, and what it sent for it since, by
    its own count: the rest only when the agent resumed."""
    if CUT not in server.cut_at:
        return
    size = os.path.getsize(os.path.join(folder.www, CUT.lstrip("/")))
    cut = server.cut_at[CUT]
    print("Resumed: %s, cut by the server at byte %d of %d; fetched again %d bytes, not %d"
          % (os.path.splitext(os.path.basename(CUT))[0], cut, size, server.sent[CUT] - cut, size))


class DemoFolder:
    """BUILD/demo as scripts/make-demo-feed left it, and what the run adds."""

    def __init__(self, build):
        self.build = build
        self.root = os.path.join(build, "demo")
        self.screenshots = os.path.join(self.root, "screenshots")
        self.install_dir = os.path.join(self.root, "installed")
        self.www = os.path.join(self.root, "www")
        self.products = os.path.join(self.root, "products")
        self.log = os.path.join(self.root, "agent.log")
        self.activation = os.path.join(build, "agent", "activation")

    def publish(self, feed_url):
        """The vendor's part, with palvane-feed; returns the product code."""
        tool = os.path.join(self.build, "tools", "palvane-feed", "palvane-feed")
        done = subprocess.run([MAKE_DEMO_FEED, tool, self.root, feed_url],
                              stdout=subprocess.PIPE, timeout=60)
        check(done.returncode == 0, "make-demo-feed ended with status %d" % done.returncode)
        return done.stdout.decode().strip()

    def prepare(self):
        shutil.rmtree(self.screenshots, ignore_errors=True)
        os.makedirs(self.screenshots)
        for sub in XDG:
            shutil.rmtree(os.path.join(self.root, sub), ignore_errors=True)
        if os.path.exists(self.log):
            os.remove(self.log)

    def agent_args(self, rate_kbps):
        return ["--products", self.products,
                "--state-file", os.path.join(self.root, "state", "installed.json"),
                "--rate-limit", str(rate_kbps),
                "--machine-id", os.path.join(self.root, "machine-id")]

    def agent_env(self):
        # Nothing of the agent's may land in the user's home.
        return {name: os.path.join(self.root, sub) for sub, name in XDG.items()}

    def mirror_product(self):
        with open(os.path.join(self.products, "mirror.json"), encoding="utf-8") as f:
            product = json.load(f)
        return product["code"], product["feed"]

    def installed(self):
        if not os.path.isdir(self.install_dir):
            return []
        return sorted(n for n in os.listdir(self.install_dir) if not n.startswith("."))

    def show_trees(self):
        """Each archive update's link and the trees beside it: the current one
        and the one it replaced."""
        for name in self.installed():
            link = os.path.join(self.install_dir, name)
            if not os.path.islink(link):
                continue
            trees = sorted(n for n in os.listdir(self.install_dir) if n.startswith("." + name + "-")
                           and os.path.isdir(os.path.join(self.install_dir, n)))
            print("  %s -> %s, trees beside it: %s" % (name, os.readlink(link), ", ".join(trees)))


def classify(title, text):
    """What a prompt is about, as the user reads it."""
    if title == "Update Available":
        return "install-offer"
    if text.startswith("Update available: "):
        return "offer"
    if text.startswith("OnDownloadBegin for: "):
        return "begin"
    if text.startswith("Run-time error"):
        return "error"
    if text in ("No updates available for this product.", "IsConnected returned False"):
        return "notice"
    return "failure"


NAMED = [re.compile(r"Update available: (.*)\r\nStart Download\?", re.S),
         re.compile(r"OnDownloadBegin for: (.*)", re.S),
         re.compile(r"An Update \[(.*)\] has been downloaded", re.S)]


def shot_name(kind, text):
    """The prompt's kind, and the update's name when the text has it."""
    for pattern in NAMED:
        match = pattern.match(text)
        if match:
            return kind + "-" + re.sub(r"[^a-z0-9]+", "-", match[1].lower()).strip("-")[:40]
    return kind


class Autopilot:
    """A user who takes the default answer of every prompt, with a camera."""

    def __init__(self, session, client):
        self.session = session
        self.client = client
        self.started = time.monotonic()
        self.shots = []
        self.offers = 0
        self.accepted = {}  # slot -> whether the update it holds now was accepted
        self.completions = 0
        self.moving_in_shot = 0

    def say(self, line):
        print("[%5.1f s] %s" % (time.monotonic() - self.started, line), flush=True)

    def snap(self, name):
        path = self.session.screenshot("%02d-%s.png" % (len(self.shots) + 1, name))
        self.shots.append(path)
        return os.path.basename(path)

    def run(self):
        form = None
        while True:
            check(self.client.proc.running(), "kelvarra ended by itself (status %s); stderr:\n%s"
                  % (self.client.proc.popen.returncode, self.client.stderr()))
            prompt = self.open_prompt()
            if prompt is not None:
                self.answer(prompt)
                continue
            form = form or self.shown_form()
            if form is not None and self.watch(form):
                return
            time.sleep(harness.POLL)

    def open_prompt(self):
        for title, acc in self.client.windows():
            if title == "Form1":
                continue
            try:
                return harness.Prompt(self.client, title, acc)
            except TestFailure:
                return None  # still being laid out; look again
        return None

    def shown_form(self):
        acc = self.client.window("Form1")
        return harness.MainWindow(self.client, acc) if acc is not None else None

    def answer(self, prompt):
        kind = classify(prompt.title, prompt.text)
        button = self.default_button(prompt)
        shot = self.snap(shot_name(kind, prompt.text))
        self.say("%-13s %r -> %s  (%s)" % (kind, prompt.text, button, shot))
        prompt.press(button)
        if kind == "offer":
            self.offers += 1
            self.accepted[min(self.offers, SLOTS)] = button == "Yes"
        elif kind in ("install-offer", "failure"):
            self.completions += 1

    def default_button(self, prompt):
        a11y = self.session.a11y()
        defaults = [b for b in prompt.buttons
                    if b.get_state_set().contains(a11y.Atspi.StateType.IS_DEFAULT)]
        check(len(defaults) == 1, "prompt %r has %d default buttons" % (prompt.text, len(defaults)))
        return a11y.name(defaults[0])

    def watch(self, form):
        """Screenshots of the downloads; True once every one has ended."""
        moving = [s for s in range(1, SLOTS + 1)
                  if 0 < self.percent(form.text("lblStatus%d" % s)) < 100]
        # The first moment anything moves, and again if more slots move later.
        if len(moving) > self.moving_in_shot and self.moving_in_shot < 2:
            self.moving_in_shot = len(moving)
            self.say("downloading in slots %s  (%s)"
                     % (", ".join(map(str, moving)), self.snap("downloading")))
        if self.completions < sum(self.accepted.values()):
            return False
        self.say("every download has ended  (%s)" % self.snap("done"))
        return True

    @staticmethod
    def percent(status):
        match = PERCENT.match(status)
        return int(match[1]) if match else -1


def run_headless(session, code, folder):
    print("No display: running in Xvfb, taking the default answer of every prompt.", flush=True)
    session.start_gui()
    client = session.start_client(["-pc" + code])
    pilot = Autopilot(session, client)
    pilot.run()
    client.close_main_window()
    check_equal(client.wait_exit(), 0, "kelvarra's exit status after closing its window")
    check(pilot.moving_in_shot > 0, "no screenshot of the window mid-download: no progress was seen")
    print("\nScreenshots in %s:" % folder.screenshots)
    for path in pilot.shots:
        print("  " + os.path.basename(path))
    show_refused_feed(session, folder)
    return 0


def run_with_display(session, code, folder):
    session.start_bus()
    env = dict(os.environ)
    env["DBUS_SESSION_BUS_ADDRESS"] = session.bus_address
    env.pop("DBUS_STARTER_ADDRESS", None)
    client = session.start("kelvarra", [session.kelvarra, "-pc" + code], env)
    print("Answer the prompts; close the window to end the demo.", flush=True)
    status = client.popen.wait()
    sys.stderr.write(client.stderr())
    show_refused_feed(session, folder)
    return status


def interrupted(signum, frame):
    raise Interrupted("stopped by signal %d" % signum)


def deadline_reached(signum, frame):
    raise TestFailure("the headless demo did not end within %d s" % DEADLINE)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: %s BUILD_DIR" % sys.argv[0])
    build = os.path.abspath(sys.argv[1])
    folder = DemoFolder(build)
    folder.prepare()
    headless = not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    # SIGINT too: a shell that starts us in the background would have it ignored.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupted)
    harness._become_subreaper()
    session = harness.Session("demo", FIRST_DISPLAY, os.path.join(build, "kelvarra"),
                              folder.screenshots)
    status = 1
    server = None
    try:
        # The server first: the product file names its port.
        server = agent_catalog.serve(folder.www, cut=CUT)
        feed_url = "http://127.0.0.1:%d/updates.json" % server.server_address[1]
        code = folder.publish(feed_url)
        print("Serving the signed feed at " + feed_url, flush=True)
        rate = RATE_KBPS_HEADLESS if headless else RATE_KBPS_WATCHED
        session.use_agent(folder.activation, folder.agent_args(rate), folder.agent_env(),
                          folder.log)
        if headless:
            signal.signal(signal.SIGALRM, deadline_reached)
            signal.alarm(DEADLINE)
            status = run_headless(session, code, folder)
        else:
            status = run_with_display(session, code, folder)
    except Interrupted as e:
        print("\ndemo: interrupted (%s); stopping the bus, the agent and the client" % e)
        status = 130
    except TestFailure as e:
        print("demo: FAILED: %s" % e)
        harness._report_client(session)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not stop the clean-up
        session.close()
        if server is not None:
            server.shutdown()
            server.server_close()
    print("Installed in %s: %s" % (folder.install_dir, ", ".join(folder.installed()) or "nothing"))
    folder.show_trees()
    show_delivery(folder)
    if server is not None:
        show_resume(folder, server)
    print("Agent log: %s" % folder.log)
    return status


if __name__ == "__main__":
    sys.exit(main())
