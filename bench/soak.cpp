// soak: runs the conference server for a while under random valid and
// invalid traffic and checks every byte it sends back against a model.
//
// It starts the server (--server, default: `server` beside this program) on
// a free loopback port in a temporary directory holding accounts.csv, its
// output going to server.log and server.err there, and always kills it at
// the end. The directory is removed after a passing run and kept otherwise.
//
// Connections: the server has nine client slots. Eight active clients hold
// eight of them; the ninth is for a checker, a fresh connection that logs in
// as `chk`, compares QRY answers with the model and logs out again. It runs
// every --check-ms, and right after an abrupt disconnect of a logged-in
// client: the server may clean such a connection out after other clients'
// requests, so the checker repeats QRY until the user is gone, every answer
// having to match the model either before or after the drop. No step starts
// until that is settled, so the model stays exact.
//
// Lockstep: one request at a time from a random active client (logins right
// and wrong, NEWCONF, JOIN, LEAVE all and named, MSG to member and
// non-member sessions, QRY, QRYME, unknown words, garbage, missing fields,
// LOGOUT, sometimes two or three in one write, some ended by LF), then a
// bounded wait until every expected reply and relayed line has arrived on
// every connection; a line nobody expects is a mismatch. Requests go out
// whole, one byte per send, or in two halves with a pause. Besides, a half
// message or a one-byte-per-step drip may stay unfinished on its connection
// for a while (50-300 ms) as the other clients go on, which proves that it
// holds up no one; the model applies it when its last byte is sent
// (--no-overlap turns this off). Clients also vanish (close, or a reset through
// SO_LINGER 0), overflow the 500-character limit, and reconnect. A client
// that is not logged in logs in well before the server's login time limit.
//
// At the end all clients log out, the checker confirms nobody is left, and
// the report gives requests, lines, mismatches, the server's peak resident
// memory and descriptor counts. Exit status 1 on a mismatch, a timed-out
// wait, the server's death, leaked descriptors or a sanitizer report.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "fd.hpp"
#include "framer.hpp"
#include "soak_model.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using soak::Expect;
using soak::QryList;
using std::chrono::milliseconds;

volatile sig_atomic_t g_interrupted = 0;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

struct Options {
    std::string server;
    double duration = 60;
    double timeout = 5;  // seconds, for every wait
    int clients = 8;
    int check_ms = 250;
    int login_limit = 60;  // the server's login time limit, in seconds
    bool overlap = true;
    bool keep = false;
    unsigned long seed = 0;
};

constexpr const char* CHECKER = "chk";
constexpr const char* CHECKER_PW = "ck";
constexpr int ACCOUNTS = 12;  // s1..s12, passwords p1..p12

std::string account(int i) {
    return "s" + std::to_string(i);
}
std::string password(int i) {
    return "p" + std::to_string(i);
}
// The right LOGIN request for account "sN".
std::string login_of(const std::string& id) {
    return "LOGIN#" + id + "#p" + id.substr(1);
}

// ---- the server process ----

class ServerProcess {
public:
    ~ServerProcess() { stop(); }

    bool start(const std::string& binary, const std::filesystem::path& dir, int port) {
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::chdir(dir.c_str()) != 0) ::_exit(126);
            const int out = ::open("server.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            const int err = ::open("server.err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
            const std::string p = std::to_string(port);
            ::execl(binary.c_str(), "server", p.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return true;
    }

    // False once the server has ended; `death()` then says how.
    bool alive() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
        death_ = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                     : "exited with status " + std::to_string(WEXITSTATUS(status));
        pid_ = -1;
        return false;
    }
    const std::string& death() const { return death_; }
    pid_t pid() const { return pid_; }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    int fd_count() const {
        DIR* d = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
        if (!d) return -1;
        int n = 0;
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
        return n;
    }

    // A "VmXXX:  1234 kB" field of /proc/PID/status, in KiB; -1 if absent.
    long status_kib(const std::string& field) const {
        std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.compare(0, field.size() + 1, field + ":") == 0)
                return std::atol(line.c_str() + field.size() + 1);
        return -1;
    }

private:
    pid_t pid_ = -1;
    std::string death_;
};

int free_port() {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    return ntohs(a.sin_port);
}

// Connects to 127.0.0.1:port without blocking past `deadline`; -1 on failure.
int connect_loopback(int port, Clock::time_point deadline) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    if (!s.valid()) return -1;
    const int one = 1;
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) return -1;
        pollfd p{s.get(), POLLOUT, 0};
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return -1;
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) return -1;
    }
    return s.release();
}

// ---- one connection to the server ----

