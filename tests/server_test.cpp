// The server in the test's own process, on a free port, driven pass by pass
// with its clock in the test's hands: requests and replies over loopback
// connections, every way a connection ends, the deadlines, and the account
// file as an operator's editor may leave it.
#include "server.hpp"

#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <map>
#include <memory>

#include "accounts.hpp"
#include "support.hpp"

using namespace std::chrono_literals;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;

namespace {

std::string cut(const std::string& s) {
    return s.substr(0, 499);
}

class Loop : public testing::Test {
protected:
    void SetUp() override {
        dir.write("accounts.csv", "alice,pw1\nbob,pw2\ncarol,pw3\ndave,pw4\nerin,p#5\n");
        ASSERT_EQ(::chdir(dir.path.c_str()), 0);
        testing::internal::CaptureStdout();
        ServerOptions options;
        options.clock = [this] { return now; };
        ASSERT_GT(port = server_start("0", options), 0);
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
};

// Steps "k:request" from client k; then, per client, "k:message" it got.
struct Script {
    const char* name;
    std::vector<std::string> steps, expect;
};
void PrintTo(const Script& s, std::ostream* os) {
    *os << s.name;
}

class Requests : public Loop, public testing::WithParamInterface<Script> {};

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
        EXPECT_THAT(msgs, ElementsAreArray(want[k])) << "client " << k;
    }
}

const std::string N(490, 'n'), S490(490, 's'), A300(300, 'a'), B300(300, 'b');
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
        Script{"CreateJoinAndNoticesToEarlierMembers",
               {"0:LOGIN#alice#pw1", "1:LOGIN#bob#pw2", "2:LOGIN#carol#pw3", "0:NEWCONF#lobby",
                "1:NEWCONF#lobby", "1:JOIN#lobby", "2:JOIN#lobby", "0:JOIN#lobby", "1:JOIN#Lobby",
                "3:NEWCONF#x", "3:JOIN#x", "3:LEAVE", "3:MSG#lobby#hi", "3:QRY", "3:QRYME"},
               {"0:LG_ACK", "0:NEWCONF_ACK#lobby", "0:[lobby] bob has joined the session.",
                "0:[lobby] carol has joined the session.", "0:JOIN_NACK#lobby#4", "1:LG_ACK",
                "1:NEWCONF_NACK#lobby#2", "1:JOIN_ACK#lobby",
                "1:[lobby] carol has joined the session.", "1:JOIN_NACK#Lobby#2", "2:LG_ACK",
                "2:JOIN_ACK#lobby", "3:NEWCONF_NACK#x#1", "3:JOIN_NACK#x#1", "3:QRY_NACK",
                "3:QRYME_NACK"}},
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
             "0:NEWCONF#b#", "0:QRYME#x", "1:JOIN#a", "0:LEAVE", "1:QRY", "2:NEWCONF#b", "0:JOIN#a",
             "0:LEAVE#a#b#a", "1:QRYME", "2:LEAVE#"},
            {"0:LG_ACK", "0:NEWCONF_ACK#a", "0:NEWCONF_ACK#b#", "0:QRYME_ACK#a#b#",
             "0:[a] bob has joined the session.", "0:LEAVE_ACK#a", "0:LEAVE_ACK#b#", "0:JOIN_ACK#a",
             "0:LEAVE_ACK#a", "0:LEAVE_NACK#b", "0:LEAVE_NACK#a", "1:LG_ACK", "1:JOIN_ACK#a",
             "1:QRY_ACK#alice:bob#a:carol", "1:[a] alice has joined the session.", "1:QRYME_ACK#a",
             "2:LG_ACK", "2:NEWCONF_ACK#b"}},
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

// The command line: each refusal is printed and ends with its status.
class Program : public Loop, public testing::WithParamInterface<Script> {};

