// Fuzz target for the server's request handling, with a model as its
// oracle: requests from four connections (two logged in at the start, two
// anonymous) go to handle_command as the event loop would hand them over;
// after each one every connection's output is read back and must be
// exactly the replies and relayed lines the model predicts, and the
// registry must hold the model's users and sessions.
//
// Input: pieces ended by NUL or LF, as the framing cuts them. The first byte
// of a piece says what happens, the rest is the request text:
//   low 2 bits   the connection (0..3)
//   high nibble F  the connection vanishes (its peer is gone)
//   high nibble E  the text is sent 2/8/32/128 times (bits 2-3), each time
//                  with its number appended
//   high nibble D  if the connection is logged in, the session table is
//                  filled up to 16/64/250/500 sessions (bits 2-3) named by the
//                  text and a number, the user their only member (straight
//                  through the registry: a request for each would print the
//                  tables each time and make the run slow)
//   otherwise      the text is one request; over 500 characters it is an
//                  over-long message and the connection is dropped
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "connections.hpp"
#include "log.hpp"
#include "protocol.hpp"
#include "registry.hpp"
#include "server.hpp"
#include "server_checks.hpp"

namespace {

constexpr const char* ACCOUNTS[][2] = {{"alice", "pw1"}, {"bob", "pw2"},  {"carol", "pw3"},
                                       {"dave", "pw4"},  {"erin", "p#5"}, {"frank", "p:6"}};

struct Peer {
    Fd end;                        // the client's end of the pair
    std::string partial;           // an unfinished message read from it
    std::vector<std::string> got;  // whole messages read since the last check
};
std::array<Peer, CONNS> peers;
std::array<int, CONNS> socks;  // the server's descriptors, each attached to a slot
Model* model = nullptr;

[[noreturn]] void fail(const char* what, long a = 0, long b = 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "server mismatch: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

void open_peer(int k) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0)
        fail("socketpair failed");
    peers[k] = Peer{Fd(sv[0]), {}, {}};
    socks[k] = sv[1];
    const auto fds = slot_descriptors();
    const int free = emptySlot(MAX_SLOTS - 1, fds.data() + 1);
    if (free < 0) fail("no free slot for a connection", k);
    attach_connection(sv[1], free + 1);
}

