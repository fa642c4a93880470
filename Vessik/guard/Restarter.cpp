#include "guard/Restarter.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "guard/GuardSupport.h"
#include "keeper/link/GuardProtocol.h"

namespace {

using guardlink::Message;

} // namespace

int keepLocksWithoutDisplay(int link, const std::vector<std::string>& command) {
    std::vector<char> state; // the lock in force, empty while unlocked
    RestartedEnds restartedEnds;
    pid_t child = 0;
    std::vector<char> packet(guardlink::kMaxPacket);
    for (;;) {
        pollfd p{link, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
            return 1;
        }
        const ssize_t n = ::recv(link, packet.data(), packet.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n > 0) {
            const auto type = static_cast<Message>(packet[0]);
            if (type == Message::LockState) {
                wipe(state);
                state.assign(packet.begin() + 1, packet.begin() + n);
            } else if (type == Message::Unlock) {
                wipe(state);
            }
            ::explicit_bzero(packet.data(), static_cast<std::size_t>(n));
            continue;
        }
        // The link ended: Vessik ended, however it ended.
        ::close(link);
        const bool restarted = child != 0;
        if (restarted) {
            ::waitpid(child, nullptr, 0); // this guard's own child
            child = 0;
        }
        if (state.empty()) {
            return 0; // no lock in force: nothing to keep
        }
        if (restarted && restartedEnds.tooMany(RestartedEnds::Clock::now())) {
            wipe(state);
            guardLog(std::string(RestartedEnds::kTooMany) +
                     "; it is not started again. The compositor keeps the session locked: start Vessik again from "
                     "a text console (Ctrl+Alt+F2) with WAYLAND_DISPLAY set, or end the session there with loginctl "
                     "terminate-session.");
            return 1;
        }
        const guardlink::Peer vessik = guardlink::startAgain(command, state);
        if (vessik.pid == 0) {
            guardLog("Cannot start " + command.front() + " again: " + std::strerror(vessik.error) +
                     "; the compositor keeps the session locked.");
            return 1;
        }
        guardLog("Vessik ended during a lock; the compositor keeps it, and Vessik was started again (pid " +
                 std::to_string(vessik.pid) + ").");
        link = vessik.link;
        child = vessik.pid;
    }
}
