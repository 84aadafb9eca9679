#include "transport.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "framer.hpp"

int check_send_size(std::string_view text) {
    const std::size_t n = text.size() + 1;
    if (n > static_cast<std::size_t>(proto::BUFFER_SIZE)) {
        std::printf("ERROR: Send buffer size exceeded by %zu bytes.\n", n - proto::BUFFER_SIZE);
        return -2;
    }
    return 0;
}

int secure_send(int sock, std::string_view text) {
    if (check_send_size(text) != 0) return -2;
    // The text and its terminator go out as one buffer, so one call usually does.
    std::array<char, proto::BUFFER_SIZE> out{};
    text.copy(out.data(), text.size());
    std::size_t n = text.size() + 1;
    const char* p = out.data();
    while (n > 0) {
        const ssize_t sent = ::send(sock, p, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            std::printf("ERROR: Error occurred while sending.\n");
            return -1;
        }
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return 0;
}

// Looks at what has arrived without taking it, then takes exactly one
// message: two calls per message when it has arrived whole. A message that
// is still arriving is taken piece by piece until it ends.
int secure_recv(int sock, RecvBuffer& buf) {
    std::size_t have = 0;
    for (;;) {
        const ssize_t seen = ::recv(sock, buf.data() + have, buf.size() - have, MSG_PEEK);
        if (seen < 0 && errno == EINTR) continue;
        if (seen < 0) {
            std::printf("ERROR: Error occurred while receiving.\n");
            return -1;
        }
        if (seen == 0) {
            std::printf("ERROR: The other side has closed the connection on us.\n");
            return 0;
        }
        const Cut cut = cut_message(std::string_view(buf.data() + have, seen), have);
        // Take exactly the bytes that belong to this message.
        std::size_t left = cut.used;
        while (left > 0) {
            // The bytes are there (the peek saw them): this receive does
            // not wait, so no signal can interrupt it.
            const ssize_t got = ::recv(sock, buf.data() + have, left, 0);
            if (got <= 0) {
                std::printf("ERROR: Error occurred while receiving.\n");
                return -1;
            }
            have += static_cast<std::size_t>(got);
            left -= static_cast<std::size_t>(got);
        }
        if (cut.kind == Cut::message) {
            buf[have - 1] = '\0';
            return 1;
        }
        if (cut.kind == Cut::overflow) {
            std::printf("ERROR: Receive buffer of size %d bytes exceeded.\n",
                        static_cast<int>(proto::RECV_LIMIT));
            return -2;
        }
    }
}
