// The server in the test's own process, on a free port, driven pass by pass
// with its clock in the test's hands; and the account file as an editor may leave it.
#include "server.hpp"

#include <crypt.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <map>
#include <sstream>

#include "accounts.hpp"
#include "log.hpp"
#include "log_text.hpp"
#include "password.hpp"
#include "support.hpp"
#include "text.hpp"

using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

const auto cut = [](const std::string& s) { return s.substr(0, 499); };
template <class Row>  // a table's row shows as its name
auto operator<<(std::ostream& os, const Row& row) -> decltype(os << row.name) {
    return os << row.name;
}

class Loop : public testing::Test {
protected:
    void SetUp() override {
        dir.write("accounts.csv", "alice,pw1\nbob,pw2\ncarol,pw3\ndave,pw4\nerin,p#5\n");
        ASSERT_EQ(::chdir(dir.path.c_str()), 0);
        testing::internal::CaptureStdout();
        ServerOptions options;
        options.clock = [this] { return now; };
        if (stdin_.valid()) ::close(0);  // as a daemon may start: the listener is fd 0
        ASSERT_GT(port = server_start("0", options), 0);
    }
    void TearDown() override {
        server_stop();
        log_flush();
        seen += testing::internal::GetCapturedStdout();  // its saved stdout may be fd 0
        ::dup2(stdin_.get(), 0);
        ASSERT_EQ(::chdir("/"), 0);
    }
    std::string log() {
        log_flush();
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
        c[k]->send("JOIN#\x01");  // answered in every state, never a session
        while (auto msg = c[k]->next()) {
            if (msg->rfind("JOIN_NACK#\x01#", 0) == 0) return got;
            got.push_back(*msg);
        }
        got.push_back("<closed>");
        return got;
    }
    bool log_until(const std::string& text) {
        for (auto end = support::deadline(); log().find(text) == std::string::npos;
             server_pass(5ms))
            if (support::left_ms(end) == 0) return false;
        return true;
    }
    support::TempDir dir;
    Clock::time_point now = Clock::now();
    int port = 0;
    std::vector<std::unique_ptr<support::Client>> c;
    std::string seen;
    Fd stdin_{::dup(0)};
};

// Steps "k:request" from client k; per client, "k:message" it got; lines the log holds.
struct Script {
    const char* name;
    std::vector<std::string> steps, expect, log = {};
};

class Requests : public Loop, public testing::WithParamInterface<Script> {};

// 56 sessions a user is in, and no more created; one left makes room again.
Script quota() {
    Script s{"OneUserCreatesSessionsUpToAQuota",
             {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2"},
             {"0:LG_ACK", "1:LG_ACK", "1:NEWCONF_ACK#t"},
             {"User is in too many sessions. NEWCONF rejected.\n"}};
    for (int i = 0; i < 56; ++i) {
        s.steps.push_back("0:NEWCONF#s" + std::to_string(i));
        s.expect.push_back("0:NEWCONF_ACK#s" + std::to_string(i));
    }
    // The session left empty is gone: its name can be made again.
    s.steps.insert(s.steps.end(), {"0:NEWCONF#s56", "1:NEWCONF#t", "0:LEAVE#s0", "0:NEWCONF#s0"});
    s.expect.insert(s.expect.end(), {"0:NEWCONF_NACK#s56#3", "0:LEAVE_ACK#s0", "0:NEWCONF_ACK#s0"});
    return s;
}

TEST_P(Requests, RepliesAndRelayedLinesInOrder) {
    std::map<int, std::vector<std::string>> got, want;
    for (const std::string& e : GetParam().expect) want[e[0] - '0'].push_back(e.substr(2));
    for (const std::string& s : GetParam().steps) {
        const int k = s[0] - '0';
        while (static_cast<int>(c.size()) <= k) connect();
        if (!got[k].empty() && got[k].back() == "<closed>") continue;
        c[k]->send(s.substr(2));
        for (auto& m : sync(k)) got[k].push_back(m);
    }
    for (auto& [k, msgs] : got) {
        if (msgs.empty() || msgs.back() != "<closed>")
            for (auto& m : sync(k)) msgs.push_back(m);
        EXPECT_THAT(msgs, testing::ElementsAreArray(want[k])) << "client " << k;
    }
    for (const std::string& line : GetParam().log) EXPECT_THAT(log(), HasSubstr(line));
    const auto forged = [](char b) { return b != '\n' && is_control(b); };  // by client bytes
    EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), forged));
}

const std::string N(490, 'n'), S490(490, 's'), A481(481, 'a'), Z487(487, 'z');
const std::string T490 = std::string(300, 't') + "#" + std::string(189, 'u'),
                  SAYS = "[lobby] alice says: ";

