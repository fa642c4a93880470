"""The shut-down hotkey for real, while the screen is locked, inside a throw-away PID namespace.

This reuses the set-up of test_forced_shutdown: the X server, a private system
bus and the stand-in logind run outside the namespace; the runner (PID 1 of the
namespace), its victims and Vessik run inside, so Vessik's SIGKILLs reach
nothing else. Here the screen is locked with the lock hotkey and the shutdown
comes from the shut-down hotkey, both pressed with XTEST by another client:
while Vessik holds the keyboard, its root grabs cannot fire, so this proves the
combination is matched on Vessik's own window too.
"""

import test_forced_shutdown as forced
from vessik_harness import main, wait_until


class ShutDownHotKeyTest(forced.ForcedShutdownTest):
    # Only this file's test: the inherited ones run from their own file.
    test_the_wrong_entry_that_uses_up_the_retries_kills_and_powers_off = None
    test_without_logind_the_failure_is_logged_and_the_screen_stays_locked = None

    def test_the_shut_down_hotkey_kills_and_powers_off_while_the_screen_is_locked(self):
        self.start_logind()
        self.start_namespace()  # the shut-down hotkey is Shift+Control+Alt+F9 there
        # The lock hotkey, until it locks: presses made before Vessik registered it go
        # elsewhere. Vessik registers the shut-down hotkey right after the lock hotkey,
        # before it handles any press.
        wait_until(lambda: self.probe("press", "LFSH+LCTL+LALT+AC09") == "" and self.probe("grab-keyboard") == "1",
                   message="a lock by the lock hotkey")
        self.command("alive")
        self.assertEqual(set(self.next_event(lambda e: "alive" in e)["alive"]), self.killed | self.survivors,
                         "nothing was killed by locking")

        self.probe("press", "LFSH+LCTL+LALT+FK09")
        for _ in self.killed:
            event = self.next_event(lambda e: "exited" in e)
            self.assertIn(event["exited"], self.killed)
            self.assertEqual(event["signal"], 9, event)
        self.command("alive")
        self.assertEqual(set(self.next_event(lambda e: "alive" in e)["alive"]), self.survivors)

        def logged():
            with open(self.logind.logfile) as f:
                return "PowerOff False" in f.read()
        wait_until(logged, message="PowerOff(false) at the stand-in logind")


if __name__ == "__main__":
    main()