struct Conn {
    std::string name;  // "c3" or "checker", for reports
    Fd fd;
    Framer in;
    std::string account;  // logged in as; empty when not
    Clock::time_point since;
    std::deque<Expect> expect;
    bool eof_expected = false;
    soak::Tokens got;     // a QRY or QRYME answer being put together
    int parts = 0;        // the messages it came in so far
    std::string pending;  // a request still being sent, across steps
    std::string bytes;    // its bytes, terminator included
    std::size_t sent = 0;
    bool drip = false;
    Clock::time_point ready_at;

    bool connected() const { return fd.valid(); }
    bool partial() const { return !bytes.empty(); }
    bool waiting() const { return connected() && (!expect.empty() || eof_expected); }
};

std::string show(std::string_view s) {
    std::string out;
    for (unsigned char ch : s.substr(0, 160)) {
        if (ch >= 32 && ch < 127)
            out += static_cast<char>(ch);
        else
            out +=
                "\\x" + std::string(1, "0123456789abcdef"[ch >> 4]) + "0123456789abcdef"[ch & 15];
    }
    return '"' + out + (s.size() > 160 ? "\"..." : "\"");
}

// The whole of an expected reply, as it would read in one message.
std::string show(const Expect& e) {
    if (e.kind == Expect::line) return show(e.text);
    std::string all;
    for (const soak::Tokens& t : e.answers) {
        std::string s = e.kind == Expect::qry_answer ? "QRY_ACK#" : "QRYME_ACK";
        for (std::size_t i = 0; i < t.size(); ++i)
            s += (t[i][0] == 'u' ? (i ? ":" : "") : "#") + t[i].substr(2);
        all += (all.empty() ? "" : " or ") + show(s);
    }
    return all + " (in one or more parts)";
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = s.find(sep, at);
        out.emplace_back(s.substr(at, end - at));
        if (end == std::string_view::npos) return out;
        at = end + 1;
    }
}

// ---- the soak ----

class Soak {
public:
    Soak(const Options& o, ServerProcess& server, int port)
        : opt_(o), server_(server), port_(port), model_(accounts()), rng_(o.seed) {
        for (int i = 0; i <= o.clients; ++i) {
            conns_.emplace_back();
            conns_.back().name = i < o.clients ? "c" + std::to_string(i) : "checker";
        }
    }

    static std::map<std::string, std::string> accounts() {
        std::map<std::string, std::string> a{{CHECKER, CHECKER_PW}};
        for (int i = 1; i <= ACCOUNTS; ++i) a[account(i)] = password(i);
        return a;
    }

    bool run();
    void report(double seconds) const;

private:
    Conn& checker() { return conns_.back(); }
    int rnd(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(rnd(static_cast<int>(v.size())))];
    }

    Clock::duration limit() const { return seconds(opt_.timeout); }
    bool ok() const { return failure_.empty(); }
    bool fail(const std::string& why) {
        if (failure_.empty()) failure_ = why;
        return false;
    }
    bool mismatch(const Conn& c, const std::string& why) {
        ++mismatches_;
        return fail("MISMATCH on " + c.name + " (" +
                    (c.account.empty() ? "not logged in" : c.account) + "): " + why);
    }
    void note(const Conn& c, std::string_view what) {
        history_.push_back(c.name + " " + show(what));
        if (history_.size() > 16) history_.pop_front();
    }
    void sample_fds() { peak_fds_ = std::max(peak_fds_, server_.fd_count()); }

    bool open(Conn& c);
    bool send_bytes(Conn& c, std::string_view bytes, bool may_fail = false);
    bool apply(Conn& c, const std::string& request);
    bool request(Conn& c, const std::string& r);
    bool wait_all();
    bool read_conn(Conn& c);
    bool on_message(Conn& c, std::string_view msg);
    bool on_query(Conn& c, std::string_view msg);
    bool check(const QryList* before);
    bool vanish(Conn& c, bool reset);
    bool overflow(Conn& c);
    bool step();
    bool send_requests(Conn& c, const std::vector<std::string>& reqs);
    bool finish_partial(Conn& c);
    bool finish();

    std::string offline_account();
    std::string gen_request(const Conn& c);
    std::string gen_text(std::size_t room);
    std::string gen_garbage();
    char terminator() { return chance(0.1) ? '\n' : '\0'; }

    const Options& opt_;
    ServerProcess& server_;
    int port_;
    soak::Model model_;
    std::mt19937_64 rng_;
    std::vector<Conn> conns_;
    std::string failure_;
    std::deque<std::string> history_;
    int last_match_ = -1;   // which answer the last complete QRY answer was
    bool growing_ = false;  // a phase with fewer departures and more joins

