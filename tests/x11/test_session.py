"""Vessik in the desktop session, on private buses only.

A stand-in logind (python3-dbusmock) runs on a private system bus, other
programs talk to Vessik on a private session bus, and a second X client
(xprobe) looks at the screen: "locked" is what it sees, its keyboard grab
refused. The machine's own buses and logind are never reached.
"""

import os
import plistlib
import re
import signal
import subprocess
import time

import dbus

from test_lock import LEFT_CENTRE, LockTestCase
from vessik_harness import (LOCK_CHORD, PrivateBus, StandInLogind, child_pids, end_pid, main, start_time,
                            stop_process, wait_until)

SCREENSAVER = "org.freedesktop.ScreenSaver"
SLEEP_DELAY = ("sleep", "Vessik", "Vessik locks the screen before the system sleeps", "delay")

# A video player: holds the idle lock off through the second object path until its input ends.
PLAYER = """
import sys, dbus
saver = dbus.bus.BusConnection(sys.argv[1]).get_object("org.freedesktop.ScreenSaver", "/ScreenSaver")
print(int(saver.Inhibit("player", "playing a film", dbus_interface="org.freedesktop.ScreenSaver")), flush=True)
sys.stdin.read()
"""


class SessionTestCase(LockTestCase):
    screen = (1920, 1080)
    monitors = 1

    def private_buses(self, system=True, session=True):
        """Starts the buses asked for (logind on the system bus); returns Vessik's environment for them."""
        env = {}
        if system:
            self.system_bus = PrivateBus(self.x.runtime.name, "system")
            self.addCleanup(self.system_bus.stop)
            self.logind = StandInLogind(self.system_bus, os.path.join(self.x.runtime.name, "logind.log"))
            self.addCleanup(self.logind.stop)
            env.update(DBUS_SYSTEM_BUS_ADDRESS=self.system_bus.address, XDG_SESSION_ID=StandInLogind.SESSION_ID)
        if session:
            self.session_bus = PrivateBus(self.x.runtime.name, "session")
            self.addCleanup(self.session_bus.stop)
            env.update(DBUS_SESSION_BUS_ADDRESS=self.session_bus.address)
        return env

    def stays_unlocked(self, seconds, why):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.assertFalse(self.locked(), why)
            time.sleep(0.1)

    def log_lines(self, text):
        return [line for line in self.log_text().splitlines() if text in line]

    def rewrite_settings(self, **changes):
        """Replaces the settings file by a rename, as a saving editor does."""
        values = self.bundle.settings()
        values.update(changes)
        new = os.path.join(os.path.dirname(self.bundle.settings_path), "new.plist")
        with open(new, "wb") as f:
            plistlib.dump(values, f, sort_keys=False)
        os.chmod(new, 0o600)
        os.replace(new, self.bundle.settings_path)


class SleepTest(SessionTestCase):
    def test_a_sleep_waits_until_the_lock_holds_and_the_delay_returns_after_the_unlock(self):
        self.start(env=self.private_buses(session=False))
        wait_until(lambda: self.logind.inhibitors() == [SLEEP_DELAY], message="Vessik's delay of sleep")

        # Another client holds the keyboard: the lock covers the screen but cannot hold the input yet.
        holder, status = self.hold("hold-keyboard")
        self.assertEqual(status, "held")
        self.logind.prepare_for_sleep(True)
        wait_until(lambda: self.top_class(LEFT_CENTRE) == "Vessik", message="the screen covered")
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            self.assertEqual(self.logind.inhibitors(), [SLEEP_DELAY], "the sleep waits for the keyboard")

        holder.stdin.close()
        holder.wait(timeout=10)
        wait_until(lambda: not self.logind.inhibitors(), interval=0.002, message="the sleep let go")
        # The moment the sleep may go ahead, the lock holds: a second client gets neither
        # keyboard nor pointer, and sees the lock on top.
        self.assertEqual(self.probe("grab-keyboard"), "1")
        self.assertEqual(self.probe("grab-pointer"), "1")
        self.assertEqual(self.top_class(LEFT_CENTRE), "Vessik")

        self.logind.prepare_for_sleep(False)
        self.unlock()
        wait_until(lambda: self.logind.inhibitors() == [SLEEP_DELAY], message="a new delay after the unlock")


