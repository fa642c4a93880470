"""Ways around the lock, tried from a second X client on a real X server with two monitors.

Each test locks, attacks and then checks what a person would see: both monitors
covered by Vessik, the keyboard held, a usable password field, and the password
(and only the password) ending the lock. Vessik runs outside any PID namespace:
the shut-down hotkey is F9, never pressed, and the retry count stays far from 0.
With VESSIK_SCREENSHOT_DIR set, the waiting lock is saved as lock-waiting.png.
Some rows run on a server with a compositing manager (picom), or without the
Composite extension.
"""

import os
import shutil
import stat
import subprocess
import tempfile

from test_lock import FIELD, LEFT_CENTRE, PASSWORD, RIGHT_CENTRE, LockTestCase
from vessik_harness import BUNDLE, LOCK_CHORD, Xvfb, stop_process, tool, wait_until

SCREENSHOT_DIR = os.environ.get("VESSIK_SCREENSHOT_DIR")
NOBODY = 65534


class AttackTestCase(LockTestCase):
    def lock_and_wait(self):
        self.lock()
        wait_until(self.lock_intact, message="the lock")

    def lock_intact(self):
        """Both monitors covered by Vessik, the field usable on top, the keyboard held."""
        return (self.top_class(LEFT_CENTRE) == self.top_class(RIGHT_CENTRE) == "Vessik"
                and self.pixel(RIGHT_CENTRE) == (0, 0, 0) and self.field_usable()
                and self.probe("grab-keyboard") == "1")

    def save_screenshot(self, name):
        if SCREENSHOT_DIR:
            self.save_left_monitor(os.path.join(SCREENSHOT_DIR, name))


class InputPathTest(AttackTestCase):
    # How the clipboard or the primary selection could be put into the field, as xprobe commands.
    PASTES = [
        ("Ctrl+V", ("press", "LCTL+AB04")),
        ("Shift+Insert", ("press", "LFSH+INS")),
        ("Ctrl+Shift+Insert", ("press", "LCTL+LFSH+INS")),
        ("the middle button", ("click", 2) + FIELD),
    ]

    def test_nothing_but_typed_keys_reaches_the_field(self):
        # The clipboard and the primary selection hold the password but its last
        # letter: pasted, that letter and Return would unlock.
        owner, status = self.hold("own-selection", PASSWORD[:-1])
        self.assertEqual(status, "owned")
        self.start(RetryTime=0)
        self.lock_and_wait()
        left = 100
        for name, paste in self.PASTES:
            with self.subTest(name):
                self.probe(*paste)
                self.type_entry(PASSWORD[-1])
                left -= 1
                wait_until(lambda: self.retry_left() == left, message="the entry after " + name + " counted")
                self.assertEqual(self.probe("grab-keyboard"), "1", "still locked")
        self.unlock()


    def test_input_another_client_sends_reaches_nothing(self):
        # Key events made up with SendEvent, not typed: the lock hotkey sent to a
        # hidden window of Vessik's does not lock, however often it comes; the
        # password sent to the lock window does not unlock and counts as no attempt.
        self.start()
        window = self.x.run("xdotool", "search", "--name", "^Qt Selection Owner for Vessik$").split()[0]  # hidden
        for _ in range(20):  # Vessik registers its hotkeys meanwhile
            self.probe("send-chord", window, LOCK_CHORD)
            self.assertFalse(wait_until_or_none(self.locked, 0.1), "no lock from a made-up hotkey")
        self.wait_for_lock_hotkey()  # typed, it locks
        wait_until(self.lock_intact, message="the lock by the typed hotkey")
        self.probe("send-keys", self.probe("top-window", *LEFT_CENTRE).split()[0], PASSWORD)
        self.assertFalse(wait_until_or_none(lambda: self.probe("grab-keyboard") == "0", 1.0), "still locked")
        self.assertEqual(self.retry_left(), 100, "no attempt counted")
        self.unlock()


def red_samples(case, seconds, point=(960, 300)):
    """(how many samples at `point`, on the lock window's monitor away from the
    field, showed the attacker's red, how many samples there were)."""
    matched, _, total = case.probe("sample", seconds, *point, 255, 0, 0).split()[1:]
    return int(matched), int(total)


def wait_until_or_none(condition, seconds):
    """Whether `condition` came true within `seconds` (None when it did not)."""
    try:
        return wait_until(condition, timeout=seconds)
    except AssertionError:
        return None


