"""The lock on a real X server with two monitors, seen from a second X client.

Vessik is started outside any PID namespace here, so the shut-down hotkey is set
to F9, which no test presses, and the retry count stays far from 0. With
VESSIK_SCREENSHOT_DIR set, the lines below the field after a wrong password with
Caps Lock on are saved as lock-wrong-password.png.
"""

import os
import signal
import subprocess
import tempfile

from vessik_harness import VessikTestCase, main, tool, wait_until

PASSWORD = "secret"
LEFT_CENTRE = (960, 540)
RIGHT_CENTRE = (2880, 540)
FIELD = (840, 540)  # inside the password field, left of its text, on the lock window's monitor
LINES = (760, 562, 400, 60)  # the first lines of text below the field


class LockTestCase(VessikTestCase):
    """Helpers: a 3840x1080 screen split into `monitors` RandR monitors, a Vessik that locks on SIGUSR1."""

    screen = (3840, 1080)
    monitors = 2

    def setUp(self):
        super().setUp()
        if self.monitors == 2:
            self.x.two_monitors()
        else:
            self.x.run("xrandr", "--setmonitor", "LEFT", "1920/508x1080/286+0+0", "screen")

    def start(self, env=None, **settings):
        values = dict(Password=PASSWORD, InactivityTime=3600, OffFunc="F9", RetryCount=100, RetryLeft=100,
                      RetryTime=1)
        values.update(settings)
        self.bundle.update_settings(**values)
        self.vessik = self.start_vessik(env=dict(env or {}, VESSIK_TEST_LOCK_SIGNAL="1"))
        wait_until(self.lock_signal_ready, message="Vessik's lock signal handler")

    def lock_signal_ready(self, proc=None):
        """Whether Vessik (or `proc`) handles SIGUSR1 yet: start-up went that far."""
        with open("/proc/%d/status" % (proc or self.vessik).pid) as f:
            caught = next(line for line in f if line.startswith("SigCgt:")).split()[1]
        return int(caught, 16) & (1 << (signal.SIGUSR1 - 1))

    def lock(self):
        os.kill(self.vessik.pid, signal.SIGUSR1)  # the test hook: Vessik's own child, in this test

    def top_class(self, point):
        return self.probe("top-window", *point).split()[-1]

    def pixel(self, point):
        return tuple(int(v) for v in self.probe("pixel", *point).split())

    def field_usable(self):
        return min(self.pixel(FIELD)) > 210

    def field_disabled(self):
        return self.pixel(FIELD) == (180, 180, 180)  # the disabled field's grey

    def lines_shown(self):
        """How many white pixels of text the lines below the field show."""
        return int(self.probe("bright", *LINES))

    def save_left_monitor(self, path):
        shot = os.path.join(tempfile.mkdtemp(), "root.png")
        self.x.screenshot(shot)
        subprocess.run(["convert", shot, "-crop", "1920x1080+0+0", "+repage", path], check=True)

    def unlock(self):
        wait_until(self.field_usable, message="the field usable")
        self.type_entry(PASSWORD)
        wait_until(lambda: self.probe("grab-keyboard") == "0", message="the unlock")

    def type_entry(self, text):
        self.x.run("xdotool", "type", "--delay", "15", text)
        self.x.run("xdotool", "key", "Return")

    def retry_left(self):
        return self.bundle.settings()["RetryLeft"]

    def hold(self, *args):
        """Runs an xprobe command that keeps something until the test lets go; returns it and its first line."""
        proc = self.x.spawn(tool("xprobe"), *map(str, args), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.stdin.close)
        return proc, proc.stdout.readline().strip()


