// The server's entry points and its select loop. One thread serves the
// listener and nine client slots: each pass reads whatever has arrived on
// each connection without waiting, hands every complete message to
// handle_command in order, writes each connection's queued output and
// enforces the deadlines (login time limit, half-closed peers, the paced
// answers to refused logins, the rest after a failed accept). The log
// (standard output) is written in blocks and flushed before every wait.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "accounts.hpp"
#include "addr_list.hpp"
#include "command_line.hpp"
#include "connections.hpp"
#include "log.hpp"
#include "log_text.hpp"
#include "notify.hpp"
#include "password.hpp"
#include "registry.hpp"
#include "server.hpp"
#include "tls_server.hpp"
#include "tokenizer.hpp"
#include "transport.hpp"

namespace {

ServerOptions options;
// Set by the signal handlers, looked at by the loop. SIGHUP (and SIGTERM when
// the service manager listens) are blocked but while the loop waits, so a
// signal always ends a wait instead of slipping in before one.
volatile std::sig_atomic_t hangup = 0;
volatile std::sig_atomic_t terminate = 0;
sigset_t wait_mask;
sigset_t saved_mask;
struct sigaction saved_hangup {};
Clock::time_point accept_resume;  // the listener rests until then after a failed accept
// TLS: the context new connections are made from, and the listener that
// takes them. With --tls-only that listener is slot 0's, and there is no other.
SslCtxPtr tls_ctx;
Fd tls_listener;

Fd bind_socket(const addrinfo& a) {
    return Fd(::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol));
}

// One socket on "::" that takes IPv4 as well, where the system allows it.
Fd open_dual_stack(const char* port) {
    const AddrList list = resolve(nullptr, port, AF_INET6, AI_PASSIVE);
    if (!list) return Fd{};
    Fd sock = bind_socket(*list);
    const int yes = 1;
    const int no = 0;
    if (!sock.valid() ||
        ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::setsockopt(sock.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) != 0 ||
        ::bind(sock.get(), list->ai_addr, list->ai_addrlen) != 0) {
        sock.reset();
    }
    return sock;
}

// Opens a listening socket on `port`; on failure prints its lines and sets
// `status` to the exit status.
Fd open_listener(const char* port, int& status) {
    Fd bound = open_dual_stack(port);
    int failure = errno;  // why the last bind failed
    AddrList list;
    if (!bound.valid()) {
        list = resolve(nullptr, port, AF_UNSPEC, AI_PASSIVE);
        if (!list) {
            log_line("getaddrinfo Failed. Quitting Now...\n");
            status = 1;
            return Fd{};
        }
    }
    for (const addrinfo* p = list.get(); p != nullptr && !bound.valid(); p = p->ai_next) {
        Fd sock = bind_socket(*p);
        if (!sock.valid()) {
            std::perror("server: socket");
            log_line("Error creating socket.\n");
            continue;
        }
        const int yes = 1;
        if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == -1) {
            std::perror("setsockopt");
            log_line("Error configuring socket.\n");
            status = 1;
            return Fd{};
        }
        if (::bind(sock.get(), p->ai_addr, p->ai_addrlen) == -1) {
            failure = errno;
            std::perror("server: bind");
            log_line("Error binding socket.\n");
            continue;
        }
        bound = std::move(sock);
    }
    if (!bound.valid()) {
        log_line("server: failed to bind\n");
        if (failure == EADDRINUSE) log_line("ERROR: port %s is in use.\n", port);
        status = 2;
        return Fd{};
    }
    if (::listen(bound.get(), LISTEN_BACKLOG) == -1) {
        std::perror("listen");
        log_line("Error listening on socket.\n");
        status = 1;
        return Fd{};
    }
    return bound;
}

