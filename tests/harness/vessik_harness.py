"""Shared harness of Vessik's X11 and system tests.

Every test gets an X server of its own (Xvfb on a free display picked with
-displayfd), a private copy of the built Vessik bundle, and a clean environment
(no session bus and no system bus, a private XDG_RUNTIME_DIR and HOME). Nothing
here ever looks at the DISPLAY the tests were started with, nor reaches the
machine's own D-Bus buses: tests that need a bus start a private one
(PrivateBus), and logind is always a stand-in (StandInLogind).
"""

import os
import plistlib
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("VESSIK_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE_DIR = os.environ.get("VESSIK_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BUNDLE = os.path.join(BUILD_DIR, "Vessik.app")
INSTALL_BUNDLE = os.path.join(BUILD_DIR, "Vessik Install.app")
TOOLS_DIR = os.path.join(BUILD_DIR, "tests")

# Hotkeys for a Vessik that runs outside a PID namespace: Shift+Control+Alt+L
# locks, as shipped, and the shut-down hotkey is Shift+Control+Alt+F11, which
# no such test ever presses.
TEST_HOTKEYS = {"LockShift": 1, "LockControl": 1, "LockAlt": 1, "LockFunc": "L",
                "OffShift": 1, "OffControl": 1, "OffAlt": 1, "OffFunc": "F11"}
LOCK_CHORD = "LFSH+LCTL+LALT+AC09"  # that lock hotkey's keys, as xprobe presses them


def tool(name):
    """Path of a helper program built from tests/tools."""
    return os.path.join(TOOLS_DIR, name)


def wait_until(condition, timeout=10.0, interval=0.02, message="condition"):
    """Polls `condition` until it returns a true value, which is returned; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, message))
        time.sleep(interval)


class Xvfb:
    """An Xvfb server of the test's own, on a display it picks itself."""

    def __init__(self, width=1920, height=1080, extra_args=()):
        self.runtime = tempfile.TemporaryDirectory(prefix="vessik-x-")
        os.chmod(self.runtime.name, 0o700)
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-nolisten", "tcp",
             "-screen", "0", "%dx%dx24" % (width, height), *extra_args],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        home = os.path.join(self.runtime.name, "home")
        os.makedirs(home)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "DISPLAY": self.display,
            "HOME": home,
            "XDG_RUNTIME_DIR": self.runtime.name,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "DBUS_SESSION_BUS_ADDRESS": "disabled:",
            # A socket that does not exist: never the machine's system bus.
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.runtime.name, "no-system-bus"),
            "QT_QPA_PLATFORM": "xcb",
            "LANG": "C.UTF-8",
        }
        self._children = []

    def run(self, *args, check=True, timeout=20, **kw):
        """Runs a command against this display and returns its standard output."""
        out = subprocess.run(list(args), env=self.env, check=check, timeout=timeout,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
        return out.stdout

    def spawn(self, *args, env=None, **kw):
        """Starts a command against this display; it is ended when the server stops."""
        full_env = dict(self.env)
        full_env.update(env or {})
        proc = subprocess.Popen(list(args), env=full_env, **kw)
        self._children.append(proc)
        return proc

    def visible_windows(self, *search):
        """Ids of the visible windows that `xdotool search` finds by `search` ("--class", "Vessik")."""
        return self.run("xdotool", "search", "--onlyvisible", *search, check=False).split()

    def settings_windows(self):
        """Ids of Vessik's visible settings windows."""
        return self.visible_windows("--name", "^Vessik Settings$")

    def geometry(self, window):
        """X, Y, WIDTH and HEIGHT of a window, as xdotool tells them."""
        out = self.run("xdotool", "getwindowgeometry", "--shell", window)
        return {k: int(v) for k, v in (line.split("=") for line in out.split()) if k != "SCREEN"}

    def two_monitors(self):
        """Splits the screen into two RandR monitors, LEFT and RIGHT."""
        self.run("xrandr", "--setmonitor", "LEFT", "1920/508x1080/286+0+0", "screen")
        self.run("xrandr", "--setmonitor", "RIGHT", "1920/508x1080/286+1920+0", "none")

    def start_tray(self):
        """Starts trayer, an XEmbed tray host, and waits for it to own the tray selection."""
        proc = self.spawn("trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                          "--height", "28", "--transparent", "false", "--tint", "0x303030",
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: "trayer" in self.run("xwininfo", "-root", "-tree", check=False),
                   message="trayer's window")
        return proc

    def screenshot(self, path):
        """Saves the whole screen (override-redirect windows included) as PNG."""
        xwd = subprocess.run(["xwd", "-root", "-silent"], env=self.env, check=True, stdout=subprocess.PIPE).stdout
        subprocess.run(["convert", "xwd:-", path], input=xwd, check=True)

    def stop(self):
        # The server goes first, as at a logout: whatever runs on it ends by itself
        # then. Ending Vessik first during a lock would make its guard start a new
        # one, which could reach the next test's server on the same display number.
        # What the children started (a guard, a Vessik it started) is ended last.
        descendants = [(pid, start_time(pid)) for proc in self._children for pid in descendant_pids(proc.pid)]
        stop_process(self.proc)
        for proc in reversed(self._children):
            stop_process(proc)
        for pid, started in descendants:
            end_pid(pid, started)
        self.runtime.cleanup()


def stat_fields(pid):
    """The fields of /proc/PID/stat after the command name (state first), or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None


def child_pids(pid):
    """Pids of the running children of process `pid` (from /proc)."""
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = stat_fields(int(entry))
            if fields is not None and int(fields[1]) == pid and fields[0] != "Z":
                children.append(int(entry))
    return children


def descendant_pids(pid):
    """Pids of the running children of process `pid`, their children, and so on."""
    found = []
    for child in child_pids(pid):
        found += [child] + descendant_pids(child)
    return found


def start_time(pid):
    """When process `pid` started (clock ticks since boot), or None when it has ended."""
    fields = stat_fields(pid)
    return None if fields is None or fields[0] in ("Z", "X") else int(fields[19])


def end_pid(pid, started=None, timeout=5):
    """Ends process `pid`, started by this harness or by a process it started, unless
    it has ended; with `started` (its start_time), never a later process of that pid."""
    now = start_time(pid)
    if now is None or (started is not None and now != started):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while start_time(pid) == now:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            break
        time.sleep(0.01)


def process_ended(pid):
    """Whether process `pid` has ended (gone, or a zombie that nobody has reaped yet)."""
    return start_time(pid) is None


def stop_process(proc, timeout=5):
    """Ends a process that this harness started, by its pid only."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>%s</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
"""


class PrivateBus:
    """A dbus-daemon of the test's own ("system" or "session" kind), from a config file of its own."""

    def __init__(self, workdir, kind):
        config = os.path.join(workdir, kind + "-bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG % (kind, os.path.join(workdir, kind + "-bus-socket")))
        self.proc = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        self.proc.stdout.close()
        if not self.address:
            stop_process(self.proc)
            raise RuntimeError("dbus-daemon did not start")
        self._connection = None

    def connection(self):
        """The test's own connection to this bus (python3-dbus, no main loop: calls only)."""
        if self._connection is None:
            import dbus  # only the tests that use a bus need python3-dbus
            self._connection = dbus.bus.BusConnection(self.address)
        return self._connection

    def owner(self, name):
        """The unique name that owns `name`, or None."""
        bus = self.connection()
        return bus.get_name_owner(name) if bus.name_has_owner(name) else None

    def stop(self):
        if self._connection is not None:
            self._connection.close()
        stop_process(self.proc)


class StandInLogind:
    """python3-dbusmock's logind template on a private system bus, run by /usr/bin/python3.

    It has one session, SESSION_ID, which a Vessik started with XDG_SESSION_ID set
    to it takes as its own. Its log file records every call made to it.
    """

    SESSION_ID = "vt1"

    def __init__(self, bus, logfile):
        self.bus = bus
        self.logfile = logfile
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
        self.proc = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind",
                                      "--logfile", logfile], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_until(lambda: bus.owner("org.freedesktop.login1"), timeout=20,
                       message="the stand-in logind on the private bus")
        except AssertionError:
            stop_process(self.proc)
            raise
        self.manager = bus.connection().get_object("org.freedesktop.login1", "/org/freedesktop/login1")
        self.session_path = self.manager.AddSession(self.SESSION_ID, "seat0", os.getuid(), "vessik", True,
                                                    dbus_interface="org.freedesktop.DBus.Mock")
        self.session = bus.connection().get_object("org.freedesktop.login1", self.session_path)

    def inhibitors(self):
        """The inhibitors held, as (what, who, why, mode) tuples."""
        return [tuple(str(v) for v in i[:4]) for i in
                self.manager.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")]

    def prepare_for_sleep(self, starting):
        """Emits the manager's PrepareForSleep signal, as logind does before and after a sleep."""
        self.manager.EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [starting],
                                dbus_interface="org.freedesktop.DBus.Mock")

    def session_request(self, method):
        """"Lock" or "Unlock": the session emits the signal of that name (loginctl lock-session, unlock-session)."""
        getattr(self.session, method)(dbus_interface="org.freedesktop.login1.Session")

    def calls(self, method):
        """The arguments of every call of `method` in the log, in order, as logged ("True")."""
        with open(self.logfile, errors="replace") as f:
            return [line.split(" ", 2)[2].strip() for line in f if line.split(" ")[1:2] == [method]]

    def locked_hint(self):
        return bool(self.session.Get("org.freedesktop.login1.Session", "LockedHint",
                                     dbus_interface="org.freedesktop.DBus.Properties"))

    def stop(self):
        stop_process(self.proc)


class TempBundle:
    """A private copy of a built bundle whose settings a test may change."""

    def __init__(self, source=BUNDLE):
        self.dir = tempfile.TemporaryDirectory(prefix="vessik-bundle-")
        self.path = os.path.join(self.dir.name, os.path.basename(source))
        shutil.copytree(source, self.path, symlinks=True)
        self.settings_path = os.path.join(self.path, "Resources", "Settings.plist")
        self.executable = os.path.join(self.path, "Vessik")

    def settings(self):
        with open(self.settings_path, "rb") as f:
            return plistlib.load(f)

    def write_settings(self, values):
        with open(self.settings_path, "wb") as f:
            plistlib.dump(values, f, sort_keys=False)
        os.chmod(self.settings_path, 0o600)

    def update_settings(self, **changes):
        values = self.settings()
        values.update(changes)
        self.write_settings(values)

    def cleanup(self):
        self.dir.cleanup()


class VessikTestCase(unittest.TestCase):
    """A test case with its own Xvfb (self.x) and bundle copy (self.bundle)."""

    screen = (1920, 1080)
    xvfb_args = ()  # more arguments of the test's X server
    settings = {}  # written into the bundle's settings file before each test

    def setUp(self):
        self.x = Xvfb(*self.screen, extra_args=self.xvfb_args)
        self.addCleanup(self.x.stop)
        self.bundle = TempBundle()
        self.addCleanup(self.bundle.cleanup)
        if self.settings:
            self.bundle.update_settings(**self.settings)

    def start_vessik(self, env=None):
        """Starts the bundle's Vessik and waits until its tray icon window exists."""
        log = tempfile.NamedTemporaryFile(prefix="vessik-log-", suffix=".txt", delete=False)
        self.addCleanup(os.unlink, log.name)
        proc = self.x.spawn(self.bundle.executable, env=env, stdout=log, stderr=subprocess.STDOUT)
        self.vessik_log = log.name
        return proc  # ended by the display's stop

    def probe(self, *args):
        """Runs xprobe (tests/tools), another client of the test's display; returns its output."""
        return self.x.run(tool("xprobe"), *map(str, args)).strip()

    def locked(self):
        """Whether another client holds the keyboard (Vessik's lock, in these tests)."""
        return self.probe("grab-keyboard") == "1"

    def grab_status(self, key, mods):
        """"0" when another client may grab the combination, "10" when someone holds it."""
        return self.probe("grab-key", key, mods)

    def wait_for_lock_hotkey(self, chord=LOCK_CHORD):
        """Waits until a press of `chord` no longer reaches other programs: Vessik has grabbed it.

        Never by grabbing the combination: a probe that held it for a moment while
        Vessik registered would make Vessik's own grab fail.
        """
        wait_until(lambda: self.probe("delivered", chord) == "no", message="Vessik's grab of " + chord)

    def vessik_windows(self):
        """Ids of Vessik's visible windows: its tray icon, menu and windows."""
        return self.x.visible_windows("--class", "Vessik")

    def log_text(self):
        with open(self.vessik_log, errors="replace") as f:
            return f.read()

    def window_ids(self, name):
        """Ids of the windows whose name or class is `name` (xdotool search)."""
        out = self.x.run("xdotool", "search", "--name", "^%s$" % name, check=False)
        return [w for w in out.split() if w]


def main():
    unittest.main(verbosity=2)
