#include "connections.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "log.hpp"
#include "registry.hpp"
#include "transport.hpp"

std::array<Connection, MAX_SLOTS> slots;
bool listener_paused = false;
Clock::time_point loop_now;

namespace {

// When the refused-login allowance is next fully spent: each refusal moves
// it on by one interval, and it never lags the present.
Clock::time_point allowance_spent;
// Some connection is marked over its output limit: drop_over_limit has work.
bool any_over_limit = false;

}  // namespace

int emptySlot(int count, const int* fds) {
    for (int i = 0; i < count; ++i) {
        if (fds[i] < 0) return i;
    }
    return -1;
}

int slot_of(int sock) {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && slots[i].fd.get() == sock) return i;
    }
    return -1;
}

std::array<int, MAX_SLOTS> slot_descriptors() {
    std::array<int, MAX_SLOTS> fds{};
    for (int i = 0; i < MAX_SLOTS; ++i) fds[i] = slots[i].fd.get();
    return fds;
}

void attach_connection(int fd, int slot) {
    slots[slot] = Connection{};
    slots[slot].fd.reset(fd);
    slots[slot].in.emplace(16384);
    slots[slot].accepted = loop_now;
}

void queue_send(int sock, std::string_view text) {
    if (text.size() + 1 > static_cast<std::size_t>(proto::BUFFER_SIZE)) {
        log_line("ERROR: Send buffer size exceeded by %zu bytes.\n",
                 text.size() + 1 - proto::BUFFER_SIZE);
        return;
    }
    const int i = slot_of(sock);
    if (i < 0 || slots[i].over_limit) return;
    Connection& c = slots[i];
    c.out.append(text.data(), text.size());
    c.out.push_back('\0');
    if (c.pending() > MAX_OUTPUT_QUEUE) {
        log_line("ERROR: Output queue of socket %i exceeded %d bytes.\n", sock,
                 static_cast<int>(MAX_OUTPUT_QUEUE));
        c.over_limit = true;
        any_over_limit = true;
    }
}

int flush_slot(int i) {
    Connection& c = slots[i];
    if (!c.open() || c.pending() == 0) return 0;
    const ssize_t sent =
        ::send(c.fd.get(), c.out.data() + c.out_sent, c.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (try_later(errno)) return 0;
        log_line("ERROR: Error occurred while sending.\n");
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

void close_slot(int i, bool logged_out) {
    // Each connection ends once: its last lines are always written.
    const LogCause none(nullptr, loop_now);
    const int sock = slots[i].fd.get();
    client_drop(sock);
    if (logged_out) {
        log_line("Client Logged Out. Close Socket# %i.\n", sock);
    } else {
        log_line("close socket %i\n", sock);
    }
    // The socket's number may soon serve someone else: count up now.
    log_report(slots[i].log, sock, loop_now, true);
    // The old connection goes with its descriptor and its buffers' memory.
    std::exchange(slots[i], Connection{});
    listener_paused = false;
}

void finish_slot(int i, Clock::time_point now) {
    Connection& c = slots[i];
    if (c.pending() == 0) {
        close_slot(i);
        return;
    }
    {
        const LogCause none(nullptr, now);
        client_drop(c.fd.get());
    }
    c.in.reset();
    c.closing = true;
    c.close_by = now + CLOSE_TIMEOUT;
}

void drop_over_limit() {
    if (!any_over_limit) return;
    any_over_limit = false;
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && slots[i].over_limit) close_slot(i);
    }
}

std::optional<Clock::time_point> logins_paced_until(Clock::time_point now) {
    const Clock::time_point due = allowance_spent - REFUSED_LOGIN_BURST * REFUSED_LOGIN_INTERVAL;
    if (due > now) return due;
    return std::nullopt;
}

void pace_refused_login(int sock) {
    const int i = slot_of(sock);
    if (i < 0) return;
    allowance_spent = std::max(allowance_spent, loop_now) + REFUSED_LOGIN_INTERVAL;
    const Clock::time_point due = allowance_spent - REFUSED_LOGIN_BURST * REFUSED_LOGIN_INTERVAL;
    // What was queued before this refusal is not held back with it.
    if (due > loop_now) flush_slot(i);
    slots[i].held_until = due;
}

void reset_connections() {
    for (auto& c : slots) std::exchange(c, Connection{});
    listener_paused = false;
    allowance_spent = Clock::time_point{};
    any_over_limit = false;
}
