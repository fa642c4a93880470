#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// The link between Vessik and its guard (vessik-guard), shared by both programs.
//
// One AF_UNIX SOCK_SEQPACKET socket pair: Vessik keeps one end, the guard gets
// the other as descriptor kGuardLinkFd. Each packet is one message: a type byte
// (GuardMessage), then its payload. The guard learns of Vessik's end by the end
// of its input, however Vessik ended.
//
// A Vessik that the guard started again gets its end of a new pair as
// descriptor kGuardLinkFd too, with kGuardLinkVariable=3 in its environment;
// the first packet waiting on it is Resume.
namespace guardlink {

enum class Message : std::uint8_t {
    // Vessik to the guard.
    LockState = 1,  // a lock is in force until Unlock; payload: the state to hand to a restarted Vessik
                    // (opaque to the guard, at most kMaxState bytes); sent again whenever it changes
    Cover = 2,      // a lock is in force: map the shields below Vessik's windows and take the keyboard
                    // and the pointer; payload: Vessik's X resource id base (u32), which tells its
                    // windows from others, then the composite overlay window Vessik's windows live
                    // in (u32; 0 when they live on the root)
    LockWindow = 3, // payload: the lock window (u32): every key the guard receives goes there
    Unlock = 4,     // give the keyboard and pointer back, unmap the shields, forget the state

    // The guard to Vessik.
    InputHeld = 16, // payload: one byte, 1 when the guard holds both the keyboard and the pointer, else 0;
                    // sent at each change and in answer to Cover
    Resume = 17,    // the first packet to a Vessik the guard started; payload: the last LockState
    Key = 18,       // a key pressed or released while the guard held the keyboard: the X server's
                    // 32-byte event as it came, for the lock window; only real input comes this way
    Released = 19,  // the guard lost its display connection and cannot get a new one yet: Vessik holds
                    // the input of this lock itself from now on (as when the guard ends)
    NameWindow = 20 // the guard is back on a new display connection: send LockWindow again
};

// The exit status of a Vessik that could not reach its display because the
// server, alive, refused it (its client table is full): the guard tries again
// later and does not count it as Vessik ending.
constexpr int kExitDisplayRefused = 75;

// The descriptor of the link in the guard, and in a Vessik the guard started.
constexpr int kGuardLinkFd = 3;
// Set to "3" in the environment of a Vessik the guard started.
constexpr const char* kGuardLinkVariable = "VESSIK_GUARD_FD";
// The largest state a LockState may carry (a settings file is at most 64 KiB).
constexpr std::size_t kMaxState = 128 * 1024;
// The largest packet either side sends.
constexpr std::size_t kMaxPacket = kMaxState + 1;

// Whether this is a Wayland session: WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE
// says "wayland" (an X server there is XWayland, which locks nothing). Vessik
// and its guard decide by it alike.
bool waylandSession();

// Whether kGuardLinkFd is a link this process inherited; if so it is made
// close-on-exec, so that it goes to no program this one starts.
bool adoptInheritedLink();

// Sends one message on `link` without waiting and without SIGPIPE; false when
// it was not sent whole (the other side ended, or its queue is full).
bool send(int link, Message type, const void* payload, std::size_t size);

// A program started at the other end of a new link.
struct Peer {
    pid_t pid = 0;
    int link = -1; // this side's end, close-on-exec, non-blocking
    int error = 0; // errno of the failure when pid is 0
};
// Makes a link and starts `argv[0]` with `argv` and `envp`, its end of the link
// as kGuardLinkFd and no descriptor above it, every signal at its default and
// none blocked; with `newSession` in a session of its own. `first` (`size`
// bytes of type `type`, unless `size` is 0 and `type` is 0) waits on the link
// for the program before it starts.
Peer start(char* const argv[], char* const envp[], bool newSession, Message type = Message{},
           const void* first = nullptr, std::size_t size = 0);

// The guard starts Vessik again: `command` with this process's environment,
// kGuardLinkVariable set in it, and `state` waiting as a Resume packet.
Peer startAgain(const std::vector<std::string>& command, const std::vector<char>& state);

} // namespace guardlink