// The port a bound socket listens on.
int bound_port(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

// A slot is read only while it is open for reading and its buffer has room:
// a receive into no room would look like the peer's end of stream.
bool can_receive(const Connection& c) {
    return !c.closing && c.in && c.in->space_size() > 0;
}

// Counts the hashed passwords among the `n` accounts, and says how many are
// still plain text.
void count_hashed(int n) {
    hashed_accounts = 0;
    for (int i = 0; i < n; ++i) hashed_accounts += is_hash(pass[i]) ? 1 : 0;
    if (n > hashed_accounts)
        log_line(
            "WARNING: %d of %d accounts have plain-text passwords: hash them with "
            "conference-passwd.\n",
            n - hashed_accounts, n);
}

bool logged_in(const Connection& c) {
    return is_logged_in(c.fd.get()) != 0;
}

// Seconds a connection may stay without a login: fewer while every slot is
// taken and someone waits to be accepted, so silent peers cannot hold them all.
int login_timeout_s() {
    return listener_paused ? std::min(options.login_timeout_s, CONTESTED_LOGIN_TIMEOUT_S)
                           : options.login_timeout_s;
}

Clock::time_point login_deadline(const Connection& c) {
    return c.accepted + std::chrono::seconds(login_timeout_s());
}

// Accepts a connection from `listener`; over TLS when `tls`.
void accept_one(int listener, bool tls, Clock::time_point now) {
    const auto fds = slot_descriptors();
    const int k = emptySlot(MAX_SLOTS, fds.data());
    log_line("THE NEXT EMPTY SLOT IS : %d\n", k);
    if (k < 0) {
        // Stop watching the listener until a slot frees, instead of spinning.
        listener_paused = true;
        return;
    }
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (try_later(errno) || errno == ECONNABORTED) return;
        // Out of descriptors, most likely: rest instead of spinning.
        log_line("ERROR: accept failed: %s\n", std::strerror(errno));
        accept_resume = now + ACCEPT_PAUSE;
        return;
    }
    if (fd >= FD_SETSIZE) {
        log_line("ERROR: socket %i is beyond the select limit of %d. closed.\n", fd, FD_SETSIZE);
        Fd closed(fd);
        return;
    }
    log_line("open socket %i\n", fd);
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    attach_connection(fd, k, tls ? tls_ctx.get() : nullptr);
}

// The sets a slot is watched in: what it reads or writes next, and over
// TLS what the library waits for to go on with it.
bool wants_read(const Connection& c) {
    if (c.handshaking) return !c.read_wants_write;
    return (can_receive(c) && !c.read_wants_write) || (c.pending() > 0 && c.write_wants_read);
}

bool wants_write(const Connection& c) {
    if (c.handshaking) return c.read_wants_write;
    return (c.pending() > 0 && !c.write_wants_read) || (can_receive(c) && c.read_wants_write);
}

// Whether slot i is to be read in this pass, given what select found.
bool to_read(const Connection& c, bool readable, bool writable) {
    if (!c.tls) return readable && can_receive(c);
    if (c.handshaking) return readable || writable;
    return can_receive(c) && (readable || (writable && c.read_wants_write) || c.tls_more);
}

// Reads what has arrived on slot i into its receive buffer; a TLS
// handshake that ends here goes on to read what followed it.
void receive(int i, Clock::time_point now) {
    Connection& c = slots[i];
    const LogCause cause(&c.log, now);
    const bool handshaking = c.handshaking;
    Got got = read_slot(i);
    if (handshaking && got == Got::some) got = read_slot(i);
    if (got == Got::end) {
        log_line("ERROR: The other side has closed the connection on us.\n");
        finish_slot(i, now);
    } else if (got == Got::failed) {
        // A TLS failure has had its own line.
        if (!c.tls) log_line("ERROR: Error occurred while receiving.\n");
        close_slot(i);
    }
}

// A TLS handshake sent to the plain port: its first record is a handshake
// (type 22), which no request starts with.
bool tls_on_plain_port(const Connection& c, std::string_view msg) {
    return !c.tls && !msg.empty() && msg[0] == '\x16' && !logged_in(c);
}

// The next whole message of slot i is a LOGIN request.
bool login_next(Connection& c) {
    std::string_view msg;
    if (c.in->peek(msg) != Framer::Status::message) return false;
    return Tokenizer(msg).first(proto::FIELD_SEP) == proto::LOGIN;
}

