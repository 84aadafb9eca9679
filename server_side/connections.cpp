#include "connections.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

bool attach_connection(int fd, int slot, SSL_CTX* tls) {
    Connection c;
    c.fd.reset(fd);
    if (tls != nullptr) {
        c.tls.reset(SSL_new(tls));
        if (!c.tls || SSL_set_fd(c.tls.get(), fd) != 1) {
            log_line("ERROR: no TLS session for socket %i: %s\n", fd, tls_error().c_str());
            return false;
        }
        SSL_set_accept_state(c.tls.get());
        c.handshaking = true;
    }
    c.in.emplace(16384);
    c.accepted = loop_now;
    slots[slot] = std::move(c);
    return true;
}

namespace {

Got handshake(Connection& c) {
    const TlsIo io = tls_handshake(c.tls.get(), true);
    c.read_wants_write = io == TlsIo::want_write;
    if (io == TlsIo::want_read || io == TlsIo::want_write) return Got::nothing;
    if (io == TlsIo::done) {
        c.handshaking = false;
        log_line("socket %i: TLS handshake done, %s %s\n", c.fd.get(), SSL_get_version(c.tls.get()),
                 SSL_get_cipher_name(c.tls.get()));
        return Got::some;
    }
    c.tls_failed = true;
    const std::string why = tls_error();
    log_line("ERROR: TLS handshake on socket %i failed: %s\n", c.fd.get(),
             why.empty() ? "the peer closed the connection" : why.c_str());
    return Got::failed;
}

Got read_tls(Connection& c) {
    if (c.handshaking) return handshake(c);
    bool any = false;
    c.tls_more = false;
    while (c.in->space_size() > 0) {
        const TlsResult r = tls_read(c.tls.get(), c.in->space(), c.in->space_size());
        c.read_wants_write = r.io == TlsIo::want_write;
        if (r.io == TlsIo::done) {
            c.in->commit(r.bytes);
            any = true;
        } else if (r.io == TlsIo::want_read || r.io == TlsIo::want_write) {
            return any ? Got::some : Got::nothing;
        } else if (r.io == TlsIo::closed) {
            // What came before the end is served first; the end is read
            // again in the next pass, which select may not announce (a
            // close_notify on a socket left open).
            c.tls_more = any;
            return any ? Got::some : Got::end;
        } else {
            const int err = errno;
            c.tls_failed = true;
            std::string why = tls_error();
            if (why.empty()) why = err != 0 ? std::strerror(err) : "the connection failed";
            log_line("ERROR: TLS error on socket %i: %s\n", c.fd.get(), why.c_str());
            return Got::failed;
        }
    }
    // Decrypted bytes inside the library are not seen by select.
    c.tls_more = SSL_has_pending(c.tls.get()) == 1;
    return Got::some;
}

}  // namespace

Got read_slot(int i) {
    Connection& c = slots[i];
    if (c.tls) return read_tls(c);
    ssize_t got;
    do {
        got = ::recv(c.fd.get(), c.in->space(), c.in->space_size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return try_later(errno) ? Got::nothing : Got::failed;
    if (got == 0) return Got::end;
    c.in->commit(static_cast<std::size_t>(got));
    return Got::some;
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

namespace {

// Writes over TLS; a write that could not finish is made again with the
// same bytes (the queue may have moved, which the library is told to allow).
ssize_t send_tls(Connection& c) {
    if (c.handshaking) return 0;
    const std::size_t n = c.tls_retry > 0 ? c.tls_retry : c.pending();
    const TlsResult r = tls_write(c.tls.get(), c.out.data() + c.out_sent, n);
    c.write_wants_read = r.io == TlsIo::want_read;
    if (r.io == TlsIo::done) {
        c.tls_retry = 0;
        return static_cast<ssize_t>(r.bytes);
    }
    if (r.io == TlsIo::want_read || r.io == TlsIo::want_write) {
        c.tls_retry = n;
        return 0;
    }
    c.tls_failed = true;
    tls_error();
    return -1;
}

}  // namespace

int flush_slot(int i) {
    Connection& c = slots[i];
    if (!c.open() || c.pending() == 0) return 0;
    ssize_t sent = 0;
    if (c.tls) {
        sent = send_tls(c);
    } else {
        sent =
            ::send(c.fd.get(), c.out.data() + c.out_sent, c.pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && try_later(errno)) return 0;
    }
    if (sent < 0) {
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
    if (slots[i].tls) tls_close(slots[i].tls.get(), slots[i].tls_failed || slots[i].handshaking);
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
