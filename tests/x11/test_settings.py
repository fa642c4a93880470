"""The settings window of the real program on a real X server: opened from the
tray menu, edited with the keyboard, saved to the bundle's settings file.

Vessik runs outside any PID namespace here: before it starts, the shut-down
hotkey is set to Shift+Control+Alt+F11, which these tests never press, and the
retry count to 100, far from an exhausted count.

With VESSIK_SCREENSHOT_DIR set, the window is also saved as settings.png
(filled from the file) and settings-error.png (a save that could not write).
"""

import os
import subprocess

from vessik_harness import LOCK_CHORD, VessikTestCase, main, wait_until

OLD_LOCK_CHORD = LOCK_CHORD  # Shift+Control+Alt+L, as shipped
NEW_LOCK_CHORD = "LCTL+LALT+AB07"  # Control+Alt+M, as set in the window
ERROR_RGB = bytes((0xB0, 0x3A, 0x2E))  # the error line's colour in SettingsWindow.ui
HARMLESS = {"OffShift": 1, "OffControl": 1, "OffAlt": 1, "OffFunc": "F11", "RetryCount": 100, "RetryLeft": 100}


class SettingsWindowTest(VessikTestCase):
    screen = (1280, 800)

    def settings_window(self):
        return self.x.settings_windows()

    def key(self, *keys):
        self.x.run("xdotool", "key", "--delay", "30", *keys)

    def type(self, text):
        self.x.run("xdotool", "type", "--delay", "30", text)

    def taken_by_vessik(self, chord):
        """Whether another client's grab takes a press of `chord` (its last key stays away
        from the probe's own focused window); nothing is grabbed by the probe."""
        return self.probe("delivered", chord) == "no"

    def start_tray_and_vessik(self):
        self.x.start_tray()
        self.start_vessik()

    def open_settings_from_tray(self):
        """Right-clicks the tray icon, clicks the menu's Settings entry, waits for the focused window."""
        icon = wait_until(self.vessik_windows, timeout=15, message="the tray icon")
        self.assertEqual(len(icon), 1, "before any click, the tray icon is Vessik's only window")
        self.x.run("xdotool", "mousemove", "--window", icon[0], "5", "5", "click", "3")
        menu = wait_until(lambda: [w for w in self.vessik_windows() if w != icon[0]], message="the status menu")
        g = self.x.geometry(menu[0])
        # Settings is the first entry.
        self.x.run("xdotool", "mousemove", str(g["X"] + 20), str(g["Y"] + 12), "click", "1")
        window = wait_until(self.settings_window, message="the settings window")[0]
        # The program brings the window to the front and gives it the keyboard.
        wait_until(lambda: self.x.run("xdotool", "getwindowfocus", check=False).strip() == window,
                   message="the settings window to have the focus")
        return window

    def save_picture(self, window, name):
        folder = os.environ.get("VESSIK_SCREENSHOT_DIR")
        if folder:
            subprocess.run(["import", "-window", window, os.path.join(folder, name)], env=self.x.env, check=True)

    def shows_error_colour(self, window):
        """Whether some pixel of the window has the error line's text colour."""
        xwd = subprocess.run(["xwd", "-id", window, "-silent"], env=self.x.env, check=True,
                             stdout=subprocess.PIPE).stdout
        rgb = subprocess.run(["convert", "xwd:-", "rgb:-"], input=xwd, check=True, stdout=subprocess.PIPE).stdout
        return any(rgb[i:i + 3] == ERROR_RGB for i in range(0, len(rgb) - 2, 3))

    def test_keys_and_password_saved_from_the_window(self):
        self.bundle.update_settings(**HARMLESS)
        self.start_tray_and_vessik()
        self.wait_for_lock_hotkey(OLD_LOCK_CHORD)
        window = self.open_settings_from_tray()
        self.save_picture(window, "settings.png")

        # Lock key: L becomes M, and Shift is dropped (three fields back in the tab order).
        self.key("alt+k")
        self.type("m")
        self.key("shift+Tab", "shift+Tab", "shift+Tab", "space")
        # A first password needs no old one.
        self.key("alt+n")
        self.type("Pa55 word")
        self.key("alt+f")
        self.type("Pa55 word")
        self.key("alt+s")

        wait_until(lambda: not self.settings_window(), message="the window to close after saving")
        saved = self.bundle.settings()
        self.assertEqual(list(saved), ["Language", "LockShift", "LockControl", "LockAlt", "LockFunc", "OffShift",
                                       "OffControl", "OffAlt", "OffFunc", "Password", "InactivityTime", "ImageType",
                                       "ImagePath", "RetryTime", "RetryCount", "RetryLeft"])
        self.assertEqual((saved["LockShift"], saved["LockControl"], saved["LockAlt"], saved["LockFunc"]),
                         (0, 1, 1, "M"))
        self.assertEqual({k: saved[k] for k in HARMLESS}, HARMLESS)
        self.assertEqual(saved["Password"], "Pa55 word")
        self.assertEqual(saved["RetryLeft"], saved["RetryCount"])
        self.assertEqual(os.stat(self.bundle.settings_path).st_mode & 0o777, 0o600)
        self.assertNotIn("Pa55", self.log_text())

        # The save registered the hotkeys anew (before it closed the window): the new one locks.
        self.assertFalse(self.locked())
        self.probe("press", NEW_LOCK_CHORD)
        wait_until(self.locked, message="a lock by the new hotkey")
        self.type("Pa55 word")
        self.key("Return")
        wait_until(lambda: not self.locked(), message="the unlock with the new password")
        # The old one is let go: another client may grab it, and a press of it reaches other programs.
        self.assertEqual(self.grab_status("AC09", "shift+control+mod1"), "0")
        self.assertFalse(self.taken_by_vessik(OLD_LOCK_CHORD), "the old lock hotkey reaches other programs")
        self.assertFalse(self.locked())

    def test_refused_saves_keep_the_window_and_the_file(self):
        self.bundle.update_settings(Password="right", **HARMLESS)
        with open(self.bundle.settings_path, "rb") as f:
            before = f.read()
        self.start_tray_and_vessik()
        window = self.open_settings_from_tray()

        self.key("alt+u")
        self.type("wrong")
        self.key("alt+n")
        self.type("new")
        self.key("alt+f")
        self.type("new")
        self.key("alt+s")
        wait_until(lambda: self.shows_error_colour(window), message="the error line in the window")
        self.assertEqual(self.settings_window(), [window], "the window stays open")
        with open(self.bundle.settings_path, "rb") as f:
            self.assertEqual(f.read(), before)

        # A save that cannot write (a folder in the file's place) explains itself on
        # two lines, and the window grows to make room for them.
        height = self.x.geometry(window)["HEIGHT"]
        os.unlink(self.bundle.settings_path)
        os.mkdir(self.bundle.settings_path)
        self.key("alt+s")
        wait_until(lambda: self.x.geometry(window)["HEIGHT"] > height, message="the window to grow")
        self.save_picture(window, "settings-error.png")
        self.assertEqual(self.settings_window(), [window], "the window stays open")
        self.assertTrue(os.path.isdir(self.bundle.settings_path))

if __name__ == "__main__":
    main()
