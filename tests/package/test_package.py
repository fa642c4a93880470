"""The Debian package, installed with apt into a clean Debian 12 root.

A Debian 12 root (minbase, with Xvfb, xdotool and dbus) is made once with
debootstrap (tests/harness/make-root) and cached in the user's cache folder;
each run lays a fresh overlay over it, in a mount namespace of its own, so that
apt must fetch everything the package depends on: a missing Depends shows as a
library that does not resolve. Downloaded .debs are cached beside the root.
Where the root cannot be made the test is skipped with the reason, never passed.

Every Vessik started here runs inside a PID namespace (unshare --pid --fork
--mount-proc), with private buses and the tests' safe settings: a shut-down
hotkey no test presses and 50 attempts.
"""

import glob
import os
import plistlib
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

from vessik_harness import BUILD_DIR, SOURCE_DIR, child_pids, end_pid, main, stop_process, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = "/usr/lib/vessik/Vessik Install.app"
INSTALLED = [  # what the package puts in place, beside the template
    "/usr/bin/vessik", "/usr/bin/vessik-install", "/usr/share/applications/vessik.desktop",
    "/usr/share/applications/vessik-install.desktop", "/usr/share/man/man1/vessik.1.gz",
    "/usr/share/man/man1/vessik-install.1.gz", "/usr/share/metainfo/org.vessik.vessik.metainfo.xml",
    "/usr/share/icons/hicolor/64x64/apps/vessik.png", "/usr/share/doc/vessik/copyright",
    TEMPLATE + "/Vessik Install", TEMPLATE + "/Resources/Vessik.app/Vessik",
    TEMPLATE + "/Resources/Vessik.app/vessik-guard", TEMPLATE + "/Resources/Vessik.app/Resources/Settings.plist"]
USER, UID = "tester", 1000
HOME = "/home/" + USER
UI_FILE = os.path.join(SOURCE_DIR, "Vessik Install", "ui", "InstallWindow.ui")


def widget_centre(name):
    for widget in ET.parse(UI_FILE).getroot().iter("widget"):
        if widget.get("name") == name:
            r = {c.tag: int(c.text) for c in widget.find("./property[@name='geometry']/rect")}
            return r["x"] + r["width"] // 2, r["y"] + r["height"] // 2
    raise KeyError(name)


class Root:
    """A fresh overlay over the cached root, mounted in a mount namespace that a holder process keeps."""

    def __init__(self, lower):
        self.dir = tempfile.TemporaryDirectory(prefix="vessik-pkg-")
        self.upper, work, self.merged = (os.path.join(self.dir.name, n) for n in ("upper", "work", "merged"))
        for d in (self.upper, work, self.merged):
            os.makedirs(d)
        archives = os.path.join(os.path.dirname(lower), "bookworm-archives")
        os.makedirs(os.path.join(archives, "partial"), exist_ok=True)
        mounts = ["mount -t overlay overlay -o lowerdir=%s,upperdir=%s,workdir=%s %s" % (lower, self.upper, work,
                                                                                         self.merged)]
        mounts += ["mount --rbind %s %s/%s" % (what, self.merged, where) for what, where in
                   (("/proc", "proc"), ("/dev", "dev"), ("/sys", "sys"), (archives, "var/cache/apt/archives"))]
        self.holder = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                        " && ".join(mounts) + " && touch %s/.ready && exec sleep infinity"
                                        % self.merged])
        wait_until(lambda: os.path.exists(os.path.join(self.upper, ".ready")) or self.holder.poll() is not None,
                   timeout=20, message="the overlay")
        if self.holder.poll() is not None:
            raise RuntimeError("the overlay over %s could not be mounted" % lower)

    def command(self, *args, user=None, env=None):
        """The command line that runs ARGS in the root (as `user`, with `env`)."""
        prefix = ["nsenter", "--mount", "--target", str(self.holder.pid), "chroot"]
        if user:
            prefix += ["--userspec=%s:%s" % (user, user)]
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
        if user:
            environment.update(HOME=HOME, USER=user)
        environment.update(env or {})
        return prefix + [self.merged, "env", "-i"] + ["%s=%s" % kv for kv in environment.items()] + list(args)

    def run(self, *args, user=None, env=None, check=True, timeout=300):
        return subprocess.run(self.command(*args, user=user, env=env), check=check, capture_output=True, text=True,
                              timeout=timeout)

    def read(self, inside):
        return subprocess.run(self.command("cat", inside), check=True, capture_output=True).stdout

    def write(self, inside, data):
        """Writes `data` to the file `inside`, through the overlay (its layers are never written to directly)."""
        subprocess.run(self.command("sh", "-c", 'cat > "$0"', inside), input=data, check=True)

    def exists(self, inside):
        return self.run("test", "-e", inside, check=False).returncode == 0

    def stop(self):
        stop_process(self.holder)
        self.dir.cleanup()  # the mounts went with the namespace