INSTANTIATE_TEST_SUITE_P(
    Server, Requests,
    testing::Values(
        Script{"LoginRefusalsAndClientBytesEscaped",
               {"0:LOGIN#alice#bad", "0:LOGIN#alice#pw1", "1:LOGIN#alice#pw1", "0:LOGIN#alice#pw1",
                "0:LOGIN#bob#pw2", "1:LOGIN#erin#p#5", "2:LOGIN#carol", "2:login#carol#pw3",
                "2:LOGIN#\r\x1b[2Jx#y\x7f", "0:NEWCONF#a", "0:MSG#a#\rhi\t\x1b[0m"},
               {"0:LG_NACK#4", "0:LG_ACK", "1:LG_NACK#2", "0:LG_NACK#2", "0:LG_NACK#3",
                "0:NEWCONF_ACK#a", "0:[a] alice says: \rhi\t\x1b[0m", "1:LG_ACK", "2:LG_NACK#4",
                "2:LG_NACK#4"},
               {"login:erin\t pass:******\n", "User:\\x0d\\x1b[2Jx\tPass:******\n",
                "a\t\\x0dhi\t\\x1b[0m\t0\t0\talice"}},
        Script{
            "CreateJoinAndNoticesToEarlierMembers",
            {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "0:NEWCONF#lobby",
             "1:NEWCONF#lobby", "1:JOIN#lobby", "2:JOIN#lobby", "0:JOIN#lobby", "1:JOIN#Lobby",
             "3:LOGOUT", "3:NEWCONF", "3:JOIN", "3:LEAVE", "3:MSG#lobby#hi", "3:QRY", "3:QRYME"},
            {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:[lobby] bob has joined the session.",
             "0:[lobby] carol has joined the session.", "0:JOIN_NACK#lobby#4", "1:LG_ACK",
             "1:NEWCONF_NACK#lobby#2", "1:JOIN_ACK#lobby",
             "1:[lobby] carol has joined the session.", "1:JOIN_NACK#Lobby#2", "2:LG_ACK",
             "2:JOIN_ACK#lobby", "3:QRY_NACK", "3:QRYME_NACK"},
            {"NEWCONF request is missing a field. ignored.\n", "JOIN request is missing a field"}},
        Script{"ChatReachesEveryMemberInOrder",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "0:NEWCONF#lobby",
                "1:JOIN#lobby", "1:MSG#lobby#hi #there", "2:NEWCONF", "2:MSG#lobby",
                "2:MSG#lobby#x", "2:MSG#nope#x", "0:MSG#lobby#" + T490, "0:LOGOUT", "1:QRY"},
               {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:[lobby] bob has joined the session.",
                "0:[lobby] bob says: hi #there", "0:" + SAYS + T490.substr(0, 479),
                "0:" + SAYS + T490.substr(479), "0:<closed>", "1:LG_ACK", "1:JOIN_ACK#lobby",
                "1:[lobby] bob says: hi #there", "1:" + SAYS + T490.substr(0, 479),
                "1:" + SAYS + T490.substr(479), "1:QRY_ACK#bob#lobby:carol", "2:LG_ACK",
                "2:MSG_NACK#lobby", "2:MSG_NACK#nope"},
               {"MSG request is missing a field. ignored.\n"}},
        Script{"LeaveAllOrByNameNoNameHoldsSeparators",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "2:NEWCONF#c",
                "0:NEWCONF#a", "0:NEWCONF#bb", "0:NEWCONF#b#", "0:NEWCONF#x:y", "0:QRYME#x",
                "1:JOIN#bb", "1:JOIN#b#", "0:LEAVE", "1:QRY", "2:NEWCONF#b", "0:JOIN#c",
                "0:LEAVE#c#b#c", "1:QRYME", "2:LEAVE#"},
               {"0:LG_ACK",
                "0:NEWCONF_ACK#a",
                "0:NEWCONF_ACK#bb",
                "0:NEWCONF_NACK#b##3",
                "0:NEWCONF_NACK#x:y#3",
                "0:QRYME_ACK#a#bb",
                "0:[bb] bob has joined the session.",
                "0:LEAVE_ACK#a",
                "0:LEAVE_ACK#bb",
                "0:JOIN_ACK#c",
                "0:LEAVE_ACK#c",
                "0:LEAVE_NACK#b",
                "0:LEAVE_NACK#c",
                "1:LG_ACK",
                "1:JOIN_ACK#bb",
                "1:JOIN_NACK#b##2",
                "1:QRY_ACK#alice:bob#bb:carol#c",
                "1:QRYME_ACK#bb",
                "2:LG_ACK",
                "2:NEWCONF_ACK#c",
                "2:NEWCONF_ACK#b",
                "2:[c] alice has joined the session."},
               {"Session name holds '#' or ':'. NEWCONF rejected.\n"}},
        Script{"RefusalsEchoingALongNameAreCut",
               {"1:NEWCONF#" + N, "1:JOIN#" + N, "0:LOGIN#alice#pw1", "0:JOIN#" + N,
                "0:MSG#" + N + "#x", "0:LEAVE#" + N, "0:NEWCONF#" + N, "0:NEWCONF#" + N,
                "0:JOIN#" + N},
               {"0:LG_ACK", "0:" + cut("JOIN_NACK#" + N + "#2"), "0:" + cut("MSG_NACK#" + N),
                "0:" + cut("LEAVE_NACK#" + N), "0:" + cut("NEWCONF_ACK#" + N),
                "0:" + cut("NEWCONF_NACK#" + N + "#2"), "0:" + cut("JOIN_NACK#" + N + "#4"),
                "1:" + cut("NEWCONF_NACK#" + N + "#1"), "1:" + cut("JOIN_NACK#" + N + "#1")}},
        Script{"QueryEntriesMoveOnOnlyWhenTheyDoNotFit",  // replies of 499 characters exactly
               {"0:LOGIN#alice#pw1", "0:NEWCONF#" + S490, "0:QRY", "0:QRYME", "1:LOGIN#bob#pw2",
                "0:LEAVE", "0:NEWCONF#" + A481, "1:QRY", "1:NEWCONF#y", "1:NEWCONF#" + Z487,
                "1:QRY", "1:QRYME"},
               {"0:LG_ACK", "0:" + cut("NEWCONF_ACK#" + S490), "0:" + cut("QRY_ACK#alice#" + S490),
                "0:" + cut("QRYME_ACK#" + S490), "0:" + cut("LEAVE_ACK#" + S490),
                "0:NEWCONF_ACK#" + A481, "1:LG_ACK", "1:QRY_ACK#alice#" + A481 + ":bob",
                "1:NEWCONF_ACK#y", "1:NEWCONF_ACK#" + Z487, "1:QRY_ACK#alice#" + A481,
                "1:QRY_ACK#bob#y", "1:QRY_ACK#bob#" + Z487, "1:QRYME_ACK#y#" + Z487}},
        quota()),
    [](const auto& test) { return std::string(test.param.name); });

