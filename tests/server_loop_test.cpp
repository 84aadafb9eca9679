// The server in the test's own process, on a free port, driven pass by pass
// with its clock in the test's hands: requests and replies over real
// loopback connections, every way a connection ends, and the deadlines.
#include <gmock/gmock.h>
#include <sys/resource.h>

#include <map>
#include <memory>

#include "server.hpp"
#include "support.hpp"

using namespace std::chrono_literals;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string ACCOUNTS = "alice,pw1\nbob,pw2\ncarol,pw3\ndave,pw4\nerin,p#5\n";
const std::string PROBE = "JOIN#\x01";  // answered in every state, never a session

std::string cut(const std::string& s) {
    return s.substr(0, 499);
}

class Loop : public testing::Test {
protected:
    void SetUp() override {
        dir.write("accounts.csv", ACCOUNTS);
        ASSERT_EQ(::chdir(dir.path.c_str()), 0);
        testing::internal::CaptureStdout();
        ServerOptions options;
        options.clock = [this] { return now; };
        port = server_start("0", options);
        ASSERT_GT(port, 0);
    }
    void TearDown() override {
        server_stop();
        log();
        testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fputs(seen.c_str(), stderr);  // the failures were captured too
        ASSERT_EQ(::chdir("/"), 0);
    }
    std::string log() {
        std::fflush(stdout);
        seen += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return seen;
    }
    support::Client& connect(const char* host = "127.0.0.1") {
        c.push_back(std::make_unique<support::Client>(
            port, [] { server_pass(5ms); }, host));
        return *c.back();
    }
    void login(int k, const std::string& id, const std::string& pw) {
        c[k]->send("LOGIN#" + id + "#" + pw);
        ASSERT_EQ(c[k]->next(), "LG_ACK") << id;
    }
    // What client k receives before the answer to a probe ("<closed>" at the end).
    std::vector<std::string> sync(int k) {
        std::vector<std::string> got;
        c[k]->send(PROBE);
        while (auto msg = c[k]->next()) {
            if (msg->rfind("JOIN_NACK#\x01#", 0) == 0) return got;
            got.push_back(*msg);
        }
        got.push_back("<closed>");
        return got;
    }
    bool log_until(const std::string& text) {
        const auto end = support::deadline(support::WAIT_MS);
        while (log().find(text) == std::string::npos) {
            if (support::left_ms(end) == 0) return false;
            server_pass(5ms);
        }
        return true;
    }
    support::TempDir dir;
    Clock::time_point now = Clock::now();
    int port = 0;
    std::vector<std::unique_ptr<support::Client>> c;
    std::string seen;
};

// Steps "k:request" from client k; then, per client, the messages it got.
struct Script {
    const char* name;
    std::vector<std::string> steps;
    std::vector<std::string> expect;
};

void PrintTo(const Script& s, std::ostream* os) {
    *os << s.name;
}

class Requests : public Loop, public testing::WithParamInterface<Script> {};

TEST_P(Requests, RepliesAndRelayedLinesInOrder) {
    std::map<int, std::vector<std::string>> got;
    std::map<int, std::vector<std::string>> want;
    for (const std::string& e : GetParam().expect) want[e[0] - '0'].push_back(e.substr(2));
    for (const std::string& s : GetParam().steps) {
        const int k = s[0] - '0';
        while (static_cast<int>(c.size()) <= k) connect();
        if (!got[k].empty() && got[k].back() == "<closed>") continue;
        c[k]->send(s.substr(2));
        for (auto& m : sync(k)) got[k].push_back(m);
    }
    for (auto& [k, msgs] : got) {
        if (msgs.empty() || msgs.back() != "<closed>") {
            for (auto& m : sync(k)) msgs.push_back(m);
        }
        EXPECT_THAT(msgs, ElementsAreArray(want[k])) << "client " << k;
    }
}

const std::string N(490, 'n');
const std::string S490(490, 's');
const std::string A300(300, 'a');
const std::string B300(300, 'b');
const std::string T490 = std::string(300, 't') + "#" + std::string(189, 'u');
const std::string SAYS = "[lobby] alice says: ";