class TwoMonitorLockTest(LockTestCase):
    def test_lock_holds_input_covers_both_monitors_stays_on_top_and_ends_with_the_password(self):
        self.start()
        self.lock()
        wait_until(lambda: self.probe("grab-keyboard") == "1", message="the keyboard grabbed by the lock")
        self.assertEqual(self.probe("grab-pointer"), "1", "the pointer is grabbed too")
        wait_until(lambda: self.top_class(LEFT_CENTRE) == self.top_class(RIGHT_CENTRE) == "Vessik",
                   message="both monitors covered")
        self.assertEqual(self.pixel(RIGHT_CENTRE), (0, 0, 0), "the other monitor is shielded in black")
        wait_until(lambda: self.pixel((100, 100)) != (0, 0, 0), message="the background picture")
        if os.environ.get("VESSIK_LOCK_SCREENSHOT"):
            self.save_left_monitor(os.environ["VESSIK_LOCK_SCREENSHOT"])

        # Another client maps a window over everything: the lock rises above it again.
        intruder, window = self.hold("map-window", 0, 0, 3840, 1080)
        self.assertTrue(window.startswith("0x"))
        wait_until(lambda: self.top_class(LEFT_CENTRE) == self.top_class(RIGHT_CENTRE) == "Vessik",
                   message="the lock above the window mapped later")

        self.type_entry(PASSWORD)
        wait_until(lambda: self.probe("grab-keyboard") == "0", message="the keyboard given back")
        self.assertEqual(self.probe("grab-pointer"), "0")
        self.assertEqual(self.top_class(LEFT_CENTRE), "XProbe", "the lock window is gone")
        self.assertEqual(self.top_class(RIGHT_CENTRE), "XProbe", "the shield is gone")
        # The count is written just after the grab is given back.
        wait_until(lambda: self.retry_left() == 100, message="the retry count reset")

    def test_a_wrong_password_empties_and_disables_the_field_for_retry_time(self):
        self.start(RetryTime=2)
        self.lock()
        wait_until(lambda: self.probe("grab-keyboard") == "1", message="the lock")
        wait_until(self.field_usable, message="the enabled password field")
        self.assertEqual(self.lines_shown(), 0, "no line below the field")
        self.probe("press", "CAPS")
        wait_until(self.lines_shown, message="the Caps Lock line")

        self.type_entry("wrong")
        wait_until(lambda: self.retry_left() == 99, message="the wrong entry counted")
        wait_until(lambda: max(self.pixel(FIELD)) < 200, message="the disabled field")
        wait_until(lambda: self.lines_shown() > 600, message="the wrong-password line above the Caps Lock line")
        if os.environ.get("VESSIK_SCREENSHOT_DIR"):
            self.save_left_monitor(os.path.join(os.environ["VESSIK_SCREENSHOT_DIR"], "lock-wrong-password.png"))
        self.probe("press", "CAPS")
        # The right password while the field is disabled does nothing.
        self.type_entry(PASSWORD)
        wait_until(self.field_usable, timeout=10, message="the field enabled again")
        self.assertEqual(self.probe("grab-keyboard"), "1", "still locked")
        self.assertEqual(self.retry_left(), 99)
        wait_until(lambda: self.lines_shown() == 0, message="the lines gone with the lock-out and Caps Lock")

        # Emptied, and focused again: the password alone unlocks now.
        self.type_entry(PASSWORD)
        wait_until(lambda: self.probe("grab-keyboard") == "0", message="the unlock")
        wait_until(lambda: self.retry_left() == 100, message="the retry count reset")


    def test_the_lines_say_when_another_program_locks_shift_or_switches_the_layout(self):
        # A refused password is never a mystery: both are named under the field
        # as soon as they happen, and the password typed in the wrong state is refused.
        self.x.run("setxkbmap", "-layout", "us,de")
        self.start()
        self.lock()
        wait_until(self.field_usable, message="the enabled password field")
        two_layouts = self.lines_shown()
        self.assertGreater(two_layouts, 0, "the layout is named: the keyboard has two")
        self.probe("lock-modifiers", "shift")
        self.probe("lock-group", 1)
        wait_until(lambda: self.lines_shown() > two_layouts + 50, message="the Shift and layout lines")
        if os.environ.get("VESSIK_SCREENSHOT_DIR"):
            self.save_left_monitor(os.path.join(os.environ["VESSIK_SCREENSHOT_DIR"], "lock-keyboard-state.png"))
        self.probe("lock-modifiers", "none")
        self.probe("lock-group", 0)
        wait_until(lambda: self.lines_shown() == two_layouts, message="Shift free and the first layout back")
        self.unlock()


class NewMonitorTest(LockTestCase):
    monitors = 1

    def test_a_monitor_that_appears_while_locked_gets_a_shield(self):
        self.start()
        self.lock()
        wait_until(lambda: self.probe("grab-keyboard") == "1", message="the lock")
        # No monitor there yet, but the framebuffer is: covered all the same.
        wait_until(lambda: self.top_class(RIGHT_CENTRE) == "Vessik", message="the root beside the monitor covered")

        self.x.run("xrandr", "--setmonitor", "RIGHT", "1920/508x1080/286+1920+0", "none")
        wait_until(lambda: self.top_class(RIGHT_CENTRE) == "Vessik", message="a shield on the new monitor")
        self.assertEqual(self.pixel(RIGHT_CENTRE), (0, 0, 0))

        self.type_entry(PASSWORD)
        wait_until(lambda: self.probe("grab-keyboard") == "0", message="the unlock")
        self.assertEqual(self.top_class(RIGHT_CENTRE), "none", "the new monitor's shield is gone too")


if __name__ == "__main__":
    main()
