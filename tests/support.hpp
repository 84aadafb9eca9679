// Test support: a built program in a child process on pipes, a raw protocol
// client on the common Framer, standard output capture and a temporary
// folder. Every wait is bounded by WAIT_MS.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fd.hpp"
#include "framer.hpp"

namespace support {

inline constexpr int WAIT_MS = 5000;

using Deadline = std::chrono::steady_clock::time_point;
inline Deadline deadline(int ms = WAIT_MS) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}
// Milliseconds left before `end`, at least 0.
inline int left_ms(Deadline end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - deadline(0)).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Runs `f` and returns what it printed on standard output.
template <class F>
std::string printed(F&& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A new folder under /tmp, removed with its contents at the end.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/conftestXXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string write(const std::string& file, const std::string& text) const {
        std::ofstream(path + "/" + file, std::ios::binary) << text;
        return path + "/" + file;
    }
};

// A built program in its own process, in folder `dir`, its standard input
// and output (with standard error) on pipes. Killed when it goes.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& dir) {
        int in[2], out[2];
        // Close-on-exec, so the program and later children hold no stray ends:
        // closing the input then really ends it.
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        if ((pid_ = ::fork()) == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            if (::chdir(dir.c_str()) == 0) ::execv(argv[0], argv.data());
            std::_Exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_.reset(in[1]);
        out_.reset(out[0]);
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }

    bool send(std::string_view bytes) {
        return ::write(in_.get(), bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }
    void close_input() { in_.reset(); }
    // Reads its output until it holds `text` or the wait ends.
    bool wait_for(const std::string& text, int ms = WAIT_MS) {
        for (auto end = deadline(ms); output_.find(text) == std::string::npos;) {
            if (!read_some(left_ms(end))) return false;
        }
        return true;
    }
    // Reads its output to the end; its exit status, or -1 while it runs.
    int exit_status(int ms = WAIT_MS) {
        const auto end = deadline(ms);
        while (read_some(left_ms(end))) {
        }
        for (int st = 0; status_ < 0 && left_ms(end) > 0; ::usleep(1000)) {
            if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WEXITSTATUS(st);
        }
        return status_;
    }
    const std::string& output() const { return output_; }
    pid_t pid() const { return pid_; }

private:
    bool read_some(int ms) {
        pollfd p{out_.get(), POLLIN, 0};
        char chunk[4096];
        const ssize_t n = ::poll(&p, 1, ms) > 0 ? ::read(out_.get(), chunk, sizeof chunk) : 0;
        if (n > 0) output_.append(chunk, static_cast<std::size_t>(n));
        return n > 0;
    }
    pid_t pid_ = -1;
    int status_ = -1;
    Fd in_, out_;
    std::string output_;
};

// A raw protocol client on a loopback port. `pump`, when given, runs while
// it waits: the pass of a server living in the test's own process.
class Client {
public:
    explicit Client(int port, std::function<void()> pump = {}, const char* host = "127.0.0.1")
        : pump_(std::move(pump)) {
        addrinfo hints{}, *list = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST;
        if (::getaddrinfo(host, std::to_string(port).c_str(), &hints, &list) != 0) return;
        sock_.reset(::socket(list->ai_family, SOCK_STREAM, 0));
        if (::connect(sock_.get(), list->ai_addr, list->ai_addrlen) != 0) sock_.reset();
        ::freeaddrinfo(list);
    }
    bool connected() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }

    // Sends the bytes as they are; send() adds the message's NUL.
    bool raw(std::string_view b) {
        return ::send(sock_.get(), b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }
    bool send(const std::string& text) { return raw({text.c_str(), text.size() + 1}); }

    // The next message; nothing when none comes in time or the server closed.
    std::optional<std::string> next(int ms = WAIT_MS) {
        for (const auto end = deadline(ms);;) {
            std::string_view msg;
            if (in_.next(msg) == Framer::Status::message) return std::string(msg);
            if (closed_) return std::nullopt;
            if (pump_) pump_();
            pollfd p{sock_.get(), POLLIN, 0};
            if (::poll(&p, 1, pump_ ? 0 : left_ms(end)) > 0) {
                const ssize_t n = ::recv(sock_.get(), in_.space(), in_.space_size(), 0);
                closed_ = n <= 0;
                if (n > 0) in_.commit(static_cast<std::size_t>(n));
            } else if (left_ms(end) == 0) {
                return std::nullopt;
            }
        }
    }
    // Reads (into `got`, if given) until the server closes; true if it did in time.
    bool closed(std::vector<std::string>* got = nullptr, int ms = WAIT_MS) {
        for (auto end = deadline(ms); auto msg = next(left_ms(end));)
            if (got) got->push_back(*msg);
        return closed_;
    }
    // Ends the connection with a reset instead of an orderly close.
    void reset() {
        linger l{1, 0};
        ::setsockopt(sock_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        sock_.reset();
    }

private:
    std::function<void()> pump_;
    Fd sock_;
    Framer in_{65536};
    bool closed_ = false;
};

}  // namespace support
