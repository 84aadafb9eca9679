// loadgen: a load generator for the conference server. It logs K clients in,
// puts them in one fresh session and runs three workloads over loopback:
//   w1  one sender pipelines M messages with at most a window in flight,
//   w2  all K clients send M/K messages each at the same time,
//   w3  one sender sends at a fixed rate for D seconds (latency).
// Every relayed line is checked: each member must receive every line exactly
// once, in order, whole. One thread, non-blocking sockets, ppoll, bulk reads,
// batched writes; every wait has a deadline.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fd.hpp"
#include "framer.hpp"
#include "protocol.hpp"

namespace {

constexpr std::size_t TEXT_LEN = 40;
constexpr int64_t MS = 1000000;  // nanoseconds
constexpr int64_t SEC = 1000 * MS;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * SEC + ts.tv_nsec;
}

int64_t cpu_self_ns() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (int64_t(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * SEC +
           (int64_t(ru.ru_utime.tv_usec) + ru.ru_stime.tv_usec) * 1000;
}

struct Options {
    int port = 0;
    int clients = 9;
    std::string prefix = "b";
    std::string password = "pw";
    long msgs = 20000;
    long window = 100;  // 0: no limit
    double rate = 2000;
    double duration = 3;
    std::string workloads = "w1,w2,w3";
    double timeout = 30;  // seconds, per workload and for the setup
    pid_t server_pid = 0;
    bool json = false;
    std::string json_out;
    std::string room;
    int storm = 0;  // connections guessing passwords meanwhile
};

// ---- the server process, seen through /proc ----

// CPU time of all the server's threads so far, -1 when unreadable.
int64_t server_cpu_ns(pid_t pid) {
    if (pid <= 0) return -1;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int64_t total = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(dir + "/" + e->d_name + "/schedstat");
        long long ns = 0;
        if (f >> ns) total += ns;
    }
    closedir(d);
    return total;
}

