"""The forced shutdown for real, inside a throw-away PID namespace.

The X server, a private system bus and the stand-in logind (python3-dbusmock)
run outside the namespace; only the runner (pidns_runner.py, PID 1 of the
namespace and leader of a login session of its own), its victims and Vessik run
inside, so Vessik's SIGKILLs reach nothing else. Vessik runs as root there, so
it ends the processes of its own login session only. The wrong entry that uses
up the retries is typed with xdotool.
"""

import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import unittest

from vessik_harness import PrivateBus, StandInLogind, TempBundle, Xvfb, main, stop_process, tool, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
PASSWORD = "secret"

# The processes of Vessik's login session die, whoever runs them; the spared
# names, the session leader (the runner) and a process outside the session survive.
VICTIMS = [
    {"name": "sleeper"},
    {"name": "a) (b"},  # the name ends at the last ')'
    {"name": "vessik"},  # names are compared exactly
    {"name": "orphan-sleeper", "orphan": True},  # re-parented to PID 1, which reaps it
    {"name": "Vessik"},
    {"name": "Finder"},
    {"name": "nobody-sleeper", "uid": 65534},
    {"name": "outsider", "outside_session": True},  # as a system service would be
]
KILLED = {"sleeper", "a) (b", "vessik", "orphan-sleeper", "nobody-sleeper"}
SURVIVORS = {"Vessik", "Finder", "outsider", "(Vessik)"}

class ForcedShutdownTest(unittest.TestCase):
    def setUp(self):
        if shutil.which("unshare") is None or os.geteuid() != 0:
            self.fail("the forced shutdown is only ever tested inside a new PID namespace: needs unshare and root")
        self.x = Xvfb()
        self.addCleanup(self.x.stop)
        self.bundle = TempBundle()
        self.addCleanup(self.bundle.cleanup)
        self.work = tempfile.mkdtemp(prefix="vessik-pidns-")
        os.chmod(self.work, 0o755)  # the other user's victim runs a link in here
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.bus = PrivateBus(self.work, "system")
        self.addCleanup(self.bus.stop)
        self.events = queue.Queue()
        self.seen = []

    def start_logind(self):
        self.logind = StandInLogind(self.bus, os.path.join(self.work, "logind.log"))
        self.addCleanup(self.logind.stop)

    def start_namespace(self):
        self.bundle.update_settings(Password=PASSWORD, InactivityTime=3600, OffFunc="F9", RetryCount=3, RetryLeft=1,
                                    RetryTime=1)
        self.vessik_log = os.path.join(self.work, "vessik.log")
        config = {
            "test_pid_namespace": os.readlink("/proc/self/ns/pid"),
            "test_mount_namespace": os.readlink("/proc/self/ns/mnt"),
            "workdir": self.work,
            "victims": VICTIMS,
            "vessik": [self.bundle.executable],
            "vessik_log": self.vessik_log,
            "env": dict(self.x.env, DBUS_SYSTEM_BUS_ADDRESS=self.bus.address, VESSIK_TEST_LOCK_SIGNAL="1",
                        XDG_SESSION_ID=StandInLogind.SESSION_ID),
        }
        self.runner = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "/usr/bin/python3",
             os.path.join(HERE, "pidns_runner.py"), json.dumps(config)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop_namespace)
        threading.Thread(target=self.read_runner, daemon=True).start()
        ready = self.next_event(lambda e: "ready" in e or "refused" in e)
        self.assertNotIn("refused", ready)
        self.killed, self.survivors = set(KILLED), set(SURVIVORS)
        if ready["session"] == "scope":
            # Started from a desktop session: every process here shares its scope.
            self.killed.add("outsider")
            self.survivors.remove("outsider")

    def stop_namespace(self):
        self.runner.stdin.close()  # the runner kills what it started, inside the namespace
        try:
            self.runner.wait(timeout=15)
        except subprocess.TimeoutExpired:
            stop_process(self.runner)
        self.runner.stdout.close()

    def read_runner(self):
        for line in self.runner.stdout:
            self.events.put(json.loads(line))

    def next_event(self, wanted, timeout=20):
        def found():
            while not self.events.empty():
                self.seen.append(self.events.get())
            return next((e for e in self.seen if wanted(e)), None)
        event = wait_until(found, timeout=timeout, message="the runner's report")
        self.seen.remove(event)
        return event

    def command(self, text):
        self.runner.stdin.write(text + "\n")
        self.runner.stdin.flush()

    def probe(self, *args):
        return self.x.run(tool("xprobe"), *args).strip()

    def exhaust_retries(self):
        """Locks, types the one wrong entry left and waits for the victims to die."""
        self.command("lock")
        wait_until(lambda: self.probe("grab-keyboard") == "1", message="the lock")
        self.x.run("xdotool", "type", "--delay", "15", "wrong")
        self.x.run("xdotool", "key", "Return")
        for _ in self.killed:
            event = self.next_event(lambda e: "exited" in e)
            self.assertIn(event["exited"], self.killed)
            self.assertEqual(event["signal"], 9, event)
        self.command("alive")
        alive = self.next_event(lambda e: "alive" in e)
        self.assertEqual(set(alive["alive"]), self.survivors)
        self.assertTrue(alive["guarded"], "Vessik's guard is spared")
        self.assertEqual(self.bundle.settings()["RetryLeft"], 3, "reset to RetryCount")

    def vessik_output(self):
        with open(self.vessik_log, errors="replace") as f:
            return f.read()

    def test_the_wrong_entry_that_uses_up_the_retries_kills_and_powers_off(self):
        self.start_logind()
        self.start_namespace()
        self.exhaust_retries()

        def logged():
            with open(self.logind.logfile) as f:
                return "PowerOff False" in f.read()
        wait_until(logged, message="PowerOff(false) at the stand-in logind")
        self.assertNotIn("Error", self.vessik_output())

    def test_without_logind_the_failure_is_logged_and_the_screen_stays_locked(self):
        self.start_namespace()
        self.exhaust_retries()
        # The refused power-off is a line of its own (Vessik also said at start-up that logind is missing).
        wait_until(lambda: "\nVessik: org.freedesktop.DBus.Error.ServiceUnknown" in "\n" + self.vessik_output(),
                   message="the power-off failure in Vessik's log")
        self.command("alive")
        self.assertIn("(Vessik)", self.next_event(lambda e: "alive" in e)["alive"])
        self.assertEqual(self.probe("grab-keyboard"), "1", "still locked")
        self.assertEqual(self.probe("top-window", "960", "540").split()[-1], "Vessik")


if __name__ == "__main__":
    main()