// Every way a connection ends frees its slot, buffers and listener, logs, spares the others.
enum class End { logout, eof, reset, overflow, queue_drop, login_time };
class Ends : public Loop, public testing::WithParamInterface<std::pair<End, const char*>> {};

TEST_P(Ends, FreeTheSlotAndResumeTheListener) {
    const End way = GetParam().first;
    for (int k = 0; k < 9; ++k) connect(k == 1 ? "::1" : "127.0.0.1");  // IPv6 where there is one
    if (!c[1]->connected())
        c[1] = std::make_unique<support::Client>(port, [] { server_pass(5ms); });
    login(0, "alice", "pw1");
    login(1, "bob", "pw2");
    if (way != End::login_time) login(8, "erin", "p#5");
    support::Client &tenth = connect(), &victim = *c[8];
    ASSERT_TRUE(log_until("THE NEXT EMPTY SLOT IS : -1"));
    for (int i = 0; i < 3; ++i) server_pass(0ms);  // the listener rests, never spins, while full
    EXPECT_EQ(log().find("SLOT IS : -1"), log().rfind("SLOT IS : -1"));
    if (way == End::logout) victim.send("LOGOUT");
    if (way == End::eof) ::shutdown(victim.fd(), SHUT_WR);
    if (way == End::reset) victim.reset();
    if (way == End::overflow) victim.raw(std::string(501, 'x'));
    if (way == End::login_time) now += std::chrono::seconds(LOGIN_TIMEOUT_S);
    while (way == End::queue_drop && !slots[9].over_limit)
        queue_send(slots[9].fd.get(), std::string(400, 'q'));
    if (way == End::queue_drop) c[0]->send("QRYME");
    tenth.send("LOGIN#erin#p#5");
    EXPECT_EQ(tenth.next(), "LG_ACK");
    EXPECT_LT(slots[9].out.capacity(), 1000u);
    EXPECT_THAT(log(), HasSubstr(GetParam().second));
    EXPECT_THAT(sync(1), testing::IsEmpty());  // the others are still served
}

std::string end_name(End way) {
    constexpr const char* names[] = {"Logout",   "EndOfFile", "Reset",
                                     "Overflow", "QueueDrop", "LoginTimeLimit"};
    return names[static_cast<int>(way)];
}

void PrintTo(const std::pair<End, const char*>& row, std::ostream* os) {
    *os << end_name(row.first);
}