class SessionRequestTest(SessionTestCase):
    def test_the_session_locks_only_the_password_unlocks_and_the_hint_follows(self):
        env = self.private_buses()
        # The desktop's own screen-saver service was there first.
        self.session_bus.connection().request_name(SCREENSAVER)
        owner = self.session_bus.owner(SCREENSAVER)
        self.start(env=env)
        wait_until(lambda: self.log_lines("is offered by another program"), message="Vessik leaving the name alone")
        self.assertEqual(self.session_bus.owner(SCREENSAVER), owner)

        # loginctl lock-session; sent again until Vessik listens to its session.
        wait_until(lambda: self.logind.session_request("Lock") or self.locked(), message="the lock the session asked for")
        wait_until(self.logind.locked_hint, message="the session's LockedHint set")
        self.logind.session_request("Unlock")
        self.logind.session_request("Lock")  # a second request changes nothing either
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            self.assertTrue(self.locked(), "the session's Unlock does not unlock")
            self.assertTrue(self.logind.locked_hint())
        self.unlock()
        wait_until(lambda: not self.logind.locked_hint(), message="LockedHint cleared after the unlock")

        # The name once free is Vessik's; taken from it, it comes back when the taker leaves.
        self.session_bus.connection().release_name(SCREENSAVER)
        wait_until(lambda: self.session_bus.owner(SCREENSAVER) not in (None, owner), message="the name Vessik's")
        vessiks = self.session_bus.owner(SCREENSAVER)
        taker = dbus.bus.BusConnection(self.session_bus.address)
        taker.request_name(SCREENSAVER, dbus.bus.NAME_FLAG_REPLACE_EXISTING)
        wait_until(lambda: self.log_lines("took org.freedesktop.ScreenSaver from Vessik"), message="the loss logged")
        taker.close()
        wait_until(lambda: self.session_bus.owner(SCREENSAVER) == vessiks, message="the name back")
        self.assertEqual(len(self.log_lines("is free again: Vessik offers it")), 2, self.log_text())