// Carries out every whole message slot i holds, until it is held or closed.
void serve(int i, Clock::time_point now) {
    Connection& c = slots[i];
    const int sock = c.fd.get();
    const LogCause cause(&c.log, now);
    std::string_view msg;
    while (c.open() && !c.closing && !c.held(now)) {
        if (const auto until = logins_paced_until(now); until && !logged_in(c) && login_next(c)) {
            c.held_until = *until;
            return;
        }
        const Framer::Status status = c.in->next(msg);
        if (status == Framer::Status::need_more) return;
        if (status == Framer::Status::overflow) {
            log_line("ERROR: Receive buffer of size %d bytes exceeded.\n",
                     static_cast<int>(proto::RECV_LIMIT));
            close_slot(i);
            return;
        }
        if (tls_on_plain_port(c, msg)) {
            log_line("ERROR: socket %i spoke TLS to the plain port. closed.\n", sock);
            close_slot(i);
            return;
        }
        const int logged_out = handle_command(sock, msg);
        drop_over_limit();
        if (logged_out == 1 && c.open()) {
            flush_slot(i);
            close_slot(i, true);
        }
    }
}

// The earliest deadline after `now` that a pass must wake up for.
std::optional<Clock::time_point> next_deadline(Clock::time_point now) {
    std::optional<Clock::time_point> first;
    auto consider = [&](Clock::time_point t) {
        if (!first || t < *first) first = t;
    };
    if (now < accept_resume) consider(accept_resume);
    for (int i = 1; i < MAX_SLOTS; ++i) {
        const Connection& c = slots[i];
        if (!c.open()) continue;
        if (c.held(now)) consider(c.held_until);
        if (c.closing) {
            consider(c.close_by);
        } else if (!logged_in(c)) {
            consider(login_deadline(c));
        }
    }
    return first;
}

void enforce_deadlines(Clock::time_point now) {
    // One rule for the whole pass, though the first close ends the contest.
    const int timeout_s = login_timeout_s();
    for (int i = 1; i < MAX_SLOTS; ++i) {
        Connection& c = slots[i];
        if (!c.open()) continue;
        const LogCause cause(&c.log, now);
        if (c.closing) {
            if (c.pending() == 0 || now >= c.close_by) close_slot(i);
        } else if (!logged_in(c) && now >= c.accepted + std::chrono::seconds(timeout_s)) {
            log_line("Socket %i did not log in within %d seconds.\n", c.fd.get(), timeout_s);
            close_slot(i);
        } else {
            log_report(c.log, c.fd.get(), now);
        }
    }
}

void on_hangup(int) {
    hangup = 1;
}

void on_terminate(int) {
    terminate = 1;
}

// Handles `sig` with `handler` from now on; it arrives only while the loop waits.
void catch_signal(int sig, void (*handler)(int), struct sigaction* saved) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, saved);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, sig);
    ::sigprocmask(SIG_BLOCK, &block, nullptr);
    sigdelset(&wait_mask, sig);
}

// Reads accounts.csv again, whole or not at all. Users whose account is
// gone or whose password changed are logged out as by a dropped connection;
// everyone else keeps their login and sessions under the new table.
void reload_accounts() {
    AccountTable ids;
    AccountTable passwords;
    const int n = read_accounts(ids, passwords, "accounts.csv", false);
    if (n < 0) {
        log_line("WARNING: accounts.csv was not reloaded. The accounts in force stay.\n");
        return;
    }
    for (int i = 1; i < MAX_SLOTS; ++i) {
        const Connection& c = slots[i];
        const int id = c.open() && !c.closing ? get_clientID(c.fd.get()) : -1;
        if (id < 0) continue;
        const int k = account_of(login[id], ids);
        if (k >= 0 && passwords[k] == pass[id]) continue;
        log_line("The account of %s was removed or its password changed. Logging it out.\n",
                 printable(login[id]).c_str());
        close_slot(i);
    }
    std::array<int, MAX_ACCOUNTS> new_id{};
    for (int id = 0; id < MAX_ACCOUNTS; ++id) new_id[id] = account_of(login[id], ids);
    renumber_clients(new_id);
    login = std::move(ids);
    pass = std::move(passwords);
    log_line("Accounts reloaded. Number of accounts: %d\n", n);
    count_hashed(n);
}