// Writes what each queue can send and reads it on the client ends.
void drain_once() {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && flush_slot(i) != 0) fail("flush failed on a live pair", i);
    }
    char chunk[65536];
    for (Peer& p : peers) {
        ssize_t n;
        while ((n = ::recv(p.end.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            p.partial.append(chunk, static_cast<std::size_t>(n));
        std::size_t from = 0;
        for (std::size_t at; (at = p.partial.find('\0', from)) != std::string::npos; from = at + 1)
            p.got.emplace_back(p.partial, from, at - from);
        p.partial.erase(0, from);
    }
}

// Writes and reads until every queue is empty: more than a socket buffer
// may be queued.
void drain_all() {
    for (bool more = true; more;) {
        drain_once();
        more = false;
        for (int i = 1; i < MAX_SLOTS; ++i) more = more || (slots[i].open() && slots[i].pending());
    }
}

void compare(const Deliveries& want, int skip = -1) {
    for (int k = 0; k < CONNS; ++k) {
        if (k != skip && peers[k].got != want[k]) {
            std::fprintf(stderr, "connection %d (%s) got:\n", k, model->user(k).c_str());
            for (const auto& m : peers[k].got) std::fprintf(stderr, "  [%s]\n", m.c_str());
            std::fprintf(stderr, "the model says:\n");
            for (const auto& m : want[k]) std::fprintf(stderr, "  [%s]\n", m.c_str());
            fail("output differs from the model", k);
        }
        peers[k].got.clear();
        if (!peers[k].partial.empty()) fail("an unfinished message", k);
    }
    long detail = 0;
    if (const char* what = model->differs_from_registry(socks, detail)) fail(what, detail);
}

// The peer went away: the loop cleans the connection out and frees its slot.
void vanish(int k) {
    close_slot(slot_of(socks[k]));
    model->drop(k);
    open_peer(k);
    compare({});
}

void request(int k, std::string_view text) {
    bool closes = false;
    const Deliveries want = model->handle(k, text, closes);
    const int r = handle_command(socks[k], text);
    if (r != static_cast<int>(closes)) fail("handle_command result", r);
    drop_over_limit();
    if (closes) {
        // After a logout the loop sends what is queued and closes.
        flush_slot(slot_of(socks[k]));
        close_slot(slot_of(socks[k]), true);
    }
    drain_all();
    log_flush();
    // A connection dropped over its output limit has lost what did not fit.
    int dropped = -1;
    for (int j = 0; j < CONNS; ++j) {
        if (j != k || !closes) dropped = slot_of(socks[j]) < 0 ? j : dropped;
    }
    if (dropped >= 0) model->drop(dropped);
    compare(want, dropped);
    for (int j = 0; j < CONNS; ++j) {
        if (slot_of(socks[j]) < 0) open_peer(j);
    }
}

void fill_sessions(int k, unsigned size_bits, std::string_view text) {
    static const int sizes[] = {16, 64, 250, MAX_SESSIONS};
    const int id = get_clientID(socks[k]);
    if (id == -1) return;
    for (int r = 0; active_sessions < sizes[size_bits & 3]; ++r) {
        // Only names NEWCONF could have made: no field or entry separators.
        std::string name(text.substr(0, proto::RECV_LIMIT - 8));
        std::replace_if(
            name.begin(), name.end(), [](char ch) { return ch == '#' || ch == ':'; }, '_');
        name += std::to_string(r);
        if (model->has_session(name)) continue;
        create_session(name, id);
        model->add_session(k, name);
    }
    compare({});
}

// The lowest free descriptor: the same before and after an input when
// nothing leaked.
int lowest_free_fd() {
    const int probe = ::dup(2);
    ::close(probe);
    return probe;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The server's log is not looked at; it only has to be cheap.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Every input ends with the tables and slots emptied.
    const int first_free = lowest_free_fd();
    std::map<std::string, std::string> accounts;
    for (int i = 0; i < 6; ++i) {
        login[i] = ACCOUNTS[i][0];
        pass[i] = ACCOUNTS[i][1];
        accounts[login[i]] = pass[i];
    }
    Model m(accounts);
    model = &m;
    for (int k = 0; k < CONNS; ++k) open_peer(k);
    request(0, "LOGIN#alice#pw1");
    request(1, "LOGIN#bob#pw2");

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t pos = 0;
    while (pos < input.size()) {
        std::size_t end = input.find_first_of(std::string_view("\0\n", 2), pos);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view piece = input.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty()) continue;
        const unsigned ctl = static_cast<unsigned char>(piece[0]);
        const int k = static_cast<int>(ctl & 3);
        const std::string_view text = piece.substr(1);
        if ((ctl & 0xf0) == 0xf0) {
            vanish(k);
        } else if ((ctl & 0xf0) == 0xe0) {
            static const int repeats[] = {2, 8, 32, 128};
            for (int r = 0; r < repeats[(ctl >> 2) & 3]; ++r) {
                const std::string t = std::string(text) + std::to_string(r);
                if (t.size() > proto::RECV_LIMIT) break;
                request(k, t);
            }
        } else if ((ctl & 0xf0) == 0xd0) {
            fill_sessions(k, ctl >> 2, text);
        } else if (text.size() > proto::RECV_LIMIT) {
            vanish(k);  // an over-long message drops the connection
        } else {
            request(k, text);
        }
    }

    reset_connections();
    registry_reset();
    for (Peer& p : peers) p = Peer{};
    if (lowest_free_fd() != first_free) fail("descriptor leaked", lowest_free_fd(), first_free);
    return 0;
}
