"""The hotkey-conflict warning on a real X server: keys that other clients grabbed.

Other programs' hotkeys are played by xprobe (a core grab, or an XInput2 grab as
some window managers make). The settings window's lock-key chooser is driven
with the keyboard; an alert shows up as a window named by its title. The
shut-down hotkey is set to a combination these tests never press.
"""

import subprocess

from vessik_harness import TEST_HOTKEYS, VessikTestCase, main, tool, wait_until

XPROBE = tool("xprobe")
LOCK_COMBO = "shift+control+mod1"
ALERT = 'Key "%s" is in use by a system and it may work incorrectly. You can try it or change system hotkeys.'


class ConflictTest(VessikTestCase):
    settings = TEST_HOTKEYS

    def hold(self, *args):
        """Another client's hotkey, held until the returned process's stdin is closed."""
        proc = self.x.spawn(XPROBE, *args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.release, proc)
        self.assertEqual(proc.stdout.readline().strip(), "held", args)
        return proc

    def release(self, holder):
        if not holder.stdin.closed:
            holder.stdin.close()
            holder.wait(timeout=10)
            holder.stdout.close()

    def start_and_wait_for_hotkeys(self):
        """Starts Vessik (without a password: its lock hotkey does nothing) and waits until it holds
        its lock hotkey."""
        self.x.start_tray()
        self.start_vessik()
        self.wait_for_lock_hotkey()

    def named(self, pattern):
        return self.x.visible_windows("--name", pattern)

    def open_lock_key_chooser(self):
        """Opens the settings from the tray menu and moves the focus to the lock key's combo box."""
        icon = wait_until(self.vessik_windows, timeout=15, message="the tray icon")
        self.x.run("xdotool", "mousemove", "--window", icon[0], "5", "5", "click", "3")
        menu = wait_until(lambda: [w for w in self.vessik_windows() if w not in icon], message="the status menu")
        g = self.x.geometry(menu[0])
        self.x.run("xdotool", "mousemove", str(g["X"] + 20), str(g["Y"] + 10), "click", "1")  # Settings…
        window = wait_until(lambda: self.named("^Vessik Settings$"), message="the settings window")[0]
        wait_until(lambda: self.x.run("xdotool", "getwindowfocus", check=False).strip() == window,
                   message="the settings window to have the focus")
        self.x.run("xdotool", "key", "alt+k")  # the mnemonic of the lock key's label

    def alert_names(self):
        return [self.x.run("xdotool", "getwindowname", w, check=False).strip() for w in self.named("^Key ")]

    def keys_expecting_alert(self, keys, alerted, answer="Return"):
        """Presses `keys` in the chooser; only the last may raise an alert, which names `alerted`.

        The chooser is moved with Home, End and the arrows (each step is a pick by
        the user), since typed letters merge into one search when typed quickly.
        """
        self.x.run("xdotool", "key", *keys)
        names = wait_until(self.alert_names, message="an alert after %s" % " ".join(keys))
        self.assertEqual(names, [ALERT % alerted])
        self.x.run("xdotool", "key", answer)
        wait_until(lambda: not self.alert_names(), message="the alert to close")
        # Without a window manager nobody gives the focus back to the settings
        # window; Qt then puts it on the chooser again.
        self.x.run("xdotool", "windowfocus", "--sync", self.named("^Vessik Settings$")[0])

    def test_keys_other_clients_grabbed_are_reported_and_free_ones_are_not(self):
        # The chooser offers F1..F12, 0..9, A..Z in this order.
        self.hold("hold-key", "AB01", "control+mod1")         # Z, a core grab
        self.hold("xi-hold-key", "AD06", "control+mod1")      # Y, an XInput2 grab
        other_l = self.hold("hold-key", "AC09", "control")    # Vessik's own key, other modifiers
        self.start_and_wait_for_hotkeys()
        self.open_lock_key_chooser()

        # F1..F12 (F11 is Vessik's own) and 0 are free: no alert comes before Z's.
        self.keys_expecting_alert(["Home"] + ["Down"] * 12 + ["End"], "Z")
        self.keys_expecting_alert(["Up"], "Y", answer="Escape")
        # L is Vessik's own key, but another client holds it with Control.
        self.keys_expecting_alert(["Up"] * 13, "L")

        # Without that client, Vessik's own hotkey does not count.
        self.release(other_l)
        self.keys_expecting_alert(["Down", "Up", "End"], "Z")

        # The probes left Vessik's hotkey in place and no grab behind.
        self.assertEqual(self.grab_status("AC09", LOCK_COMBO), "10")
        self.assertEqual(self.grab_status("AC09", "control"), "0")
        self.assertEqual(self.grab_status("AD04", "any"), "0")
        free = self.hold("xi-hold-key", "AD04", "any")
        self.release(free)


if __name__ == "__main__":
    main()