void log_fingerprint() {
    log_line("TLS on port %d. Certificate key fingerprint: %s\n", server_tls_port(),
             context_fingerprint(tls_ctx.get()).c_str());
}

// Reads the certificate and key again for the connections to come; live
// ones keep the context they were made from. A broken pair changes nothing.
void reload_tls() {
    if (!tls_ctx) return;
    std::string why;
    SslCtxPtr fresh = load_server_context(options.tls_cert, options.tls_key, why);
    if (!fresh) {
        log_line("WARNING: the TLS certificate was not reloaded: %s. The one in force stays.\n",
                 why.c_str());
        return;
    }
    tls_ctx = std::move(fresh);
    log_fingerprint();
}

// SIGHUP: the accounts and the TLS certificate are read again.
void reload_if_asked() {
    if (hangup == 0) return;
    hangup = 0;
    loop_now = options.clock();
    notify_service(reloading_state());
    reload_accounts();
    reload_tls();
    notify_service("READY=1");
}

}  // namespace

int server_start(const char* port, const ServerOptions& opts) {
    options = opts;
    ::sigprocmask(SIG_SETMASK, nullptr, &saved_mask);
    wait_mask = saved_mask;
    catch_signal(SIGHUP, on_hangup, &saved_hangup);
    registry_reset();
    reset_connections();
    const int n = read_accounts(login, pass);
    if (n == -2) {
        log_flush();
        return -1;
    }
    log_line("Number of accounts: %d\n", n);
    for (int i = 0; i < n; ++i) log_line("login:%s\t pass:******\n", printable(login[i]).c_str());
    count_hashed(n);
    if (!options.tls_cert.empty()) {
        std::string why;
        tls_ctx = load_server_context(options.tls_cert, options.tls_key, why);
        if (!tls_ctx) {
            log_line("ERROR: %s\n", why.c_str());
            log_flush();
            return -1;
        }
        // A peer gone in the middle of a write ends its connection, not the server.
        std::signal(SIGPIPE, SIG_IGN);
    }
    int status = 0;
    Fd listener = open_listener(port, status);
    if (listener.valid() && tls_ctx && !options.tls_only)
        tls_listener = open_listener(options.tls_port.c_str(), status);
    for (Fd* l : {&listener, &tls_listener}) {
        if (l->valid() && l->get() >= FD_SETSIZE) {
            log_line("ERROR: listening socket %i is beyond the select limit of %d.\n", l->get(),
                     FD_SETSIZE);
            l->reset();
            status = 1;
        }
    }
    if (!listener.valid() || (tls_ctx && !options.tls_only && !tls_listener.valid())) {
        tls_listener.reset();
        tls_ctx.reset();
        log_flush();
        return -status;
    }
    loop_now = options.clock();
    accept_resume = loop_now;
    const int bound = bound_port(listener.get());
    slots[0].fd = std::move(listener);
    if (tls_ctx) log_fingerprint();
    log_flush();
    return bound;
}

int server_tls_port() {
    if (!tls_ctx) return 0;
    return bound_port(options.tls_only ? slots[0].fd.get() : tls_listener.get());
}

