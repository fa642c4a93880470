"""Vessik Install on a real X server: tick the box, click Install, find the result in a temporary home."""

import os
import plistlib
import subprocess
import tempfile
import xml.etree.ElementTree as ET

from vessik_harness import INSTALL_BUNDLE, SOURCE_DIR, TempBundle, VessikTestCase, main, stop_process, wait_until

UI_FILE = os.path.join(SOURCE_DIR, "Vessik Install", "ui", "InstallWindow.ui")


def widget_rect(name):
    """The geometry of a widget of the installer window, as laid out in its interface file."""
    for widget in ET.parse(UI_FILE).getroot().iter("widget"):
        if widget.get("name") == name:
            rect = widget.find("./property[@name='geometry']/rect")
            return {child.tag: int(child.text) for child in rect}
    raise KeyError(name)


class InstallerTest(VessikTestCase):
    def setUp(self):
        super().setUp()
        self.installer = TempBundle(INSTALL_BUNDLE)
        self.addCleanup(self.installer.cleanup)
        self.home = self.x.env["HOME"]
        self.installed = os.path.join(self.home, "Applications", "Vessik.app")
        self.autostart = os.path.join(self.x.env["XDG_CONFIG_HOME"], "autostart")

    def click(self, window, x, y):
        self.x.run("xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1")

    def click_widget(self, window, name, dx=None):
        r = widget_rect(name)
        self.click(window, r["x"] + (dx if dx is not None else r["width"] // 2), r["y"] + r["height"] // 2)

    def window_pixels(self, window):
        """The window's pixels as (r, g, b) tuples, and the PNG they were read from."""
        xwd = subprocess.run(["xwd", "-id", window, "-silent"], env=self.x.env, check=True,
                             stdout=subprocess.PIPE).stdout
        png = tempfile.NamedTemporaryFile(suffix=".png", delete=False).name
        self.addCleanup(os.unlink, png)
        subprocess.run(["convert", "xwd:-", png], input=xwd, check=True)
        raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], check=True, stdout=subprocess.PIPE).stdout
        return [tuple(raw[i:i + 3]) for i in range(0, len(raw), 3)], png

    def test_install_with_start_at_login(self):
        log = tempfile.NamedTemporaryFile(prefix="installer-log-", suffix=".txt", delete=False)
        self.addCleanup(os.unlink, log.name)
        proc = self.x.spawn(os.path.join(self.installer.path, "Vessik Install"), stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(stop_process, proc)
        window = wait_until(lambda: self.window_ids("Vessik Install"), message="the installer window")[0]

        # Launching centres the window on the screen.
        def centred():
            g = self.x.geometry(window)
            return abs(2 * g["X"] + g["WIDTH"] - self.screen[0]) <= 2 and abs(
                2 * g["Y"] + g["HEIGHT"] - self.screen[1]) <= 2
        wait_until(centred, message="the installer window centred")
        self.assertFalse(os.path.exists(os.path.join(self.home, "Applications")))

        self.click_widget(window, "autorunCheckBox", dx=8)  # on the box itself
        self.click_widget(window, "installButton")
        program = os.path.join(self.installed, "Vessik")
        wait_until(lambda: os.path.exists(program) and os.path.isdir(self.autostart) and os.listdir(self.autostart),
                   message="the installed program and its login item")

        # The copy is complete and keeps the settings file private.
        self.assertTrue(os.access(program, os.X_OK))
        self.assertEqual(os.stat(os.path.join(self.installed, "Resources", "Settings.plist")).st_mode & 0o777, 0o600)
        self.assertEqual(os.listdir(os.path.join(self.home, "Applications")), ["Vessik.app"])

        # The login item starts the installed program and is a valid desktop entry.
        [entry] = os.listdir(self.autostart)
        entry = os.path.join(self.autostart, entry)
        with open(entry) as f:
            self.assertIn('Exec="%s"\n' % program, f.read())
        self.x.run("desktop-file-validate", entry)

        # So does the menu entry, with the installed copy's picture.
        menu_entry = os.path.join(self.home, ".local", "share", "applications", "vessik.desktop")
        with open(menu_entry) as f:
            text = f.read()
        self.assertIn('\nExec="%s"\n' % program, text)
        self.assertIn("\nIcon=%s\n" % os.path.join(self.installed, "Resources", "tray.png"), text)
        self.x.run("desktop-file-validate", menu_entry)

        # The success message is shown in green.
        def green_text():
            return sum(1 for r, g, b in self.window_pixels(window)[0] if g > 150 and r < 100 and b < 100) > 50
        wait_until(green_text, message="green text in the installer window")
        _, png = self.window_pixels(window)
        if os.environ.get("VESSIK_INSTALLER_SCREENSHOT"):
            subprocess.run(["cp", png, os.environ["VESSIK_INSTALLER_SCREENSHOT"]], check=True)

        # Quit ends the installer, which has not started Vessik.
        self.assertEqual(self.window_ids("Vessik"), [])
        self.click_widget(window, "quitButton")
        self.assertEqual(proc.wait(timeout=10), 0)
        with open(log.name, errors="replace") as f:
            self.assertEqual(f.read(), "", "nothing logged on success")

        # The installed copy runs from its new place and finds its own settings.
        settings_path = os.path.join(self.installed, "Resources", "Settings.plist")
        with open(settings_path, "rb") as f:
            settings = plistlib.load(f)
        settings["OffFunc"] = "F12"  # the shut-down hotkey: a key this test never presses
        with open(settings_path, "wb") as f:
            plistlib.dump(settings, f, sort_keys=False)
        self.x.start_tray()
        vessik_log = tempfile.NamedTemporaryFile(prefix="vessik-log-", suffix=".txt", delete=False)
        self.addCleanup(os.unlink, vessik_log.name)
        vessik = self.x.spawn(program, stdout=vessik_log, stderr=subprocess.STDOUT)
        self.addCleanup(stop_process, vessik)
        wait_until(lambda: self.x.run("xdotool", "search", "--class", "Vessik", check=False).split(),
                   timeout=15, message="the installed Vessik's tray icon")
        self.assertIsNone(vessik.poll())
        with open(vessik_log.name, errors="replace") as f:
            self.assertNotIn("Error reading plist", f.read())


if __name__ == "__main__":
    main()
