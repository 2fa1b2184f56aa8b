// Linux: messages to systemd over the datagram socket it names in NOTIFY_SOCKET, and the
// keep-alive period it asks for in WATCHDOG_USEC. One datagram per message; no libsystemd.
#include "platform/platform.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The manager's socket, set once at start-up; a length of 0 means there is none.
sockaddr_un managerAddress;
socklen_t managerAddressLength = 0;

std::uint64_t keepAlive = 0;

// Digits only, nothing before or after them, within 64 bits.
bool readDecimal(const char* text, std::uint64_t& value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    value = number;
    return true;
}

// A path ("/run/systemd/notify") or an abstract address ("@name", the '@' standing for the zero
// byte that begins such an address). A name that does not fit leaves no socket.
void setManagerAddress(const char* name) {
    const std::size_t length = name == nullptr ? 0 : std::strlen(name);
    if (length == 0 || length >= sizeof managerAddress.sun_path) {
        return;
    }
    std::memset(&managerAddress, 0, sizeof managerAddress);
    managerAddress.sun_family = AF_UNIX;
    std::memcpy(managerAddress.sun_path, name, length);
    const bool abstract = name[0] == '@';
    if (abstract) {
        managerAddress.sun_path[0] = '\0';
    }
    // A path is passed with its terminating zero; an abstract name is exactly its bytes.
    managerAddressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));
}

}  // namespace

void takeServiceManagerSettings() {
    setManagerAddress(std::getenv("NOTIFY_SOCKET"));
    // Keep-alives are ours to send unless WATCHDOG_PID names another process.
    const char* watchdogPid = std::getenv("WATCHDOG_PID");
    std::uint64_t pid = 0;
    const bool forUs = watchdogPid == nullptr || (readDecimal(watchdogPid, pid) &&
                                                  pid == static_cast<std::uint64_t>(getpid()));
    std::uint64_t microseconds = 0;
    if (managerAddressLength > 0 && forUs &&
        readDecimal(std::getenv("WATCHDOG_USEC"), microseconds) && microseconds > 0) {
        keepAlive = microseconds < 2000 ? 1 : microseconds / 2000;
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

void notifyServiceManager(const char* message) {
    if (managerAddressLength == 0) {
        return;
    }
    // A socket per message: nothing held between messages, nothing for the script to inherit.
    // Non-blocking, so a manager that does not read costs a failed send, never a wait.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return;  // tried again with the next message
    }
    const auto* address = reinterpret_cast<const sockaddr*>(&managerAddress);
    while (sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, address, managerAddressLength) <
               0 &&
           errno == EINTR) {
    }
    close(fd);
}

bool serviceManagerListens() {
    return managerAddressLength > 0;
}

std::uint64_t keepAliveMilliseconds() {
    return keepAlive;
}
