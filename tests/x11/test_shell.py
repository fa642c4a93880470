"""The application shell on a real X server: tray icon, status menu, quitting, a desktop without a tray."""

import os
import subprocess
import time

from vessik_harness import TempBundle, VessikTestCase, Xvfb, child_pids, main, process_ended, wait_until

NO_TRAY = "No system tray on this desktop"


class TrayTest(VessikTestCase):
    def tray_embedded(self):
        # The icon's window is a child of trayer's window once it is embedded.
        tree = self.x.run("xwininfo", "-root", "-tree", check=False)
        lines = tree.splitlines()
        for i, line in enumerate(lines):
            if "trayer" in line:
                depth = len(line) - len(line.lstrip())
                for child in lines[i + 1:i + 40]:
                    if len(child) - len(child.lstrip()) <= depth:
                        break
                    if "Vessik" in child or "vessik" in child.lower():
                        return True
        return False

    def test_tray_icon_menu_and_quit(self):
        self.x.start_tray()
        proc = self.start_vessik()
        wait_until(self.tray_embedded, timeout=15, message="the tray icon embedded in trayer")
        guard = wait_until(lambda: child_pids(proc.pid), message="Vessik's guard")[0]

        # A right click on the icon opens the status menu with its two entries.
        # Before any click, the only visible window of Vessik is its tray icon.
        icon = wait_until(self.vessik_windows, message="the tray icon window")
        self.assertEqual(len(icon), 1)
        self.x.run("xdotool", "mousemove", "--window", icon[0], "5", "5", "click", "3")
        menu = wait_until(lambda: [w for w in self.vessik_windows() if w != icon[0]], message="the status menu")
        g = self.x.geometry(menu[0])
        self.assertGreaterEqual(g["HEIGHT"], 40, "the menu shows Settings and Quit")
        if os.environ.get("VESSIK_SCREENSHOT"):
            self.x.screenshot(os.environ["VESSIK_SCREENSHOT"])

        # Quit is the last entry; the guard ends with Vessik.
        self.x.run("xdotool", "mousemove", str(g["X"] + 20), str(g["Y"] + g["HEIGHT"] - 10), "click", "1")
        self.assertEqual(proc.wait(timeout=10), 0)
        wait_until(lambda: process_ended(guard), message="the guard ended")

    def test_corrupt_settings_still_finish_start_up(self):
        with open(self.bundle.settings_path, "wb") as f:
            f.write(b"<plist><dict><key>Password</key>")
        self.x.start_tray()
        proc = self.start_vessik()
        wait_until(self.tray_embedded, timeout=15, message="the tray icon despite a corrupt settings file")
        # The one-second timer runs and reloads: one log line per load.
        wait_until(lambda: self.log_text().count("Error reading plist from file") >= 3, timeout=10,
                   message="repeated load errors from the running timer")
        self.assertIsNone(proc.poll())
        self.assertIn("Error reading plist from file '%s', error = '" % self.bundle.settings_path, self.log_text())


class WithoutTrayTest(VessikTestCase):
    def test_without_a_tray_host_it_says_so_and_asks_for_a_password_until_one_is_stored(self):
        # Side by side on a second display: a Vessik whose password is stored.
        other = Xvfb()
        self.addCleanup(other.stop)
        stored = TempBundle()
        self.addCleanup(stored.cleanup)
        stored.update_settings(Password="stored")
        stored_log = os.path.join(other.runtime.name, "vessik.log")
        with open(stored_log, "w") as log:
            other.spawn(stored.executable, stdout=log, stderr=subprocess.STDOUT)
        # The shipped settings store no password: Vessik cannot lock until the person sets one.
        self.start_vessik()

        wait_until(lambda: self.x.settings_windows(), timeout=10, message="the settings window opened at start")
        self.assertEqual(self.log_text().count(NO_TRAY), 1, self.log_text())

        def stored_log_text():
            with open(stored_log, errors="replace") as f:
                return f.read()
        wait_until(lambda: NO_TRAY in stored_log_text(), timeout=10, message="the log line")
        # The window would be opened right after the line: give it the time to show up.
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            self.assertEqual(other.settings_windows(), [], "nothing to ask once a password is stored")


if __name__ == "__main__":
    main()
