// Fuzz target for the server's request handling: requests from four
// connections (two logged in at the start, two anonymous) go to
// handle_command as the event loop would hand them over, and after each one
// the registry's tables and every connection's output queue are checked.
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

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

#include "connections.hpp"
#include "fd.hpp"
#include "protocol.hpp"
#include "registry.hpp"
#include "server.hpp"
#include "server_checks.hpp"

namespace {

constexpr int CONNS = 4;
constexpr const char* ACCOUNTS[][2] = {{"alice", "pw1"}, {"bob", "pw2"},  {"carol", "pw3"},
                                       {"dave", "pw4"},  {"erin", "p#5"}, {"frank", "p:6"}};

struct Peer {
    Fd end;         // the client's end of the pair
    int sock = -1;  // the server's descriptor, attached to a slot
    std::string partial;
};
std::array<Peer, CONNS> peers;

[[noreturn]] void fail(const char* what, long a = 0, long b = 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "server invariant broken: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

void open_peer(int k) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0)
        fail("socketpair failed");
    peers[k].end.reset(sv[0]);
    peers[k].sock = sv[1];
    peers[k].partial.clear();
    const auto fds = slot_descriptors();
    const int free = emptySlot(MAX_SLOTS - 1, fds.data() + 1);
    if (free < 0) fail("no free slot for a connection", k);
    attach_connection(sv[1], free + 1);
}

// Writes what each queue can send and reads it on the client ends; what
// arrives must be whole messages of at most 499 characters.
void drain_once() {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && flush_slot(i) != 0) fail("flush failed on a live pair", i);
    }
    char chunk[65536];
    for (Peer& p : peers) {
        for (;;) {
            const ssize_t n = ::recv(p.end.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            p.partial.append(chunk, static_cast<std::size_t>(n));
        }
        std::size_t from = 0;
        for (std::size_t at; (at = p.partial.find('\0', from)) != std::string::npos;
             from = at + 1) {
            if (at - from > proto::MAX_TEXT_LEN)
                fail("received message over 499 characters", long(at - from));
        }
        p.partial.erase(0, from);
        if (p.partial.size() > proto::MAX_TEXT_LEN) fail("unterminated output over 499 characters");
    }
}

bool output_pending() {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && slots[i].pending() > 0) return true;
    }
    return false;
}

// Writes and reads until every queue is empty: more than a socket buffer
// may be queued.
void drain_all() {
    drain_once();
    while (output_pending()) drain_once();
}

// The peer went away: the loop cleans the connection out and frees its slot.
void vanish(int k) {
    const int i = slot_of(peers[k].sock);
    if (i < 0) fail("connection lost its slot", k);
    close_slot(i);
    if (is_logged_in(peers[k].sock)) fail("dropped connection still online", k);
    open_peer(k);
}

void fill_sessions(int k, unsigned size_bits, std::string_view text) {
    static const int sizes[] = {16, 64, 250, MAX_SESSIONS};
    const int id = get_clientID(peers[k].sock);
    if (id == -1) return;
    std::unordered_set<std::string> taken;
    for (int s = 0; s < active_sessions; ++s) taken.insert(sessions[s]->name);
    for (int r = 0; active_sessions < sizes[size_bits & 3]; ++r) {
        std::string name(text.substr(0, proto::RECV_LIMIT - 8));
        name += std::to_string(r);
        if (taken.insert(name).second) create_session(name, id);
    }
}

void check_all() {
    long detail = 0;
    if (const char* what = check_queues(detail)) fail(what, detail);
    if (const char* what = check_registry(detail)) fail(what, detail);
}

void request(int k, std::string_view text) {
    const int sock = peers[k].sock;
    const int r = handle_command(sock, text);
    drop_over_limit();
    if (r != 0 && r != 1) fail("handle_command result", r);
    // Connections dropped over their output limit come back as new ones.
    bool gone[CONNS];
    for (int j = 0; j < CONNS; ++j) gone[j] = slot_of(peers[j].sock) < 0;
    for (int j = 0; j < CONNS; ++j) {
        if (gone[j]) open_peer(j);
    }
    if (gone[k]) return;
    if (r == 1) {
        // After a logout the loop sends what is queued and closes.
        if (is_logged_in(sock)) fail("still online after logging out", k);
        const int i = slot_of(sock);
        flush_slot(i);
        close_slot(i, true);
        open_peer(k);
    }
}

void reset_all() {
    reset_connections();
    for (Peer& p : peers) {
        p.end.reset();
        p.sock = -1;
        p.partial.clear();
    }
    registry_reset();
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
    static char out[1 << 16];
    std::setvbuf(stdout, out, _IOFBF, sizeof out);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Every input ends with reset_all(), so the tables and slots are empty here.
    const int first_free = lowest_free_fd();
    for (int i = 0; i < 6; ++i) {
        login[i] = ACCOUNTS[i][0];
        pass[i] = ACCOUNTS[i][1];
    }
    for (int k = 0; k < CONNS; ++k) open_peer(k);
    request(0, "LOGIN#alice#pw1");
    request(1, "LOGIN#bob#pw2");
    if (users_online != 2) fail("start-up logins failed", users_online);
    drain_all();

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
            const int n = repeats[(ctl >> 2) & 3];
            for (int r = 0; r < n; ++r) {
                std::string t(text);
                t += std::to_string(r);
                if (t.size() > proto::RECV_LIMIT) break;
                request(k, t);
                long detail = 0;
                if (const char* what = check_queues(detail)) fail(what, detail);
                drain_all();
            }
        } else if ((ctl & 0xf0) == 0xd0) {
            fill_sessions(k, ctl >> 2, text);
        } else if (text.size() > proto::RECV_LIMIT) {
            vanish(k);  // an over-long message drops the connection
        } else {
            request(k, text);
        }
        check_all();
        drain_all();
    }

    reset_all();
    if (lowest_free_fd() != first_free) fail("descriptor leaked", lowest_free_fd(), first_free);
    return 0;
}