INSTANTIATE_TEST_SUITE_P(
    Server, Requests,
    testing::Values(
        Script{"LoginRefusalsInTheirOrder",
               {"0:LOGIN#alice#bad", "0:LOGIN#alice#pw1", "1:LOGIN#alice#pw1", "0:LOGIN#alice#pw1",
                "0:LOGIN#bob#pw2", "1:LOGIN#erin#p#5", "2:LOGIN#carol", "2:login#carol#pw3"},
               {"0:LG_NACK#4", "0:LG_ACK", "1:LG_NACK#2", "0:LG_NACK#2", "0:LG_NACK#3", "1:LG_ACK",
                "2:LG_NACK#4"}},
        Script{"QueriesInLoginAndSessionOrder",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "0:NEWCONF#lobby", "0:NEWCONF#dev", "1:QRY",
                "1:QRYME", "0:QRYME#x", "2:QRY", "2:QRYME"},
               {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:NEWCONF_ACK#dev", "0:QRYME_ACK#lobby#dev",
                "1:LG_ACK", "1:QRY_ACK#alice#lobby#dev:bob", "1:QRYME_ACK", "2:QRY_NACK",
                "2:QRYME_NACK"}},
        Script{"CreateJoinAndNoticesToEarlierMembers",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "0:NEWCONF#lobby",
                "1:NEWCONF#lobby", "1:JOIN#lobby", "2:JOIN#lobby", "0:JOIN#lobby", "1:JOIN#Lobby",
                "3:NEWCONF#x", "3:JOIN#x", "3:LEAVE", "3:MSG#lobby#hi"},
               {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:[lobby] bob has joined the session.",
                "0:[lobby] carol has joined the session.", "0:JOIN_NACK#lobby#4", "1:LG_ACK",
                "1:NEWCONF_NACK#lobby#2", "1:JOIN_ACK#lobby",
                "1:[lobby] carol has joined the session.", "1:JOIN_NACK#Lobby#2", "2:LG_ACK",
                "2:JOIN_ACK#lobby", "3:NEWCONF_NACK#x#1", "3:JOIN_NACK#x#1"}},
        Script{"ChatReachesEveryMemberInOrder",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "0:NEWCONF#lobby",
                "1:JOIN#lobby", "1:MSG#lobby#hi #there", "2:MSG#lobby#x", "2:MSG#nope#x",
                "0:MSG#lobby#" + T490},
               {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:[lobby] bob has joined the session.",
                "0:[lobby] bob says: hi #there", "0:" + SAYS + T490.substr(0, 479),
                "0:" + SAYS + T490.substr(479), "1:LG_ACK", "1:JOIN_ACK#lobby",
                "1:[lobby] bob says: hi #there", "1:" + SAYS + T490.substr(0, 479),
                "1:" + SAYS + T490.substr(479), "2:LG_ACK", "2:MSG_NACK#lobby", "2:MSG_NACK#nope"}},
        Script{
            "LeaveAllAndByName",
            {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "0:NEWCONF#a",
             "0:NEWCONF#b", "1:JOIN#a", "0:LEAVE", "1:QRY", "2:NEWCONF#b", "0:JOIN#a",
             "0:LEAVE#a#b#a", "1:QRYME", "2:LEAVE#"},
            {"0:LG_ACK", "0:NEWCONF_ACK#a", "0:NEWCONF_ACK#b", "0:[a] bob has joined the session.",
             "0:LEAVE_ACK#a", "0:LEAVE_ACK#b", "0:JOIN_ACK#a", "0:LEAVE_ACK#a", "0:LEAVE_NACK#b",
             "0:LEAVE_NACK#a", "1:LG_ACK", "1:JOIN_ACK#a", "1:QRY_ACK#alice:bob#a:carol",
             "1:[a] alice has joined the session.", "1:QRYME_ACK#a", "2:LG_ACK",
             "2:NEWCONF_ACK#b"}},
        Script{"LogoutClosesAndCleansUp",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "0:NEWCONF#lobby", "1:JOIN#lobby",
                "2:LOGOUT", "2:LOGIN#carol#pw3", "0:LOGOUT", "1:QRY", "0:QRY"},
               {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:[lobby] bob has joined the session.",
                "0:<closed>", "1:LG_ACK", "1:JOIN_ACK#lobby", "1:QRY_ACK#bob#lobby:carol",
                "2:LG_ACK"}},
        Script{"RefusalsEchoingALongNameAreCut",
               {"1:NEWCONF#" + N, "1:JOIN#" + N, "0:LOGIN#alice#pw1", "0:JOIN#" + N,
                "0:MSG#" + N + "#x", "0:LEAVE#" + N, "0:NEWCONF#" + N, "0:NEWCONF#" + N,
                "0:JOIN#" + N},
               {"0:LG_ACK", "0:" + cut("JOIN_NACK#" + N + "#2"), "0:" + cut("MSG_NACK#" + N),
                "0:" + cut("LEAVE_NACK#" + N), "0:" + cut("NEWCONF_ACK#" + N),
                "0:" + cut("NEWCONF_NACK#" + N + "#2"), "0:" + cut("JOIN_NACK#" + N + "#4"),
                "1:" + cut("NEWCONF_NACK#" + N + "#1"), "1:" + cut("JOIN_NACK#" + N + "#1")}},
        Script{"QueryEntriesMoveOnOnlyWhenTheyDoNotFit",
               {"0:LOGIN#alice#pw1", "0:NEWCONF#" + S490, "0:QRY", "0:QRYME", "1:LOGIN#bob#pw2",
                "0:LEAVE", "0:NEWCONF#" + A300, "1:NEWCONF#" + B300, "1:QRY"},
               {"0:LG_ACK", "0:" + cut("NEWCONF_ACK#" + S490), "0:" + cut("QRY_ACK#alice#" + S490),
                "0:" + cut("QRYME_ACK#" + S490), "0:" + cut("LEAVE_ACK#" + S490),
                "0:NEWCONF_ACK#" + A300, "1:LG_ACK", "1:NEWCONF_ACK#" + B300,
                "1:QRY_ACK#alice#" + A300 + ":bob", "1:QRY_ACK#bob#" + B300}}),
    [](const auto& info) { return std::string(info.param.name); });

