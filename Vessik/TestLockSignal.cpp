#include "TestLockSignal.h"

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <QtCore/QSocketNotifier>

#include "VessikAppDelegate.h"

namespace {

int signalPipe[2] = {-1, -1}; // [0] written by the handler, [1] read by the event loop

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
    errno = saved;
}

} // namespace

void installTestLockSignal(VessikAppDelegate* delegate) {
    if (qgetenv("VESSIK_TEST_LOCK_SIGNAL") != "1" || signalPipe[0] >= 0) {
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, delegate);
    QObject::connect(notifier, &QSocketNotifier::activated, delegate, [delegate] {
        char buffer[16];
        while (::read(signalPipe[1], buffer, sizeof buffer) > 0) {
        }
        delegate->lockScreen();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGUSR1, &action, nullptr);
}