class GrabTest(AttackTestCase):
    def test_the_field_waits_while_another_client_holds_the_keyboard(self):
        self.start()
        holder, status = self.hold("hold-keyboard")
        self.assertEqual(status, "held")
        self.lock()
        wait_until(lambda: self.top_class(LEFT_CENTRE) == self.top_class(RIGHT_CENTRE) == "Vessik",
                   message="the screen covered while another client holds the keyboard")
        self.assertEqual(self.probe("grab-pointer"), "1", "the free pointer is taken at once")
        # Typing would go to the other client: the field says so and takes nothing.
        wait_until(self.field_disabled, message="the field waiting for the keyboard")
        self.save_screenshot("lock-waiting.png")

        holder.stdin.close()
        holder.wait(timeout=10)
        wait_until(self.lock_intact, message="the keyboard taken and the field usable")
        self.unlock()

    def test_grabs_broken_by_the_server_are_taken_back(self):
        self.x.run("setxkbmap", "-option", "grab:break_actions")
        self.start()
        self.lock_and_wait()
        self.probe("press", "LCTL+LALT+KPDV")  # XF86Ungrab: the server ends every grab
        wait_until(lambda: self.probe("grab-keyboard") == "1" and self.probe("grab-pointer") == "1",
                   message="both grabs taken back")
        wait_until(self.lock_intact, message="the lock usable")
        self.unlock()


class WindowTest(AttackTestCase):
    # What another client does (an xprobe command) to the lock window or a shield.
    CASES = [
        ("unmap", "lock window"), ("unmap", "shield"),
        ("configure", "lock window"), ("configure", "shield"),
        ("destroy", "lock window"), ("destroy", "shield"),
        ("child", "lock window"), ("child", "shield"),
        ("reparent", "lock window"), ("reparent", "shield"),
        ("close", "lock window"),
    ]
    CHILD = (740, 440, 440, 200)  # inside either window, over FIELD and over the middle of the right monitor

    def test_what_another_client_does_to_the_lock_windows_is_undone(self):
        self.start()
        for action, target in self.CASES:
            with self.subTest(action=action, target=target):
                self.lock_and_wait()
                point = LEFT_CENTRE if target == "lock window" else RIGHT_CENTRE
                window = self.probe("top-window", *point).split()[0]
                if action == "child":
                    self.hold("child", window, *self.CHILD)
                elif action == "reparent":
                    self.hold("reparent", window)
                elif action == "configure":
                    self.probe("configure", window, 500, 500, 100, 100)
                else:
                    self.probe(action, window)
                wait_until(self.lock_intact, message="the lock restored after %s of the %s" % (action, target))
                if action != "destroy":  # the same window back on top (the guard's shields look alike)
                    wait_until(lambda: self.probe("top-window", *point).split()[0] == window,
                               message="the %s itself back after %s" % (target, action))
                # Locked in truth: the password ends it, and the next lock comes.
                self.unlock()