// How a connection can end; after each, the slot and the listener are free.
enum class End { logout, eof, reset, overflow, queue_drop, login_time };

class Ends : public Loop, public testing::WithParamInterface<End> {};

TEST_P(Ends, FreeTheSlotAndResumeTheListener) {
    const char* ids[] = {"alice", "bob", "carol", "dave"};
    for (int k = 0; k < 9; ++k) connect();
    for (int k = 0; k < 4; ++k) login(k, ids[k], "pw" + std::to_string(k + 1));
    if (GetParam() != End::login_time) login(8, "erin", "p#5");
    support::Client& tenth = connect();
    ASSERT_TRUE(log_until("THE NEXT EMPTY SLOT IS : -1"));
    support::Client& victim = *c[8];
    switch (GetParam()) {
        case End::logout:
            victim.send("LOGOUT");
            break;
        case End::eof:
            ::shutdown(victim.fd(), SHUT_WR);
            break;
        case End::reset:
            victim.reset();
            break;
        case End::overflow:
            victim.raw(std::string(501, 'x'));
            break;
        case End::queue_drop:
            while (!slots[9].over_limit) queue_send(slots[9].fd.get(), std::string(400, 'q'));
            c[0]->send("QRYME");
            break;
        case End::login_time:
            now += std::chrono::seconds(LOGIN_TIMEOUT_S);
            break;
    }
    tenth.send("LOGIN#erin#p#5");
    EXPECT_EQ(tenth.next(), "LG_ACK");
    EXPECT_LT(slots[9].out.capacity(), 1000u);
    EXPECT_THAT(log(), HasSubstr(GetParam() == End::logout ? "Close Socket#" : "close socket"));
    EXPECT_THAT(sync(1), testing::IsEmpty());  // the others are still served
}

INSTANTIATE_TEST_SUITE_P(Server, Ends,
                         testing::Values(End::logout, End::eof, End::reset, End::overflow,
                                         End::queue_drop, End::login_time));

// A peer that half-closes after a burst of requests is cleaned out at once
// and gets every reply before the close; one that never reads is given
// CLOSE_TIMEOUT.
TEST_F(Loop, HalfClosedPeerGetsItsRepliesThenTheClose) {
    const char* ids[][2] = {{"alice", "pw1"}, {"bob", "pw2"}};
    for (const bool patient : {true, false}) {
        support::Client& peer = connect();
        const int k = static_cast<int>(c.size()) - 1;
        login(k, ids[k][0], ids[k][1]);
        peer.send("NEWCONF#" + std::string(400, ids[k][0][0]));
        ASSERT_TRUE(peer.next());
        const int small = 16384;
        ::setsockopt(slots[1].fd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const std::string closed = "close socket " + std::to_string(slots[1].fd.get()) + "\n";
        std::string burst;
        for (int i = 0; i < 1000; ++i) burst += std::string("QRY", 4);
        peer.raw(burst);
        ::shutdown(peer.fd(), SHUT_WR);
        ASSERT_TRUE(log_until("USER " + std::string(ids[k][0]) + " LOGGED OUT."));
        EXPECT_EQ(log().find(closed), std::string::npos);
        if (!patient) {
            now += CLOSE_TIMEOUT;
            EXPECT_TRUE(log_until(closed));
        }
        std::vector<std::string> got;
        EXPECT_TRUE(peer.read_to_close(got));
        EXPECT_THAT(got, testing::Each("QRY_ACK#" + std::string(ids[k][0]) + "#" +
                                       std::string(400, ids[k][0][0])));
        EXPECT_EQ(got.size() == 1000u, patient);
    }
}

TEST_F(Loop, LoginTimeLimitSparesLoggedInUsers) {
    connect();
    connect();
    login(0, "alice", "pw1");
    now += std::chrono::seconds(LOGIN_TIMEOUT_S);
    EXPECT_TRUE(c[1]->closed());
    EXPECT_THAT(log(), HasSubstr("did not log in within"));
    c[0]->send("QRYME");
    EXPECT_EQ(c[0]->next(), "QRYME_ACK");
}

TEST_F(Loop, RefusedLoginsArePacedForTheWholeServer) {
    connect();
    connect();
    std::string tries;
    for (int i = 0; i < 7; ++i) tries += std::string("LOGIN#alice#bad", 16);
    c[0]->raw(tries + std::string("LOGIN#alice#pw1", 16));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c[0]->next(), "LG_NACK#4") << i;
    login(1, "bob", "pw2");  // others are served meanwhile
    EXPECT_EQ(c[0]->next(50), std::nullopt);
    now += REFUSED_LOGIN_INTERVAL;
    EXPECT_EQ(c[0]->next(), "LG_NACK#4");
    EXPECT_EQ(c[0]->next(50), std::nullopt);
    now += REFUSED_LOGIN_INTERVAL;
    EXPECT_EQ(c[0]->next(), "LG_NACK#4");
    EXPECT_EQ(c[0]->next(), "LG_ACK");
}

