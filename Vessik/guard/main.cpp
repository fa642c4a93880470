// vessik-guard: keeps Vessik's locks when Vessik ends (guard/Guard.h).
//
//   vessik-guard VESSIK [ARGUMENT...]
//
// Started by Vessik with its end of the link as descriptor 3; VESSIK and the
// arguments are how it starts Vessik again. It connects to $DISPLAY.
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <syslog.h>
#include <vector>

#include "guard/Guard.h"
#include "keeper/link/GuardProtocol.h"

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
    std::optional<Guard::Carried> carried;
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
            std::fprintf(stderr, "Vessik: the guard of the lock cannot reach the X display\n");
            xcb_disconnect(c);
            return carried ? 0 : 1; // with a lock carried over: the server went away meanwhile
        }
        int status = 0;
        {
            Guard guard(c, *screens.data, carried ? carried->link : link, command);
            if (carried) {
                guard.carryOn(std::move(*carried));
            }
            status = guard.run();
            carried.reset();
            if (status == Guard::kCarryOn) {
                // Another client closed this connection during a lock: the next
                // connection keeps it.
                carried = guard.takeCarried();
            }
        }
        xcb_disconnect(c);
        if (status != Guard::kCarryOn) {
            return status;
        }
    }
}