INSTANTIATE_TEST_SUITE_P(
    Server, Ends,
    testing::Values(
        std::pair(End::logout, "Client Logged Out. Close Socket# "),
        std::pair(End::eof,
                  "on us.\nUSER erin left ALL the sessions.\nUSER erin LOGGED OUT.\nclose"),
        std::pair(End::reset, "Error occurred while receiving.\nUSER erin left ALL the sessions."),
        std::pair(End::overflow, "of size 500 bytes exceeded.\nUSER erin left ALL the sessions."),
        std::pair(End::queue_drop, "USER erin LOGGED OUT.\nclose socket"),
        std::pair(End::login_time, "did not log in within 10 seconds.\nclose socket")),
    [](const auto& test) { return end_name(test.param.first); });

// A peer that half-closes after a burst of requests is cleaned out at once and gets
// every reply before the close, what CLOSE_TIMEOUT allows, or nothing once it resets.
// A small send buffer makes partial writes with compaction between: bytes stay intact.
TEST_F(Loop, HalfClosedPeerGetsItsRepliesThenTheClose) {
    for (const std::string id : {"alice", "bob", "carol"}) {
        support::Client& peer = connect();
        login(static_cast<int>(c.size()) - 1, id, "pw" + std::to_string(c.size()));
        const std::string name(400, id[0]);
        peer.send("NEWCONF#" + name);
        ASSERT_TRUE(peer.next());
        const int small = 16384;
        ::setsockopt(slots[1].fd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const std::string closed = "close socket " + std::to_string(slots[1].fd.get()) + "\n";
        std::string burst;
        for (int i = 0; i < 1000; ++i) burst += std::string("QRY", 4);
        peer.raw(burst);
        ::shutdown(peer.fd(), SHUT_WR);
        ASSERT_TRUE(log_until("USER " + id + " LOGGED OUT."));
        EXPECT_EQ(log().find(closed), std::string::npos);
        if (id == "bob") now += CLOSE_TIMEOUT;
        if (id == "carol") peer.reset();
        EXPECT_TRUE(id == "alice" || log_until(closed));
        if (id == "carol") {
            EXPECT_THAT(log(), HasSubstr("while sending.\n" + closed));
        }
        std::vector<std::string> got;
        EXPECT_TRUE(id == "carol" || peer.closed(&got));
        EXPECT_THAT(got, testing::Each("QRY_ACK#" + id + "#" + name));
        EXPECT_EQ(got.size() == 1000u, id == "alice");
    }
}

TEST_F(Loop, RefusedLoginsArePacedForTheWholeServer) {
    connect(), connect(), connect();
    std::string tries;
    for (int i = 0; i < 7; ++i) tries += std::string("LOGIN#alice#bad", 16);
    std::string queries;  // more than the receive buffer holds, pipelined behind them
    for (int i = 0; i < 3000; ++i) queries += std::string("QRYME", 6);
    c[0]->raw(tries + std::string("LOGIN#alice#pw1", 16) + queries);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c[0]->next(), "LG_NACK#4") << i;
    c[1]->send("LOGIN#bob#pw2");  // checked only when the pace allows
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(c[0]->next(50), std::nullopt);
        EXPECT_EQ(c[1]->next(0), std::nullopt);
        EXPECT_THAT(sync(2), testing::IsEmpty());  // other requests are not held
        now += REFUSED_LOGIN_INTERVAL;
        EXPECT_EQ(c[0]->next(), "LG_NACK#4");
    }
    EXPECT_EQ(c[0]->next(), "LG_ACK");
    EXPECT_EQ(c[1]->next(), "LG_ACK");
    int answered = 0;
    while (c[0]->next() == "QRYME_ACK") ++answered;
    EXPECT_EQ(answered, 3000);
    EXPECT_THAT(log(), testing::Not(HasSubstr("closed the connection")));
}

// A password field is a hash when it is a setting we allow; a hash logs in with
// its password alone, one that does not verify never, and anything else is a
// plain password, even a word libxcrypt would take for a DES setting.
TEST_F(Loop, HashedAndPlainPasswords) {
    crypt_data data{};
    const std::string sha = ::crypt_r("pw2", "$6$saltsalt$", &data);
    const std::string des = ::crypt_r("ab", "ab", &data);
    server_stop();
    dir.write("accounts.csv",
              "y," + hash_password("pw1") + "\nsix," + sha + "\nplain,pw3\nbare,$y$\ndes,ab\n");
    ServerOptions options;
    options.clock = [this] { return now; };
    ASSERT_GT(port = server_start("0", options), 0);
    const std::pair<std::string, bool> tries[] = {
        {"y#pw1", true},     {"y#pw2", false},        {"y#$y$", false},     {"y#*0", false},
        {"y#ab", false},     {"y#" + pass[0], false}, {"six#pw2", true},    {"six#" + sha, false},
        {"six#pw1", false},  {"plain#pw3", true},     {"plain#pw", false},  {"bare#*0", false},
        {"bare#$y$", false}, {"des#ab", true},        {"des#" + des, false}};
    for (const auto& [request, in] : tries) {
        now += REFUSED_LOGIN_INTERVAL;  // no refusal waits for the pace
        connect().send("LOGIN#" + request);
        EXPECT_EQ(c.back()->next(), in ? "LG_ACK" : "LG_NACK#4") << request;
        c.pop_back();  // its slot is free for the next
    }
    EXPECT_THAT(log(), HasSubstr("WARNING: 2 of 5 accounts have plain-text passwords: hash them "
                                 "with conference-passwd.\n"));
}

