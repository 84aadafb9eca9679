// AddrList: the resolver's address list, freed when it goes.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <memory>

struct AddrListFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrList = std::unique_ptr<addrinfo, AddrListFree>;

// The stream addresses of `host` (nullptr: this machine's wildcard, with
// AI_PASSIVE) and `port` in `family`; empty when they cannot be resolved.
inline AddrList resolve(const char* host, const char* port, int family, int flags = 0) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, port, &hints, &list) != 0) return AddrList();
    return AddrList(list);
}