public:
    long requests_ = 0, lines_ = 0, mismatches_ = 0, checks_ = 0, settles_ = 0, settle_polls_ = 0;
    long connects_ = 0, closes_ = 0, resets_ = 0, logouts_ = 0, overflows_ = 0, partials_ = 0,
         drips_ = 0;
    std::size_t max_online_ = 0, max_sessions_ = 0;
    long multipart_ = 0, full_relays_ = 0;
    int base_fds_ = -1, end_fds_ = -1, peak_fds_ = -1;
    long base_rss_ = -1, end_rss_ = -1, peak_rss_ = -1;
};

const std::vector<std::string> NAMES = {
    "r0",
    "r1",
    "r2",
    "r3",
    "r4",
    "lobby",
    "Lobby",
    "dev",
    "x",
    "abcdefghij",
    "the big room",
    "planning_and_review_2024",
    "a_very_long_session_name_for_queries_00",
    "a_very_long_session_name_for_queries_01",
    "a_very_long_session_name_for_queries_02",
};

const std::vector<std::string> UNKNOWN = {
    "HELLO",        "QRYX",
    "LOGINS#s1#p1", "MSGS#r1#x",
    "JOINED#r1",    "LEAVEALL",
    "Qry",          "qry",
    "login#s1#p1",  "NEWCONFS#r1",
    "LOG_IN",       "QRY_ACK#s1",
    "LG_ACK",       "[r1] s1 says: hi",
    " QRY",         "QRY ",
    "QRYME2",       "",
    "#QRY",         "##",
    "LOGOUT2",      "\rQRY",
};

const std::vector<std::string> MISSING_FIELD = {
    "NEWCONF",  "NEWCONF#",  "JOIN",    "JOIN#",   "MSG",      "MSG#",
    "MSG#r1",   "MSG#r1#",   "MSG##",   "MSG##r1", "LOGIN",    "LOGIN#",
    "LOGIN#s1", "LOGIN#s1#", "LOGIN##", "LEAVE#",  "LEAVE###",
};

std::string Soak::offline_account() {
    std::vector<std::string> free;
    for (int i = 1; i <= ACCOUNTS; ++i)
        if (!model_.is_online(account(i))) free.push_back(account(i));
    return pick(free);
}

// A unique chat text of printable bytes, '#', ':' and '[' included, now and
// then with tabs, CRs and 8-bit bytes; long enough at times that the relayed
// line has to be split, or that the request has the 500 characters a
// receiver takes at most.
std::string Soak::gen_text(std::size_t room) {
    static const std::string chars =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 "
        "#:[]!?.,;-_=+*/\\'\"()<>{}|~`^%$&@";
    std::string t = "m" + std::to_string(requests_) + " ";
    const int len = chance(0.05) ? INT_MAX : chance(0.3) ? rnd(200) : rnd(40);
    const std::size_t n =
        std::min<std::size_t>(static_cast<std::size_t>(len), room > t.size() ? room - t.size() : 0);
    const bool odd = chance(0.1);
    for (std::size_t i = 0; i < n; ++i)
        t += odd && chance(0.1)
                 ? "\t\r\x80\xe9\xff"[rnd(5)]
                 : chars[static_cast<std::size_t>(rnd(static_cast<int>(chars.size())))];
    return t;
}

// Bytes that can never form a request word: lower case and punctuation, no
// NUL or LF.
std::string Soak::gen_garbage() {
    static const std::string chars =
        "abcdefghijklmnopqrstuvwxyz !\"$%&'()*+,-./;<=>?@[\\]^_`{|}~#:\r\t";
    std::string g;
    const int n = rnd(chance(0.1) ? 501 : 60);  // up to the 500 characters a request may have
    for (int i = 0; i < n; ++i)
        g += chars[static_cast<std::size_t>(rnd(static_cast<int>(chars.size())))];
    if (!g.empty() && g[0] >= 'A' && g[0] <= 'Z') g[0] = 'a';
    return g;
}