// SIGHUP reads the accounts again, whole or not at all: users whose account went or
// whose password changed are logged out; the others keep login and sessions.
TEST_F(Loop, ReloadKeepsTheUsersWhoseAccountsStay) {
    for (const auto& [id, pw] : {std::pair{"alice", "pw1"}, {"bob", "pw2"}, {"carol", "pw3"}}) {
        connect();
        login(static_cast<int>(c.size()) - 1, id, pw);
        c.back()->send(std::string(id == std::string("alice") ? "NEWCONF" : "JOIN") + "#lobby");
        ASSERT_TRUE(c.back()->next());
    }
    sync(1);  // carol's join notice
    dir.write("accounts.csv", "frank,pw6\nzed,z\nbob,pw2\ncarol,new\n");
    ::raise(SIGHUP);
    EXPECT_TRUE(c[0]->closed());
    EXPECT_TRUE(c[2]->closed());
    c[1]->send("MSG#lobby#hi");
    EXPECT_EQ(c[1]->next(), "[lobby] bob says: hi");
    c[1]->send("QRY");
    EXPECT_EQ(c[1]->next(), "QRY_ACK#bob#lobby");
    EXPECT_THAT(log(), HasSubstr("Logging it out.\nUSER carol left ALL the sessions.\nUSER carol "
                                 "LOGGED OUT.\nclose socket"));
    EXPECT_THAT(log(), HasSubstr("Accounts reloaded. Number of accounts: 4\n"));
    for (const std::string broken : {"<dir>", "a,1\na,2\n"}) {
        ::unlink("accounts.csv");
        if (broken == "<dir>") ::mkdir("accounts.csv", 0755);
        if (broken != "<dir>") dir.write("accounts.csv", broken);
        ::raise(SIGHUP);
        ASSERT_TRUE(log_until("was not reloaded. The accounts in force stay.\n"));
        seen.clear();
        ::rmdir("accounts.csv");
    }
    connect().send("LOGIN#frank#pw6");
    EXPECT_EQ(c.back()->next(), "LG_ACK");
    connect().send("LOGIN#alice#pw1");
    EXPECT_EQ(c.back()->next(), "LG_NACK#4");
    EXPECT_THAT(sync(1), testing::IsEmpty());
}

// The service manager hears of readiness, reloads and the stop, at an abstract
// address or a path.
class Notify : public testing::TestWithParam<std::string> {};

TEST_P(Notify, ReadyReloadingStopping) {
    support::TempDir dir;
    dir.write("accounts.csv", "alice,pw1\n");
    const std::string name = GetParam() + std::to_string(::getpid());
    std::string path = name[0] == '@' ? name : dir.path + "/" + name;
    sockaddr_un addr{AF_UNIX, {}};
    path.copy(addr.sun_path, path.size());
    if (path[0] == '@') addr.sun_path[0] = '\0';
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    Fd probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in any{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t any_len = sizeof any;
    ::bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof any);
    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&any), &any_len);
    const std::string port = std::to_string(ntohs(any.sin_port));
    probe.reset();
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    support::Child server({SERVER_PROGRAM, port}, dir.path);
    ::unsetenv("NOTIFY_SOCKET");
    const auto next = [&sock] {
        pollfd p{sock.get(), POLLIN, 0};
        std::array<char, 256> got{};
        if (::poll(&p, 1, support::WAIT_MS) != 1) return std::string("<none>");
        return std::string(got.data(),
                           std::max<ssize_t>(0, ::recv(sock.get(), got.data(), 255, 0)));
    };
    EXPECT_EQ(next(), "READY=1");
    ::kill(server.pid(), SIGHUP);
    EXPECT_THAT(next(), testing::MatchesRegex("RELOADING=1\nMONOTONIC_USEC=[0-9]+"));
    EXPECT_EQ(next(), "READY=1");
    ::kill(server.pid(), SIGTERM);
    EXPECT_EQ(next(), "STOPPING=1");
    EXPECT_TRUE(server.wait_for("Accounts reloaded. Number of accounts: 1\n"));
}

