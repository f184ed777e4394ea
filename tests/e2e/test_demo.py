#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""`make demo` without a display: it ends by itself, keeps its screenshots,
shows the damaged update's failure, installs the good ones it was offered
while they were in a slot (the core an archive: its link moves to the new
tree, the one shipped before kept), resumes the download its server cut,
and shows the agent refusing a tampered feed."""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(HERE, "..", "..", "scripts", "demo")
# The driver stops itself at 150 s; this is the backstop.
TIMEOUT = 180


def main():
    build = os.path.abspath(sys.argv[1])
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    # Its own session: a timeout ends the demo and every process it started.
    demo = subprocess.Popen([DEMO, build], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        output, _ = demo.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(demo.pid, 15)
        output, _ = demo.communicate(timeout=30)
        return fail("still running after %d s" % TIMEOUT, output)
    if demo.returncode != 0:
        return fail("exit status %d" % demo.returncode, output)

    folder = os.path.join(build, "demo")
    shots = sorted(os.listdir(os.path.join(folder, "screenshots")))
    kinds = [os.path.splitext(name)[0][3:].split("-")[0] for name in shots]
    # One view of the window mid-download, and a second one when more slots
    # were moving later.
    downloading = kinds.count("downloading")
    others = [kind for kind in kinds[:-1] if kind != "downloading"]
    expected = ["offer"] * 4 + ["begin"] * 3 + ["install", "install", "failure"]
    if kinds[:4] != expected[:4] or sorted(others) != sorted(expected) \
            or not 1 <= downloading <= 2 or kinds[-1] != "done":
        return fail("screenshots %r" % shots, output)
    # A download the client left unfinished keeps its bytes for the next one.
    installed = sorted(n for n in os.listdir(os.path.join(folder, "installed"))
                       if not re.match(r"^\..+\.[0-9a-f]{16}\.part(\.json)?$", n))
    if installed != [".core-2.0", ".core-2.1", "core", "help-2.1.bin"] \
            or os.readlink(os.path.join(folder, "installed", "core")) != ".core-2.1" \
            or b"\n  core -> .core-2.1, trees beside it: .core-2.0, .core-2.1\n" not in output:
        return fail("installed files %r, or the archive update's link or trees" % installed, output)
    if not re.search(rb"\nRefused feed: .*\n  IsConnected\(.*\) = 0\n  agent: ", output):
        return fail("no refused feed in the summary", output)
    if not re.search(rb"\nArrived as a delta: help-2.1, ", output) \
            or not re.search(rb"\nHeld back: beta-2.2 2.2, held back by its rollout: bucket 7808 ", output):
        return fail("no delta or no update held back in the summary", output)
    resumed = re.search(rb"\nResumed: core-2.1, cut by the server at byte (\d+) of (\d+); "
                        rb"fetched again (\d+) bytes, not \2\n", output)
    cut, size, again = map(int, resumed.groups()) if resumed else (0, 0, -1)
    if not 0 < cut < size or again != size - cut:
        return fail("no resume from the byte the server cut at in the summary", output)
    print("PASS test_demo: %d screenshots, installed %s" % (len(shots), ", ".join(installed)))
    return 0


def fail(reason, output):
    print("FAIL test_demo: " + reason)
    print(output.decode("utf-8", "replace"))
    return 1


if __name__ == "__main__":
    sys.exit(main())