// One random request for `c`, fitting its state: mostly valid, often not.
std::string Soak::gen_request(const Conn& c) {
    const int i = 1 + rnd(ACCOUNTS);
    if (c.account.empty()) {
        switch (rnd(22)) {
            case 0:
                return "LOGIN#" + account(i) + "#" + password(i % ACCOUNTS + 1);  // wrong password
            case 1:
                return "LOGIN#S" + std::to_string(i) + "#" + password(i);  // wrong case
            case 2:
                return "LOGIN#nobody#" + password(i);
            case 3:
                return pick(
                    std::vector<std::string>{"QRY", "QRYME", "LEAVE", "LOGOUT", "LOGOUT#x"});
            case 4:
                return pick(std::vector<std::string>{"NEWCONF#", "JOIN#"}) + pick(NAMES);
            case 5:
                return pick(std::vector<std::string>{"LEAVE#", "MSG#"}) + pick(NAMES) + "#x";
            case 6:
                return gen_garbage();
            case 7:
                return pick(MISSING_FIELD);
            case 8:
                return pick(UNKNOWN);
            case 9:
                return "LOGIN#" + account(i) + "#" + password(i);  // may be online elsewhere
            case 10:
                return "LOGIN##" + login_of(offline_account()).substr(6);
            default:
                return login_of(offline_account());
        }
    }
    const std::vector<std::string> mine = model_.sessions_of(c.account);
    if (growing_ && chance(0.3)) {  // fill the tables so that QRY answers come in parts
        for (const soak::Session& s : model_.sessions())
            if (std::find(mine.begin(), mine.end(), s.name) == mine.end() && chance(0.5))
                return "JOIN#" + s.name;
        return "NEWCONF#" + pick(NAMES);
    }
    const int r = rnd(100);
    if (r < 24) {  // MSG to a session of ours, or to any name when in none
        const std::string n = mine.empty() ? pick(NAMES) : pick(mine);
        const std::string head = chance(0.05) ? "MSG##" + n + "#" : "MSG#" + n + "#";
        return head + gen_text(proto::RECV_LIMIT - head.size());
    }
    if (r < 29) {
        const std::string head = "MSG#" + (chance(0.2) ? "nosuch" : pick(NAMES)) + "#";
        return head + gen_text(proto::RECV_LIMIT - head.size());
    }
    if (r < 38) return "NEWCONF#" + pick(NAMES);
    if (r < 49) {
        const auto& live = model_.sessions();
        return "JOIN#" + (!live.empty() && chance(0.7) ? pick(live).name : pick(NAMES));
    }
    if (r < 56) {
        std::string s = chance(0.1) ? "LEAVE##" : "LEAVE#";
        for (int k = 1 + rnd(3); k > 0; --k) {
            s += !mine.empty() && chance(0.6) ? pick(mine) : chance(0.2) ? "nosuch" : pick(NAMES);
            s += chance(0.1) ? "##" : "#";
        }
        if (chance(0.5)) s.pop_back();
        return s;
    }
    if (r < 60) return "LEAVE";
    if (r < 64) return chance(0.8) ? "QRY" : "QRY#extra";
    if (r < 68) return chance(0.8) ? "QRYME" : "QRYME#extra";
    if (r < 73) {
        switch (rnd(5)) {
            case 0:
                return login_of(c.account);  // ourselves again
            case 1:
                return login_of(offline_account());  // another, offline account
            case 2:
                return "LOGIN#" + account(i) + "#" + password(i) + "#x";
            case 3:
                return "LOGIN##" + pick(model_.online()) + "#p" + pick(model_.online()).substr(1);
            default:
                return "LOGIN#" + account(i) + "#" + password(i);
        }
    }
    if (r < 76) return pick(UNKNOWN);
    if (r < 81) return gen_garbage();
    if (r < 85) return pick(MISSING_FIELD);
    if (r < 86 && !growing_) return chance(0.8) ? "LOGOUT" : "LOGOUT#bye";
    return chance(0.5) ? "QRYME" : "JOIN#" + pick(NAMES);
}

bool Soak::open(Conn& c) {
    const int fd = connect_loopback(port_, Clock::now() + limit());
    if (fd < 0) return fail(c.name + ": cannot connect to the server: " + std::strerror(errno));
    c.fd.reset(fd);
    c.in = Framer();
    c.since = Clock::now();
    ++connects_;
    return true;
}

// Sends all of `bytes` within the time limit. A failure counts against the
// server unless `may_fail` (the server is expected to cut the connection).
bool Soak::send_bytes(Conn& c, std::string_view bytes, bool may_fail) {
    const auto deadline = Clock::now() + limit();
    while (!bytes.empty()) {
        const ssize_t n = ::send(c.fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{c.fd.get(), POLLOUT, 0};
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return fail(c.name + ": timed out sending (the server reads nothing)");
            ::poll(&p, 1, static_cast<int>(left));
            continue;
        }
        return may_fail || mismatch(c, std::string("send failed: ") + std::strerror(errno));
    }
    return true;
}

// Runs `request` through the model and queues what each connection must
// receive for it.
bool Soak::apply(Conn& c, const std::string& request) {
    ++requests_;
    note(c, request);
    soak::Outcome o = model_.handle(c.account, request);
    if (!o.logged_in.empty()) c.account = o.logged_in;
    max_online_ = std::max(max_online_, model_.online().size());
    max_sessions_ = std::max(max_sessions_, model_.sessions().size());
    for (soak::Delivery& d : o.out) {
        Conn* to = &c;
        if (!d.to.empty()) {
            to = nullptr;
            for (Conn& k : conns_)
                if (k.connected() && k.account == d.to) to = &k;
        }
        if (!to) return fail("model: member " + d.to + " is on no connection");
        to->expect.push_back(std::move(d.what));
    }
    if (o.closed) {
        c.account.clear();
        c.eof_expected = true;
        ++logouts_;
    }
    return true;
}

