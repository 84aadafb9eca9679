// The server's entry point and its select loop. One thread serves the
// listener and nine client slots: it reads whatever has arrived on each
// connection without waiting, hands every complete message to
// handle_command in order, and writes each connection's queued output once
// per pass. The log (standard output) is written in blocks and flushed
// before every wait.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "connections.hpp"
#include "registry.hpp"
#include "server.hpp"
#include "server_utils.hpp"

namespace {

// Opens a listening socket on `port`; on failure prints its lines and sets
// `status` to the exit status.
Fd open_listener(const char* port, int& status) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* list = nullptr;
    if (getaddrinfo(nullptr, port, &hints, &list) != 0) {
        std::printf("getaddrinfo Failed. Quitting Now...\n");
        status = 1;
        return Fd{};
    }
    Fd bound;
    for (addrinfo* p = list; p != nullptr && !bound.valid(); p = p->ai_next) {
        Fd sock(
            ::socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, p->ai_protocol));
        if (!sock.valid()) {
            std::perror("server: socket");
            std::printf("Error creating socket.\n");
            continue;
        }
        const int yes = 1;
        if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == -1) {
            std::perror("setsockopt");
            std::printf("Error configuring socket.\n");
            freeaddrinfo(list);
            status = 1;
            return Fd{};
        }
        if (::bind(sock.get(), p->ai_addr, p->ai_addrlen) == -1) {
            sock.reset();
            std::perror("server: bind");
            std::printf("Error binding socket.\n");
            continue;
        }
        bound = std::move(sock);
    }
    freeaddrinfo(list);
    if (!bound.valid()) {
        std::printf("server: failed to bind\n");
        status = 2;
        return Fd{};
    }
    if (::listen(bound.get(), LISTEN_BACKLOG) == -1) {
        std::perror("listen");
        std::printf("Error listening on socket.\n");
        status = 1;
        return Fd{};
    }
    return bound;
}

class EventLoop {
public:
    explicit EventLoop(const ServerOptions& options) : options_(options) {}

    [[noreturn]] void run() {
        for (;;) pass();
    }

private:
    void pass() {
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int top = -1;
        auto watch = [&top](int fd, fd_set& set) {
            FD_SET(fd, &set);
            top = std::max(top, fd);
        };
        if (!listener_paused_) watch(slots[0].fd.get(), readable);
        for (int i = 1; i < MAX_SLOTS; ++i) {
            if (!slots[i].open()) continue;
            watch(slots[i].fd.get(), readable);
            if (slots[i].pending() > 0) watch(slots[i].fd.get(), writable);
        }
        std::optional<timeval> limit = next_login_deadline();
        std::fflush(stdout);
        const int ready =
            ::select(top + 1, &readable, &writable, nullptr, limit ? &*limit : nullptr);
        if (ready < 0) {
            if (errno != EINTR) {
                // Not expected with the sets built above; pause so a failure cannot spin.
                std::perror("select");
                timeval pause{0, 100000};
                ::select(0, nullptr, nullptr, nullptr, &pause);
            }
            return;
        }
        if (!listener_paused_ && FD_ISSET(slots[0].fd.get(), &readable)) accept_one();
        for (int i = 1; i < MAX_SLOTS; ++i) {
            if (slots[i].open() && FD_ISSET(slots[i].fd.get(), &readable)) serve(i);
        }
        for (int i = 1; i < MAX_SLOTS; ++i) {
            if (slots[i].open() && flush_slot(i) != 0) close_slot(i);
        }
        drop_idle();
    }

    void accept_one() {
        const auto fds = slot_descriptors();
        const int k = emptySlot(MAX_SLOTS, fds.data());
        std::printf("THE NEXT EMPTY SLOT IS : %d\n", k);
        if (k < 0) {
            // Stop watching the listener until a slot frees, instead of spinning.
            listener_paused_ = true;
            return;
        }
        const int fd = ::accept4(slots[0].fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        std::printf("open socket %i\n", fd);
        if (fd < 0) return;
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        attach_connection(fd, k);
    }

    // Reads what has arrived on slot i and carries out every whole message.
    void serve(int i) {
        Connection& c = slots[i];
        const int sock = c.fd.get();
        ssize_t got;
        do {
            got = ::recv(sock, c.in.space(), c.in.space_size(), 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got <= 0) {
            if (got == 0) {
                std::printf("ERROR: The other side has closed the connection on us.\n");
            } else {
                std::printf("ERROR: Error occurred while receiving.\n");
            }
            close_slot(i);
            return;
        }
        c.in.commit(static_cast<std::size_t>(got));
        std::string_view msg;
        for (;;) {
            const Framer::Status status = c.in.next(msg);
            if (status == Framer::Status::need_more) return;
            if (status == Framer::Status::overflow) {
                std::printf("ERROR: Receive buffer of size %d bytes exceeded.\n",
                            static_cast<int>(proto::RECV_LIMIT));
                close_slot(i);
                return;
            }
            const int logged_out = handle_command(sock, msg);
            drop_over_limit();
            if (!c.open()) {
                listener_paused_ = false;
                return;
            }
            if (logged_out == 1) {
                flush_slot(i);
                std::printf("Client Logged Out. Close Socket# %i.\n", sock);
                c = Connection{};
                listener_paused_ = false;
                return;
            }
        }
    }

    void close_slot(int i) {
        drop_connection(i);
        listener_paused_ = false;
    }

    // Time until the earliest login deadline of a connection not logged in.
    std::optional<timeval> next_login_deadline() const {
        std::optional<Clock::time_point> first;
        for (int i = 1; i < MAX_SLOTS; ++i) {
            if (!slots[i].open() || is_logged_in(slots[i].fd.get())) continue;
            const auto due = slots[i].accepted + std::chrono::seconds(options_.login_timeout_s);
            if (!first || due < *first) first = due;
        }
        if (!first) return std::nullopt;
        const auto wait = std::max(Clock::duration::zero(), *first - Clock::now());
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count() + 1;
        return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    }

    void drop_idle() {
        const auto now = Clock::now();
        for (int i = 1; i < MAX_SLOTS; ++i) {
            Connection& c = slots[i];
            if (!c.open() || is_logged_in(c.fd.get())) continue;
            if (now - c.accepted < std::chrono::seconds(options_.login_timeout_s)) continue;
            std::printf("Socket %i did not log in within %d seconds.\n", c.fd.get(),
                        options_.login_timeout_s);
            close_slot(i);
        }
    }

    ServerOptions options_;
    bool listener_paused_ = false;
};

}  // namespace

int server_main(int argc, char** argv, const ServerOptions& options) {
    // The log goes out in blocks and is flushed before every wait.
    static char log_buffer[1 << 16];
    std::setvbuf(stdout, log_buffer, _IOFBF, sizeof log_buffer);
    if (argc != 2) {
        std::printf("\nUSE: server <TCP port number to listen on>\n\n");
        std::fflush(stdout);
        return 1;
    }
    registry_reset();
    const int n = read_accounts(login, pass);
    std::printf("Number of accounts: %d\n", n);
    for (int i = 0; i < n; ++i)
        std::printf("login:%s\t pass:%s\n", login[i].c_str(), pass[i].c_str());

    int status = 0;
    Fd listener = open_listener(argv[1], status);
    std::fflush(stdout);
    if (!listener.valid()) return status;
    reset_connections();
    slots[0].fd = std::move(listener);
    EventLoop(options).run();
}
