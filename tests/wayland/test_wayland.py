"""Vessik on Wayland, against sway 1.10 headless from a Debian 13 root.

Debian 12's sway (1.7) lacks the session lock, so a Debian 13 root is made
once with debootstrap (tests/harness/make-root) and cached in the user's cache
folder. Each test runs that sway in a mount namespace of its own, chrooted into
the root, with its XDG_RUNTIME_DIR shared with the host; Vessik runs on the
host. grim (screenshots), wtype (typing through the virtual keyboard) and
swaymsg run inside the root. Where the root cannot be made the tests are
skipped with the reason, never passed. Vessik runs outside any PID namespace:
the shut-down hotkey is F9, which no test presses. With VESSIK_SCREENSHOT_DIR
set, the first output after a wrong password is saved as wayland-lock.png.
"""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from vessik_harness import TempBundle, main, process_ended, stop_process, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
PASSWORD = "secret"
DESKTOP = (255, 0, 255)  # the desktop's background, which a lock must hide
WINDOW = (0, 255, 0)  # a program's window on it
DISABLED = (180, 180, 180)  # the grey of the disabled password field
LINES = "1280x140+0+385"  # below the field on the first 1280x720 output
SWAY_CONFIG = """
xwayland disable
output * bg #ff00ff solid_color
default_border none
%s
"""


def make_root():
    """The cached Debian 13 root, made on first use; skips the test when it cannot be made."""
    started = time.monotonic()
    run = subprocess.run([os.path.join(HERE, "..", "harness", "make-root"), "trixie-root", "trixie",
                          "sway,grim,wtype,swaylock,wayland-utils,foot"], capture_output=True, text=True)
    if run.returncode != 0:
        raise unittest.SkipTest("no Debian 13 root with a session-lock compositor: " + run.stderr.strip())
    root = run.stdout.strip()
    print("Debian 13 root: %s (%.0f s)" % (root, time.monotonic() - started), flush=True)
    return root


class Sway:
    """sway headless in the root, in a mount namespace of its own; its socket in a folder of the host."""

    def __init__(self, root, bindings=""):
        self.root = root
        self.runtime = tempfile.TemporaryDirectory(prefix="vessik-wl-")
        self.dir = self.runtime.name
        os.chmod(self.dir, 0o700)
        with open(os.path.join(self.dir, "sway.conf"), "w") as f:
            f.write(SWAY_CONFIG % bindings)
        mounts = " && ".join("mount --rbind %s %s" % (what, os.path.join(root, where)) for what, where in
                             [("/proc", "proc"), ("/dev", "dev"), ("/sys", "sys"), (self.dir, "run/xdg")])
        self.log = open(os.path.join(self.dir, "sway.log"), "w")
        os.makedirs(os.path.join(root, "run", "xdg"), exist_ok=True)
        # unshare, sh, chroot and env each exec the next: the process is sway, in its namespace.
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             mounts + " && exec chroot %s env -i PATH=/usr/bin:/bin HOME=/root WLR_BACKENDS=headless "
                      "WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 XDG_RUNTIME_DIR=/run/xdg "
                      "sway -c /run/xdg/sway.conf" % root],
            stdout=self.log, stderr=subprocess.STDOUT)
        wait_until(lambda: os.path.exists(os.path.join(self.dir, "wayland-1")) and self.ipc(), timeout=20,
                   message="sway's socket")
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.dir, "XDG_RUNTIME_DIR": self.dir,
                    "WAYLAND_DISPLAY": "wayland-1", "DBUS_SESSION_BUS_ADDRESS": "disabled:",
                    "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.dir, "no-system-bus"),
                    "LANG": "C.UTF-8"}

    def ipc(self):
        names = [n for n in os.listdir(self.dir) if n.startswith("sway-ipc.")]
        return "/run/xdg/" + names[0] if names else None

    def command(self, *args):
        """The command line that runs a program of the root against this sway."""
        return ["nsenter", "--mount", "--target", str(self.proc.pid), "chroot", self.root, "env", "-i",
                "PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=/run/xdg", "WAYLAND_DISPLAY=wayland-1",
                "SWAYSOCK=" + (self.ipc() or "")] + list(args)

    def run(self, *args, check=True):
        """Runs a program of the root against this sway; returns its standard output."""
        return subprocess.run(self.command(*args), check=check, capture_output=True, text=True, timeout=30).stdout

    def screenshot(self, crop=None):
        """What the outputs show (or the `crop` rectangle "WxH+X+Y" of them), as {(r, g, b): pixel count}."""
        self.run("grim", "/run/xdg/shot.png")
        raw = subprocess.run(["convert", os.path.join(self.dir, "shot.png")] + (["-crop", crop] if crop else []) +
                             ["rgb:-"], capture_output=True, check=True).stdout
        counts = {}
        for i in range(0, len(raw), 3):
            key = raw[i], raw[i + 1], raw[i + 2]
            counts[key] = counts.get(key, 0) + 1
        return counts

    def stop(self):
        stop_process(self.proc)
        self.log.close()
        self.runtime.cleanup()