// One request, sent whole, then the wait for everything it causes.
bool Soak::request(Conn& c, const std::string& r) {
    return apply(c, r) && send_bytes(c, r + '\0') && wait_all();
}

// Polls every connection until nothing is expected any more; every message
// is checked as it arrives.
bool Soak::wait_all() {
    const auto deadline = Clock::now() + limit();
    std::vector<pollfd> fds;
    std::vector<Conn*> who;
    for (;;) {
        fds.clear();
        who.clear();
        const Conn* waiting = nullptr;
        for (Conn& c : conns_) {
            if (!c.connected()) continue;
            if (c.waiting() && !waiting) waiting = &c;
            fds.push_back({c.fd.get(), POLLIN, 0});
            who.push_back(&c);
        }
        if (!waiting) return true;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return fail("timed out after " + std::to_string(opt_.timeout) + " s: " + waiting->name +
                        " (" + (waiting->account.empty() ? "not logged in" : waiting->account) +
                        ") still waits for " +
                        (waiting->expect.empty() ? std::string("the server to close it")
                                                 : show(waiting->expect.front())));
        }
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left, 100)));
        if (n < 0 && errno != EINTR) return fail(std::string("poll: ") + std::strerror(errno));
        if (!server_.alive()) return fail("the server died: " + server_.death());
        for (std::size_t i = 0; n > 0 && i < fds.size(); ++i)
            if (fds[i].revents != 0 && !read_conn(*who[i])) return false;
    }
}

// Takes what has arrived on `c` and checks every whole message.
bool Soak::read_conn(Conn& c) {
    const ssize_t n = ::recv(c.fd.get(), c.in.space(), c.in.space_size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) {
        if (c.eof_expected && c.expect.empty()) {
            c.fd.reset();
            c.eof_expected = false;
            return true;
        }
        return mismatch(
            c, std::string("the server closed the connection (") +
                   (n == 0 ? "EOF" : std::strerror(errno)) + ")" +
                   (c.expect.empty() ? "" : " while waiting for " + show(c.expect.front())));
    }
    c.in.commit(static_cast<std::size_t>(n));
    std::string_view msg;
    for (;;) {
        const Framer::Status s = c.in.next(msg);
        if (s == Framer::Status::need_more) return true;
        if (s == Framer::Status::overflow)
            return mismatch(c, "a message longer than 500 characters");
        ++lines_;
        if (msg.size() > proto::MAX_TEXT_LEN)
            return mismatch(c, "a message longer than 499 characters: " + show(msg));
        if (msg.size() == proto::MAX_TEXT_LEN && msg[0] == proto::RELAY_MARK) ++full_relays_;
        if (!on_message(c, msg)) return false;
    }
}

bool Soak::on_message(Conn& c, std::string_view msg) {
    if (c.expect.empty()) return mismatch(c, "unexpected " + show(msg));
    const Expect& e = c.expect.front();
    if (e.kind != Expect::line) return on_query(c, msg);
    if (msg != e.text) return mismatch(c, "expected " + show(e.text) + ", got " + show(msg));
    c.expect.pop_front();
    return true;
}

// One part of a QRY or QRYME answer. The parts add up (a QRY part whose
// first user repeats the last one goes on with that user's sessions) until
// they make a whole answer that is right; each part must add something and
// keep the whole a beginning of a right answer.
bool Soak::on_query(Conn& c, std::string_view msg) {
    Expect& e = c.expect.front();
    const bool all = e.kind == Expect::qry_answer;
    const std::string head =
        all ? std::string(proto::QRY_ACK) + proto::FIELD_SEP : std::string(proto::QRYME_ACK);
    const std::string_view rest = msg.substr(std::min(msg.size(), head.size()));
    if (msg.substr(0, head.size()) != head ||
        (!all && !rest.empty() && rest[0] != proto::FIELD_SEP))
        return mismatch(c, "expected " + show(e) + ", got " + show(msg));
    const std::size_t had = c.got.size();
    if (all) {
        const std::vector<std::string> entries = split(rest, proto::ENTRY_SEP);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::vector<std::string> f = split(entries[i], proto::FIELD_SEP);
            const auto last_user = std::find_if(c.got.rbegin(), c.got.rend(),
                                                [](const std::string& t) { return t[0] == 'u'; });
            if (i > 0 || last_user == c.got.rend() || *last_user != "u:" + f[0])
                c.got.push_back("u:" + f[0]);
            for (std::size_t k = 1; k < f.size(); ++k) c.got.push_back("s:" + f[k]);
        }
    } else if (!rest.empty()) {
        for (const std::string& n : split(rest.substr(1), proto::FIELD_SEP))
            c.got.push_back("s:" + n);
    }
    ++c.parts;
    bool prefix = false;
    for (std::size_t i = 0; i < e.answers.size(); ++i) {
        if (c.got == e.answers[i]) {
            last_match_ = static_cast<int>(i);
            if (c.parts > 1) ++multipart_;
            c.got.clear();
            c.parts = 0;
            c.expect.pop_front();
            return true;
        }
        prefix = prefix || (c.got.size() < e.answers[i].size() &&
                            std::equal(c.got.begin(), c.got.end(), e.answers[i].begin()));
    }
    if (prefix && c.got.size() > had) return true;
    return mismatch(c, "expected " + show(e) + ", got " + show(msg) +
                           (c.parts > 1 ? " as part " + std::to_string(c.parts) : ""));
}

