// End-to-end support: a real server process on a free loopback port in a
// temporary directory, and raw protocol clients. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "fd.hpp"
#include "framer.hpp"

namespace e2e {

using Clock = std::chrono::steady_clock;
inline constexpr int WAIT_MS = 5000;

// A loopback port nobody listens on right now.
inline int free_port() {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

inline Fd connect_to(int port) {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Fd();
    return s;
}

// A server in its own process and directory. `body` runs in the child after
// it has moved into the directory, with the port as text; by default it
// executes the built server program.
class Server {
public:
    explicit Server(const std::string& accounts,
                    std::function<int(const std::string&)> body = nullptr) {
        char dir[] = "/tmp/confserverXXXXXX";
        dir_ = ::mkdtemp(dir);
        std::ofstream(dir_ + "/accounts.csv") << accounts;
        for (int attempt = 0; attempt < 5 && !start(body); ++attempt) {
        }
    }
    ~Server() {
        stop();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool alive() const { return pid_ > 0 && ::kill(pid_, 0) == 0 && !exited(); }

    std::string log() const {
        std::ifstream in(dir_ + "/log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Waits until the log holds `text` `times` times.
    bool log_has(const std::string& text, int times = 1, int timeout_ms = WAIT_MS) const {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        do {
            if (count(log(), text) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (Clock::now() < end);
        return false;
    }

    static int count(const std::string& hay, const std::string& needle) {
        int n = 0;
        for (std::size_t at = hay.find(needle); at != std::string::npos;
             at = hay.find(needle, at + 1))
            ++n;
        return n;
    }

    // Number of descriptors the server holds open.
    int descriptors() const {
        int n = 0;
        if (DIR* d = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
            while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
            ::closedir(d);
        }
        return n;
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    bool exited() const {
        int status;
        return ::waitpid(pid_, &status, WNOHANG) == pid_;
    }

    // Starts the server on a fresh port; true once it accepts connections.
    bool start(const std::function<int(const std::string&)>& body) {
        stop();
        port_ = free_port();
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir_.c_str()) != 0) std::_Exit(99);
            const int log = ::open("log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(log, STDOUT_FILENO);
            const std::string port = std::to_string(port_);
            if (body) std::_Exit(body(port));
            ::execl(SERVER_PATH, SERVER_PATH, port.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        // The probing connection closes at once, so it holds no slot for long.
        const auto end = Clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (Clock::now() < end && !exited()) {
            if (connect_to(port_).valid()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A raw protocol client.
class Client {
public:
    explicit Client(int port) : sock_(connect_to(port)) {}

    bool connected() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }

    // Sends the bytes as they are (add the NUL yourself, or use `request`).
    bool raw(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(sock_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    bool request(const std::string& text) { return raw(text + '\0'); }

    // The next message, or nothing when none comes in time or the server closed.
    std::optional<std::string> next(int timeout_ms = WAIT_MS) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            std::string_view msg;
            if (in_.next(msg) == Framer::Status::message) return std::string(msg);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            pollfd p{sock_.get(), POLLIN, 0};
            if (left.count() < 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return std::nullopt;
            const ssize_t n = ::recv(sock_.get(), in_.space(), in_.space_size(), 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            in_.commit(static_cast<std::size_t>(n));
        }
    }

    // Logs in; true on LG_ACK.
    bool login(const std::string& id, const std::string& pw) {
        return request("LOGIN#" + id + "#" + pw) && next() == "LG_ACK";
    }

    // True when the server closes the connection within the time.
    bool closed_by_server(int timeout_ms = WAIT_MS) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!closed_ && Clock::now() < end) {
            if (next(50)) continue;
        }
        return closed_;
    }

    // Resets the connection instead of closing it politely.
    void reset() {
        linger l{1, 0};
        ::setsockopt(sock_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        sock_.reset();
    }

private:
    Fd sock_;
    Framer in_{65536};
    bool closed_ = false;
};

}  // namespace e2e
