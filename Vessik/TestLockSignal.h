#pragma once

class VessikAppDelegate;

// Test hook of the X11 and system tests: when the environment variable
// VESSIK_TEST_LOCK_SIGNAL is "1", SIGUSR1 makes `delegate` run lockScreen (with
// all of its guards), from the event loop. Without the variable it does nothing
// and SIGUSR1 keeps its default action.
void installTestLockSignal(VessikAppDelegate* delegate);
