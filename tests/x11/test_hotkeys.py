"""The global hotkeys on a real X server.

Another client (xprobe) plays the other programs: it tries to grab the same key
combination (refused while Vessik holds it), presses keys by their physical
position with XTEST, and tells that the screen is locked when its own keyboard
grab is refused. The shut-down hotkey is always set to a combination these tests
never press; the test that presses it runs in a PID namespace (tests/system).

Readiness is never checked by grabbing Vessik's own combination: a probe that
held it for a moment while Vessik registered would make Vessik's grab fail.
"""

import subprocess

from vessik_harness import LOCK_CHORD, TEST_HOTKEYS, VessikTestCase, main, tool, wait_until

XPROBE = tool("xprobe")
SHIFT_CONTROL_ALT = "shift+control+mod1"
LOCK_VARIANTS = [SHIFT_CONTROL_ALT + extra for extra in ("", "+lock", "+mod2", "+lock+mod2")]
BAD_ACCESS = "10"
PASSWORD = "hotkey-pw"


class HotKeyTestCase(VessikTestCase):
    settings = TEST_HOTKEYS

    def start_and_wait_for_lock_hotkey(self, chord=LOCK_CHORD):
        """Starts Vessik (without a password: the lock hotkey then does nothing) and waits until
        it holds the lock hotkey."""
        self.start_vessik()
        self.wait_for_lock_hotkey(chord)

    def turn_on(self, key, name):
        """Presses a lock key (CAPS, NMLK) and checks that its lock is now on."""
        self.probe("press", key)
        self.assertRegex(self.x.run("xset", "q"), name + r":\s+on")


class GrabTest(HotKeyTestCase):
    def test_the_combination_is_held_with_every_lock_state_and_nothing_more(self):
        self.start_and_wait_for_lock_hotkey()
        for mods in LOCK_VARIANTS:
            self.assertEqual(self.grab_status("AC09", mods), BAD_ACCESS, mods)
        for mods in ("control+mod1", "shift+control", SHIFT_CONTROL_ALT + "+mod4", "none"):
            self.assertEqual(self.grab_status("AC09", mods), "0", mods)
        self.assertEqual(self.grab_status("FK11", SHIFT_CONTROL_ALT), BAD_ACCESS, "the shut-down hotkey")

    def test_the_key_is_the_physical_key_whatever_the_layout(self):
        # On a French keyboard the key of a US "Q" types "a", and "q" sits where US has "A".
        self.x.run("setxkbmap", "fr")
        self.bundle.update_settings(LockFunc="Q")
        self.start_and_wait_for_lock_hotkey("LFSH+LCTL+LALT+AD01")
        self.assertEqual(self.grab_status("AC01", SHIFT_CONTROL_ALT), "0")
        # Switching back leaves the grab on the same key.
        self.x.run("setxkbmap", "us")
        self.assertEqual(self.grab_status("AD01", SHIFT_CONTROL_ALT), BAD_ACCESS)

    def test_a_combination_another_client_holds_stays_its_own(self):
        holder = self.x.spawn(XPROBE, "hold-key", "AC09", SHIFT_CONTROL_ALT,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.assertEqual(holder.stdout.readline().strip(), "held")
        # The idle lock comes only after both hotkeys were registered: it tells that Vessik is done.
        self.bundle.update_settings(Password=PASSWORD, InactivityTime=1)
        self.start_vessik()
        wait_until(self.locked, message="the idle lock")
        self.assertEqual(self.grab_status("FK11", SHIFT_CONTROL_ALT), BAD_ACCESS, "the shut-down hotkey")
        # The refused lock hotkey let go of the variants it had been granted.
        for mods in LOCK_VARIANTS[1:]:
            self.assertEqual(self.grab_status("AC09", mods), "0", mods)
        holder.stdin.close()
        holder.wait(timeout=10)
        holder.stdout.close()
        self.assertEqual(self.grab_status("AC09", SHIFT_CONTROL_ALT), "0", "nobody holds it once its holder left")


class LockByHotKeyTest(HotKeyTestCase):
    settings = dict(TEST_HOTKEYS, Password=PASSWORD, InactivityTime=100000)

    def press_until_locked(self, chord=LOCK_CHORD):
        """Presses the lock hotkey until the screen is locked: presses made before Vessik
        registered it go to whichever window has the focus."""
        wait_until(lambda: self.probe("press", chord) == "" and self.locked(), message="a lock by " + chord)

    def test_the_hotkey_locks_from_another_programs_focused_window(self):
        other = self.x.spawn("xlogo", "-geometry", "300x300+100+100")
        window = wait_until(lambda: self.x.visible_windows("--class", "xlogo"), message="the other program's window")
        self.x.run("xdotool", "windowfocus", "--sync", window[0])
        self.start_vessik()
        self.assertFalse(self.locked(), "not locked before the hotkey")
        self.press_until_locked()
        self.assertIsNone(other.poll())
        # After the unlock the keys go where they went before, and the hotkey locks again at once.
        wait_until(lambda: min(int(v) for v in self.probe("pixel", 840, 540).split()) > 210, message="the field")
        self.x.run("xdotool", "type", "--delay", "15", PASSWORD)
        self.x.run("xdotool", "key", "Return")
        wait_until(lambda: not self.locked(), message="the unlock")
        self.assertEqual(self.x.run("xdotool", "getwindowfocus").strip(), window[0])
        self.probe("press", LOCK_CHORD)
        wait_until(self.locked, message="the lock by one press after an unlock")

    def test_caps_lock_does_not_stop_the_hotkey(self):
        self.turn_on("CAPS", "Caps Lock")
        self.start_vessik()
        self.press_until_locked()

    def test_num_lock_does_not_stop_the_hotkey(self):
        self.turn_on("NMLK", "Num Lock")
        self.start_vessik()
        self.press_until_locked()

    def test_under_a_french_layout_the_hotkey_is_the_same_physical_key(self):
        self.x.run("setxkbmap", "fr")
        self.bundle.update_settings(LockFunc="Q")
        self.start_vessik()
        self.press_until_locked("LFSH+LCTL+LALT+AD01")


if __name__ == "__main__":
    main()