TEST_F(Loop, ClientBytesCannotForgeTheLog) {
    connect();
    connect();
    login(0, "alice", "pw1");
    c[1]->send("LOGIN#\r\x1b[2Jx#y\x7f");
    c[0]->send("NEWCONF#a");
    c[0]->send("MSG#a#\rhi\t\x1b[0m");
    EXPECT_EQ(c[0]->next(), "NEWCONF_ACK#a");
    EXPECT_EQ(c[0]->next(), "[a] alice says: \rhi\t\x1b[0m");  // relayed as it came
    ASSERT_TRUE(log_until("COMMAND:LOGIN"));
    EXPECT_THAT(log(), HasSubstr("User:\\x0d\\x1b[2Jx\tPass:y\\x7f"));
    EXPECT_THAT(log(), HasSubstr("a\t\\x0dhi\t\\x1b[0m\t0\t0\talice"));
    EXPECT_THAT(log(), Not(testing::AnyOf(HasSubstr("\x1b"), HasSubstr("\r"), HasSubstr("\x7f"))));
}

TEST_F(Loop, ReachableOverIpv6AndIpv4) {
    if (!connect("::1").connected()) GTEST_SKIP() << "no IPv6 loopback here";
    connect("127.0.0.1");
    login(0, "alice", "pw1");
    login(1, "bob", "pw2");
}

// Descriptors 0..FD_SETSIZE-1 all taken: what the server then opens is
// beyond select's sets and must never be watched.
TEST_F(Loop, DescriptorsBeyondSelectAreRefused) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max < FD_SETSIZE + 64) GTEST_SKIP() << "descriptor limit too low";
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, FD_SETSIZE + 64);
    ::setrlimit(RLIMIT_NOFILE, &lim);
    std::vector<Fd> fill;
    auto fill_up = [&fill] {
        for (int fd = 0; fd >= 0 && fd < FD_SETSIZE;) fill.emplace_back(fd = ::dup(0));
    };
    fill_up();
    connect();
    EXPECT_TRUE(c[0]->closed());
    EXPECT_THAT(log(), HasSubstr("is beyond the select limit of 1024. closed."));
    server_stop();
    fill_up();
    EXPECT_EQ(server_start("0", ServerOptions{}), -1);
    EXPECT_THAT(log(), HasSubstr("ERROR: listening socket"));
}

TEST_F(Loop, FailedAcceptRestsTheListener) {
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    connect();
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(::dup(0));  // the lowest free descriptor
    ::close(static_cast<int>(low.rlim_cur));
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int i = 0; i < 3; ++i) server_pass(5ms);
    ::setrlimit(RLIMIT_NOFILE, &old);
    for (int i = 0; i < 20; ++i) server_pass(1ms);
    EXPECT_THAT(log(), HasSubstr("ERROR: accept failed: Too many open files"));
    EXPECT_THAT(log(), Not(HasSubstr("open socket")));
    now += ACCEPT_PAUSE;
    login(0, "alice", "pw1");
}

// A slow reader's queue is written in pieces and compacted between them;
// the bytes arrive intact and in order.
TEST(Connections, PartialWritesKeepTheBytesIntact) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Fd reader(sv[0]);
    const int small = 2048;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    attach_connection(sv[1], 1);
    std::string want;
    std::string got;
    char chunk[777];
    for (int i = 0; i < 400; ++i) {
        const std::string text(static_cast<std::size_t>(i % 499), static_cast<char>('a' + i % 26));
        queue_send(sv[1], text);
        want += text + '\0';
        flush_slot(1);
        if (i % 3 == 0) {
            const ssize_t n = ::recv(reader.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
        }
    }
    for (int i = 0; i < 100000 && got.size() < want.size(); ++i) {
        flush_slot(1);
        const ssize_t n = ::recv(reader.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(got == want);
    reset_connections();
}

}  // namespace