class PackageTest(unittest.TestCase):
    def setUp(self):
        started = time.monotonic()
        made = subprocess.run([os.path.join(HERE, "..", "harness", "make-root"), "bookworm-root", "bookworm",
                               "xvfb,xdotool,dbus,x11-utils"], capture_output=True, text=True)
        if made.returncode != 0:
            self.skipTest("no Debian 12 root to install into: " + made.stderr.strip())
        print("Debian 12 root: %s (%.0f s)" % (made.stdout.strip(), time.monotonic() - started), flush=True)
        if not glob.glob(os.path.join(BUILD_DIR, "vessik_*.deb")):  # package.check makes it in a full run
            subprocess.run(["cpack", "-G", "DEB"], cwd=BUILD_DIR, check=True, capture_output=True)
        self.deb = max(glob.glob(os.path.join(BUILD_DIR, "vessik_*.deb")), key=os.path.getmtime)
        self.root = Root(made.stdout.strip())
        self.addCleanup(self.root.stop)

    def spawn(self, *args, **kw):
        proc = subprocess.Popen(self.root.command(*args, **kw), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(stop_process, proc)
        return proc

    def in_pid_namespace(self, *args, env):
        """Runs ARGS as the user inside a PID namespace of its own, in the root."""
        proc = self.spawn("unshare", "--pid", "--fork", "--mount-proc", "setpriv", "--reuid=%d" % UID,
                          "--regid=%d" % UID, "--init-groups", "env", "HOME=" + HOME, *args, env=env)
        self.addCleanup(self.end_namespace, proc)
        return proc

    def end_namespace(self, proc):
        """Ends the namespace's first process (unshare's child), and with it everything in the namespace."""
        for pid in child_pids(proc.pid):
            end_pid(pid)
        proc.wait(timeout=10)

    def test_apt_installs_everything_it_needs_a_user_installs_and_locks_and_removal_leaves_the_users_copy(self):
        root = self.root
        with open(self.deb, "rb") as f:
            root.write("/tmp/vessik.deb", f.read())
        # The cached lists may name versions the mirror has dropped since.
        if root.run("apt-get", "update", "-q", check=False).returncode != 0:
            self.skipTest("the Debian mirror does not answer from the root")
        install = root.run("apt-get", "install", "-y", "-q", "--no-install-recommends", "/tmp/vessik.deb",
                           env={"DEBIAN_FRONTEND": "noninteractive"}, check=False)
        self.assertEqual(install.returncode, 0, install.stdout[-3000:] + install.stderr[-3000:])

        # Depends is complete: every library of both programs (and of Qt's platform plugins) resolves.
        for program in (TEMPLATE + "/Vessik Install", TEMPLATE + "/Resources/Vessik.app/Vessik",
                        TEMPLATE + "/Resources/Vessik.app/vessik-guard") + tuple(
                            root.run("sh", "-c", "ls /usr/lib/*/qt6/plugins/platforms/*.so").stdout.split()):
            self.assertNotIn("not found", root.run("ldd", program).stdout, program)
        for plugin in ("libqxcb.so", "libqwayland-generic.so"):
            self.assertTrue(root.run("sh", "-c", "ls /usr/lib/*/qt6/plugins/platforms/" + plugin, check=False)
                            .returncode == 0, plugin)
        self.assertEqual(root.run("vessik", "--version").stdout, "Vessik 1.0.0\n")
        for path in INSTALLED:
            self.assertTrue(root.exists(path), path)
        self.assertEqual(root.run("stat", "-c", "%a %U", TEMPLATE + "/Resources/Vessik.app/Resources/Settings.plist")
                         .stdout.strip(), "644 root")
        files = [f for f in root.run("dpkg", "-L", "vessik").stdout.split("\n") if f]

        # A user without a copy of their own is told how to get one.
        root.run("useradd", "-m", "-u", str(UID), USER)
        refused = root.run("vessik", "--lock", user=USER, check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("run vessik-install", refused.stderr)

        # An X server in the root, and the user's runtime folder and private buses.
        xvfb = self.spawn("Xvfb", ":7", "-nolisten", "tcp", "-screen", "0", "1280x720x24")
        wait_until(lambda: root.exists("/tmp/.X11-unix/X7"), message="Xvfb in the root")
        runtime = "/tmp/run-" + USER
        root.run("install", "-d", "-m", "0700", "-o", USER, "-g", USER, runtime)
        buses = {}
        for kind in ("session", "system"):
            address = "unix:path=%s/%s-bus" % (runtime, kind)
            self.spawn("dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf", "--address=" + address,
                       "--nofork", user=USER)
            buses[kind] = address
        env = {"DISPLAY": ":7", "XDG_RUNTIME_DIR": runtime, "DBUS_SESSION_BUS_ADDRESS": buses["session"],
               "DBUS_SYSTEM_BUS_ADDRESS": buses["system"], "QT_QPA_PLATFORM": "xcb"}
        wait_until(lambda: root.exists(runtime + "/session-bus") and root.exists(runtime + "/system-bus"),
                   message="the private buses")

        # Started from the template, Vessik says its settings cannot be saved there, and keeps running.
        shared = self.in_pid_namespace(TEMPLATE + "/Resources/Vessik.app/Vessik", env=env)
        time.sleep(3)
        self.assertIsNone(shared.poll(), "the template's Vessik runs")
        self.end_namespace(shared)
        self.assertIn("shared by every user", shared.stdout.read())

        # Vessik Install for the user: the copy, its private settings, the menu entry and the command.
        installer = self.spawn("vessik-install", user=USER, env=env)
        window = wait_until(lambda: root.run("xdotool", "search", "--name", "^Vessik Install$", env=env,
                                             check=False).stdout.split(), timeout=20, message="the installer")[0]
        x, y = widget_centre("installButton")
        root.run("xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1", env=env)
        app = HOME + "/Applications/Vessik.app"
        wait_until(lambda: root.exists(app + "/Vessik") and root.exists(HOME + "/.local/bin/vessik"),
                   message="the user's copy")
        stop_process(installer)
        self.assertEqual(root.run("stat", "-c", "%a %U", app + "/Resources/Settings.plist").stdout.strip(),
                         "600 " + USER)
        self.assertTrue(root.exists(HOME + "/.local/share/applications/vessik.desktop"))

        # A password in the user's settings, then `vessik --lock` locks the installed copy.
        settings_path = app + "/Resources/Settings.plist"
        settings = plistlib.loads(root.read(settings_path))
        settings.update(Password="secret", InactivityTime=3600, OffFunc="F9", RetryCount=50, RetryLeft=50)
        root.write(settings_path, plistlib.dumps(settings))  # in place: owner and mode stay
        vessik = self.in_pid_namespace("vessik", env=env)
        # Asked until it answers: the template's Vessik left its socket file behind.
        answers = []
        wait_until(lambda: answers.append(root.run("vessik", "--lock", user=USER, env=env, check=False)) or
                   "no Vessik runs" not in answers[-1].stderr, timeout=20, message="the user's Vessik")
        self.assertEqual((answers[-1].returncode, answers[-1].stderr), (0, ""))
        self.end_namespace(vessik)  # the namespace's first process: the guard goes with it

        # Removal: every file of the package goes, the user's copy stays.
        root.run("apt-get", "remove", "-y", "-q", "vessik", env={"DEBIAN_FRONTEND": "noninteractive"})
        left = [f for f in files if root.exists(f) and root.run("test", "-d", f, check=False).returncode != 0]
        self.assertEqual(left, [])
        self.assertFalse(root.exists("/usr/lib/vessik"))
        for kept in (app + "/Vessik", HOME + "/.local/bin/vessik", HOME + "/.local/share/applications/vessik.desktop"):
            self.assertTrue(root.run("test", "-e", kept, check=False).returncode == 0 or
                            root.run("test", "-L", kept, check=False).returncode == 0, kept)


if __name__ == "__main__":
    main()
