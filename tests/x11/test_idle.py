"""The idle lock on a real X server.

The test's own XTEST input (xprobe) is the user: it resets the server's idle
counter. "Locked" is what another program sees: its keyboard grab is refused.
The shut-down hotkey is set to a combination this test never presses.
"""

import time

from vessik_harness import TEST_HOTKEYS, VessikTestCase, main, tool

XPROBE = tool("xprobe")
INACTIVITY_TIME = 2
# The timer ticks once a second and the idle time counts in whole seconds, so
# the lock comes between 2 and 3 s after the last input; the margin covers the
# lock itself and the probe's polling on a busy machine.
MARGIN = 0.3


class IdleLockTest(VessikTestCase):
    settings = dict(TEST_HOTKEYS, Password="idle-pw", InactivityTime=INACTIVITY_TIME)

    def move(self):
        self.x.run(XPROBE, "move")
        return True

    def keyboard_free(self):
        return self.x.run(XPROBE, "grab-keyboard").strip() == "0"

    def test_locks_between_two_and_three_seconds_after_the_last_input(self):
        # Without a password the lock hotkey does nothing; once it no longer reaches
        # other programs, Vessik is up and its idle timer runs.
        values = self.bundle.settings()
        del values["Password"]
        self.bundle.write_settings(values)
        self.start_vessik()
        self.wait_for_lock_hotkey()
        # The probe's last press, taken by Vessik's grab, may still wait in Vessik's
        # event queue; it must be handled while no password is stored, or it would
        # lock. A second of user activity gives it that time.
        settle = time.monotonic() + 1.0
        while time.monotonic() < settle:
            self.move()
            time.sleep(0.2)
        self.bundle.update_settings(Password="idle-pw")  # read again at every tick

        # Input every half second keeps it unlocked for longer than the limit.
        end = time.monotonic() + 2 * INACTIVITY_TIME
        while time.monotonic() < end:
            self.move()
            self.assertTrue(self.keyboard_free(), "locked although the user is active")
            time.sleep(0.5)

        # Then the user stops: the probe's last input starts the clock.
        out = self.x.run(XPROBE, "time-to-grab", str(INACTIVITY_TIME + 5), timeout=30).strip()
        self.assertNotEqual(out, "timeout", "never locked")
        seconds = float(out)
        self.assertGreaterEqual(seconds, INACTIVITY_TIME, "locked before the limit")
        self.assertLess(seconds, INACTIVITY_TIME + 1 + MARGIN, "locked too late")


if __name__ == "__main__":
    main()