class WaylandTestCase(unittest.TestCase):
    root = None
    bindings = ""

    @classmethod
    def setUpClass(cls):
        if WaylandTestCase.root is None:
            WaylandTestCase.root = make_root()

    def setUp(self):
        self.sway = Sway(self.root, self.bindings)
        self.addCleanup(self.sway.stop)
        self.bundle = TempBundle()
        self.addCleanup(self.bundle.cleanup)
        self.vessik = None

    def start(self, **settings):
        values = dict(Password=PASSWORD, InactivityTime=3600, OffFunc="F9", RetryCount=100, RetryLeft=100,
                      RetryTime=1)
        values.update(settings)
        self.bundle.update_settings(**values)
        self.log = tempfile.NamedTemporaryFile(prefix="vessik-log-", suffix=".txt", delete=False)
        self.addCleanup(os.unlink, self.log.name)
        self.vessik = subprocess.Popen([self.bundle.executable], env=self.sway.env, stdout=self.log,
                                       stderr=subprocess.STDOUT)
        self.addCleanup(self.end_vessik)
        wait_until(lambda: os.path.exists(os.path.join(self.sway.dir, "vessik", "wayland-wayland-1.socket")),
                   message="Vessik's socket")

    def end_vessik(self):
        for pid in self.family():
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        if self.vessik.poll() is None:
            stop_process(self.vessik)

    def family(self):
        """Vessik, its guard and the Vessiks the guard started: every process of the bundle's programs."""
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    exe = os.readlink("/proc/%s/exe" % entry)
                except OSError:
                    continue
                if exe.startswith(self.bundle.path + "/"):
                    pids.append(int(entry))
        return pids

    def command(self, *args):
        run = subprocess.run([self.bundle.executable, *args], env=self.sway.env, capture_output=True, text=True,
                             timeout=30)
        return run.returncode, run.stderr

    def shown(self, colour):
        return self.sway.screenshot().get(colour, 0)

    def bright(self):
        """How many near-white pixels the lines below the field show (the first output's centre)."""
        return sum(n for (r, g, b), n in self.sway.screenshot(LINES).items() if min(r, g, b) > 200)

    def desktop_shown(self):
        """How many pixels of the desktop or of the program's window the outputs show."""
        shot = self.sway.screenshot()
        return shot.get(DESKTOP, 0) + shot.get(WINDOW, 0)

    def locked_view(self):
        """Whether the lock view is up: nothing of the desktop, and the white password field."""
        shot = self.sway.screenshot()
        return shot.get(DESKTOP, 0) + shot.get(WINDOW, 0) == 0 and shot.get((255, 255, 255), 0) > 1000

    def type(self, *args):
        # wtype's keyboard joins the seat with its first key, which the lock surface
        # then receives as already down (as every client does): a Shift goes first.
        self.sway.run("wtype", "-k", "Shift_L", *args)

    def unlock(self):
        self.type(PASSWORD, "-k", "Return")
        wait_until(lambda: self.desktop_shown() > 0, message="the desktop after the unlock")