void server_pass(std::optional<Clock::duration> limit) {
    reload_if_asked();
    Clock::time_point now = options.clock();
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    int top = -1;
    auto watch = [&top](int fd, fd_set& set) {
        FD_SET(fd, &set);
        top = std::max(top, fd);
    };
    const bool listening = !listener_paused && now >= accept_resume;
    if (listening) watch(slots[0].fd.get(), readable);
    if (listening && tls_listener.valid()) watch(tls_listener.get(), readable);
    bool more = false;  // bytes inside TLS sessions wait to be read
    for (int i = 1; i < MAX_SLOTS; ++i) {
        const Connection& c = slots[i];
        if (!c.open() || c.held(now)) continue;
        if (wants_read(c)) watch(c.fd.get(), readable);
        if (wants_write(c)) watch(c.fd.get(), writable);
        more = more || (c.tls_more && can_receive(c));
    }
    if (more) limit = Clock::duration::zero();
    if (const auto due = next_deadline(now)) {
        const auto wait = std::max(Clock::duration::zero(), *due - now);
        if (!limit || wait < *limit) limit = wait;
    }
    timespec ts{};
    if (limit) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*limit).count();
        ts = timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    if (log_flush()) watch(LOG_FD, writable);
    const int ready =
        ::pselect(top + 1, &readable, &writable, nullptr, limit ? &ts : nullptr, &wait_mask);
    if (ready < 0) {
        // A signal: the next pass looks at what it asked for.
        if (errno == EINTR) return;
        // Not expected with the sets built above; rest so a failure cannot spin.
        std::perror("select");
        timeval pause{0, 100000};
        ::select(0, nullptr, nullptr, nullptr, &pause);
        return;
    }
    // A wait that ended on ready descriptors has not let a signal that was
    // waiting in: a busy server takes it here, or a reload could wait for
    // a quiet moment that never comes.
    sigset_t waiting;
    if (::sigpending(&waiting) == 0 &&
        (sigismember(&waiting, SIGHUP) == 1 || sigismember(&waiting, SIGTERM) == 1)) {
        sigset_t running;
        ::sigprocmask(SIG_SETMASK, &wait_mask, &running);
        ::sigprocmask(SIG_SETMASK, &running, nullptr);
        reload_if_asked();
    }
    now = options.clock();
    loop_now = now;
    if (listening && FD_ISSET(slots[0].fd.get(), &readable))
        accept_one(slots[0].fd.get(), options.tls_only, now);
    if (listening && tls_listener.valid() && FD_ISSET(tls_listener.get(), &readable))
        accept_one(tls_listener.get(), true, now);
    for (int i = 1; i < MAX_SLOTS; ++i) {
        const Connection& c = slots[i];
        if (c.open() && !c.held(now) &&
            to_read(c, FD_ISSET(c.fd.get(), &readable), FD_ISSET(c.fd.get(), &writable)))
            receive(i, now);
    }
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && slots[i].in) serve(i, now);
    }
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && !slots[i].held(now) && flush_slot(i) != 0) {
            const LogCause cause(&slots[i].log, now);
            close_slot(i);
        }
    }
    enforce_deadlines(now);
}

void server_stop() {
    reset_connections();
    tls_listener.reset();
    tls_ctx.reset();
    registry_reset();
    ::sigaction(SIGHUP, &saved_hangup, nullptr);
    ::sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    hangup = 0;
}

int server_main(int argc, char** argv, const ServerOptions& opts) {
    log_open();
    ServerOptions given = opts;
    std::string port_arg;
    const CommandLine line = read_command_line(argc, argv, port_arg, given);
    if (line != CommandLine::run) {
        print_usage(argc > 0 ? argv[0] : "conference-server");
        log_flush(true);
        return line == CommandLine::help ? 0 : 1;
    }
    const int port = server_start(port_arg.c_str(), given);
    if (port < 0) {
        log_flush(true);
        return -port;
    }
    // Under a service manager that listens, SIGTERM first says we are stopping.
    struct sigaction default_terminate {};
    if (notify_wanted()) catch_signal(SIGTERM, on_terminate, &default_terminate);
    notify_service("READY=1");
    while (terminate == 0) server_pass();
    notify_service("STOPPING=1");
    server_stop();
    log_flush(true);
    // Ends as SIGTERM always ended it.
    ::sigaction(SIGTERM, &default_terminate, nullptr);
    ::sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    ::raise(SIGTERM);
    return 0;
}