INSTANTIATE_TEST_SUITE_P(Server, Notify, testing::Values("@conftest-notify-", "notify-"),
                         [](const auto& row) { return row.index ? "Path" : "Abstract"; });

// Silent connections keep their slots for the whole login time, unless someone
// waits for a slot: then they have 10 seconds.
TEST_F(Loop, SilentConnectionsYieldContestedSlotsSooner) {
    for (int k = 0; k < 9; ++k) connect();
    ASSERT_TRUE(log_until("THE NEXT EMPTY SLOT IS : 9"));
    now += std::chrono::seconds(CONTESTED_LOGIN_TIMEOUT_S);
    for (int i = 0; i < 3; ++i) server_pass(0ms);
    EXPECT_THAT(log(), testing::Not(HasSubstr("did not log in")));
    support::Client& tenth = connect();
    ASSERT_TRUE(log_until("THE NEXT EMPTY SLOT IS : -1"));
    login(9, "alice", "pw1");
    const std::string out = log();
    std::size_t dropped = 0;
    for (auto at = out.find("did not log in within 10 seconds."); at != std::string::npos;
         at = out.find("did not log in within 10 seconds.", at + 1))
        ++dropped;
    EXPECT_EQ(dropped, 9u);
    EXPECT_TRUE(tenth.connected());
}

// A peer that floods the log costs it a bounded amount; what it caused is counted to
// the line, and its replies are all sent.
TEST_F(Loop, AFloodingPeerCostsTheLogABoundedAmount) {
    connect();
    ASSERT_TRUE(log_until("open socket"));
    const std::size_t from = log().size();
    c[0]->raw(std::string(10000, '\0'));  // 20,000 lines' worth of invalid requests
    EXPECT_THAT(sync(0), testing::IsEmpty());
    ::shutdown(c[0]->fd(), SHUT_WR);
    ASSERT_TRUE(c[0]->closed());
    ASSERT_TRUE(log_until("close socket"));
    const std::string out = log().substr(from);
    EXPECT_LT(out.size(), LOG_BURST_BYTES + 1024);
    unsigned long written = 0, left_out = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        unsigned long n = 0;
        if (std::sscanf(line.c_str(), "WARNING: %lu log lines caused by socket", &n) == 1)
            left_out += n;
        else if (line.rfind("close socket", 0) != 0)
            ++written;
    }
    EXPECT_EQ(written + left_out, 20003u);  // with the probe's two and the end of stream
}

// A log that nobody reads fills, drops lines and says how many once read again;
// a log whose reader has gone is left behind. Serving goes on throughout.
// On a pipe (a terminal is the same) and on a socket (the journal's).
class LogSinks : public Loop, public testing::WithParamInterface<bool> {};

TEST_P(LogSinks, TheLogNeverHoldsUpServing) {
    int pipe_fds[2];
    ASSERT_EQ(GetParam() ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, pipe_fds) : ::pipe(pipe_fds), 0);
    Fd reader(pipe_fds[0]), saved(::dup(1));
    ::dup2(pipe_fds[1], 1);
    ::close(pipe_fds[1]);
    log_open();
    const std::string filler(999, 'f');
    for (int i = 0; i < 5000; ++i) log_line("%s\n", filler.c_str());
    connect(), connect();
    login(0, "alice", "pw1");
    std::string out;
    for (auto end = support::deadline(); out.find("not read.\n") == std::string::npos;) {
        std::array<char, 65536> chunk;
        server_pass(1ms);
        const ssize_t n = ::read(reader.get(), chunk.data(), chunk.size());
        if (n > 0) out.append(chunk.data(), static_cast<std::size_t>(n));
        if (support::left_ms(end) == 0) break;
    }
    unsigned long dropped = 0;
    const auto warning = out.find("WARNING: ");
    ASSERT_NE(warning, std::string::npos);
    std::sscanf(out.c_str() + warning, "WARNING: %lu log lines were dropped", &dropped);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(std::count(out.begin(), out.begin() + warning, 'f') / 999 + dropped, 5000u);
    reader.reset();
    c[0]->send("NEWCONF#a");
    login(1, "bob", "pw2");  // no SIGPIPE, and still served
    EXPECT_EQ(c[0]->next(), "NEWCONF_ACK#a");
    EXPECT_FALSE(log_flush());  // nothing is kept for a log that is gone
    ::dup2(saved.get(), 1);
    log_reset();
}

INSTANTIATE_TEST_SUITE_P(Server, LogSinks, testing::Bool(),
                         [](const auto& test) { return test.param ? "Socket" : "Pipe"; });