class LockTest(WaylandTestCase):
    def test_the_lock_covers_every_output_also_a_new_one_and_only_the_password_ends_it(self):
        self.sway.run("swaymsg", "exec foot -o colors.background=00ff00 -o main.font=monospace:size=4")
        wait_until(lambda: self.shown(WINDOW) > 10000, message="a program's window on the desktop")
        self.start(RetryTime=2)
        for outputs in (1, 2):
            if outputs == 2:
                one = sum(self.sway.screenshot().values())
                self.sway.run("swaymsg", "create_output")
                wait_until(lambda: sum(self.sway.screenshot().values()) > one * 3 // 2, message="the second output")
            self.assertEqual(self.command("--lock"), (0, ""))
            wait_until(self.locked_view, message="the lock view on %d outputs" % outputs)
            if outputs == 2:
                # An output plugged in during the lock is covered too.
                self.sway.run("swaymsg", "create_output")
                time.sleep(0.5)
                self.assertEqual(self.desktop_shown(), 0, "a third output, added during the lock")
            # A wrong password empties and disables the field, with its line, for RetryTime (2 s).
            lines = self.bright()
            self.type("wrong", "-k", "Return")
            wait_until(lambda: self.shown(DISABLED) > 5000, message="the field disabled")
            self.assertGreater(self.bright(), lines + 200, "the wrong-password line")
            if outputs == 1 and os.environ.get("VESSIK_SCREENSHOT_DIR"):
                subprocess.run(["convert", os.path.join(self.sway.dir, "shot.png"), "-crop", "1280x720+0+0",
                                os.path.join(os.environ["VESSIK_SCREENSHOT_DIR"], "wayland-lock.png")], check=True)
            wait_until(lambda: self.shown(DISABLED) < 100, message="the field back")
            if outputs == 1:
                # Caps Lock is named while it is on.
                lines = self.bright()
                caps = subprocess.Popen(self.sway.command("wtype", "-k", "Shift_L", "-M", "capslock", "-s", "2000",
                                                          "-m", "capslock"))
                self.addCleanup(stop_process, caps)
                wait_until(lambda: self.bright() > lines + 200, message="the Caps Lock line")
                caps.wait(timeout=10)
            self.unlock()
        with open(self.log.name) as f:
            self.assertNotIn("did not hold", f.read())


class IdleTest(WaylandTestCase):
    def test_the_idle_lock_comes_after_inactivity_time_and_not_while_an_idle_inhibitor_is_held(self):
        self.sway.run("swaymsg", "exec foot -o colors.background=00ff00")
        wait_until(lambda: self.shown(WINDOW) > 10000, message="a program's window")
        self.sway.run("swaymsg", "[app_id=foot] inhibit_idle open")
        self.start(InactivityTime=2)
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            self.assertGreater(self.desktop_shown(), 0, "no idle lock while inhibited")
            time.sleep(0.3)
        self.sway.run("swaymsg", "[app_id=foot] inhibit_idle none")
        wait_until(self.locked_view, timeout=5, message="the idle lock once the inhibitor is gone")
        self.unlock()


class RestartTest(WaylandTestCase):
    def test_a_kill_during_the_lock_leaves_everything_covered_and_the_password_works_within_2_s(self):
        self.start()
        self.assertEqual(self.command("--lock")[0], 0)
        wait_until(self.locked_view, message="the lock view")
        killed = time.monotonic()
        os.kill(self.vessik.pid, signal.SIGKILL)
        self.vessik.wait(timeout=5)
        while time.monotonic() - killed < 2:
            self.assertEqual(self.desktop_shown(), 0, "covered throughout")
        self.unlock()
        wait_until(lambda: self.family() and not any(process_ended(p) for p in self.family()),
                   message="the Vessik started again")


class BindingTest(WaylandTestCase):
    # sway runs its bindings inside the root, where Vessik's libraries are not: the
    # binding writes to a FIFO of the shared runtime folder, and a relay on the host
    # runs exactly `vessik --lock` for each line.
    bindings = "bindsym Ctrl+Alt+l exec echo lock > /run/xdg/binding"

    def test_a_compositor_binding_runs_vessik_lock(self):
        self.start()
        fifo = os.path.join(self.sway.dir, "binding")
        os.mkfifo(fifo)
        relay = subprocess.Popen(["sh", "-c", 'while read line < "$1"; do "$2" --lock; done', "relay", fifo,
                                  self.bundle.executable], env=self.sway.env)
        self.addCleanup(stop_process, relay)
        self.type("-M", "ctrl", "-M", "alt", "l", "-m", "alt", "-m", "ctrl")
        wait_until(self.locked_view, message="the lock the binding asked for")
        self.unlock()


class RefusalTest(unittest.TestCase):
    def test_debian_12_sway_without_the_session_lock_is_refused_at_once(self):
        runtime = tempfile.TemporaryDirectory(prefix="vessik-wl12-")
        self.addCleanup(runtime.cleanup)
        os.chmod(runtime.name, 0o700)
        os.chown(runtime.name, 65534, 65534)  # sway 1.7 refuses to run as root
        env = {"PATH": "/usr/bin:/bin", "HOME": runtime.name, "XDG_RUNTIME_DIR": runtime.name,
               "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1"}
        config = os.path.join(runtime.name, "sway.conf")
        with open(config, "w") as f:
            f.write("xwayland disable\n")
        sway = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sway", "-c", config],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, sway)
        wait_until(lambda: any(n.startswith("wayland-") and not n.endswith(".lock") for n in os.listdir(runtime.name)),
                   timeout=20, message="Debian 12's sway")
        socket = next(n for n in os.listdir(runtime.name) if n.startswith("wayland-") and not n.endswith(".lock"))
        bundle = TempBundle()
        self.addCleanup(bundle.cleanup)
        vessik_env = dict(env, WAYLAND_DISPLAY=socket, DISPLAY=":99", DBUS_SESSION_BUS_ADDRESS="disabled:")
        started = time.monotonic()
        run = subprocess.run([bundle.executable], env=vessik_env, capture_output=True, text=True, timeout=20)
        self.assertEqual(run.returncode, 1)
        self.assertIn("does not offer the session lock (ext-session-lock-v1)", run.stderr)
        self.assertLess(time.monotonic() - started, 5, "at once")
        left = [p for p in os.listdir("/proc") if p.isdigit() and os.path.exists("/proc/%s/exe" % p) and
                os.path.realpath("/proc/%s/exe" % p).startswith(bundle.path + "/")]
        self.assertEqual(left, [], "nothing left running")


if __name__ == "__main__":
    main()