class AboveTheLockTest(AttackTestCase):
    """Nothing another client raises or paints shows above the lock, and no
    monitor list leaves part of the framebuffer uncovered."""

    ATTACKS = ["raise loop", "overlay painted", "a window mapped behind"]

    def test_what_another_client_raises_or_paints_stays_hidden(self):
        self.start()
        for attack in self.ATTACKS:
            with self.subTest(attack):
                self.lock_and_wait()
                if attack == "raise loop":
                    loop = self.x.spawn(tool("xprobe"), *map(str, ("raise-loop", 3, 0, 0, 3840, 1080)), stdout=subprocess.PIPE)
                    self.addCleanup(loop.stdout.close)
                    shown, samples = red_samples(self, 2.5)
                    self.assertEqual(loop.wait(timeout=10), 0)
                else:
                    command = ("paint-overlay",) if attack == "overlay painted" else ("map-window", 0, 0, 3840, 1080)
                    attacker, _ = self.hold(*command)
                    shown, samples = red_samples(self, 1.5)
                    attacker.stdin.close()
                    attacker.wait(timeout=10)
                print("%s: the attacker's window in %d of %d samples" % (attack, shown, samples))
                self.assertGreater(samples, 200)
                self.assertLessEqual(shown, samples // 100, "at most 1 % of samples show the attacker")
                wait_until(self.lock_intact, message="the lock intact after the %s" % attack)
                self.unlock()


class WholeScreenTest(AttackTestCase):
    # Points all over the screen of two monitors.
    GRID = [(x, y) for x in range(40, 3840, 480) for y in range(40, 1080, 250)]

    def watch_grid(self, seconds):
        """What the second client got while it watched every point of a grid over the screen."""
        _, *lines, polls = self.probe("watch", seconds, *[v for p in self.GRID for v in p]).split("\n")
        return [line for line in lines if " colour " not in line]

    def test_the_whole_screen_stays_covered_whatever_the_monitors_say(self):
        self.start()
        self.hold("map-window", 0, 0, 3840, 1080)  # the desktop
        self.lock_and_wait()
        # Another client defines a monitor of one pixel and deletes the real ones.
        self.x.run("xrandr", "--setmonitor", "TINY", "1/1x1/1+0+0", "screen")
        for monitor in ("LEFT", "RIGHT"):
            self.x.run("xrandr", "--delmonitor", monitor)
        self.x.run("xrandr", "--output", "screen", "--primary")
        self.assertEqual(self.watch_grid(1), [], "no point of the screen uncovered")
        # A Vessik started again finds no monitor it can use: its window takes the whole root.
        self.x.run("xkill", "-id", self.probe("top-window", *LEFT_CENTRE).split()[0])
        self.vessik.wait(timeout=5)
        self.assertEqual(self.watch_grid(2), [], "no point uncovered while Vessik came back")
        field = (1780, 540)  # the middle of the whole root
        wait_until(lambda: min(self.pixel(field)) > 210, message="the field in the middle of the root")
        self.type_entry(PASSWORD)
        wait_until(lambda: self.probe("grab-keyboard") == "0", message="the unlock")
        # The restarted Vessik is the guard's: the test's cleanup ends the server first.


class AboveTheLockWithACompositorTest(AboveTheLockTest):
    """The same with a compositing manager, which paints the overlay window itself.
    (Its windows live on the root then: a window raised in a loop fights them
    there, as without Composite; see test_the_lock_keeps_on_top_by_restacking.)"""

    ATTACKS = ["overlay painted", "a window mapped behind"]

    def setUp(self):
        super().setUp()
        self.x.spawn("picom", "--backend", "xrender", "--config", "/dev/null",
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: self.probe("selection-owner", "_NET_WM_CM_S0") != "none", message="picom")


class AboveTheLockWithoutCompositeTest(AttackTestCase):
    """Without the Composite extension the lock keeps on top by restacking."""

    xvfb_args = ("-extension", "Composite")

    def test_the_lock_keeps_on_top_by_restacking(self):
        self.start()
        self.lock_and_wait()
        loop = self.x.spawn(tool("xprobe"), *map(str, ("raise-loop", 2, 0, 0, 3840, 1080)), stdout=subprocess.PIPE)
        self.addCleanup(loop.stdout.close)
        shown, samples = red_samples(self, 1.5)
        loop.wait(timeout=10)
        print("raise loop without Composite: the attacker's window in %d of %d samples" % (shown, samples))
        wait_until(self.lock_intact, message="the lock back on top after the loop")
        self.unlock()


class InstanceTest(AttackTestCase):
    def start_second(self, x=None, env=None, bundle=None, user=None):
        """Starts another Vessik; returns it and the path of its output."""
        x = x or self.x
        log = tempfile.NamedTemporaryFile(prefix="vessik-second-", suffix=".txt", delete=False)
        self.addCleanup(os.unlink, log.name)
        command = [bundle or self.bundle.executable]
        if user is not None:
            command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + command
        proc = x.spawn(*command, env=env, stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(stop_process, proc)
        return proc, log.name

    def settings_shown(self):
        return self.x.settings_windows()

    def test_a_second_vessik_on_the_display_asks_the_first_for_its_settings_and_exits(self):
        self.start()
        # During a lock the running one opens nothing and stays locked.
        self.lock_and_wait()
        second, _ = self.start_second()
        self.assertEqual(second.wait(timeout=10), 0)
        self.type_entry("x")
        wait_until(lambda: self.retry_left() == 99, message="a wrong entry counted after the request")
        self.assertFalse(self.settings_shown())
        self.assertEqual(self.probe("grab-keyboard"), "1")
        self.unlock()

        third, log = self.start_second()
        self.assertEqual(third.wait(timeout=10), 0)
        with open(log) as f:
            self.assertIn("Vessik already runs for this user on display %s" % self.x.display, f.read())
        wait_until(self.settings_shown, message="the first one's settings window")
        self.assertIsNone(self.vessik.poll())

    def test_other_displays_and_users_are_independent_and_no_vessik_can_be_traced(self):
        self.start()
        other = Xvfb(1024, 768)
        self.addCleanup(other.stop)
        beside, _ = self.start_second(x=other, env={"VESSIK_TEST_LOCK_SIGNAL": "1"})
        wait_until(lambda: self.signal_ready(beside), message="a Vessik on another display")

        # Another user on the same display, with a bundle and folders of its own.
        home = tempfile.mkdtemp(prefix="vessik-nobody-")
        self.addCleanup(shutil.rmtree, home)
        bundle = os.path.join(home, "Vessik.app")
        shutil.copytree(BUNDLE, bundle, symlinks=True)
        runtime = os.path.join(home, "runtime")
        os.mkdir(runtime, 0o700)
        for root, dirs, files in os.walk(home):
            for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                os.lchown(name, NOBODY, NOBODY)
        os.chmod(home, stat.S_IRWXU)
        stranger, _ = self.start_second(env={"HOME": home, "XDG_RUNTIME_DIR": runtime, "VESSIK_TEST_LOCK_SIGNAL": "1"},
                                        bundle=os.path.join(bundle, "Vessik"), user=NOBODY)
        wait_until(lambda: self.signal_ready(stranger), message="another user's Vessik on this display")

        # Non-dumpable: a process of that user's own may not trace it or read its
        # memory, which shows as /proc files that belong to root.
        self.assertEqual(os.stat("/proc/%d/mem" % stranger.pid).st_uid, 0)
        self.assertIsNone(self.vessik.poll())

    def signal_ready(self, proc):
        self.assertIsNone(proc.poll(), "it keeps running")
        return self.lock_signal_ready(proc)  # start-up went past the instance check


if __name__ == "__main__":
    from vessik_harness import main
    main()
