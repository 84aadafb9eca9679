// The client's loop as a program on piped keyboard input, against a
// loopback listener playing a server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "main_loop.hpp"
#include "support.hpp"

namespace {

using namespace std::string_literals;
using std::string;

const string LOGIN_SENT =
    "STATUS: Connecting to the server...\nSTATUS: Extracting server information...\n"
    "STATUS: Successfully connected to the server. Sending login info...\n";
const string LOGGED_IN = LOGIN_SENT + "STATUS: Login successful!\n: ";
const string LOGGED_OUT = "STATUS: Successfully logged out from the server.\n";
const string STILL_WAITING =
    "STATUS: The login still waits for the server's answer; /quit gives it up.\n";

// This program run again as the client, its keyboard lines as a script's
// ("-") or typed as things happen ("typed"); shown() is its output after the banner.
struct Client : support::Child {
    explicit Client(const char* idle_ms, const char* keyboard = "-", const char* login_ms = "70000")
        : Child({"/proc/self/exe", keyboard, idle_ms, login_ms}, ".") {}
    string shown() const {
        return output().substr(output().find("/help for the commands.\n") + 24);
    }
};

// A loopback listener for one client.
struct Server {
    Fd sock{::socket(AF_INET, SOCK_STREAM, 0)}, conn;
    string login, got;
    Server() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(sock.get(), reinterpret_cast<sockaddr*>(&a), len);
        ::listen(sock.get(), 1);
        ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&a), &len);
        login = "/login alice alice1 127.0.0.1 " + std::to_string(ntohs(a.sin_port)) + "\n";
    }
    // Takes the client's connection and login request and answers with `reply`.
    bool accept_login(const string& reply = "LG_ACK\0"s) {
        pollfd p{sock.get(), POLLIN, 0};
        if (::poll(&p, 1, support::WAIT_MS) == 1) conn.reset(::accept(sock.get(), nullptr, 0));
        return reads("LOGIN#alice#alice1\0"s) && (reply.empty() || send(reply));
    }
    bool send(const string& bytes) {
        return ::send(conn.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0;
    }
    // Reads until the client has sent `want` ("": until it closes).
    bool reads(const string& want) {
        const auto end = support::deadline(support::WAIT_MS);
        for (char c[4096]; want.empty() || got.find(want) == string::npos;) {
            pollfd p{conn.get(), POLLIN, 0};
            const ssize_t n = ::poll(&p, 1, support::left_ms(end)) == 1 ? ::read(p.fd, c, 4096) : 0;
            if (n <= 0) return want.empty() && n == 0;
            got.append(c, n);
        }
        return true;
    }
};

// Server bytes are read before a waiting script line; half a message then
// silence holds nothing; the next login starts afresh, without a session.
TEST(ClientMainLoop, ServerFirstAndNeverHeldByHalfAMessage) {
    Server server;
    Client client("200");
    client.send(server.login + "/msg lobby hi\n");
    ASSERT_TRUE(server.accept_login("LG_ACK\0[lobby] bob says: \x1b[2Jhi\0"s));
    ASSERT_TRUE(server.reads("MSG#lobby#hi\0"s) && server.send("[lobby] bob says: h"));
    ASSERT_TRUE(server.reads("LOGOUT\0"s) && client.wait_for(LOGGED_OUT + ": "));
    client.send(server.login + "/quit\n");
    ASSERT_TRUE(server.accept_login("LG_ACK\0JOIN_ACK#x\0"s));
    EXPECT_EQ(client.exit_status(), 0);
    EXPECT_EQ(client.shown(), ": " + LOGGED_IN + "[lobby] bob says: ^[[2Jhi\n: @lobby: " +
                                  "STATUS: Client inactive for 0 minutes and 0 seconds. "
                                  "Logging out!\n" +
                                  LOGGED_OUT + ": " + LOGGED_IN +
                                  "STATUS: Joined session 'x' successfully!\n: " + LOGGED_OUT);
}

// A login the server never answers, while keys are typed at the client and
// its input ends (in the last row once the time limit has shown): what it
// shows and what the server gets before the connection ends.
struct WaitCase {
    string keys, shown, sent;
    bool end_input_at_once = true;
    const char* login_ms = "60000";
};
const char* const WAIT_ENDS[] = {"Quit", "EndOfInput", "TimeLimit"};
void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.keys);
}
class LoginWait : public testing::TestWithParam<WaitCase> {};
TEST_P(LoginWait, EndsOnQuitEndOfInputOrTimeLimit) {
    const WaitCase& c = GetParam();
    Server server;
    Client client("60000", "typed", c.login_ms);
    client.send(server.login);
    ASSERT_TRUE(server.accept_login("") && client.wait_for(LOGIN_SENT));
    client.send(c.keys);
    if (c.end_input_at_once || client.wait_for(c.shown)) client.close_input();
    EXPECT_EQ(client.exit_status(), 0);
    EXPECT_EQ(client.shown(), ": " + LOGIN_SENT + c.shown);
    EXPECT_TRUE(server.reads(""));
    EXPECT_EQ(server.got, "LOGIN#alice#alice1\0"s + c.sent);
}
INSTANTIATE_TEST_SUITE_P(
    Client, LoginWait,
    testing::Values(
        WaitCase{"hi\n\n/quit\n", ": " + STILL_WAITING + ": : " + LOGGED_OUT, "LOGOUT\0"s},
        WaitCase{"", ": " + LOGGED_OUT, "LOGOUT\0"s},
        WaitCase{"", ": ERROR: No answer from the server. Login abandoned.\n: ", "", false, "300"}),
    [](const auto& row) { return WAIT_ENDS[row.index]; });

// Its own arguments, run as conference-client: its exit status and what it prints on
// the stream kept (the other is dropped). No arguments: the tests above.
struct Args {
    const char *name, *args, *dropped;
    int status;
    string shown;
};
const string USAGE =
    "Usage: conference-client [--help | --version]\nA terminal client for a conference server: "
    "log in, create and join sessions\nand talk with their members. Commands are typed at its "
    "prompt (/help lists\nthem). See the manual page conference-client(1).\n";
void PrintTo(const Args& row, std::ostream* os) {
    *os << row.args;
}
class CommandLine : public testing::TestWithParam<Args> {};
TEST_P(CommandLine, HelpVersionOrUsageError) {
    const string script = "exec -a /usr/bin/conference-client \"$0\" " + string(GetParam().args) +
                          " " + GetParam().dropped + ">/dev/null </dev/null";
    support::Child client({"/bin/bash", "-c", script, CLIENT_PROGRAM}, ".");
    EXPECT_EQ(client.exit_status(), GetParam().status);
    EXPECT_EQ(client.output(), GetParam().shown);
}
INSTANTIATE_TEST_SUITE_P(
    Client, CommandLine,
    testing::Values(Args{"Help", "--help", "2", 0, USAGE}, Args{"H", "-h", "2", 0, USAGE},
                    Args{"Version", "--version", "2", 0, "conference-client 1.0.0\n"},
                    Args{"Unknown", "--helps", "1", 2, USAGE}, Args{"Two", "-h -h", "1", 2, USAGE},
                    Args{"Empty", "''", "1", 2, USAGE}),
    [](const auto& row) { return string(row.param.name); });

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (argv[1] == string("-") || argv[1] == string("typed"))) {
        using std::chrono::milliseconds;
        return run_client(STDIN_FILENO, {milliseconds(std::atol(argv[2])),
                                         milliseconds(std::atol(argv[3])), argv[1] != string("-")});
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
