"""The lock outlives Vessik: its guard keeps the screen covered and the input held
when Vessik ends during a lock, and starts it again with the same lock.

Looked at from a second X client on two monitors. Vessik runs outside any PID
namespace: the shut-down hotkey is F9, never pressed, and the retry count stays
far from 0. Every process signalled here is one the test started, or one read
from the /proc entries of its own Vessik.
"""

import os
import signal
import subprocess
import tempfile
import time
import traceback
import unittest
from concurrent.futures import ThreadPoolExecutor

from test_attacks import AttackTestCase
from test_lock import FIELD, LEFT_CENTRE, PASSWORD, RIGHT_CENTRE
from vessik_harness import child_pids, end_pid, main, process_ended, start_time, tool, wait_until

DISABLED = "180 180 180"  # the colour of the locked-out field


class GuardTestCase(AttackTestCase):
    def guard(self, vessik=None):
        """The guard of our Vessik: its child."""
        vessik = vessik or self.vessik
        return wait_until(lambda: child_pids(vessik.pid), message="Vessik's guard")[0]

    def desktop(self):
        """Another program's window over both monitors, which a lock must hide."""
        self.hold("map-window", 0, 0, 3840, 1080)

    def uncovered(self):
        return self.top_class(LEFT_CENTRE) == self.top_class(RIGHT_CENTRE) == "XProbe"

    def end_vessik_while_locked(self, ending):
        """One case of the signal matrix: locked, a wrong entry, then Vessik ends by `ending`."""
        self.start(RetryTime=3)
        self.desktop()
        self.lock_and_wait()
        self.type_entry("wrong")
        wait_until(self.field_disabled, message="the lock-out of the wrong entry")
        self.assertEqual(self.retry_left(), 99)
        guard = self.guard()
        watcher = self.x.spawn(tool("xprobe"), *map(str, ("watch", 2) + FIELD + RIGHT_CENTRE),
                               stdout=subprocess.PIPE, text=True)
        self.addCleanup(watcher.stdout.close)
        self.assertEqual(watcher.stdout.readline().strip(), "watching")

        if ending == "closed X connection":
            self.x.run("xkill", "-id", self.probe("top-window", *LEFT_CENTRE).split()[0])
        else:
            os.kill(self.vessik.pid, getattr(signal, ending))
        self.vessik.wait(timeout=5)
        restarted = wait_until(lambda: child_pids(guard), message="Vessik started again")[0]
        self.addCleanup(end_pid, restarted, start_time(restarted))  # unlocked by then: the guard ends with it
        wait_until(self.field_disabled, message="the lock window back, its field still locked out")
        self.assertEqual(self.retry_left(), 99, "the count is what it was")
        self.type_entry(PASSWORD)  # during the lock-out: nothing
        self.assertEqual(self.probe("grab-keyboard"), "1")
        self.assertEqual(self.retry_left(), 99)

        *lines, polls = watcher.communicate(timeout=10)[0].strip().split("\n")
        colours = [(float(line.split()[0]), line.split(" ", 2)[2]) for line in lines if " colour " in line]
        self.assertEqual([line for line in lines if " colour " not in line], [], "what the second client got")
        self.assertGreater(int(polls.split()[1]), 500, "it polled every few milliseconds")
        # The field's grey gave way to the guard's black shield, and came back.
        gone = next(t for t, colour in colours if colour != DISABLED)
        back = next(t for t, colour in colours if t > gone and colour == DISABLED) - gone
        self.assertLess(back, 1.0, "the lock window is back within 1 s")
        self.unlock()
        wait_until(lambda: self.retry_left() == 100, message="the count reset by the password")
        return back, int(polls.split()[1])


class SignalMatrixTest(unittest.TestCase):
    # How Vessik ends during a lock.
    ENDINGS = ["SIGKILL", "SIGSEGV", "SIGABRT", "SIGTERM", "SIGINT", "SIGHUP", "closed X connection"]

    def test_the_lock_outlives_vessik_however_it_ends(self):
        def run(ending):
            case = GuardTestCase("end_vessik_while_locked")
            try:
                case.setUp()
                return "back after %.2f s, %d polls" % case.end_vessik_while_locked(ending), None
            except Exception:
                return None, traceback.format_exc()
            finally:
                case.doCleanups()

        # Each case has an X server, a bundle and a Vessik of its own: two run side
        # by side (a restart is a start-up of Vessik, which takes what CPU it gets).
        with ThreadPoolExecutor(2) as pool:
            results = list(pool.map(run, self.ENDINGS))
        for ending, (polls, failure) in zip(self.ENDINGS, results):
            with self.subTest(ending):
                if failure:
                    self.fail(failure)
                print("%s: no input, no uncovered monitor; %s" % (ending, polls))


class Restarted:
    """A Vessik that the guard started again, as the tests' own Vessik: its pid."""

    def __init__(self, pid):
        self.pid = pid


