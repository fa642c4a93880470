"""The global hotkeys on a real X server.

Another client (xprobe) plays the other programs: it tries to grab the same key
combination (refused while Vessik holds it), presses keys by their physical
position with XTEST, and tells that the screen is locked when its own keyboard
grab is refused. The shut-down hotkey is always set to a combination these tests
never press; the test that presses it runs in a PID namespace (tests/system).
"""

import subprocess

from vessik_harness import VessikTestCase, main, tool, wait_until

XPROBE = tool("xprobe")
SHIFT_CONTROL_ALT = "shift+control+mod1"
LOCK_VARIANTS = [SHIFT_CONTROL_ALT + extra for extra in ("", "+lock", "+mod2", "+lock+mod2")]
BAD_ACCESS = "10"


class HotKeyTestCase(VessikTestCase):
    def setUp(self):
        super().setUp()
        self.bundle.update_settings(LockShift=1, LockControl=1, LockAlt=1, LockFunc="L",
                                    OffShift=1, OffControl=1, OffAlt=1, OffFunc="F11")

    def grab_status(self, key, mods):
        """"0" when another client may grab the combination, "10" when someone holds it."""
        return self.x.run(XPROBE, "grab-key", key, mods).strip()

    def start_and_wait_for(self, key, mods=SHIFT_CONTROL_ALT):
        self.start_vessik()
        wait_until(lambda: self.grab_status(key, mods) == BAD_ACCESS, message="Vessik's grab of %s %s" % (mods, key))



class GrabTest(HotKeyTestCase):
    def test_the_combination_is_held_with_every_lock_state_and_nothing_more(self):
        self.start_and_wait_for("AC09")
        for mods in LOCK_VARIANTS:
            self.assertEqual(self.grab_status("AC09", mods), BAD_ACCESS, mods)
        for mods in ("control+mod1", "shift+control", SHIFT_CONTROL_ALT + "+mod4", "none"):
            self.assertEqual(self.grab_status("AC09", mods), "0", mods)
        self.assertEqual(self.grab_status("FK11", SHIFT_CONTROL_ALT), BAD_ACCESS, "the shut-down hotkey")

    def test_the_key_is_the_physical_key_whatever_the_layout(self):
        # On a French keyboard the key of a US "Q" types "a", and "q" sits where US has "A".
        self.x.run("setxkbmap", "fr")
        self.bundle.update_settings(LockFunc="Q")
        self.start_and_wait_for("AD01")
        self.assertEqual(self.grab_status("AC01", SHIFT_CONTROL_ALT), "0")
        # Switching back leaves the grab on the same key.
        self.x.run("setxkbmap", "us")
        self.assertEqual(self.grab_status("AD01", SHIFT_CONTROL_ALT), BAD_ACCESS)

    def test_a_combination_another_client_holds_stays_its_own(self):
        holder = self.x.spawn(XPROBE, "hold-key", "AC09", SHIFT_CONTROL_ALT,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.assertEqual(holder.stdout.readline().strip(), "held")
        self.start_and_wait_for("FK11")  # the shut-down hotkey, registered after the refused lock hotkey
        # The refused registration let go of the variants it had been granted.
        for mods in LOCK_VARIANTS[1:]:
            self.assertEqual(self.grab_status("AC09", mods), "0", mods)
        holder.stdin.close()
        holder.wait(timeout=10)
        holder.stdout.close()
        self.assertEqual(self.grab_status("AC09", SHIFT_CONTROL_ALT), "0", "nobody holds it once its holder left")


if __name__ == "__main__":
    main()