TEST_P(Program, RefusesToStart) {
    Fd taken(::socket(AF_INET6, SOCK_STREAM, 0));  // a port that is in use
    sockaddr_in6 addr{AF_INET6, 0, 0, {}, 0};
    socklen_t len = sizeof addr;
    ::bind(taken.get(), reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(taken.get(), 1);
    ::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    std::vector<std::string> args = GetParam().steps;
    if (args.size() > 1 && args[1] == "taken") args[1] = std::to_string(ntohs(addr.sin6_port));
    if (args.size() > 1 && args[1] == "65535") dir.write("accounts.csv", "a,1\nb,2\na,3\n");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    EXPECT_EQ(server_main(static_cast<int>(argv.size()), argv.data()),
              std::stoi(GetParam().expect[0]));
    EXPECT_THAT(log(), HasSubstr(GetParam().expect[1]));
}

const std::string PORT = "ERROR: The port must be a number from 1 to 65535 or a service name.\n";

INSTANTIATE_TEST_SUITE_P(
    Server, Program,
    testing::Values(Script{"NoArgument", {"server"}, {"1", "\nUSE: server <TCP port number"}},
                    Script{"TwoArguments", {"server", "5000", "6000"}, {"1", "USE: server"}},
                    Script{"Zero", {"server", "0"}, {"1", PORT}},
                    Script{"Wraps", {"server", "99999"}, {"1", PORT}},
                    Script{"NotANumber", {"server", "+80"}, {"1", PORT}},
                    Script{"NoSuchService", {"server", "nosuchservice"}, {"1", PORT}},
                    Script{"Duplicates", {"server", "65535"}, {"1", "ID 'a' on lines 1 and 3.\n"}},
                    Script{"PortInUse", {"server", "taken"}, {"2", "server: failed to bind\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every way a connection ends frees its slot, its buffers and the listener.
enum class End { logout, eof, reset, overflow, queue_drop, login_time };
class Ends : public Loop, public testing::WithParamInterface<End> {};

TEST_P(Ends, FreeTheSlotAndResumeTheListener) {
    const End way = GetParam();
    for (int k = 0; k < 9; ++k) connect();
    login(0, "alice", "pw1");
    login(1, "bob", "pw2");
    if (way != End::login_time) login(8, "erin", "p#5");
    support::Client &tenth = connect(), &victim = *c[8];
    ASSERT_TRUE(log_until("THE NEXT EMPTY SLOT IS : -1"));
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
    EXPECT_THAT(log(), HasSubstr(way == End::logout ? "Close Socket#" : "close socket"));
    EXPECT_THAT(sync(1), testing::IsEmpty());  // the others are still served
}

INSTANTIATE_TEST_SUITE_P(Server, Ends,
                         testing::Values(End::logout, End::eof, End::reset, End::overflow,
                                         End::queue_drop, End::login_time));

// A peer that half-closes after a burst of requests is cleaned out at once
// and gets every reply before the close, or what CLOSE_TIMEOUT allows.
TEST_F(Loop, HalfClosedPeerGetsItsRepliesThenTheClose) {
    for (const std::string id : {"alice", "bob"}) {
        support::Client& peer = connect();
        login(static_cast<int>(c.size()) - 1, id, id == "alice" ? "pw1" : "pw2");
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
        EXPECT_TRUE(id == "alice" || log_until(closed));
        std::vector<std::string> got;
        EXPECT_TRUE(peer.closed(&got));
        EXPECT_THAT(got, testing::Each("QRY_ACK#" + id + "#" + name));
        EXPECT_EQ(got.size() == 1000u, id == "alice");
    }
}

TEST_F(Loop, LoginTimeLimitSparesLoggedInUsers) {
    connect();
    connect();
    login(0, "alice", "pw1");
    if (connect("::1").connected()) login(2, "bob", "pw2");  // over IPv6 where there is one
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
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(c[0]->next(50), std::nullopt);
        now += REFUSED_LOGIN_INTERVAL;
        EXPECT_EQ(c[0]->next(), "LG_NACK#4");
    }
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

// With descriptors 0..FD_SETSIZE-1 taken, what the server opens next is
// beyond select's sets and is never watched.
TEST_F(Loop, DescriptorsBeyondSelectAreRefused) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min(lim.rlim_max, std::max<rlim_t>(lim.rlim_cur, FD_SETSIZE + 64));
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur < FD_SETSIZE + 64) GTEST_SKIP();
    std::vector<Fd> fill;
    for (int fd = 0; fd >= 0 && fd < FD_SETSIZE;) fill.emplace_back(fd = ::dup(0));
    EXPECT_TRUE(connect().closed());
    EXPECT_THAT(log(), HasSubstr("is beyond the select limit of 1024. closed."));
    server_stop();  // its descriptors below the limit are taken too
    for (int fd = 0; fd >= 0 && fd < FD_SETSIZE;) fill.emplace_back(fd = ::dup(0));
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
    std::string want, got;
    char chunk[777];
    for (int i = 0; i < 100000 && (i < 400 || got.size() < want.size()); ++i) {
        if (i < 400) {
            const std::string text(static_cast<std::size_t>(i % 499), char('a' + i % 26));
            queue_send(sv[1], text);
            want += text + '\0';
        }
        flush_slot(1);
        const ssize_t n = i % 3 == 0 ? ::recv(reader.get(), chunk, sizeof chunk, MSG_DONTWAIT) : 0;
        if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(got == want);
    reset_connections();
}

struct File {
    const char* name;
    std::string text;
    int result;
    std::vector<std::string> accounts;  // "id,password"
    std::string warning;                // printed when not empty
};
void PrintTo(const File& f, std::ostream* os) {
    *os << f.name;
}

class Loader : public testing::TestWithParam<File> {};

TEST_P(Loader, StoresTheAccountsAndWarns) {
    support::TempDir dir;
    const std::string path = dir.write("accounts.csv", GetParam().text);
    int n = 0;
    registry_reset();
    const std::string log = support::printed([&] { n = read_accounts(login, pass, path.c_str()); });
    EXPECT_EQ(n, GetParam().result);
    std::vector<std::string> got;
    for (int i = 0; i < MAX_ACCOUNTS && !login[i].empty(); ++i)
        got.push_back(login[i] + "," + pass[i]);
    EXPECT_THAT(n == MAX_ACCOUNTS ? decltype(got){} : got, ElementsAreArray(GetParam().accounts));
    EXPECT_THAT(log, GetParam().warning.empty() ? testing::Matcher<std::string>(testing::IsEmpty())
                                                : HasSubstr(GetParam().warning));
}

std::string many(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "u" + std::to_string(i) + ",p\n";
    return s;
}
const std::string ID(4094, 'i');

INSTANTIATE_TEST_SUITE_P(
    Server, Loader,
    testing::Values(
        File{"EditorLeftovers",
             "\xEF\xBB\xBF"
             "a,1\r\n\nb,2,x",
             2,
             {"a,1", "b,2"},
             ""},
        File{"MissingFields", "a,1\n,pw\nbob,\nlone\n", 1, {"a,1"}, "line 4 has no login ID"},
        File{
            "LinesOver4096AreSkipped", ID + ",p\n" + ID + ",pw\n", 1, {ID + ",p"}, "line 2 has no"},
        File{"HashInId", "a#b,pw\nb,2\n", 1, {"b,2"}, "line 1: the login ID holds '#'. skipped.\n"},
        File{"AtMost500", many(501), 500, {}, "more than 500 accounts. line 501"},
        File{"Duplicate", "a,1\nb,2\n\na,3\n", -2, {"a,1", "b,2"}, "ID 'a' on lines 1 and 4.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Loader, UnreadableFilesGiveMinusOneAndSayWhy) {
    support::TempDir dir;
    ASSERT_EQ(::chdir(dir.path.c_str()), 0);
    ASSERT_EQ(::mkdir("accounts.csv", 0755), 0);
    auto load = [] { EXPECT_EQ(read_accounts(login, pass), -1); };
    EXPECT_EQ(support::printed(load), "WARNING: cannot read accounts.csv: Is a directory\n");
    ASSERT_EQ(::rmdir("accounts.csv"), 0);
    EXPECT_EQ(support::printed(load), "WARNING: accounts.csv not found in " + dir.path + "\n");
    // A link to an endless device is read no further than a sane file's size.
    ASSERT_EQ(::symlink("/dev/zero", "accounts.csv"), 0);
    EXPECT_THAT(support::printed([] { EXPECT_EQ(read_accounts(login, pass), 0); }),
                HasSubstr("line 1 and the rest ignored"));
    ASSERT_EQ(::chdir("/"), 0);
}

}  // namespace
