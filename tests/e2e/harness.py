# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs the real kelvarra binary in an X server of its own, on a private
session bus, and looks at it the way a screen reader does (AT-SPI).

A test script calls run(test, display=N) with a function taking a Session.
Everything the session starts runs in its own process group and is ended
when the test ends, passes or fails; the whole test has a hard deadline.
"""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import contract

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_SERVICE = os.path.join(HERE, "fake_update_service.py")
PYTHON = "/usr/bin/python3"
AT_SPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

CONTROL_PATH = "/kelvarra/test/FakeControl"
CONTROL_IFACE = "dev.kelvarra.test.FakeControl"

GOOD_CODE = "{1B0C5D2A-7E94-4F3B-A6D8-2C91E04F7A55}"
APP_TITLE = "Kelvarra"

# Generous for a loaded two-core machine, short enough to keep the suite quick.
WAIT = 15.0
POLL = 0.05


class TestFailure(Exception):
    pass


def fail(reason):
    raise TestFailure(reason)


def check(condition, reason):
    if not condition:
        fail(reason)


def check_equal(actual, expected, what):
    if actual != expected:
        fail("%s: expected %r, got %r" % (what, expected, actual))


def wait_until(what, probe, timeout=WAIT):
    """Polls probe() until it returns something truthy; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            fail("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(POLL)


class Process:
    """A child in its own process group, output going to files."""

    def __init__(self, name, args, env, workdir, stdout=None):
        self.name = name
        self.args = args
        self.stdout_path = os.path.join(workdir, name + ".out")
        self.stderr_path = os.path.join(workdir, name + ".err")
        out = stdout if stdout is not None else open(self.stdout_path, "wb")
        with open(self.stderr_path, "wb") as err:
            self.popen = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, start_new_session=True)
        if stdout is None:
            out.close()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def wait_exit(self, timeout=WAIT):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            fail("%s still running %.0f s later" % (self.name, timeout))

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        """Ends the process and anything left in its group."""
        for sig, grace in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 3.0)):
            try:
                os.killpg(self.popen.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                continue
            # The leader is gone; its group may not be.
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            break
        if self.popen.poll() is None:
            self.popen.wait(1)


class Session:
    """One test's X server, bus, accessibility bus, fake service and client."""

    def __init__(self, name, display, kelvarra, artifacts):
        self.name = name
        self.kelvarra = kelvarra
        self.artifacts = artifacts
        self.workdir = tempfile.mkdtemp(prefix="kelvarra-e2e-%s-" % name)
        self.runtime_dir = os.path.join(self.workdir, "runtime")
        os.mkdir(self.runtime_dir, 0o700)
        self.service_dir = os.path.join(self.workdir, "services")
        os.mkdir(self.service_dir)
        # Added to the bus daemon's environment, which activated services inherit.
        self.bus_env = {}
        self.agent_log = None
        self.first_display = display
        self.display = None
        self.bus_address = None
        self.processes = []
        self.pidfiles = []
        self._bus = None
        self._a11y = None
        self._x = None

    # --- environment -----------------------------------------------------

    def base_env(self):
        env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": self.workdir,
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "XDG_RUNTIME_DIR": self.runtime_dir,
        }
        if self.display:
            env["DISPLAY"] = self.display
        if self.bus_address:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
        return env

    def start(self, name, args, env=None, stdout=None):
        proc = Process(name, args, env if env is not None else self.base_env(), self.workdir,
                       stdout)
        self.processes.append(proc)
        return proc

    # --- X server ----------------------------------------------------------

    def start_display(self):
        """Xvfb on the test's display number, or a later free one."""
        for number in range(self.first_display, self.first_display + 200, 20):
            if os.path.exists("/tmp/.X%d-lock" % number) or \
                    os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            proc = self.start("xvfb-%d" % number,
                              ["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24",
                               "-noreset", "-nolisten", "tcp"])
            if self._wait_for_x(proc, number):
                self.display = ":%d" % number
                return self.display
            proc.stop()
        fail("no free X display from :%d on" % self.first_display)

    def _wait_for_x(self, proc, number):
        socket = "/tmp/.X11-unix/X%d" % number
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if not proc.running():
                return False  # lost the race for that number
            if os.path.exists(socket) and self._holds_lock(proc, number):
                try:
                    from Xlib import display as xdisplay
                    xdisplay.Display(":%d" % number).close()
                    return True
                except Exception:
                    pass
            time.sleep(POLL)
        fail("Xvfb :%d did not come up" % number)

    @staticmethod
    def _holds_lock(proc, number):
        """Whether the server on that number is ours, not another test's."""
        try:
            with open("/tmp/.X%d-lock" % number, encoding="ascii") as f:
                return int(f.read().strip()) == proc.pid
        except (OSError, ValueError):
            return False

    def x(self):
        if self._x is None:
            self._x = XScreen(self.display)
        return self._x

    def screenshot(self, file_name):
        """The root window as a PNG under the artifacts folder."""
        os.makedirs(self.artifacts, exist_ok=True)
        path = os.path.join(self.artifacts, file_name)
        result = subprocess.run(["import", "-window", "root", path], env=self.base_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=WAIT,
                                check=False)
        check(result.returncode == 0 and os.path.exists(path),
              "screenshot failed: %s" % result.stdout.decode("utf-8", "replace"))
        return path

    # --- buses ---------------------------------------------------------------

    def start_bus(self):
        """A private session bus that activates only what the test installs."""
        config = os.path.join(self.workdir, "session.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%s</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%s</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""" % (self.workdir, self.service_dir))
        env = self.base_env()
        env.update(self.bus_env)
        read_end, write_end = os.pipe()
        with os.fdopen(write_end, "wb") as out:
            self.start("dbus-daemon", ["dbus-daemon", "--config-file=" + config,
                                       "--print-address=1", "--nofork"], env=env, stdout=out)
        with os.fdopen(read_end, "rb") as source:
            ready, _, _ = select.select([source], [], [], WAIT)
            check(ready, "the private dbus-daemon printed no address")
            address = source.readline().decode().strip()
        check(address.startswith("unix:"), "the private dbus-daemon printed %r" % address)
        self.bus_address = address
        return address

    def bus(self):
        """The test's own connection to the private bus (blocking calls only)."""
        if self._bus is None:
            import dbus
            self._bus = dbus.bus.BusConnection(self.bus_address)
        return self._bus

    def has_owner(self, name):
        return bool(self.bus().name_has_owner(name))

    def impostor_signal(self, path, member, signature, *args):
        """Sends an item event from the test's own connection, not the service's."""
        import dbus.lowlevel
        message = dbus.lowlevel.SignalMessage(path, contract.EVENTS_IFACE, member)
        message.append(*args, signature=signature)
        self.bus().send_message(message)
        self.bus().flush()

    def start_accessibility(self):
        """The accessibility bus and registry, reached through the private bus."""
        self.start("at-spi-bus-launcher", [AT_SPI_LAUNCHER, "--launch-immediately", "--a11y=1"])
        wait_until("org.a11y.Bus on the private bus", lambda: self.has_owner("org.a11y.Bus"))

    def a11y(self):
        if self._a11y is None:
            # libatspi finds its bus through these when it starts.
            os.environ["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
            os.environ["DISPLAY"] = self.display
            self._a11y = Accessibility()
        return self._a11y

    def start_gui(self):
        self.start_display()
        self.start_bus()
        self.start_accessibility()

    # --- the fake service ------------------------------------------------------

    def _fake_config(self, config):
        config = dict(config)
        config["pidfile"] = os.path.join(self.workdir, "fake-%d.pid" % len(self.pidfiles))
        self.pidfiles.append(config["pidfile"])
        path = os.path.join(self.workdir, "fake-%d.json" % len(self.pidfiles))
        with open(path, "w", encoding="utf-8") as f:
            json.dump(config, f)
        return path

    def start_fake(self, config):
        """Starts the fake service now and waits until it owns its name."""
        self.start("fake-service", [PYTHON, FAKE_SERVICE, self._fake_config(config)])
        wait_until("the fake service to own " + contract.SERVICE_NAME,
                   lambda: self.has_owner(contract.SERVICE_NAME))
        return FakeService(self)

    def install_fake(self, config):
        """Makes the fake service activatable: the bus starts it on demand."""
        with open(os.path.join(self.service_dir, contract.SERVICE_NAME + ".service"), "w",
                  encoding="utf-8") as f:
            f.write("[D-BUS Service]\nName=%s\nExec=%s %s %s\n"
                    % (contract.SERVICE_NAME, PYTHON, FAKE_SERVICE, self._fake_config(config)))
        return FakeService(self)

    # --- the real agent ---------------------------------------------------------

    def use_agent(self, activation_dir, args, env=None, log=None):
        """Makes the bus start the build-tree agent, with these options, when
        the client asks for the service. Call before start_bus."""
        check(self.bus_address is None, "use_agent after the bus started")
        check(all(" " not in a for a in args), "agent options are split at spaces: %r" % args)
        self.service_dir = activation_dir
        self.agent_log = log or os.path.join(self.workdir, "agent.log")
        self.bus_env.update(env or {})
        self.bus_env["PALVANE_AGENT_ARGS"] = " ".join(args)
        self.bus_env["PALVANE_AGENT_LOG"] = self.agent_log

    def agent_log_text(self):
        if self.agent_log is None:
            return ""
        try:
            with open(self.agent_log, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    # --- the client ------------------------------------------------------------

    def client_env(self):
        env = self.base_env()
        env.update({
            "QT_QPA_PLATFORM": "xcb",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        })
        return env

    def start_client(self, arguments, env=None):
        return Client(self, self.start("kelvarra", [self.kelvarra] + arguments,
                                       env if env is not None else self.client_env()))

    # --- the end ---------------------------------------------------------------

    def close(self):
        if self._x is not None:
            self._x.close()
        for proc in reversed(self.processes):
            proc.stop()
        # An activated fake runs in the bus's group, already ended; this
        # catches one that left it.
        for pidfile in self.pidfiles:
            try:
                with open(pidfile, encoding="utf-8") as f:
                    pid = int(f.read())
                # The number may belong to someone else by now.
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    if b"fake_update_service.py" in f.read():
                        os.kill(pid, signal.SIGKILL)
            except (OSError, ValueError):
                pass
        _reap_orphans()
        shutil.rmtree(self.workdir, ignore_errors=True)


class FakeService:
    """The test's side of the fake service's control object."""

    def __init__(self, session):
        self.session = session

    def _control(self):
        import dbus
        obj = self.session.bus().get_object(contract.SERVICE_NAME, CONTROL_PATH, introspect=False)
        return dbus.Interface(obj, CONTROL_IFACE)

    def calls(self, member=None):
        calls = json.loads(str(self._control().Calls(timeout=WAIT)))
        return [c for c in calls if member is None or c[1] == member]

    def emit(self, item, event, *args):
        self._control().Emit(item, event, json.dumps(list(args)), timeout=WAIT)

    def wait_calls(self, member, count, what=None):
        return wait_until(what or "%d %s call(s) at the fake service" % (count, member),
                          lambda: len(self.calls(member)) >= count and self.calls(member))


class Client:
    """The kelvarra process and what the test sees of it."""

    def __init__(self, session, proc):
        self.session = session
        self.proc = proc
        self._app = None
        self.titles_seen = set()

    @property
    def pid(self):
        return self.proc.pid

    def stderr(self):
        return self.proc.stderr()

    def wait_exit(self, timeout=WAIT):
        return self.proc.wait_exit(timeout)

    def app(self):
        if self._app is None:
            a11y = self.session.a11y()

            def probe():
                check(self.proc.running(), "kelvarra exited early with status %s; stderr:\n%s"
                      % (self.proc.popen.returncode, self.stderr()))
                return a11y.application(self.pid)

            self._app = wait_until("kelvarra on the accessibility bus", probe)
        return self._app

    def windows(self):
        """Top-level windows shown now, as (title, accessible); never two prompts."""
        shown = self.session.a11y().windows(self.app())
        self.titles_seen.update(title for title, _ in shown)
        prompts = [title for title, _ in shown if title != "Form1"]
        check(len(prompts) <= 1, "two prompts on screen at once: %r" % prompts)
        return shown

    def window(self, title):
        for shown_title, acc in self.windows():
            if shown_title == title:
                return acc
        return None

    def wait_window(self, title, timeout=WAIT):
        def probe():
            check(self.proc.running(), "kelvarra exited (status %s) while waiting for %r; "
                  "stderr:\n%s" % (self.proc.popen.returncode, title, self.stderr()))
            return self.window(title)
        return wait_until("a window titled %r" % title, probe, timeout)

    def wait_prompt(self, title=APP_TITLE, timeout=WAIT):
        return Prompt(self, title, self.wait_window(title, timeout))

    def form(self, timeout=WAIT):
        return MainWindow(self, self.wait_window("Form1", timeout))

    def answer(self, title, text, button, buttons=None):
        """Waits for a prompt, checks its text (and buttons) and presses one."""
        prompt = self.wait_prompt(title)
        check_equal(prompt.text, text, "text of the prompt titled %r" % title)
        if buttons is not None:
            check_equal(prompt.button_names, buttons, "buttons of the prompt %r" % text)
        prompt.press(button)
        return prompt

    def close_main_window(self):
        self.session.x().close_window("Form1")


class Prompt:
    """A message box on screen: its title, text and buttons."""

    def __init__(self, client, title, acc):
        self.client = client
        self.title = title
        a11y = client.session.a11y()
        labels = [name for name in a11y.descendant_names(acc, a11y.LABEL) if name]
        check(len(labels) == 1, "prompt %r shows %d texts: %r" % (title, len(labels), labels))
        self.text = labels[0]
        self.buttons = a11y.descendants(acc, a11y.PUSH_BUTTON)
        self.button_names = [a11y.name(b) for b in self.buttons]

    def press(self, name):
        a11y = self.client.session.a11y()
        matches = [b for b in self.buttons if a11y.name(b) == name]
        check(len(matches) == 1, "prompt %r has no single button %r (has %r)"
              % (self.text, name, self.button_names))
        a11y.press(matches[0])
        # Gone (or replaced by another text) before the next step looks.
        wait_until("the prompt %r to close after %s" % (self.text, name), self._closed)

    def _closed(self):
        if not self.client.proc.running():
            return True
        acc = self.client.window(self.title)
        if acc is None:
            return True
        a11y = self.client.session.a11y()
        try:
            return self.text not in a11y.descendant_names(acc, a11y.LABEL)
        except Exception:
            return False  # half torn down; look again


# The main window's controls as their twips place them, in device pixels.
FORM_CONTROLS = {
    "btnCancel3": (7080, 1800), "btnCancel2": (3840, 1800), "btnCancel1": (600, 1800),
    "lbl3": (6600, 240), "lbl2": (3360, 240), "lbl1": (120, 240),
    "lblStatus3": (6600, 720), "lblStatus2": (3360, 720), "lblStatus1": (120, 720),
}


class MainWindow:
    """Form1's controls, found by where they sit in the window."""

    def __init__(self, client, acc):
        self.client = client
        self.acc = acc

    def controls(self):
        a11y = self.client.session.a11y()
        wx, wy, _, _ = a11y.extents(self.acc)
        found = {}
        for child in a11y.descendants(self.acc, None):
            x, y, w, h = a11y.extents(child)
            for name, (left, top) in FORM_CONTROLS.items():
                if abs(x - wx - left // 15) <= 2 and abs(y - wy - top // 15) <= 2 and w > 0 and h > 0:
                    found[name] = child
        missing = sorted(set(FORM_CONTROLS) - set(found))
        check(not missing, "controls not found in Form1 by position: %r" % missing)
        return found

    def text(self, name):
        a11y = self.client.session.a11y()
        return a11y.name(self.controls()[name])

    def texts(self):
        a11y = self.client.session.a11y()
        return {name: a11y.name(acc) for name, acc in self.controls().items()}

    def wait_text(self, name, expected):
        last = [None]

        def probe():
            last[0] = self.text(name)
            return last[0] == expected
        try:
            wait_until("%s to read %r" % (name, expected), probe)
        except TestFailure as e:
            fail("%s; it reads %r" % (e, last[0]))

    def press(self, name):
        self.client.session.a11y().press(self.controls()[name])


class Accessibility:
    """Thin layer over libatspi; every read goes to the application afresh."""

    def __init__(self):
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi
        self.Atspi = Atspi
        Atspi.init()
        Atspi.set_timeout(5000, 15000)
        self.LABEL = Atspi.Role.LABEL
        self.PUSH_BUTTON = Atspi.Role.PUSH_BUTTON
        self.desktop = Atspi.get_desktop(0)

    def _pump(self):
        # Lets libatspi take in registry news about applications.
        from gi.repository import GLib
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass

    def application(self, pid):
        self._pump()
        self.desktop.clear_cache()
        for i in range(self.desktop.get_child_count()):
            app = self.desktop.get_child_at_index(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                continue
        return None

    def name(self, acc):
        acc.clear_cache()
        return acc.get_name()

    def windows(self, app):
        self._pump()
        shown = []
        try:
            app.clear_cache()
            count = app.get_child_count()
        except Exception:
            return shown  # the application has gone
        for i in range(count):
            child = app.get_child_at_index(i)
            try:
                states = child.get_state_set()
                if states.contains(self.Atspi.StateType.SHOWING):
                    shown.append((child.get_name(), child))
            except Exception:
                continue  # closed while we looked
        return shown

    def descendants(self, acc, role):
        acc.clear_cache()
        found = []
        for i in range(acc.get_child_count()):
            child = acc.get_child_at_index(i)
            if child is None:
                continue
            if role is None or child.get_role() == role:
                found.append(child)
            found.extend(self.descendants(child, role))
        return found

    def descendant_names(self, acc, role):
        return [self.name(d) for d in self.descendants(acc, role)]

    def extents(self, acc):
        rect = acc.get_extents(self.Atspi.CoordType.SCREEN)
        return rect.x, rect.y, rect.width, rect.height

    def press(self, acc):
        names = [acc.get_action_name(i) for i in range(acc.get_n_actions())]
        check("Press" in names, "%r offers no Press action (has %r)" % (acc.get_name(), names))
        check(acc.do_action(names.index("Press")), "Press on %r failed" % acc.get_name())


class XScreen:
    """What the X server itself shows, with no window manager in between."""

    def __init__(self, display):
        from Xlib import display as xdisplay
        self.dpy = xdisplay.Display(display)
        self.root = self.dpy.screen().root
        self.NET_WM_NAME = self.dpy.intern_atom("_NET_WM_NAME")
        self.UTF8_STRING = self.dpy.intern_atom("UTF8_STRING")

    def close(self):
        self.dpy.close()

    def _title(self, window):
        prop = window.get_full_property(self.NET_WM_NAME, self.UTF8_STRING)
        if prop is not None:
            value = prop.value
            return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)
        name = window.get_wm_name()
        return name if isinstance(name, str) else None

    def mapped_titles(self):
        from Xlib import X
        titles = []
        for window in self.root.query_tree().children:
            try:
                if window.get_attributes().map_state == X.IsViewable:
                    titles.append(self._title(window))
            except Exception:
                continue
        return titles

    def close_window(self, title):
        """Sends WM_DELETE_WINDOW as a window manager would for the close button."""
        from Xlib import X
        from Xlib.protocol import event
        protocols = self.dpy.intern_atom("WM_PROTOCOLS")
        delete = self.dpy.intern_atom("WM_DELETE_WINDOW")
        targets = [w for w in self.root.query_tree().children if self._title(w) == title]
        check(targets, "no X window titled %r to close" % title)
        for window in targets:
            message = event.ClientMessage(window=window, client_type=protocols,
                                          data=(32, [delete, X.CurrentTime, 0, 0, 0]))
            window.send_event(message, event_mask=X.NoEventMask)
        self.dpy.flush()


def _become_subreaper():
    """Orphans of our children (the accessibility bus, say) come to us to be reaped."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def _reap_orphans():
    deadline = time.monotonic() + 2.0
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(POLL)


def _deadline_reached(signum, frame):
    raise TestFailure("the test ran past its deadline")


def _terminated(signum, frame):
    raise TestFailure("the test was told to stop (signal %d)" % signum)


def run(test, display, deadline=60):
    """Runs test(session) with the kelvarra path from argv[1]; exits 0 or 1."""
    if len(sys.argv) < 2:
        sys.exit("usage: %s path/to/kelvarra [artifacts-folder]" % sys.argv[0])
    kelvarra = os.path.abspath(sys.argv[1])
    artifacts = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(kelvarra), "tests", "e2e", "artifacts")
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    signal.signal(signal.SIGALRM, _deadline_reached)
    signal.signal(signal.SIGTERM, _terminated)
    signal.alarm(deadline)
    _become_subreaper()
    started = time.monotonic()
    session = Session(name, display, kelvarra, artifacts)
    status = 1
    try:
        test(session)
        status = 0
    except TestFailure as e:
        print("FAIL %s: %s" % (name, e))
        _report_client(session)
    except Exception:
        print("FAIL %s: the test itself broke" % name)
        traceback.print_exc(file=sys.stdout)
        _report_client(session)
    finally:
        signal.alarm(0)
        try:
            session.close()
        except Exception:
            traceback.print_exc(file=sys.stdout)
            status = 1
    if status == 0:
        print("PASS %s (%.1f s)" % (name, time.monotonic() - started))
    sys.stdout.flush()
    sys.exit(status)


def _report_client(session):
    for proc in session.processes:
        if proc.name == "kelvarra":
            print("--- kelvarra stderr ---")
            print(proc.stderr())
    log = session.agent_log_text()
    if log:
        print("--- agent log ---")
        print(log)