class ScreenSaverTest(SessionTestCase):
    def active_changes(self):
        """(path, active) of every ActiveChanged signal the monitor saw, in order."""
        with open(self.monitor_log) as f:
            return re.findall(r"path=(\S+); interface=org\.freedesktop\.ScreenSaver; member=ActiveChanged\n"
                              r"\s+boolean (true|false)", f.read())

    def test_programs_lock_hear_the_lock_and_hold_the_idle_lock_off_until_they_end_or_leave(self):
        env = self.private_buses(system=False)
        self.monitor_log = os.path.join(self.x.runtime.name, "monitor.txt")
        with open(self.monitor_log, "w") as log:
            monitor = subprocess.Popen(["dbus-monitor", "--address", self.session_bus.address,
                                        "type='signal',interface='org.freedesktop.ScreenSaver'"], stdout=log,
                                       stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, monitor)
        self.start(env=env)
        wait_until(lambda: self.session_bus.owner(SCREENSAVER), message="Vessik's screen-saver service")
        saver = self.session_bus.connection().get_object(SCREENSAVER, "/org/freedesktop/ScreenSaver")

        def call(method, *args):
            return saver.get_dbus_method(method, SCREENSAVER)(*args)

        # Calls that do not fit get the standard D-Bus errors; the Properties
        # interface that introspection lists answers.
        bus = self.session_bus.connection()
        props, error = "org.freedesktop.DBus.Properties", "org.freedesktop.DBus.Error."
        for interface, member, signature, args, expected in [
                (SCREENSAVER, "Inhibit", "s", ["player"], error + "InvalidArgs"),
                (SCREENSAVER, "UnInhibit", "s", ["1"], error + "InvalidArgs"),
                (SCREENSAVER, "Lock", "b", [True], error + "InvalidArgs"),
                (SCREENSAVER, "Frobnicate", "", [], error + "UnknownMethod"),
                (None, "Frobnicate", "", [], error + "UnknownMethod"),
                ("org.example.Elsewhere", "Lock", "", [], error + "UnknownInterface"),
                (props, "GetAll", "s", [SCREENSAVER], {}),
                (props, "Get", "ss", [SCREENSAVER, "Active"], error + "UnknownProperty"),
                (props, "GetAll", "", [], error + "InvalidArgs"),
                ("org.freedesktop.DBus.Peer", "Ping", "", [], None)]:
            try:
                answer = bus.call_blocking(SCREENSAVER, "/ScreenSaver", interface, member, signature, args)
            except dbus.exceptions.DBusException as e:
                answer = e.get_dbus_name()
            self.assertEqual(answer, expected, (interface, member, signature))
        introspection = saver.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")
        for part in ['<interface name="%s">' % SCREENSAVER, '<interface name="%s">' % props, '<method name="Lock"/>']:
            self.assertIn(part, introspection)

        self.assertFalse(call("GetActive"))
        self.probe("move")
        self.assertLess(int(call("GetSessionIdleTime")), 5)

        call("Lock")
        wait_until(self.locked, message="the lock a program asked for")
        wait_until(lambda: call("GetActive"), message="GetActive once the lock holds")
        self.unlock()
        self.assertFalse(call("GetActive"))
        both = [(p, a) for a in ("true", "false") for p in ("/org/freedesktop/ScreenSaver", "/ScreenSaver")]
        wait_until(lambda: sorted(self.active_changes()) == sorted(both), message="ActiveChanged at lock and unlock")
        self.assertEqual([a for _, a in self.active_changes()], ["true", "true", "false", "false"])

        # This test and a player hold the idle lock off; the lock comes once both have gone.
        cookie = call("Inhibit", "vessik-test", "checking inhibitions")
        player = subprocess.Popen(["/usr/bin/python3", "-c", PLAYER, self.session_bus.address],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(stop_process, player)
        self.addCleanup(player.stdout.close)
        self.assertNotEqual(int(player.stdout.readline()), int(cookie))
        self.rewrite_settings(InactivityTime=1)
        self.stays_unlocked(2.2, "no idle lock while two programs hold it off")
        call("UnInhibit", cookie)
        self.stays_unlocked(2.2, "no idle lock while the player holds it off")
        player.stdin.close()  # the player ends without UnInhibit, like a crash
        player.wait(timeout=10)
        wait_until(self.locked, timeout=3, message="the idle lock once the player left the bus")


class LockCommandTest(SessionTestCase):
    def command(self, *args, **kw):
        """Runs `Vessik ARGS` on the test's display; returns (status, stdout, stderr)."""
        run = subprocess.run([self.bundle.executable, *args], env=self.x.env, capture_output=True, text=True,
                             timeout=30, **kw)
        return run.returncode, run.stdout, run.stderr

    def test_vessik_lock_asks_the_running_vessik_and_says_why_not(self):
        # Without a running Vessik: nothing starts, and each option answers at once.
        for args, status, out in [(["--help"], 0, "--lock"), (["--version"], 0, "Vessik 1."),
                                  (["--lock"], 1, "no Vessik runs for this user on display"),
                                  (["--lock", "--wait"], 1, "no Vessik runs"), (["--frobnicate"], 2, "Usage: vessik"),
                                  (["--wait"], 2, "--wait goes with --lock")]:
            code, stdout, stderr = self.command(*args)
            self.assertEqual(code, status, args)
            self.assertIn(out, stdout + stderr, args)
        self.assertEqual(self.vessik_windows(), [], "no Vessik started")

        self.start()
        self.assertEqual(self.command("--lock")[0], 0)
        self.assertTrue(self.locked(), "locked when the command returns")
        self.assertEqual(self.command("--lock")[:2], (0, ""), "a lock in force is a lock")
        self.unlock()

        # --wait returns once that lock ends, not before.
        waiter = subprocess.Popen([self.bundle.executable, "--lock", "--wait"], env=self.x.env, stderr=subprocess.PIPE, text=True)
        self.addCleanup(stop_process, waiter)
        wait_until(self.locked, message="the lock")
        time.sleep(0.5)
        self.assertIsNone(waiter.poll(), "still locked")
        self.unlock()
        self.assertEqual(waiter.wait(timeout=10), 0)

        # A lock that cannot hold within 5 s is refused and taken back; one that Vessik
        # refuses is refused at once; the settings window never opens.
        holder, status = self.hold("hold-keyboard")
        self.assertEqual(status, "held")
        code, _, stderr = self.command("--lock")
        self.assertEqual((code, "did not hold within 5 s" in stderr), (1, True), stderr)
        self.assertNotEqual(self.top_class(LEFT_CENTRE), "Vessik", "nothing left covered")
        holder.stdin.close()
        holder.wait(timeout=10)
        settings = self.bundle.settings()
        for key, why in [("InactivityTime", "turns locking off"), ("Password", "no password is stored")]:
            self.bundle.write_settings(dict(settings, InactivityTime=0) if key == "InactivityTime" else
                                       {k: v for k, v in settings.items() if k != key})
            code, _, stderr = self.command("--lock")
            self.assertEqual((code, why in stderr), (1, True), stderr)
        self.assertFalse(self.locked())
        self.assertEqual(self.x.settings_windows(), [])


class LogindTest(SessionTestCase):
    def test_the_idle_hint_follows_idleness_inhibitions_and_the_lock_and_a_new_logind_gets_the_delay(self):
        env = self.private_buses()
        self.start(env=env, InactivityTime=2)
        self.probe("move")
        hints = lambda: self.logind.calls("SetIdleHint")
        # Idle without a lock (no password), input, an inhibition, then the idle lock and the unlock.
        settings = self.bundle.settings()
        self.bundle.write_settings({k: v for k, v in settings.items() if k != "Password"})
        wait_until(lambda: hints() == ["True"], timeout=5, message="idle after 2 s")
        self.probe("move")
        wait_until(lambda: hints() == ["True", "False"], timeout=3, message="input clears the idle hint")
        player = subprocess.Popen(["/usr/bin/python3", "-c", PLAYER, self.session_bus.address],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(stop_process, player)
        self.addCleanup(player.stdout.close)
        player.stdout.readline()
        self.bundle.write_settings(settings)
        self.stays_unlocked(3, "the player holds the idle lock off")
        self.assertEqual(hints(), ["True", "False"], "and the idle hint")
        player.stdin.close()
        player.wait(timeout=10)
        wait_until(self.locked, timeout=3, message="the idle lock once the player left")
        wait_until(lambda: hints() == ["True", "False", "True"], message="idle while locked")
        self.bundle.update_settings(InactivityTime=3600)
        self.unlock()
        wait_until(lambda: hints() == ["True", "False", "True", "False"], message="the unlock clears it")

        # logind restarted (an upgrade): the new one gets the delay at once, and a sleep waits for the lock.
        wait_until(lambda: self.logind.inhibitors() == [SLEEP_DELAY], message="the delay")
        self.logind.stop()
        self.logind = StandInLogind(self.system_bus, os.path.join(self.x.runtime.name, "logind-2.log"))
        self.addCleanup(self.logind.stop)
        wait_until(lambda: self.logind.inhibitors() == [SLEEP_DELAY], timeout=1, message="the delay from a new logind")
        self.logind.prepare_for_sleep(True)
        wait_until(lambda: not self.logind.inhibitors(), interval=0.002, message="the sleep let go")
        self.assertEqual((self.probe("grab-keyboard"), self.top_class(LEFT_CENTRE)), ("1", "Vessik"))
        self.logind.prepare_for_sleep(False)
        self.unlock()


class RestartTest(SessionTestCase):
    def test_a_vessik_ended_mid_lock_keeps_the_inhibitions_and_the_lock_commands_wait(self):
        self.start(env=self.private_buses(system=False))
        wait_until(lambda: self.session_bus.owner(SCREENSAVER), message="Vessik's screen-saver service")
        player = subprocess.Popen(["/usr/bin/python3", "-c", PLAYER, self.session_bus.address],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(stop_process, player)
        self.addCleanup(player.stdout.close)
        player.stdout.readline()
        waiter = subprocess.Popen([self.bundle.executable, "--lock", "--wait"], env=self.x.env, stderr=subprocess.PIPE, text=True)
        self.addCleanup(stop_process, waiter)
        wait_until(self.locked, message="the lock")

        guard = wait_until(lambda: child_pids(self.vessik.pid), message="Vessik's guard")[0]
        os.kill(self.vessik.pid, signal.SIGKILL)
        self.vessik.wait(timeout=5)
        restarted = wait_until(lambda: child_pids(guard), message="Vessik started again")[0]
        self.addCleanup(end_pid, restarted, start_time(restarted))
        self.rewrite_settings(InactivityTime=1)
        self.unlock()
        self.assertEqual(waiter.wait(timeout=10), 0, waiter.stderr.read())
        self.stays_unlocked(2.2, "the player's inhibition outlived the Vessik that took it")
        player.stdin.close()
        player.wait(timeout=10)
        wait_until(self.locked, timeout=3, message="the idle lock once the player left")
        self.unlock()


class XScreenSaverTest(SessionTestCase):
    def test_xset_s_activate_locks_by_the_usual_rules_and_the_servers_time_out_does_not(self):
        self.start()
        self.x.run("xset", "s", "1", "1")  # the server's own saver after a second without input
        self.stays_unlocked(2.5, "the server's time-out is no lock request")
        self.x.run("xset", "s", "off")
        for settings, locks in [(dict(InactivityTime=0), False), (dict(InactivityTime=3600), True)]:
            self.bundle.update_settings(**settings)
            self.x.run("xset", "s", "reset")
            self.x.run("xset", "s", "activate")
            if locks:
                wait_until(self.locked, timeout=2, message="the lock xset asked for")
            else:
                self.stays_unlocked(1, "no lock with %s" % settings)
        self.unlock()


class WithoutBusesOrX11Test(SessionTestCase):
    def test_without_buses_all_else_works_and_a_session_it_cannot_lock_is_refused_plainly(self):
        # The harness gives Vessik neither a session bus nor a system bus.
        self.start(InactivityTime=1)
        wait_until(lambda: self.probe("press", LOCK_CHORD) == "" and self.locked(), message="a lock by the hotkey")
        self.assertEqual(len(self.log_lines("No system bus")), 1, self.log_text())
        self.assertEqual(len(self.log_lines("No session bus")), 1, self.log_text())
        # Ended once unlocked: ended during a lock, its guard would start it again.
        wait_until(self.field_usable, message="the field")
        self.unlock()
        stop_process(self.vessik)

        # A Wayland session whose compositor cannot be reached, with XWayland beside it: never
        # locked through XWayland; the reason, and nothing left running.
        env = dict(self.x.env, WAYLAND_DISPLAY="wayland-none", XDG_SESSION_TYPE="wayland")
        run = subprocess.run([self.bundle.executable], env=env, capture_output=True, text=True, timeout=20)
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot reach the Wayland compositor of this session (wayland-none)", run.stderr)

        # No display at all: Vessik's own message, not Qt's.
        env = dict(self.x.env)
        del env["DISPLAY"]
        run = subprocess.run([self.bundle.executable], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, timeout=20)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr, "Vessik: Vessik needs an X11 or a Wayland session: there is no display (neither "
                                     "DISPLAY nor WAYLAND_DISPLAY is set), so Vessik cannot lock the screen and does "
                                     "not start.\n")


if __name__ == "__main__":
    main()