// Client bytes in the log: C0 and C1 controls, in UTF-8 or raw, escaped; other text kept
// (NBSP, euro, e acute, CJK, half- and full-width forms, emoji, the last code point).
const std::string TEXT =
    "\xc2\xa0 \xe2\x82\xac \xc3\xa9 \xe6\x97\xa5 \xef\xbd\xb1\xef\xbc\x81 "
    "\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf";

struct Escape {
    std::string in, out;
};
void PrintTo(const Escape& e, std::ostream* os) {
    *os << testing::PrintToString(e.in.substr(0, 8));  // its first bytes
}
class Escapes : public testing::TestWithParam<Escape> {};

TEST_P(Escapes, ControlsInTheLog) {
    EXPECT_EQ(printable(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Server, Escapes,
    testing::Values(Escape{"\xc2\x9b"
                           "2J",
                           "\\xc2\\x9b2J"},
                    Escape{"a\xc2\x85z", "a\\xc2\\x85z"}, Escape{"\x9b", "\\x9b"},
                    Escape{"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},
                    Escape{"\x1b\t\x7f", "\\x1b\t\\x7f"},
                    Escape{"\xe2\x82", "\xe2\\x82"},          // a sequence cut short
                    Escape{"\xed\xa0\x80", "\xed\xa0\\x80"},  // a surrogate is no character
                    Escape{TEXT, TEXT}));

// A pass with no limit ends at once for a passed deadline, else sleeps until woken.
TEST_F(Loop, PassesWaitForWorkOrTheNextDeadline) {
    static volatile sig_atomic_t rang = 0;
    ::signal(SIGALRM, [](int) { rang = 1; });
    connect(), connect(), connect();
    login(2, "alice", "pw1");  // the second is in by now, and not logged in; the first too
    c[0]->reset();             // a free slot before it does not hide its deadline
    ASSERT_TRUE(log_until("Error occurred while receiving."));
    itimerval every{{0, 50000}, {0, 50000}};  // a tick ends any wait
    ::setitimer(ITIMER_REAL, &every, nullptr);
    now += std::chrono::seconds(LOGIN_TIMEOUT_S);
    server_pass();
    EXPECT_THAT(log(), HasSubstr("did not log in within"));
    int passes = 0;
    for (rang = 0; !rang; ++passes) server_pass();
    ::setitimer(ITIMER_REAL, &(every = {}), nullptr);
    EXPECT_EQ(passes, 1);
}

// Out of descriptors, a failed accept rests the listener; a descriptor beyond
// select's sets is never watched.
TEST_F(Loop, DescriptorsRunningOut) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    const rlimit old = lim;
    connect();
    lim.rlim_cur = static_cast<rlim_t>(::dup(2));  // the lowest free descriptor
    ::close(static_cast<int>(lim.rlim_cur));
    ::setrlimit(RLIMIT_NOFILE, &lim);
    for (int i = 0; i < 3; ++i) server_pass(5ms);
    ::setrlimit(RLIMIT_NOFILE, &old);
    for (int i = 0; i < 20; ++i) server_pass(1ms);
    EXPECT_THAT(log(), HasSubstr("ERROR: accept failed: Too many open files"));
    EXPECT_THAT(log(), testing::Not(HasSubstr("open socket")));
    now += ACCEPT_PAUSE;
    login(0, "alice", "pw1");
    lim.rlim_cur = std::min(old.rlim_max, std::max<rlim_t>(old.rlim_cur, FD_SETSIZE + 64));
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur < FD_SETSIZE + 64) GTEST_SKIP();
    std::vector<Fd> fill;
    // The peer's socket takes the last descriptor select can watch, the accepted one the first
    // it cannot.
    for (int fd = 0; fd >= 0 && fd < FD_SETSIZE - 2;) fill.emplace_back(fd = ::dup(2));
    EXPECT_TRUE(connect().closed());
    EXPECT_THAT(log(), HasSubstr("socket 1024 is beyond the select limit of 1024. closed."));
    server_stop();  // the server's and the peers' descriptors are taken too: the listener
    c.clear();      // is then 1024
    for (int fd = 0; fd >= 0 && fd < FD_SETSIZE - 1;) fill.emplace_back(fd = ::dup(2));
    EXPECT_EQ(server_start("0", ServerOptions{}), -1);
    EXPECT_THAT(log(), HasSubstr("ERROR: listening socket 1024 is beyond"));
}

// A stopped server frees its port, whatever descriptor its listener had (here 0).
TEST_F(Loop, StopFreesThePort) {
    server_stop();
    Fd sock(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
}

// Start-ups: the account file ("<dir>": a folder; "<zero>": a link to /dev/zero;
// "<none>": none); a command line and server_main's status, or none and the accounts
// the loader keeps ("id,password") and its result; what the log holds (empty: nothing).
struct StartUp {
    const char* name;
    std::string accounts;
    std::vector<std::string> args, loaded;
    int result;
    std::string line;
};
class StartUps : public Loop, public testing::WithParamInterface<StartUp> {};

TEST_P(StartUps, LoadTheAccountsOrRefuseToStart) {
    Fd taken(::dup(slots[0].fd.get()));  // the fixture's port stays in use
    const std::string& text = GetParam().accounts;
    ::unlink("accounts.csv");
    if (text == "<dir>") ::mkdir("accounts.csv", 0755);
    if (text == "<zero>") ::symlink("/dev/zero", "accounts.csv");
    if (text[0] != '<') dir.write("accounts.csv", text);
    std::vector<std::string> args = GetParam().args, got;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back((a = a == "taken" ? std::to_string(port) : a).data());
    const std::size_t from = log().size();  // the fixture's accounts stay loaded till then
    EXPECT_EQ(
        args.empty() ? read_accounts(::login, ::pass) : server_main(int(argv.size()), argv.data()),
        GetParam().result);
    for (int i = 0; i < MAX_ACCOUNTS && !::login[i].empty() && args.empty(); ++i)
        got.push_back(::login[i] + "," + ::pass[i]);
    EXPECT_THAT(got.size() == MAX_ACCOUNTS ? decltype(got){} : got,
                testing::ElementsAreArray(GetParam().loaded));
    std::string out = log().substr(from);
    if (args.empty() && !out.empty())  // the loader says nothing after giving up
        out.erase(0, out.rfind('\n', out.size() - 2) + 1);
    EXPECT_THAT(out, GetParam().line.empty() ? testing::Matcher<std::string>(testing::IsEmpty())
                                             : HasSubstr(GetParam().line));
}
const auto rows = [](int n) {
    std::string t;
    while (n--) t += std::to_string(n) + ",p\n";
    return t;
};
const std::string ID(4094, 'i'), BOM = "\xEF\xBB\xBF";
const std::string BLANK =
    "WARNING: accounts.csv line 3: a blank around the login ID or password. kept as written.\n";

const std::string PORT = "ERROR: The port must be a number from 1 to 65535 or a service name.\n";

INSTANTIATE_TEST_SUITE_P(
    Server, StartUps,
    testing::Values(
        StartUp{"NoArgument", "a,1", {"server"}, {}, 1, "\nUSE: server <TCP port number"},
        StartUp{"TwoArguments", "a,1", {"server", "5000", "6000"}, {}, 1, "USE: server"},
        StartUp{"Zero", "a,1", {"server", "0"}, {}, 1, PORT},
        StartUp{"Wraps", "a,1", {"server", "99999"}, {}, 1, PORT},
        StartUp{"NotANumber", "a,1", {"server", "+80"}, {}, 1, PORT},
        StartUp{"NoSuchService", "a,1", {"server", "nosuchservice"}, {}, 1, PORT},
        StartUp{"PortInUse", "a,1", {"server", "taken"}, {}, 2, "server: failed to bind\n"},
        StartUp{"LongIdListedWhole",
                ID + ",p",
                {"server", "taken"},
                {},
                2,
                "login:" + ID + "\t pass:******\n"},
        StartUp{"Duplicates", "a,1\nb,2\na,3", {"server", "65535"}, {}, 1, "'a' on lines 1 and 3."},
        StartUp{"EditorLeftovers", BOM + "a,1\r\n\nb,2,x", {}, {"a,1", "b,2"}, 2, ""},
        StartUp{
            "HashFields", "a,$y$j7T$s$h,x\nb,$6$s$h\n", {}, {"a,$y$j7T$s$h", "b,$6$s$h"}, 2, ""},
        StartUp{"MissingFields", "a,1\n,pw\nbob,\nlone\n", {}, {"a,1"}, 1, "line 4 has no login"},
        StartUp{"LongLines", ID + ",p\n" + ID + ",pw\n", {}, {ID + ",p"}, 1, "line 2 has no"},
        StartUp{"BlanksKept", "a,1\n\tb,2\nc,3 \n", {}, {"a,1", "\tb,2", "c,3 "}, 3, BLANK},
        StartUp{"HashInId", "a#b,pw\nb,2\n", {}, {"b,2"}, 1, "line 1: the login ID holds '#'."},
        StartUp{"AtMost500", rows(502), {}, {}, 500, "more than 500 accounts. line 501"},
        StartUp{
            "Folder", "<dir>", {}, {}, -1, "WARNING: cannot read accounts.csv: Is a directory\n"},
        StartUp{
            "Missing", "<none>", {}, {}, -1, "WARNING: accounts.csv not found in /tmp/conftest"},
        StartUp{"EndlessDevice", "<zero>", {}, {}, 0, "passes 4194304 bytes. line 1 and the rest"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
