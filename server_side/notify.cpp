#include "notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fd.hpp"

bool notify_wanted() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    return path != nullptr && path[0] != '\0';
}

void notify_service(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t n = std::strlen(path);
    // A path, or an abstract name written with a leading '@'.
    if (n < 2 || n >= sizeof addr.sun_path || (path[0] != '/' && path[0] != '@')) return;
    std::memcpy(addr.sun_path, path, n);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    if (path[0] == '@') {
        addr.sun_path[0] = '\0';
    } else {
        ++len;  // a path is counted with its NUL
    }
    const Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return;
    ::sendto(sock.get(), state.data(), state.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&addr), len);
}

std::string reloading_state() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    const long long usec = static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
    return "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec);
}
