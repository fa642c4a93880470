// vessik-guard: keeps Vessik's locks when Vessik ends (guard/Guard.h).
//
//   vessik-guard VESSIK [ARGUMENT...]
//
// Started by Vessik with its end of the link as descriptor 3; VESSIK and the
// arguments are how it starts Vessik again. It connects to $DISPLAY, and again
// whenever another client closes its connection during a lock, for as long as
// the server lives.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <syslog.h>
#include <vector>

#include "guard/Guard.h"
#include "guard/Restarter.h"
#include "keeper/link/GuardProtocol.h"

namespace {

const char* const kRefused = "The X server takes no new client; the guard keeps trying for as long as the lock is in "
                             "force.";

} // namespace

int main(int argc, char** argv) {
    // Named like Vessik, whose forced shutdown spares that name; nobody may trace
    // it or read its memory, which holds the lock's state.
    ::prctl(PR_SET_NAME, "Vessik", 0, 0, 0);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const int link = guardlink::kGuardLinkFd;
    if (argc < 2 || !guardlink::adoptInheritedLink()) {
        std::fprintf(stderr, "vessik-guard: started by Vessik only, with its link as descriptor 3\n");
        return 2;
    }
    // Writes to a Vessik that ended fail instead of ending the guard; a hang-up or
    // an interrupt meant for Vessik does not end it either. `kill PID` (SIGTERM) does.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);

    ::openlog("Vessik", LOG_PID, LOG_USER);

    const std::vector<std::string> command(argv + 1, argv + argc);
    // In a Wayland session the compositor keeps the lock: only Vessik's restarts are the guard's.
    if (guardlink::waylandSession()) {
        return keepLocksWithoutDisplay(link, command);
    }
    std::optional<Guard::Carried> carried;
    // While the server lives but takes no connection (its client table is full),
    // a lock in force is kept trying for: soon at first, then once a second.
    std::chrono::milliseconds wait(10);
    for (;;) {
        int screenNumber = 0;
        xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
        xcb_screen_iterator_t screens{};
        if (xcb_connection_has_error(c) == 0) {
            screens = xcb_setup_roots_iterator(xcb_get_setup(c));
            for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
                xcb_screen_next(&screens);
            }
        }
        if (screens.rem == 0) {
            xcb_disconnect(c);
            if (!carried) {
                std::fprintf(stderr, "Vessik: the guard of the lock cannot reach the X display\n");
                return 1;
            }
            if (!x11ServerAlive()) {
                return 0; // the server went away
            }
            if (wait == std::chrono::milliseconds(10)) {
                ::syslog(LOG_NOTICE, "%s", kRefused);
                std::fprintf(stderr, "Vessik: %s\n", kRefused);
            }
            if (!carried->waitOffline(wait)) {
                return 0; // nothing is left to keep
            }
            wait = std::min(wait * 2, std::chrono::milliseconds(1000));
            continue;
        }
        wait = std::chrono::milliseconds(10);
        int status = 0;
        {
            Guard guard(c, *screens.data, carried ? carried->link : link, command);
            if (carried) {
                guard.carryOn(std::move(*carried));
            }
            status = guard.run();
            carried.reset();
            if (status == Guard::kCarryOn) {
                // This connection broke during a lock while the server lives: the
                // next connection keeps it.
                carried = guard.takeCarried();
            }
        }
        xcb_disconnect(c);
        if (status != Guard::kCarryOn) {
            return status;
        }
    }
}