// A "VmXXX:   1234 kB" field of /proc/PID/status, in KiB; -1 when absent.
long proc_status_kib(pid_t pid, const char* field) {
    if (pid <= 0) return -1;
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(f, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

// True while the process runs (a zombie that has not been reaped counts as gone).
bool server_alive(pid_t pid) {
    if (pid <= 0) return true;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' &&
           stat[paren + 2] != 'X';
}

// ---- one client connection ----

struct Client {
    Fd fd;
    std::string id;    // login ID
    std::string says;  // "[room] id says: "
    Framer in{std::size_t{256} * 1024};
    std::string out;  // bytes queued for the server
    std::size_t out_off = 0;
    std::string why;             // how the connection ended, when it did
    std::vector<long> next_seq;  // per sender: the sequence number expected next
    long to_send = 0;
    long sent = 0;
};

// Writes as much of the queue as the socket takes. False when the connection failed.
bool flush_out(Client& c) {
    while (c.out_off < c.out.size()) {
        const ssize_t n =
            ::send(c.fd.get(), c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
        if (n > 0) {
            c.out_off += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            c.why = std::string("send: ") + std::strerror(errno);
            return false;
        }
    }
    c.out.clear();
    c.out_off = 0;
    return true;
}

bool pending_out(const Client& c) {
    return c.out_off < c.out.size();
}

void queue(Client& c, std::string_view text) {
    c.out.append(text);
    c.out.push_back('\0');
}

// One bulk read into the client's framer (called only once its messages are
// all taken, so there is room). False when the connection ended.
bool read_in(Client& c) {
    for (;;) {
        const ssize_t n = ::recv(c.fd.get(), c.in.space(), c.in.space_size(), 0);
        if (n > 0) {
            c.in.commit(std::size_t(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        c.why = n == 0 ? "closed by the server" : std::string("recv: ") + std::strerror(errno);
        return false;
    }
}

// Waits until `pfd` is ready or `deadline` passes; false on timeout.
bool wait_fd(pollfd& pfd, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - now_ns();
        if (left <= 0) return false;
        const timespec ts{time_t(left / SEC), long(left % SEC)};
        pfd.revents = 0;
        const int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// ---- setup: connect, log in, create and join the session ----

class Setup {
public:
    Setup(std::vector<Client>& clients, int64_t deadline)
        : clients_(clients), deadline_(deadline) {}
    const std::string& error() const { return error_; }

    bool connect_all(int port) {
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            Client& c = clients_[i];
            c.fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            if (!c.fd.valid()) return fail("socket: " + std::string(std::strerror(errno)));
            const int one = 1;
            setsockopt(c.fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(uint16_t(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(c.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
                errno != EINPROGRESS)
                return fail("connect of " + c.id + ": " + std::strerror(errno));
            pollfd pfd{c.fd.get(), POLLOUT, 0};
            if (!wait_fd(pfd, deadline_)) return fail("timed out connecting " + c.id);
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) return fail("connect of " + c.id + ": " + std::strerror(err));
        }
        return true;
    }

    // Logs every client in, then client 0 creates `room` and the others join
    // it one after another; each earlier member must see each join notice.
    bool enter(const std::string& password, const std::string& room) {
        for (Client& c : clients_) {
            if (!send_now(c, proto::join_fields(proto::LOGIN, {c.id, password}))) return false;
        }
        for (Client& c : clients_) {
            if (!expect(c, proto::LG_ACK, "LOGIN")) return false;
        }
        if (!send_now(clients_[0], proto::join_fields(proto::NEWCONF, {room}))) return false;
        if (!expect(clients_[0], proto::join_fields(proto::NEWCONF_ACK, {room}), "NEWCONF"))
            return false;
        for (std::size_t j = 1; j < clients_.size(); ++j) {
            if (!send_now(clients_[j], proto::join_fields(proto::JOIN, {room}))) return false;
            if (!expect(clients_[j], proto::join_fields(proto::JOIN_ACK, {room}), "JOIN"))
                return false;
            const std::string notice = proto::joined_line(room, clients_[j].id);
            for (std::size_t i = 0; i < j; ++i) {
                if (!expect(clients_[i], notice, "the join notice")) return false;
            }
        }
        return true;
    }

private:
    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    bool send_now(Client& c, const std::string& text) {
        queue(c, text);
        while (pending_out(c)) {
            if (!flush_out(c)) return fail("connection of " + c.id + " failed while sending");
            pollfd pfd{c.fd.get(), POLLOUT, 0};
            if (pending_out(c) && !wait_fd(pfd, deadline_))
                return fail("timed out sending as " + c.id);
        }
        return true;
    }

    bool expect(Client& c, std::string_view want, const char* what) {
        std::string_view msg;
        for (;;) {
            const Framer::Status st = c.in.next(msg);
            if (st == Framer::Status::message) break;
            if (st == Framer::Status::overflow) return fail("over-long message to " + c.id);
            pollfd pfd{c.fd.get(), POLLIN, 0};
            if (!wait_fd(pfd, deadline_))
                return fail("timed out waiting for " + std::string(want) + " to " + c.id + " (" +
                            what + ")");
            if (!read_in(c))
                return fail("server closed the connection of " + c.id + " during " + what);
        }
        if (msg != want)
            return fail(std::string(what) + " of " + c.id + " answered '" + std::string(msg) +
                        "', expected '" + std::string(want) + "'");
        return true;
    }

    std::vector<Client>& clients_;
    int64_t deadline_;
    std::string error_;
};

// ---- the 40-byte texts: "w1-03-00001234-<16 hex send time>-<8 check>" ----

char pad_char(int sender, long seq, int i) {
    return char('a' + (seq * 7 + long{sender} * 3 + long{i} * 5) % 26);
}

// Writes `v` as `width` digits of `base` (leading zeros) at `p`.
void put_digits(char* p, uint64_t v, int width, unsigned base) {
    for (int i = width - 1; i >= 0; --i, v /= base) p[i] = "0123456789abcdef"[v % base];
}

void make_text(char* t, char tag, int sender, long seq, int64_t stamp) {
    t[0] = 'w';
    t[1] = tag;
    t[2] = t[5] = t[14] = t[31] = '-';
    put_digits(t + 3, uint64_t(sender), 2, 10);
    put_digits(t + 6, uint64_t(seq), 8, 10);
    put_digits(t + 15, uint64_t(stamp), 16, 16);
    for (int i = 0; i < 8; ++i) t[32 + i] = pad_char(sender, seq, i);
}

bool parse_digits(std::string_view s, int base, uint64_t& v) {
    v = 0;
    for (char ch : s) {
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (base == 16 && ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else
            return false;
        v = v * uint64_t(base) + uint64_t(d);
    }
    return true;
}

struct Text {
    char tag;
    int sender;
    long seq;
    int64_t stamp;
};

bool parse_text(std::string_view t, Text& out) {
    if (t.size() != TEXT_LEN || t[0] != 'w' || t[2] != '-' || t[5] != '-' || t[14] != '-' ||
        t[31] != '-')
        return false;
    uint64_t sender, seq, stamp;
    if (!parse_digits(t.substr(3, 2), 10, sender) || !parse_digits(t.substr(6, 8), 10, seq) ||
        !parse_digits(t.substr(15, 16), 16, stamp))
        return false;
    for (int i = 0; i < 8; ++i) {
        if (t[32 + std::size_t(i)] != pad_char(int(sender), long(seq), i)) return false;
    }
    out = {t[1], int(sender), long(seq), int64_t(stamp)};
    return true;
}

// ---- workloads ----

struct Checks {
    long lost = 0, dup_or_reorder = 0, corrupt = 0, stale = 0, unexpected = 0, disconnects = 0;
    bool timed_out = false, server_died = false;
    bool ok() const {
        return lost + dup_or_reorder + corrupt + stale + unexpected + disconnects == 0 &&
               !timed_out && !server_died;
    }
};

struct Result {
    std::string name;
    long msgs = 0, lines = 0;
    double secs = 0;
    double p50_us = -1, p99_us = -1, max_us = -1;
    double send_lag_p99_us = -1, rate_achieved = -1;
    int64_t server_cpu = -1;
    double server_busy = -1, loadgen_busy = 0;
    long rss_max_kib = -1, rss_hwm_kib = -1, anon_max_kib = -1;  // server memory during w2
    Checks checks;
    std::string note;  // the first lost connection
};

struct Plan {
    char tag;
    std::vector<long> count;  // messages per sender
    long window = 0;          // per sender, 0: unlimited
    double rate = 0;          // messages per second of sender 0, 0: as fast as allowed
};

class Runner {
public:
    Runner(std::vector<Client>& clients, const Options& opt) : clients_(clients), opt_(opt) {}

    Result run(const std::string& name, const Plan& plan) {
        plan_ = plan;
        res_ = Result{};
        res_.name = name;
        latencies_.clear();
        lags_.clear();
        const std::size_t k = clients_.size();
        expected_ = 0;
        for (std::size_t s = 0; s < k; ++s) {
            clients_[s].next_seq.assign(k, 0);
            clients_[s].to_send = plan.count[s];
            clients_[s].sent = 0;
            expected_ += plan.count[s];
            res_.msgs += plan.count[s];
        }
        expected_ *= long(k);
        progress_ = 0;
        track_rss_ = name == "w2" && opt_.server_pid > 0;

        const int64_t cpu0 = server_cpu_ns(opt_.server_pid);
        const int64_t self0 = cpu_self_ns();
        t0_ = now_ns();
        const int64_t deadline = t0_ + int64_t(opt_.timeout * SEC);
        int64_t last_rx = t0_;
        while (progress_ < expected_ && !aborted()) {
            const int64_t now = now_ns();
            if (now >= deadline) {
                res_.checks.timed_out = true;
                break;
            }
            const int64_t wake = produce(now);
            sample_rss(now);
            if (!pump(std::min(wake, deadline))) break;
            if (progress_ >= expected_) last_rx = now_ns();
        }
        // A short grace period catches late duplicates and extra lines, and
        // lets the server finish the work of the last pass (its log).
        const int64_t grace_end = now_ns() + 50 * MS;
        while (!aborted() && now_ns() < grace_end) {
            if (!pump(grace_end)) break;
        }
        sample_rss(INT64_MAX);
        const int64_t cpu1 = server_cpu_ns(opt_.server_pid);
        const int64_t self1 = cpu_self_ns();
        if (!server_alive(opt_.server_pid)) res_.checks.server_died = true;
        finish(cpu0, cpu1, self1 - self0, last_rx);
        return res_;
    }

private:
    bool aborted() const { return res_.checks.disconnects > 0; }

    void lost_connection(const Client& c) {
        if (res_.checks.disconnects++ == 0) res_.note = c.id + ": " + c.why;
    }

    // Queues what each sender may send now and writes it out; returns when
    // the next scheduled send is due (far away when nothing is scheduled).
    int64_t produce(int64_t now) {
        int64_t wake = now + 100 * MS;
        for (std::size_t s = 0; s < clients_.size(); ++s) {
            Client& c = clients_[s];
            if (c.sent >= c.to_send) continue;
            long allowed = c.to_send;
            if (plan_.rate > 0) {
                const long due = long(double(now - t0_) * plan_.rate / double(SEC)) + 1;
                allowed = std::min(allowed, due);
            } else if (plan_.window > 0) {
                allowed = std::min(allowed, c.next_seq[s] + plan_.window);
            }
            if (c.sent < allowed) {
                const int64_t stamp = now_ns();
                while (c.sent < allowed) {
                    if (plan_.rate > 0)
                        lags_.push_back(stamp - (t0_ + int64_t(double(c.sent) * SEC / plan_.rate)));
                    char text[TEXT_LEN];
                    make_text(text, plan_.tag, int(s), c.sent, stamp);
                    c.out.append(msg_head_).append(text, TEXT_LEN).push_back('\0');
                    ++c.sent;
                }
                if (!flush_out(c)) lost_connection(c);
            }
            if (plan_.rate > 0 && c.sent < c.to_send)
                wake = std::min(wake, t0_ + int64_t(std::ceil(double(c.sent) * SEC / plan_.rate)));
        }
        return wake;
    }

    // Waits for the sockets until `until`, then reads and checks what came.
    bool pump(int64_t until) {
        std::vector<pollfd>& pfds = pfds_;
        pfds.resize(clients_.size());
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            pfds[i] = {clients_[i].fd.get(),
                       short(POLLIN | (pending_out(clients_[i]) ? POLLOUT : 0)), 0};
        }
        int64_t left = until - now_ns();
        if (left < 0) left = 0;
        if (track_rss_) left = std::min(left, 10 * MS);
        const timespec ts{time_t(left / SEC), long(left % SEC)};
        const int r = ppoll(pfds.data(), nfds_t(pfds.size()), &ts, nullptr);
        if (r < 0 && errno != EINTR) {
            ++res_.checks.disconnects;
            return false;
        }
        for (std::size_t i = 0; r > 0 && i < clients_.size(); ++i) {
            Client& c = clients_[i];
            if (pfds[i].revents & POLLOUT) {
                if (!flush_out(c)) lost_connection(c);
            }
            if (pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const bool open = read_in(c);
                const int64_t t = now_ns();
                consume(c, t);
                if (!open) lost_connection(c);
            }
        }
        return !aborted();
    }

    void consume(Client& c, int64_t t_rx) {
        std::string_view msg;
        for (;;) {
            const Framer::Status st = c.in.next(msg);
            if (st == Framer::Status::need_more) return;
            if (st == Framer::Status::overflow) {
                ++res_.checks.corrupt;
                continue;
            }
            check_line(c, msg, t_rx);
        }
    }

    void check_line(Client& c, std::string_view msg, int64_t t_rx) {
        Checks& ck = res_.checks;
        const std::string_view room_tag = room_open_;
        const bool notice = msg.size() >= proto::JOINED.size() &&
                            msg.substr(msg.size() - proto::JOINED.size()) == proto::JOINED;
        if (msg.substr(0, room_tag.size()) != room_tag || notice) {
            ++ck.unexpected;
            return;
        }
        Text t{};
        const std::string_view head = msg.substr(0, msg.size() - TEXT_LEN);
        if (msg.size() < TEXT_LEN || !parse_text(msg.substr(msg.size() - TEXT_LEN), t) ||
            t.sender < 0 || std::size_t(t.sender) >= clients_.size() ||
            head != clients_[std::size_t(t.sender)].says) {
            ++ck.corrupt;
            return;
        }
        if (t.tag != plan_.tag) {
            ++ck.stale;
            return;
        }
        const std::size_t s = std::size_t(t.sender);
        long& next = c.next_seq[s];
        if (t.seq >= plan_.count[s]) {
            ++ck.corrupt;
        } else if (t.seq < next) {
            ++ck.dup_or_reorder;
        } else {
            ck.lost += t.seq - next;
            progress_ += t.seq + 1 - next;
            next = t.seq + 1;
            ++res_.lines;
            latencies_.push_back(t_rx - t.stamp);
        }
    }

    void sample_rss(int64_t now) {
        if (!track_rss_ || now - last_rss_ < 10 * MS) return;
        last_rss_ = now;
        res_.rss_max_kib = std::max(res_.rss_max_kib, proc_status_kib(opt_.server_pid, "VmRSS"));
        res_.rss_hwm_kib = proc_status_kib(opt_.server_pid, "VmHWM");
        res_.anon_max_kib =
            std::max(res_.anon_max_kib, proc_status_kib(opt_.server_pid, "RssAnon"));
    }

    static double percentile_us(std::vector<int64_t>& v, double p) {
        if (v.empty()) return -1;
        const std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size())));
        std::nth_element(v.begin(), v.begin() + long(i), v.end());
        return double(v[i]) / 1000.0;
    }

    void finish(int64_t cpu0, int64_t cpu1, int64_t self_ns, int64_t last_rx) {
        if (res_.checks.timed_out) {
            // Whatever never arrived is lost.
            for (Client& c : clients_) {
                for (std::size_t s = 0; s < clients_.size(); ++s)
                    res_.checks.lost += plan_.count[s] - c.next_seq[s];
            }
        }
        if (res_.checks.timed_out || aborted()) last_rx = now_ns();
        res_.secs = double(last_rx - t0_) / SEC;
        res_.p50_us = percentile_us(latencies_, 0.50);
        res_.p99_us = percentile_us(latencies_, 0.99);
        res_.max_us = latencies_.empty()
                          ? -1
                          : double(*std::max_element(latencies_.begin(), latencies_.end())) / 1000;
        if (plan_.rate > 0) {
            res_.send_lag_p99_us = percentile_us(lags_, 0.99);
            res_.rate_achieved = res_.secs > 0 ? double(clients_[0].sent) / res_.secs : -1;
        }
        // Busy figures are CPU over the time the workload was active (the
        // grace period adds little CPU but would dilute them).
        const double wall = std::max(res_.secs, 1e-6);
        res_.loadgen_busy = double(self_ns) / SEC / wall;
        if (cpu0 >= 0 && cpu1 >= 0) {
            res_.server_cpu = cpu1 - cpu0;
            res_.server_busy = double(res_.server_cpu) / SEC / wall;
        }
    }

public:
    void set_room(const std::string& room) {
        room_ = room;
        room_open_ = std::string(1, proto::RELAY_MARK) + room + std::string(proto::RELAY_CLOSE);
        msg_head_ = proto::join_fields(proto::MSG, {room, ""});
    }

private:
    std::vector<Client>& clients_;
    const Options& opt_;
    std::string room_, room_open_, msg_head_;  // msg_head_: "MSG#room#"
    Plan plan_{};
    Result res_;
    long expected_ = 0, progress_ = 0;
    int64_t t0_ = 0, last_rss_ = 0;
    bool track_rss_ = false;
    std::vector<int64_t> latencies_, lags_;
    std::vector<pollfd> pfds_;
};

// ---- output ----

std::string si(double v) {
    char b[32];
    if (v >= 1e6)
        std::snprintf(b, sizeof b, "%.2fM", v / 1e6);
    else if (v >= 1e3)
        std::snprintf(b, sizeof b, "%.1fk", v / 1e3);
    else
        std::snprintf(b, sizeof b, "%.0f", v);
    return b;
}

std::string num(double v, int decimals = 0) {
    if (v < 0) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string verdict(const Checks& c) {
    if (c.ok()) return "ok";
    std::ostringstream o;
    o << "FAIL";
    if (c.lost) o << " lost=" << c.lost;
    if (c.dup_or_reorder) o << " dup/reorder=" << c.dup_or_reorder;
    if (c.corrupt) o << " corrupt=" << c.corrupt;
    if (c.stale) o << " stale=" << c.stale;
    if (c.unexpected) o << " unexpected=" << c.unexpected;
    if (c.disconnects) o << " disconnects=" << c.disconnects;
    if (c.timed_out) o << " timed-out";
    if (c.server_died) o << " server-died";
    return o.str();
}

double cpu_per_line(const Result& r) {
    return r.server_cpu >= 0 && r.lines > 0 ? double(r.server_cpu) / 1000.0 / double(r.lines) : -1;
}

void print_header() {
    std::printf("%-4s %7s %8s %7s %9s %8s %8s %8s %8s %9s %6s %6s %9s  %s\n", "wl", "msgs", "lines",
                "secs", "lines/s", "msgs/s", "p50_us", "p99_us", "max_us", "cpu_us/ln", "srv", "lg",
                "rss_kib", "check");
}

void print_row(const Result& r, int k) {
    const double lps = r.secs > 0 ? double(r.lines) / r.secs : 0;
    std::printf("%-4s %7ld %8ld %7.3f %9s %8s %8s %8s %8s %9s %6s %6s %9s  %s\n", r.name.c_str(),
                r.msgs, r.lines, r.secs, si(lps).c_str(), si(lps / k).c_str(),
                num(r.p50_us).c_str(), num(r.p99_us).c_str(), num(r.max_us).c_str(),
                num(cpu_per_line(r), 3).c_str(), num(r.server_busy, 2).c_str(),
                num(r.loadgen_busy, 2).c_str(), num(double(r.rss_max_kib)).c_str(),
                verdict(r.checks).c_str());
    std::fflush(stdout);
}

std::string json_line(const Result& r, const Options& opt, const std::string& room) {
    const double lps = r.secs > 0 ? double(r.lines) / r.secs : 0;
    const Checks& c = r.checks;
    char b[1024];
    std::snprintf(
        b, sizeof b,
        "{\"type\":\"workload\",\"workload\":\"%s\",\"ok\":%s,\"room\":\"%s\",\"clients\":%d,"
        "\"msgs\":%ld,"
        "\"lines\":%ld,\"secs\":%.6f,\"lines_per_s\":%.0f,\"msgs_per_s\":%.0f,\"lat_p50_us\":%.1f,"
        "\"lat_p99_us\":%.1f,\"lat_max_us\":%.1f,\"send_lag_p99_us\":%.1f,\"rate_achieved\":%.1f,"
        "\"server_cpu_ns\":%" PRId64
        ",\"server_cpu_us_per_line\":%.4f,\"server_busy\":%.3f,"
        "\"loadgen_busy\":%.3f,\"rss_max_kib\":%ld,\"rss_hwm_kib\":%ld,\"rss_anon_max_kib\":%ld,"
        "\"lost\":%ld,\"dup_or_reorder\":%ld,"
        "\"corrupt\":%ld,\"stale\":%ld,\"unexpected\":%ld,\"disconnects\":%ld,\"timed_out\":%s,"
        "\"server_died\":%s,\"window\":%ld}",
        r.name.c_str(), c.ok() ? "true" : "false", room.c_str(), opt.clients, r.msgs, r.lines,
        r.secs, lps, lps / opt.clients, r.p50_us, r.p99_us, r.max_us, r.send_lag_p99_us,
        r.rate_achieved, r.server_cpu, cpu_per_line(r), r.server_busy, r.loadgen_busy,
        r.rss_max_kib, r.rss_hwm_kib, r.anon_max_kib, c.lost, c.dup_or_reorder, c.corrupt, c.stale,
        c.unexpected, c.disconnects, c.timed_out ? "true" : "false",
        c.server_died ? "true" : "false", opt.window);
    return b;
}

// ---- command line ----

void usage() {
    std::fprintf(stderr,
                 "usage: loadgen --port P [--clients K] [--prefix b] [--password pw] [--msgs M] "
                 "[--window W]\n"
                 "               [--rate R] [--duration D] [--workloads w1,w2,w3] [--timeout S]\n"
                 "               [--server-pid PID] [--room NAME] [--json] [--json-out FILE]\n"
                 "               [--storm N]\n"
                 "       loadgen --free-port\n"
                 "       loadgen --wait-port P [--timeout S]\n");
}

bool parse_args(int argc, char** argv, Options& o, int& wait_port, bool& free_port) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto val = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        // Two ways to refuse an option: a missing value and an unknown name.
        if (a == "--json")
            o.json = true;
        else if (a == "--free-port")
            free_port = true;
        else if (!(v = val()))
            return false;  // NOLINT(bugprone-branch-clone)
        else if (a == "--port")
            o.port = std::atoi(v);
        else if (a == "--wait-port")
            wait_port = std::atoi(v);
        else if (a == "--clients")
            o.clients = std::atoi(v);
        else if (a == "--prefix")
            o.prefix = v;
        else if (a == "--password")
            o.password = v;
        else if (a == "--msgs")
            o.msgs = std::atol(v);
        else if (a == "--window")
            o.window = std::atol(v);
        else if (a == "--rate")
            o.rate = std::atof(v);
        else if (a == "--duration")
            o.duration = std::atof(v);
        else if (a == "--workloads")
            o.workloads = v;
        else if (a == "--timeout")
            o.timeout = std::atof(v);
        else if (a == "--server-pid")
            o.server_pid = pid_t(std::atoi(v));
        else if (a == "--room")
            o.room = v;
        else if (a == "--json-out")
            o.json_out = v;
        else if (a == "--storm")
            o.storm = std::atoi(v);
        else
            return false;
    }
    return true;
}

// A login storm, in a process of its own until it is killed: `n`
// connections send a wrong password for `id`, and each one answered is
// replaced by a new connection that guesses again, as an attacker would.
[[noreturn]] void storm(int port, int n, const std::string& id) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string guess = proto::join_fields(proto::LOGIN, {id, "wrong"}) + '\0';
    std::vector<Fd> socks(static_cast<std::size_t>(n));
    for (;;) {
        std::vector<pollfd> ready;
        for (Fd& s : socks) {
            if (!s.valid()) {
                s.reset(::socket(AF_INET, SOCK_STREAM, 0));
                sockaddr_in addr{};
                addr.sin_family = AF_INET;
                addr.sin_port = htons(uint16_t(port));
                addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                    ::send(s.get(), guess.data(), guess.size(), MSG_NOSIGNAL) < 0)
                    s.reset();
            }
            ready.push_back(pollfd{s.get(), POLLIN, 0});
        }
        if (::poll(ready.data(), ready.size(), 100) <= 0) continue;
        for (std::size_t i = 0; i < ready.size(); ++i) {
            char reply[512];
            if ((ready[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                ::recv(socks[i].get(), reply, sizeof reply, 0) >= 0)
                socks[i].reset();
        }
    }
}

// A session name made of letters and digits, new for every run.
std::string fresh_room() {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    uint64_t x = uint64_t(now_ns()) ^ (uint64_t(getpid()) << 32);
    std::string name = "lg";
    for (int i = 0; i < 8; ++i) {
        name += digits[x % 36];
        x /= 36;
    }
    return name;
}

int print_free_port() {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (!s.valid() || ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 2;
    std::printf("%d\n", ntohs(addr.sin_port));
    return 0;
}

// Tries to connect every 20 ms until the port answers or the time is up.
int wait_for_port(int port, double timeout) {
    const int64_t deadline = now_ns() + int64_t(timeout * SEC);
    while (now_ns() < deadline) {
        Fd s(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s.valid() && ::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return 0;
        usleep(20000);
    }
    std::fprintf(stderr, "loadgen: nothing listens on 127.0.0.1:%d\n", port);
    return 2;
}

int setup_failed(const Options& opt, const std::string& why) {
    std::fprintf(stderr, "loadgen: setup failed: %s\n", why.c_str());
    if (opt.json) std::printf("{\"type\":\"error\",\"error\":\"setup failed\"}\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int wait_port = 0;
    bool free_port = false;
    if (!parse_args(argc, argv, opt, wait_port, free_port)) {
        usage();
        return 2;
    }
    if (free_port) return print_free_port();
    if (wait_port > 0) return wait_for_port(wait_port, opt.timeout);
    if (opt.port <= 0 || opt.port > 65535 || opt.clients < 1 || opt.clients > 99 || opt.msgs < 1 ||
        opt.window < 0 || opt.rate <= 0 || opt.duration <= 0 || opt.timeout <= 0) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);  // wake up on time for the paced workload
    if (opt.room.empty()) opt.room = fresh_room();

    std::vector<Client> clients(std::size_t(opt.clients));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i].id = opt.prefix + std::to_string(i + 1);
        clients[i].says = proto::says_prefix(opt.room, clients[i].id);
    }
    Setup setup(clients, now_ns() + int64_t(opt.timeout * SEC));
    if (!setup.connect_all(opt.port) || !setup.enter(opt.password, opt.room))
        return setup_failed(opt, setup.error());

    FILE* json_file = nullptr;
    if (!opt.json_out.empty() && !(json_file = std::fopen(opt.json_out.c_str(), "a"))) {
        std::fprintf(stderr, "loadgen: cannot open %s\n", opt.json_out.c_str());
        return 2;
    }
    if (!opt.json) {
        std::printf("loadgen: %d clients %s1..%s%d in session %s on 127.0.0.1:%d, window %ld\n",
                    opt.clients, opt.prefix.c_str(), opt.prefix.c_str(), opt.clients,
                    opt.room.c_str(), opt.port, opt.window);
        print_header();
    }

    pid_t storm_pid = -1;
    if (opt.storm > 0 && (storm_pid = ::fork()) == 0) storm(opt.port, opt.storm, clients[0].id);

    Runner runner(clients, opt);
    runner.set_room(opt.room);
    const std::size_t k = clients.size();
    bool all_ok = true;
    std::istringstream list(opt.workloads);
    std::string name;
    while (std::getline(list, name, ',')) {
        Plan plan;
        plan.count.assign(k, 0);
        if (name == "w1") {
            plan.tag = '1';
            plan.count[0] = opt.msgs;
            plan.window = opt.window;
        } else if (name == "w2") {
            plan.tag = '2';
            plan.count.assign(k, std::max(1L, opt.msgs / long(k)));
            plan.window = opt.window;
        } else if (name == "w3") {
            plan.tag = '3';
            plan.count[0] = std::max(1L, long(opt.rate * opt.duration));
            plan.rate = opt.rate;
        } else if (name == "none") {
            continue;
        } else {
            std::fprintf(stderr, "loadgen: unknown workload '%s'\n", name.c_str());
            return 2;
        }
        const Result r = runner.run(name, plan);
        all_ok = all_ok && r.checks.ok();
        const std::string js = json_line(r, opt, opt.room);
        if (opt.json)
            std::printf("%s\n", js.c_str());
        else
            print_row(r, opt.clients);
        if (!r.note.empty())
            std::fprintf(stderr, "loadgen: %s: connection of %s\n", name.c_str(), r.note.c_str());
        if (json_file) std::fprintf(json_file, "%s\n", js.c_str());
        if (r.checks.disconnects > 0 || r.checks.server_died) break;  // the session is gone
    }
    if (json_file) std::fclose(json_file);
    if (storm_pid > 0) {
        ::kill(storm_pid, SIGKILL);
        ::waitpid(storm_pid, nullptr, 0);
    }
    std::fflush(stdout);
    return all_ok ? 0 : 1;
}
