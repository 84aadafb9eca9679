// Helpers for the client's tests: capturing standard output, socket pairs
// and loopback listeners standing in for the server, bounded reads, and a
// child process running the client on piped input.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "fd.hpp"

namespace client_test {

constexpr int WAIT_MS = 5000;  // bound on every wait for a peer

// What the client prints at start-up, and around a login and a logout.
const std::string BANNER = "\n//" + std::string(68, '*') + "\\\\" + "\n//" + std::string(22, ' ') +
                           "THE CLIENT PROGRAM" + std::string(28, ' ') + "\\\\" + "\n//" +
                           std::string(68, '*') + "\\\\\n\n";
const std::string LOGGED_IN =
    "STATUS: Connecting to the server...\n"
    "STATUS: Extracting server information...\n"
    "STATUS: Successfully connected to the server. Sending login info...\n"
    "STATUS: Login successful!\n";
const std::string LOGGED_OUT = "STATUS: Successfully logged out from the server.\n";

// Sends the process's standard output to a file until finish().
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = Fd(::dup(STDOUT_FILENO));
        std::FILE* f = std::tmpfile();
        file_ = Fd(::dup(::fileno(f)));
        std::fclose(f);
        ::dup2(file_.get(), STDOUT_FILENO);
    }
    ~StdoutCapture() { finish(); }

    std::string finish() {
        if (!saved_.valid()) return {};
        std::fflush(stdout);
        ::dup2(saved_.get(), STDOUT_FILENO);
        saved_.reset();
        std::string out;
        char chunk[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = ::pread(file_.get(), chunk, sizeof chunk, at)) > 0) {
            out.append(chunk, static_cast<std::size_t>(n));
            at += n;
        }
        return out;
    }

private:
    Fd saved_;
    Fd file_;
};

inline std::pair<Fd, Fd> socket_pair() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
    return {Fd(sv[0]), Fd(sv[1])};
}

inline std::pair<Fd, Fd> make_pipe() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) std::abort();
    return {Fd(p[0]), Fd(p[1])};
}

inline void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Sends one message as the server would: the text and its NUL.
inline void send_message(int fd, std::string_view text) {
    write_all(fd, std::string(text) + '\0');
}

// Everything that has already arrived on `fd`, without waiting.
inline std::string drain(int fd) {
    std::string out;
    char chunk[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
}

using Clock = std::chrono::steady_clock;

inline Clock::time_point deadline_in(int timeout_ms) {
    return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// Waits for bytes on `fd` until `deadline` and appends them to `seen`.
// Returns 1 for bytes, 0 when the peer closed, -1 on time-out or error.
inline int read_once(int fd, std::string& seen, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return -1;
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) seen.append(chunk, static_cast<std::size_t>(n));
    return n > 0 ? 1 : static_cast<int>(n);
}

// Reads into `seen` until it contains `want`; false when the peer closes
// or the time runs out first.
inline bool read_until(int fd, std::string& seen, std::string_view want, int timeout_ms = WAIT_MS) {
    const auto deadline = deadline_in(timeout_ms);
    while (seen.find(want) == std::string::npos) {
        if (read_once(fd, seen, deadline) != 1) return false;
    }
    return true;
}

// Reads into `seen` until the peer closes; false when the time runs out.
inline bool read_to_close(int fd, std::string& seen, int timeout_ms = WAIT_MS) {
    const auto deadline = deadline_in(timeout_ms);
    int got;
    while ((got = read_once(fd, seen, deadline)) == 1) {
    }
    return got == 0;
}

// A TCP listener on 127.0.0.1 at a port the system picked.
struct Listener {
    Fd sock;
    int port = 0;

    Listener() : sock(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(sock.get(), 8) != 0 ||
            ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::abort();
        }
        port = ntohs(addr.sin_port);
    }

    // The next connection, or an invalid Fd when none comes in time.
    Fd accept_one(int timeout_ms = WAIT_MS) {
        pollfd p{sock.get(), POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return Fd();
        return Fd(::accept(sock.get(), nullptr, nullptr));
    }
};

// A child process whose standard input and output are pipes held here.
class ChildProcess {
public:
    // Runs `body` in the child with the pipes as descriptors 0 and 1; the
    // child exits with its result.
    explicit ChildProcess(const std::function<int()>& body) {
        auto [in_r, in_w] = make_pipe();
        auto [out_r, out_w] = make_pipe();
        std::fflush(stdout);  // or the child would write out the parent's pending output
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in_r.get(), STDIN_FILENO);
            ::dup2(out_w.get(), STDOUT_FILENO);
            in_r.reset();
            in_w.reset();
            out_r.reset();
            out_w.reset();
            std::_Exit(body());
        }
        in_ = std::move(in_w);
        out_ = std::move(out_r);
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    void type(std::string_view keys) { write_all(in_.get(), keys); }
    void close_input() { in_.reset(); }
    bool wait_for(std::string_view text, int timeout_ms = WAIT_MS) {
        return read_until(out_.get(), seen_, text, timeout_ms);
    }
    // All output so far, after whatever has arrived meanwhile.
    const std::string& output() {
        seen_ += drain(out_.get());
        return seen_;
    }

    // The exit status, or -1 when the child did not end in time (it is then killed).
    int wait_exit(int timeout_ms = WAIT_MS) {
        const auto deadline = deadline_in(timeout_ms);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return -1;
            ::usleep(10'000);
        }
        pid_ = -1;
        output();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Stops the child and waits until it has stopped.
    bool stop() {
        ::kill(pid_, SIGSTOP);
        for (int i = 0; i < WAIT_MS / 10; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG | WUNTRACED) == pid_ && WIFSTOPPED(status)) {
                return true;
            }
            ::usleep(10'000);
        }
        return false;
    }
    void resume() { ::kill(pid_, SIGCONT); }

private:
    pid_t pid_ = -1;
    Fd in_;
    Fd out_;
    std::string seen_;
};

}  // namespace client_test
