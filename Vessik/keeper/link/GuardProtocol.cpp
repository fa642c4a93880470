#include "keeper/link/GuardProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

extern char** environ;

namespace guardlink {

bool waylandSession() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (wayland != nullptr && *wayland != '\0') || (type != nullptr && std::strcmp(type, "wayland") == 0);
}

bool adoptInheritedLink() {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(kGuardLinkFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
        return false;
    }
    ::fcntl(kGuardLinkFd, F_SETFD, FD_CLOEXEC);
    return true;
}

bool send(int link, Message type, const void* payload, std::size_t size) {
    if (link < 0) {
        return false;
    }
    iovec parts[2] = {{&type, 1}, {const_cast<void*>(payload), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = size > 0 ? 2 : 1;
    return ::sendmsg(link, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(size + 1);
}

Peer start(char* const argv[], char* const envp[], bool newSession, Message type, const void* first, std::size_t size) {
    Peer peer;
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        peer.error = errno;
        return peer;
    }
    if (fds[1] == kGuardLinkFd) { // dup2 onto itself would keep close-on-exec
        const int moved = ::fcntl(fds[1], F_DUPFD_CLOEXEC, kGuardLinkFd + 1);
        ::close(fds[1]);
        fds[1] = moved;
    }
    if (type != Message{} || size > 0) {
        send(fds[0], type, first, size);
    }
    // Only the link and the standard streams: above all not Vessik's
    // single-instance lock, which would keep a restarted Vessik from running.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], kGuardLinkFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, kGuardLinkFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | (newSession ? POSIX_SPAWN_SETSID : 0));
    peer.error = ::posix_spawn(&peer.pid, argv[0], &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    if (peer.error != 0) {
        peer.pid = 0;
        ::close(fds[0]);
        return peer;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    peer.link = fds[0];
    return peer;
}

Peer startAgain(const std::vector<std::string>& command, const std::vector<char>& state) {
    std::vector<std::string> arguments = command;
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::string variable = std::string(kGuardLinkVariable) + "=" + std::to_string(kGuardLinkFd);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, variable.c_str(), std::strlen(kGuardLinkVariable) + 1) != 0) {
            env.push_back(*e);
        }
    }
    env.push_back(variable.data());
    env.push_back(nullptr);
    return start(argv.data(), env.data(), false, Message::Resume, state.data(), state.size());
}

} // namespace guardlink
