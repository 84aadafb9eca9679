// soak: connection-level chaos against a running server (its replies are
// checked at fuzzing speed by fuzz_server). Requests go whole, in two pieces,
// a byte a step while the others go on, or several in one write; peers close,
// reset, half-close, overflow the 500-character limit, log out and come back.
// Each client has its own account and session, so all it must receive is
// known: anything else is a mismatch. The server (--server, default: `server`
// beside this program) runs on a free loopback port in a temporary folder,
// its output in server.log there. Its descriptors may never pass the start's
// plus nine clients and must come back to the start's; its memory may not
// grow by more than a few output queues. Exit status 1 on a mismatch, a
// timed-out wait, the server's death, a leak or a sanitizer report.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fd.hpp"
#include "framer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

constexpr const char* EOF_MARK = "<end of stream>";  // an expected close
constexpr int MAX_CLIENTS = 9;                       // the server's client slots

constexpr int CLIENTS = 8;
constexpr std::chrono::seconds TIMEOUT{5};  // every wait's bound

// The server process, with its descriptors and memory as /proc shows them.
struct Server {
    pid_t pid = -1;
    ~Server() { stop(); }
    bool start(const std::string& binary, const fs::path& dir, int port) {
        if ((pid = ::fork()) != 0) return pid > 0;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int out = ::open((dir / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(dir.c_str()) != 0 || out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
            std::_Exit(126);
        ::execl(binary.c_str(), "server", std::to_string(port).c_str(), nullptr);
        std::_Exit(127);
    }
    bool alive() {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
        return pid > 0;
    }
    void stop() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    int fds() const {
        const fs::directory_iterator all("/proc/" + std::to_string(pid) + "/fd");
        return static_cast<int>(std::distance(all, fs::directory_iterator{}));
    }
    long kib(const std::string& field) const {  // "VmRSS", "VmHWM"
        std::ifstream f("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(f, line);)
            if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
        return -1;
    }
};

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int free_port() {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    return ntohs(a.sin_port);
}

Fd connect_to(int port) {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in a = loopback(port);
    const int one = 1;  // pieces go out as they are sent
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) s.reset();
    return s;
}

// One client: account sN with password pN, and session roomN.
struct Client {
    int n = 0;
    Fd fd;
    Framer in;
    bool logged_in = false, in_room = false;
    std::deque<std::string> expect;
    std::string drip;  // bytes of a request still to go, one a step
    std::string id() const { return "s" + std::to_string(n); }
    std::string room() const { return "room" + std::to_string(n); }
    void gone() { *this = Client{n, Fd(), Framer(), false, false, {}, {}}; }
};

class Soak {
public:
    Soak(double duration, unsigned long seed, Server& server, int port)
        : duration_(duration), server_(server), port_(port), rng_(seed), clients_(CLIENTS) {
        for (int i = 0; i < CLIENTS; ++i) clients_[i].n = i + 1;
    }

    bool send(Client& c, const std::string& bytes) {
        if (::send(c.fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size()))
            return true;
        return mismatch(c, "the server took no more bytes");
    }

    // Reads what has arrived for `c`; each message must be the next it expects.
    bool take(Client& c) {
        const ssize_t got = ::recv(c.fd.get(), c.in.space(), c.in.space_size(), MSG_DONTWAIT);
        if (got < 0) return errno == EAGAIN || mismatch(c, std::strerror(errno));
        if (got == 0) {
            if (c.expect.size() != 1 || c.expect.front() != EOF_MARK) return mismatch(c, "a close");
            c.gone();
            return true;
        }
        c.in.commit(static_cast<std::size_t>(got));
        std::string_view msg;
        for (Framer::Status s; (s = c.in.next(msg)) != Framer::Status::need_more;) {
            ++count_["lines received"];
            if (s == Framer::Status::overflow) return mismatch(c, "over 500 characters");
            if (c.expect.empty() || c.expect.front() != msg)
                return mismatch(c, '"' + std::string(msg) + '"');
            c.expect.pop_front();
        }
        return true;
    }

    // Waits until `c` has received all it expects, reading every client meanwhile.
    bool settle(Client& c) {
        const auto end = Clock::now() + TIMEOUT;
        while (c.fd.valid() && !c.expect.empty()) {
            std::vector<pollfd> p;
            for (Client& k : clients_)
                if (k.fd.valid()) p.push_back({k.fd.get(), POLLIN, 0});
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return fail(c.id() + ": timed out waiting for \"" + c.expect.front() + '"');
            if (::poll(p.data(), p.size(), static_cast<int>(left)) < 0) return fail("poll failed");
            for (Client& k : clients_)
                if (k.fd.valid() && !take(k)) return false;
        }
        return true;
    }

    // A random request that fits the client's state; what it must receive is queued.
    std::string request(Client& c) {
        ++count_["requests"];
        if (!c.logged_in) {
            c.logged_in = true;
            c.expect.push_back("LG_ACK");
            return "LOGIN#" + c.id() + "#p" + std::to_string(c.n);
        }
        const bool in = c.in_room;
        const int pick = in ? rnd(6) : 3 + rnd(3);  // a chat line only in the session
        if (pick == 3) c.expect.push_back(in ? "QRYME_ACK#" + c.room() : "QRYME_ACK");
        if (pick == 4)
            c.expect.push_back((in ? "NEWCONF_NACK#" : "NEWCONF_ACK#") + c.room() +
                               (in ? "#2" : ""));
        if (pick == 5) c.expect.push_back((in ? "LEAVE_ACK#" : "LEAVE_NACK#") + c.room());
        c.in_room = pick == 4 || (in && pick != 5);
        if (pick >= 3)
            return std::array{"QRYME", "NEWCONF#", "LEAVE#"}[pick - 3] + (pick > 3 ? c.room() : "");
        // Long enough at times to be relayed in two lines.
        const std::string head = "[" + c.room() + "] " + c.id() + " says: ";
        std::string text = "m" + std::to_string(count_["requests"]) + " ";
        const std::size_t most = 500 - 6 - c.room().size() - text.size();
        for (std::size_t k = rnd(8) == 0 ? most : rnd(120); k > 0; --k)
            text += "abcdefghijklmnopqrstuvwxyz #:[]!?"[rnd(33)];
        for (std::size_t at = 0; at < text.size(); at += 499 - head.size())
            c.expect.push_back(head + text.substr(at, 499 - head.size()));
        return "MSG#" + c.room() + "#" + text;
    }

    // The client goes, closed or reset through SO_LINGER 0, whatever it was doing.
    void vanish(Client& c, bool reset) {
        const linger l{1, 0};
        if (reset) ::setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ++count_[reset ? "reset" : "closed"];
        c.gone();
    }

    // One action of one client: it connects, goes away in one of the ways a peer
    // can, or sends requests cut in one of the ways a network cuts them.
    bool act(Client& c) {
        if (!c.fd.valid()) {
            c.fd = connect_to(port_);
            ++count_["connections"];
            return c.fd.valid() || fail(c.id() + ": cannot connect: " + std::strerror(errno));
        }
        const int r = rnd(1000);
        if (r < 8) return vanish(c, r < 4), true;
        if (r < 12) {
            ++count_["overflowed"];
            c.expect.push_back(EOF_MARK);
            return send(c, std::string(501 + rnd(200), 'z')) && settle(c);
        }
        if (r < 16 && c.logged_in) {
            ++count_["logged out"];
            c.expect.push_back(EOF_MARK);
            return send(c, std::string("LOGOUT") + '\0') && settle(c);
        }
        const std::string req = request(c) + (rnd(10) == 0 ? '\n' : '\0');
        if (r < 20) {  // the replies come, then the close
            ++count_["half-closed"];
            c.expect.push_back(EOF_MARK);
            if (!send(c, req)) return false;
            ::shutdown(c.fd.get(), SHUT_WR);
            return settle(c);
        }
        if (r < 45) {
            ++count_["dripped a byte a step"];
            c.drip = req.substr(1);
            return send(c, req.substr(0, 1));
        }
        if (r < 125) {
            ++count_["sent in two pieces"];
            const std::size_t cut = 1 + rnd(static_cast<int>(req.size()) - 1);
            if (!send(c, req.substr(0, cut))) return false;
            std::this_thread::sleep_for(milliseconds(1));
            return send(c, req.substr(cut)) && settle(c);
        }
        std::string bytes = req;
        if (r < 225) {
            ++count_["sent several in one write"];
            for (int k = 1 + rnd(4); k > 0; --k) bytes += request(c) + '\0';
        }
        return send(c, bytes) && settle(c);
    }

    // A byte of every drip, then one action of a random client that is not dripping.
    bool step() {
        for (Client& c : clients_) {
            if (c.drip.empty()) continue;
            if (!send(c, c.drip.substr(0, 1))) return false;
            c.drip.erase(0, 1);
            if (c.drip.empty() && !settle(c)) return false;
        }
        Client& c = clients_[rnd(CLIENTS)];
        if (c.drip.empty()) return act(c);
        if (rnd(100) == 0) vanish(c, rnd(2) == 0);  // in the middle of a message
        return true;
    }

    bool run() {
        // The baseline is taken with one client logged in and read from.
        Client& first = clients_[0];
        first.fd = connect_to(port_);
        if (!first.fd.valid() || !send(first, request(first) + '\0') || !settle(first))
            return false;
        base_fds_ = peak_fds_ = server_.fds() - 1;
        base_rss_ = server_.kib("VmRSS");
        const auto end = Clock::now() + std::chrono::duration<double>(duration_);
        for (long steps = 1; failure_.empty() && Clock::now() < end; ++steps) {
            if (!step()) break;
            if (steps % 64 != 0) continue;
            if (!server_.alive()) return fail("the server died");
            peak_fds_ = std::max(peak_fds_, server_.fds());
            if (peak_fds_ > base_fds_ + MAX_CLIENTS)
                return fail("the server held " + std::to_string(peak_fds_) + " descriptors");
        }
        if (!failure_.empty()) return false;
        for (Client& c : clients_) c.gone();
        const auto deadline = Clock::now() + TIMEOUT;
        while ((end_fds_ = server_.fds()) > base_fds_ && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(10));
        end_rss_ = server_.kib("VmRSS");
        peak_rss_ = server_.kib("VmHWM");
        if (end_fds_ > base_fds_) return fail("descriptors leaked");
        // Two full output queues at most, at the peak; what the clients held goes.
        if (peak_rss_ > base_rss_ + 3 * 1024L || end_rss_ > base_rss_ + 2 * 1024L)
            return fail("the server's memory grew");
        return true;
    }

    void report(double seconds) {
        std::printf("%.0f requests a second; mismatches %ld\n",
                    static_cast<double>(count_["requests"]) / seconds, count_["mismatches"]);
        for (const auto& [what, n] : count_) std::printf("  %-25s %ld\n", what.c_str(), n);
        std::printf("server descriptors   %d at the start, peak %d, %d at the end\n", base_fds_,
                    peak_fds_, end_fds_);
        std::printf("server memory        %ld KiB at the start, peak %ld KiB, %ld KiB at the end\n",
                    base_rss_, peak_rss_, end_rss_);
        if (!failure_.empty()) std::printf("FAILED: %s\n", failure_.c_str());
    }

private:
    int rnd(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool fail(const std::string& why) {
        if (failure_.empty()) failure_ = why;
        return false;
    }
    bool mismatch(const Client& c, const std::string& got) {
        ++count_["mismatches"];
        const std::string want = c.expect.empty() ? "nothing" : '"' + c.expect.front() + '"';
        return fail("MISMATCH on " + c.id() + ": " + got + " while it expected " + want);
    }

    double duration_;
    Server& server_;
    int port_;
    std::mt19937_64 rng_;
    std::vector<Client> clients_;
    std::string failure_;
    std::map<std::string, long> count_;
    int base_fds_ = 0, peak_fds_ = 0, end_fds_ = 0;
    long base_rss_ = 0, end_rss_ = 0, peak_rss_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args;
    for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
    auto arg = [&](const char* name, const std::string& otherwise) {
        return args.count(name) ? args.extract(name).mapped() : otherwise;
    };
    std::string binary = arg("--server", "");
    const double duration = std::atof(arg("--duration", "60").c_str());
    const unsigned long seed = std::stoul(arg("--seed", std::to_string(std::random_device{}())));
    if (argc % 2 == 0 || !args.empty() || duration <= 0) {
        std::fprintf(stderr, "usage: %s [--server PATH] [--duration S] [--seed N]\n", argv[0]);
        return 2;
    }
    if (binary.empty()) binary = fs::read_symlink("/proc/self/exe").parent_path() / "server";
    binary = fs::absolute(binary);
    ::signal(SIGPIPE, SIG_IGN);
    std::string tmpl = fs::temp_directory_path() / "soak.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        std::perror("soak: mkdtemp");
        return 1;
    }
    const fs::path dir = tmpl;
    std::ofstream accounts(dir / "accounts.csv");
    for (int i = 1; i <= 8; ++i) accounts << 's' << i << ",p" << i << '\n';
    accounts.close();
    // The server is up once it takes a connection; if another program took
    // the port meanwhile, the server ends and another port is tried.
    Server server;
    int port = 0;
    for (int attempt = 0; attempt < 5 && !server.alive(); ++attempt) {
        if ((port = free_port()) <= 0 || !server.start(binary, dir, port)) break;
        for (int k = 0; k < 500 && server.alive() && !connect_to(port).valid(); ++k)
            std::this_thread::sleep_for(milliseconds(10));
    }
    if (!server.alive()) {
        std::printf("FAILED: the server %s did not start; see %s\n", binary.c_str(), dir.c_str());
        return 1;
    }
    std::printf("soak: %s on 127.0.0.1:%d, %d clients, %.0f s, seed %lu, files in %s\n",
                binary.c_str(), port, CLIENTS, duration, seed, dir.c_str());
    std::fflush(stdout);
    Soak soak(duration, seed, server, port);
    const auto start = Clock::now();
    bool pass = soak.run();
    soak.report(std::chrono::duration<double>(Clock::now() - start).count());
    server.stop();
    std::ifstream logged(dir / "server.log");
    const std::string log{std::istreambuf_iterator<char>(logged), {}};
    if (log.find("Sanitizer") != std::string::npos ||
        log.find("runtime error") != std::string::npos) {
        std::printf("FAILED: a sanitizer report in %s/server.log\n", dir.c_str());
        pass = false;
    }
    std::printf("result               %s\n", pass ? "PASS" : "FAIL");
    if (pass) fs::remove_all(dir);
    return pass ? 0 : 1;
}