// The checker: a fresh connection logs in, compares QRY (and QRYME) with the
// model and logs out. With `before`, a dropped user may still show until the
// server has cleaned it out; QRY is repeated until it has.
bool Soak::check(const QryList* before) {
    Conn& k = checker();
    ++checks_;
    if (!open(k) || !request(k, std::string("LOGIN#") + CHECKER + "#" + CHECKER_PW)) return false;
    if (k.account != CHECKER) return fail("the checker could not log in");
    soak::Tokens old;
    if (before) {
        old = soak::tokens(*before);
        old.push_back(std::string("u:") + CHECKER);
        ++settles_;
    }
    const auto deadline = Clock::now() + limit();
    for (;;) {
        last_match_ = -1;
        Expect e;
        e.kind = Expect::qry_answer;
        e.answers.push_back(soak::tokens(model_.qry()));
        if (before) e.answers.push_back(old);
        ++requests_;
        note(k, "QRY");
        k.expect.push_back(std::move(e));
        if (!send_bytes(k, std::string(proto::QRY) + '\0') || !wait_all()) return false;
        if (last_match_ == 0) break;
        ++settle_polls_;
        if (Clock::now() > deadline)
            return fail("the server still lists a dropped connection's user after " +
                        std::to_string(opt_.timeout) + " s");
        std::this_thread::sleep_for(milliseconds(1));
    }
    if (chance(0.3) && !request(k, std::string(proto::QRYME))) return false;
    if (!request(k, std::string(proto::LOGOUT))) return false;
    sample_fds();
    return true;
}

