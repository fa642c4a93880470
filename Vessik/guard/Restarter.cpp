#include "guard/Restarter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "keeper/link/GuardProtocol.h"

namespace {

using guardlink::Message;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMostDeaths = 3;
constexpr auto kDeathWindow = std::chrono::minutes(1);

void log(const std::string& line) {
    ::syslog(LOG_NOTICE, "%s", line.c_str());
    std::fprintf(stderr, "Vessik: %s\n", line.c_str());
    std::fflush(stderr);
}

void wipe(std::vector<char>& bytes) {
    if (!bytes.empty()) {
        ::explicit_bzero(bytes.data(), bytes.size());
    }
    bytes.clear();
}

} // namespace

int keepLocksWithoutDisplay(int link, const std::vector<std::string>& command) {
    std::vector<char> state; // the lock in force, empty while unlocked
    std::vector<Clock::time_point> deaths;
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
        if (child != 0) {
            ::waitpid(child, nullptr, 0); // this guard's own child
            child = 0;
        }
        if (state.empty()) {
            return 0; // no lock in force: nothing to keep
        }
        const Clock::time_point now = Clock::now();
        std::erase_if(deaths, [now](Clock::time_point t) { return now - t >= kDeathWindow; });
        if (deaths.size() >= kMostDeaths) {
            wipe(state);
            log("Vessik ended three times within a minute of being started again; it is not started again. The "
                "compositor keeps the session locked: start Vessik again from a text console (Ctrl+Alt+F2) with "
                "WAYLAND_DISPLAY set, or end the session there with loginctl terminate-session.");
            return 1;
        }
        const guardlink::Peer vessik = guardlink::startAgain(command, state);
        if (vessik.pid == 0) {
            log("Cannot start " + command.front() + " again: " + std::strerror(vessik.error) +
                "; the compositor keeps the session locked.");
            return 1;
        }
        deaths.push_back(now);
        log("Vessik ended during a lock; the compositor keeps it, and Vessik was started again (pid " +
            std::to_string(vessik.pid) + ").");
        link = vessik.link;
        child = vessik.pid;
    }
}
