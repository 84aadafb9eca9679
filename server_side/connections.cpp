#include "connections.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "registry.hpp"
#include "server_utils.hpp"
#include "transport.hpp"

std::array<Connection, MAX_SLOTS> slots;

std::array<int, MAX_SLOTS> slot_descriptors() {
    std::array<int, MAX_SLOTS> fds{};
    for (int i = 0; i < MAX_SLOTS; ++i) fds[i] = slots[i].fd.get();
    return fds;
}

void attach_connection(int fd, int slot) {
    slots[slot] = Connection{};
    slots[slot].fd.reset(fd);
    slots[slot].accepted = Clock::now();
}

int attach_connection(int fd) {
    const auto fds = slot_descriptors();
    const int free = emptySlot(MAX_SLOTS - 1, fds.data() + 1);
    if (free < 0) return -1;
    attach_connection(fd, free + 1);
    return free + 1;
}

static Connection* find_connection(int sock) {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].fd.get() == sock) return &slots[i];
    }
    return nullptr;
}

int queue_send(int sock, std::string_view text) {
    if (check_send_size(text) != 0) return -2;
    Connection* c = find_connection(sock);
    if (c == nullptr || c->over_limit) return -1;
    c->out.append(text.data(), text.size());
    c->out.push_back('\0');
    if (c->pending() > MAX_OUTPUT_QUEUE) {
        std::printf("ERROR: Output queue of socket %i exceeded %d bytes.\n", sock,
                    static_cast<int>(MAX_OUTPUT_QUEUE));
        c->over_limit = true;
    }
    return 0;
}

int flush_slot(int i) {
    Connection& c = slots[i];
    if (!c.open() || c.pending() == 0) return 0;
    const ssize_t sent =
        ::send(c.fd.get(), c.out.data() + c.out_sent, c.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        std::printf("ERROR: Error occurred while sending.\n");
        return -1;
    }
    c.out_sent += static_cast<std::size_t>(sent);
    if (c.out_sent == c.out.size()) {
        c.out.clear();
        c.out_sent = 0;
    } else if (c.out_sent >= c.out.size() / 2) {
        c.out.erase(0, c.out_sent);
        c.out_sent = 0;
    }
    return 0;
}

void drop_connection(int i) {
    Connection& c = slots[i];
    const int sock = c.fd.get();
    client_leave(sock);
    client_go_offline(sock);
    std::printf("close socket %i\n", sock);
    c = Connection{};
}

void drop_over_limit() {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && slots[i].over_limit) drop_connection(i);
    }
}

void reset_connections() {
    for (auto& c : slots) c = Connection{};
}