// An abrupt disconnect: close, or a reset with SO_LINGER 0.
bool Soak::vanish(Conn& c, bool reset) {
    note(c, reset ? "<reset>" : "<close>");
    if (reset) {
        const linger l{1, 0};
        ::setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ++(reset ? resets_ : closes_);
    c.fd.reset();
    c.bytes.clear();
    c.pending.clear();
    if (c.account.empty()) return true;
    const QryList before = model_.qry();
    model_.drop(c.account);
    c.account.clear();
    return check(&before);
}

// 501 or more characters without a terminator: the server drops the
// connection and the user leaves its sessions silently.
bool Soak::overflow(Conn& c) {
    ++overflows_;
    ++requests_;
    std::string g(501 + static_cast<std::size_t>(rnd(100)), 'z');
    note(c, "<overflow>");
    if (!c.account.empty()) model_.drop(c.account);
    c.account.clear();
    c.eof_expected = true;
    return send_bytes(c, g, true) && wait_all();
}

// Sends one or more requests in one write, whole, one byte per send, or in
// two halves with a short pause.
bool Soak::send_requests(Conn& c, const std::vector<std::string>& reqs) {
    std::string bytes;
    for (const std::string& r : reqs) {
        if (!apply(c, r)) return false;
        bytes += r;
        bytes += terminator();
        if (c.eof_expected) break;  // the rest would follow a LOGOUT
    }
    const int how = rnd(100);
    if (how < 4) {
        ++drips_;
        for (std::size_t i = 0; i < bytes.size(); ++i)
            if (!send_bytes(c, std::string_view(bytes).substr(i, 1))) return false;
    } else if (how < 8) {
        ++partials_;
        const std::size_t cut = 1 + static_cast<std::size_t>(rnd(static_cast<int>(bytes.size())));
        if (!send_bytes(c, std::string_view(bytes).substr(0, cut))) return false;
        std::this_thread::sleep_for(milliseconds(1 + rnd(10)));
        if (!send_bytes(c, std::string_view(bytes).substr(cut))) return false;
    } else if (!send_bytes(c, bytes)) {
        return false;
    }
    return wait_all();
}

// The rest of an unfinished request goes out; only now does it count.
bool Soak::finish_partial(Conn& c) {
    const std::string rest = c.bytes.substr(c.sent), request = c.pending;
    c.bytes.clear();
    c.pending.clear();
    return apply(c, request) && send_bytes(c, rest) && wait_all();
}

// One step: a dripping byte from every drip in progress, then one action of
// one random client.
bool Soak::step() {
    const auto now = Clock::now();
    for (Conn& c : conns_) {
        if (c.connected() && c.partial() && c.drip && c.sent + 1 < c.bytes.size()) {
            if (!send_bytes(c, std::string_view(c.bytes).substr(c.sent, 1))) return false;
            ++c.sent;
        }
    }
    Conn& c = conns_[static_cast<std::size_t>(rnd(opt_.clients))];
    if (!c.connected()) return open(c);
    if (c.partial()) {
        if (chance(0.0005)) return vanish(c, chance(0.5));
        const bool ready = c.drip ? c.sent + 1 == c.bytes.size() : now >= c.ready_at;
        return !ready || finish_partial(c);
    }
    const bool late =
        c.account.empty() && now - c.since > std::chrono::seconds(opt_.login_limit) / 4;
    if (late) return request(c, login_of(offline_account()));
    const int r = rnd(1000) + (growing_ ? 14 : 0);
    if (r < 6) return vanish(c, false);
    if (r < 12) return vanish(c, true);
    if (r < 14) return overflow(c);
    std::vector<std::string> reqs{gen_request(c)};
    if (opt_.overlap && r < 100 && reqs[0].size() > 1) {
        c.pending = reqs[0];
        c.bytes = reqs[0] + terminator();
        c.drip = r < 65;
        c.sent =
            c.drip ? 1 : 1 + static_cast<std::size_t>(rnd(static_cast<int>(c.bytes.size()) - 1));
        c.ready_at = now + milliseconds(50 + rnd(250));
        ++(c.drip ? drips_ : partials_);
        return send_bytes(c, std::string_view(c.bytes).substr(0, c.sent));
    }
    if (r < 150)
        for (int k = 1 + rnd(2); k > 0; --k) reqs.push_back(gen_request(c));
    return send_requests(c, reqs);
}

// Every client logs out or goes, and the server must list nobody and hold
// no more descriptors than at the start.
bool Soak::finish() {
    if (!check(nullptr)) return false;
    for (std::size_t i = 0; i + 1 < conns_.size(); ++i) {
        Conn& c = conns_[i];
        if (!c.connected()) continue;
        if (c.partial() || c.account.empty()) {
            if (!vanish(c, false)) return false;
        } else if (!apply(c, std::string(proto::LOGOUT)) ||
                   !send_bytes(c, std::string(proto::LOGOUT) + '\0')) {
            return false;
        }
    }
    if (!wait_all() || !check(nullptr)) return false;
    if (!model_.online().empty() || !model_.sessions().empty())
        return fail("model: users left after logout");
    const auto deadline = Clock::now() + limit();
    while ((end_fds_ = server_.fd_count()) > base_fds_ && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    end_rss_ = server_.status_kib("VmRSS");
    if (end_fds_ > base_fds_)
        return fail("the server holds " + std::to_string(end_fds_) + " descriptors, " +
                    std::to_string(base_fds_) + " at the start");
    return true;
}

bool Soak::run() {
    // The baseline is taken after a first check, once the start-up probe is gone.
    if (!check(nullptr)) return false;
    std::this_thread::sleep_for(milliseconds(50));
    base_fds_ = peak_fds_ = server_.fd_count();
    base_rss_ = server_.status_kib("VmRSS");
    const auto start = Clock::now();
    const auto end = start + seconds(opt_.duration);
    auto next_check = start + milliseconds(opt_.check_ms);
    long steps = 0;
    while (ok() && !g_interrupted && Clock::now() < end) {
        if (!step()) break;
        if (++steps % 64 == 0) sample_fds();
        if (steps % 4096 == 0) growing_ = !growing_;
        if (Clock::now() >= next_check) {
            if (!check(nullptr)) break;
            next_check = Clock::now() + milliseconds(opt_.check_ms);
        }
    }
    if (g_interrupted) fail("interrupted");
    if (ok()) finish();
    peak_rss_ = server_.status_kib("VmHWM");
    if (ok() && !server_.alive()) fail("the server died: " + server_.death());
    if (!ok()) {
        std::printf("FAILED: %s\nlast requests, oldest first:\n", failure_.c_str());
        for (const std::string& h : history_) std::printf("  %s\n", h.c_str());
    }
    return ok();
}

void Soak::report(double seconds) const {
    std::printf("requests sent        %ld (%.0f/s)\n", requests_,
                static_cast<double>(requests_) / seconds);
    std::printf("lines received       %ld\n", lines_);
    std::printf("mismatches           %ld\n", mismatches_);
    std::printf(
        "checks               %ld (%ld after a drop, %ld repeated QRY while the server caught "
        "up)\n",
        checks_, settles_, settle_polls_);
    std::printf(
        "connections          %ld opened; %ld closed, %ld reset, %ld logged out, %ld overflowed\n",
        connects_, closes_, resets_, logouts_, overflows_);
    std::printf(
        "model                at most %zu users online, %zu sessions; %ld query answers in parts, "
        "%ld relayed lines of 499\n",
        max_online_, max_sessions_, multipart_, full_relays_);
    std::printf("split sends          %ld in halves, %ld one byte at a time\n", partials_, drips_);
    std::printf(
        "server memory        peak %ld KiB (VmHWM); resident %ld KiB at start, %ld KiB at end\n",
        peak_rss_, base_rss_, end_rss_);
    std::printf("server descriptors   peak %d; %d at start, %d at end\n", peak_fds_, base_fds_,
                end_fds_);
}

void on_signal(int) {
    g_interrupted = 1;
}

int usage(const char* me) {
    std::fprintf(
        stderr,
        "usage: %s [--server PATH] [--duration S] [--timeout S] [--seed N] [--clients 1-8]\n"
        "          [--check-ms MS] [--login-limit S] [--no-overlap] [--keep]\n",
        me);
    return 2;
}

// The server started on a free port and accepting; false when it will not.
bool start_server(ServerProcess& server, const Options& o, const std::filesystem::path& dir,
                  int& port) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = free_port();
        if (port <= 0 || !server.start(o.server, dir, port)) return false;
        const auto deadline = Clock::now() + seconds(o.timeout);
        while (Clock::now() < deadline && server.alive()) {
            Fd probe(connect_loopback(port, deadline));
            if (probe.valid()) return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        if (server.alive() || server.death() != "exited with status 2")
            return false;  // 2: bind failed
        std::fprintf(stderr, "soak: the server could not bind port %d; trying another\n", port);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--server" && more)
            o.server = argv[++i];
        else if (a == "--duration" && more)
            o.duration = std::atof(argv[++i]);
        else if (a == "--timeout" && more)
            o.timeout = std::atof(argv[++i]);
        else if (a == "--seed" && more)
            o.seed = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--clients" && more)
            o.clients = std::atoi(argv[++i]);
        else if (a == "--check-ms" && more)
            o.check_ms = std::atoi(argv[++i]);
        else if (a == "--login-limit" && more)
            o.login_limit = std::atoi(argv[++i]);
        else if (a == "--no-overlap")
            o.overlap = false;
        else if (a == "--keep")
            o.keep = true;
        else
            return usage(argv[0]);
    }
    if (o.clients < 1 || o.clients > 8 || o.duration <= 0 || o.timeout <= 0 || o.login_limit < 4)
        return usage(argv[0]);
    std::error_code ec;
    if (o.server.empty())
        o.server =
            (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "server").string();
    o.server = std::filesystem::absolute(o.server, ec).string();

    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, on_signal);
    ::signal(SIGTERM, on_signal);
    std::string tmpl = (std::filesystem::temp_directory_path(ec) / "soak.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("soak: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = tmpl;
    {
        std::ofstream acc(dir / "accounts.csv");
        for (const auto& [id, pw] : Soak::accounts()) acc << id << ',' << pw << '\n';
    }

    ServerProcess server;
    int port = 0;
    if (!start_server(server, o, dir, port)) {
        std::printf("FAILED: the server %s did not start listening (%s); see %s\n",
                    o.server.c_str(), server.alive() ? "timed out" : server.death().c_str(),
                    dir.c_str());
        return 1;
    }
    std::printf(
        "soak: %s on 127.0.0.1:%d (pid %d), %d clients + checker, %.0f s, seed %lu%s, files in "
        "%s\n",
        o.server.c_str(), port, static_cast<int>(server.pid()), o.clients, o.duration, o.seed,
        o.overlap ? ", overlapping partial sends" : "", dir.c_str());
    std::fflush(stdout);

    Soak soak(o, server, port);
    const auto start = Clock::now();
    bool pass = soak.run();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    server.stop();

    std::ifstream err(dir / "server.err");
    std::stringstream errs;
    errs << err.rdbuf();
    const bool sanitizer = errs.str().find("Sanitizer") != std::string::npos ||
                           errs.str().find("runtime error") != std::string::npos;
    if (sanitizer) std::printf("FAILED: a sanitizer report in %s/server.err\n", dir.c_str());
    pass = pass && !sanitizer;

    soak.report(elapsed);
    std::printf("result               %s\n", pass ? "PASS" : "FAIL");
    if (pass && !o.keep)
        std::filesystem::remove_all(dir, ec);
    else
        std::printf("server log           %s/server.log\n", dir.c_str());
    return pass ? 0 : 1;
}