class GuardTest(GuardTestCase):
    def test_a_vessik_that_cannot_come_back_leaves_the_lock_to_the_guard_until_it_is_ended(self):
        self.start()
        self.desktop()
        self.lock_and_wait()
        guard = self.guard()
        # From now on Vessik dies at every start.
        broken = os.path.join(tempfile.mkdtemp(dir=os.path.dirname(self.bundle.path)), "Vessik")
        with open(broken, "w") as f:
            f.write("#!/bin/sh\nkill -SEGV $$\n")
        os.chmod(broken, 0o755)
        os.replace(broken, self.bundle.executable)
        os.kill(self.vessik.pid, signal.SIGKILL)

        wait_until(lambda: "kill %d" % guard in self.log_text(), message="the guard giving up")
        self.assertEqual(self.probe("grab-keyboard"), "1")
        self.assertEqual(self.probe("grab-pointer"), "1")
        self.assertEqual(self.top_class(LEFT_CENTRE), "Vessik")
        self.assertEqual(self.top_class(RIGHT_CENTRE), "Vessik")
        for monitor in (0, 1920):  # the message, on each monitor
            wait_until(lambda: int(self.probe("bright", monitor + 660, 500, 600, 80)) > 500,
                       message="the message at %d" % monitor)
        self.save_screenshot("guard-gave-up.png")
        self.type_entry(PASSWORD)  # no password is taken any more
        self.assertEqual(self.probe("grab-keyboard"), "1")
        self.assertFalse(child_pids(guard))

        subprocess.run(["kill", str(guard)], check=True)  # the command on the screen
        wait_until(lambda: process_ended(guard), message="the guard ended")
        wait_until(self.uncovered, message="the desktop")
        self.assertEqual(self.probe("grab-keyboard"), "0")

    def test_the_x_clients_of_vessik_and_the_guard_killed_together_leave_the_lock_in_force(self):
        # KillClient frees the grabs of both at once: input is free for a moment,
        # but the guard carries on with a new connection and Vessik comes back.
        self.start()
        self.desktop()
        self.lock_and_wait()
        guard = self.guard()
        lock_window = int(self.probe("top-window", *LEFT_CENTRE).split()[0], 16)
        windows = [int(line.split()[0], 16) for line in self.probe("list").splitlines() if line.endswith(" Vessik")]
        shield = next(w for w in windows if w & 0xffe00000 != lock_window & 0xffe00000)  # another client's: the guard's
        for window in (shield, lock_window):
            self.x.run("xkill", "-id", hex(window))
        self.vessik.wait(timeout=5)
        restarted = wait_until(lambda: child_pids(guard), message="Vessik started again")[0]
        self.addCleanup(end_pid, restarted, start_time(restarted))
        wait_until(self.lock_intact, message="the lock back")
        self.unlock()
        wait_until(self.uncovered, message="the desktop after the password")

    def test_a_full_client_table_never_makes_the_guard_give_up(self):
        # Another client fills the X server's client table, then closes the
        # connections of (a) the guard and Vessik, (b) Vessik alone, and takes
        # their places: no connection is taken while it stays. Once it leaves,
        # the lock is back within 2 s and the password unlocks.
        self.start()
        self.desktop()
        guard = self.guard()
        for victims in ("guard and Vessik", "Vessik"):
            with self.subTest(victims):
                self.lock_and_wait()
                ours = [int(line.split()[0], 16) for line in self.probe("list").splitlines() if line.endswith(" Vessik")]
                lock_window = int(self.probe("top-window", *LEFT_CENTRE).split()[0], 16)
                shield = next(w for w in ours if w & 0xffe00000 != lock_window & 0xffe00000)  # the guard's
                windows = [shield, lock_window] if victims == "guard and Vessik" else [lock_window]
                # Held still meanwhile, the guard meets the table full when it tries
                # again, whoever would have been quicker.
                os.kill(guard, signal.SIGSTOP)
                attacker, status = self.hold("fill-clients", *map(hex, windows))
                self.assertTrue(status.startswith("full"), status)
                time.sleep(0.2)  # the places the victims leave are taken
                os.kill(guard, signal.SIGCONT)
                time.sleep(1.5)  # Vessik is started again and refused meanwhile
                self.assertFalse(process_ended(guard), "the guard keeps the lock while the server lives")
                attacker.stdin.close()
                attacker.wait(timeout=10)
                left = time.monotonic()
                wait_until(lambda: self.probe("grab-keyboard") == "1" and self.top_class(LEFT_CENTRE) == "Vessik",
                           timeout=2, message="covered and grabbed again")
                wait_until(self.field_usable, timeout=max(0.1, left + 2 - time.monotonic()),
                           message="the password field back within 2 s of the attacker leaving")
                self.vessik = Restarted(child_pids(guard)[0])
                self.unlock()
        log = self.log_text()
        self.assertIn("The X server takes no new client", log, "the guard was refused a connection")
        self.assertIn("refuses new clients; Vessik is started again", log, "a Vessik was refused")

    def test_the_keys_forwarded_to_the_lock_window_reach_no_other_client(self):
        self.start()
        self.lock_and_wait()
        sniffer, status = self.hold("sniff", self.probe("top-window", *LEFT_CENTRE).split()[0])
        self.assertEqual(status, "listening")
        self.unlock()
        sniffer.stdin.close()
        self.assertEqual(sniffer.stdout.readline().strip(), "0", "key events another client got")

    def test_vessik_ending_while_unlocked_ends_the_guard_and_changes_nothing(self):
        self.start()
        self.desktop()
        guard = self.guard()
        self.lock_and_wait()
        self.unlock()
        self.vessik.kill()
        self.vessik.wait()
        wait_until(lambda: process_ended(guard), message="the guard ended")
        self.assertTrue(self.uncovered())
        self.assertEqual(self.probe("grab-keyboard"), "0")


if __name__ == "__main__":
    main()
