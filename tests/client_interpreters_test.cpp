// The client's interpreters over socket pairs: keyboard lines (bytes sent,
// lines shown, state left) and server bytes to the login or the receiver.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <clocale>

#include "client_state.hpp"
#include "connection.hpp"
#include "history.hpp"
#include "line_editor.hpp"
#include "receiver.hpp"
#include "sender.hpp"
#include "support.hpp"
#include "validation.hpp"
#include "wrap.hpp"

namespace {

using namespace std::string_literals;
using std::string;
using support::printed;
const string LOGIN_OK = "STATUS: Login successful!\n";

std::pair<Fd, Fd> socket_pair() {
    int sv[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    return {Fd(sv[0]), Fd(sv[1])};
}
string drain(int fd) {
    string out(65536, '\0');
    out.resize(std::max<ssize_t>(::recv(fd, out.data(), out.size(), MSG_DONTWAIT), 0));
    return out;
}

enum Link { OFF, ON, GONE };  // not connected, connected, connected to a server that has gone
using State = ServerConnection::State;
struct LineCase {
    Link link;
    string session, keys, sent, shown, session_after{};
    std::optional<State> state{};  // the connection's state after, when it changed
};
void PrintTo(const LineCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.keys.substr(0, 40));
}
class Sender : public testing::TestWithParam<LineCase> {};
TEST_P(Sender, CarriesOutEveryLine) {
    const LineCase& c = GetParam();
    auto [mine, peer] = socket_pair();
    auto keys = socket_pair();  // typed at .second, read at .first
    ::send(keys.second.get(), c.keys.data(), c.keys.size(), 0);
    keys.second.reset();
    if (c.link == GONE) peer.reset();
    LineReader keyboard(keys.first.get());
    ServerConnection serverSocket;
    if (c.link != OFF) serverSocket.open(std::move(mine));
    const State before = serverSocket.state();
    lastSession = c.session;
    int unread = 0;
    EXPECT_EQ(
        printed([&] {  // every line typed, and no more: the end of input acts as /quit
            do {
                errno = EINTR;  // as a select that a signal cut short leaves it
                sender(serverSocket, keyboard);
            } while ((keyboard.ready() || (::ioctl(keys.first.get(), FIONREAD, &unread), unread)) &&
                     serverSocket.state() != State::quit_requested);
        }),
        c.shown);
    EXPECT_EQ(serverSocket.state(), c.state.value_or(before));
    EXPECT_EQ(lastSession, c.session_after);
    EXPECT_EQ(peer.valid() ? drain(peer.get()) : "", c.sent);
}
const string HELP =
    "/login [-tls] <clientID> <password> <serverIP> <serverPort>\tTo log in to the server (-tls: "
    "encrypted, the server verified first).\n/logout\tTo logout from the server.\n/quit\tTo "
    "exit the program (logging out if need be).\n/create <sessionID>\tTo create a conference.\n"
    "/join <sessionID>\tTo join a conference.\n/leave\tTo leave all conferences.\n/leave "
    "<sessionID> ...\tTo leave conferences.\n/qry\tLists users online and the sessions they are "
    "part of.\n/qryme\tLists the sessions you are part of.\n/msg <sessionID> <text>\tTo send a "
    "message to that particular session (then lines without / go there too).\n/help\tTo list "
    "these commands.\n/ls\tTo list these commands.\n";
const string NOT_IN = "ERROR: Invalid command! You aren't logged in!\n";
const string TOO_LONG =
    "ERROR: buffer entered is too large to fit in buffer which is of size 500 bytes.\n";
const string CHARS = " contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n";
const string B = "ERROR: sessionID, b!," + CHARS +
                 "ERROR: Ignoring the incorrect session name, 'b!' and continuing.\n";
const string PORT_RANGE =
    "ERROR: The server port number must be greater than 1023 and less than 65536.\n";
const string PORT_NUM = "ERROR: The server port must be a NUMBER.\n";
const string OUT = "STATUS: Successfully logged out from the server.\n";
const string X489(489, 'x');
INSTANTIATE_TEST_SUITE_P(
    Client, Sender,
    testing::Values(
        LineCase{OFF, "", "/ls more\n/help\n/LS\n/lsx\n/join a\nhi\n \n\n\0/ls\n"s, "",
                 HELP + HELP + NOT_IN + NOT_IN + NOT_IN + NOT_IN +
                     "ERROR: Don't start input with whitespace.\n"},
        LineCase{OFF, "", string(499, 'x') + "\n" + string(500, 'x') + "\n/ls\n", "",
                 NOT_IN + TOO_LONG + HELP},
        LineCase{OFF, "", string(500, 'x'), "", TOO_LONG},
        LineCase{OFF, "", string(5000, 'x') + "\n/logout\n/quit\n", "",
                 TOO_LONG + "ERROR: You cannot log out because you are not logged in!\n", "",
                 State::quit_requested},
        LineCase{OFF, "",
                 "/login Az09Az09Az0 a h 1\n/login al\xe9 a h 1\n/login Az09Az09Az aB3dE67 h 1\n"
                 "/login a aB3dE6 h 1023\n/login a a h 65536\n/login a a h 99999999999999999999\n"
                 "/login a a h +2000\n/login a a ::1 5000 x\n/login a\n/login a a\n/login a a#\n"
                 "/login a a h\n",
                 "",
                 "ERROR: ClientID length must be between 1-10.\nERROR: clientID" + CHARS +
                     "ERROR: Password length must be between 1-6.\n" + PORT_RANGE + PORT_RANGE +
                     PORT_RANGE + PORT_NUM + PORT_NUM +
                     "ERROR: No password entered.\nERROR: No serverIP entered.\nERROR: Password" +
                     CHARS + "ERROR: No serverPort entered.\n"},
        LineCase{OFF, "", "", "", "", "", State::quit_requested},
        LineCase{ON, "", "/create lobby\n/join lobbylobby\n/leave\n/qry all\n/qryme\n",
                 "NEWCONF#lobby\0JOIN#lobbylobby\0LEAVE\0QRY\0QRYME\0"s,
                 "STATUS: Request to create session 'lobby' has been sent to the server.\n"
                 "STATUS: Request to join session 'lobbylobby' has been sent to the server.\n"
                 "STATUS: Request to leave sessions was sent to the server.\n"
                 "STATUS: Query request sent successfully.\n"
                 "STATUS: Query me request sent successfully.\n"},
        LineCase{
            ON, "", "/login\n/create \n/msg\n/create  a\n/join dev_1dev_1_\nhi\n/Qry\n/msg a\n", "",
            "ERROR: You are already logged in!\nERROR: No sessionID entered.\n"
            "ERROR: No sessionID entered.\nERROR: sessionID,  a," +
                CHARS +
                "ERROR: SessionID, dev_1dev_1_, length must be between 1-10.\n"
                "ERROR: Invalid command!\nERROR: Invalid command!\nERROR: No message entered!\n"},
        LineCase{ON, "", "/leave b!\n/leave  a b! a \n", "LEAVE#a#a\0"s,
                 B + "ERROR: Invalid leave request.\n" + B +
                     "STATUS: Request to leave sessions was sent to the server.\n"},
        LineCase{ON, "", "/msg lobby  a#b:c\n\thi\n/msg dev hi\nagain\n/qry\n",
                 "MSG#lobby# a#b:c\0MSG#lobby#\thi\0MSG#dev#hi\0MSG#dev#again\0QRY\0"s,
                 "STATUS: Query request sent successfully.\n", "dev"},
        LineCase{ON, "lobby", X489 + "\n" + X489 + "x\n", "MSG#lobby#" + X489 + '\0',
                 "ERROR: Send buffer size exceeded by 1 bytes.\n"
                 "ERROR: message couldn't be sent to the server.\n",
                 "lobby"},
        LineCase{ON, "lobby", "/logout\n", "LOGOUT\0"s, OUT, "", State::not_connected},
        LineCase{ON, "lobby", "/quit\n", "LOGOUT\0"s, OUT, "", State::quit_requested},
        LineCase{GONE, "lobby", "/logout\n", "",
                 "ERROR: Error occurred while sending.\n"
                 "ERROR: Logout unsuccessful because sending was unsuccessful.\n"}));

TEST(Receiver, NothingWaitingIsNoEvent) {
    auto [mine, peer] = socket_pair();
    ServerConnection serverSocket;
    serverSocket.open(std::move(mine));
    bool shown = true;
    EXPECT_EQ(printed([&] { shown = receiver(serverSocket); }), "");
    EXPECT_FALSE(shown);
    EXPECT_TRUE(serverSocket.connected());
}

// A server that resets the connection logs the client out, as one that closes it does.
TEST(Receiver, AResetConnectionLogsOut) {
    Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), size), 0);
    ::listen(listener.get(), 1);
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &size);
    ServerConnection serverSocket;
    printed([&] {
        serverSocket.open(connect_to_server("127.0.0.1", std::to_string(ntohs(addr.sin_port))));
    });
    Fd peer(::accept(listener.get(), nullptr, nullptr));
    const linger reset{1, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    peer.reset();
    pollfd ready{serverSocket.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, support::WAIT_MS), 1);
    bool shown = false;
    EXPECT_EQ(printed([&] { shown = receiver(serverSocket); }),
              "ERROR: Error occurred while receiving.\nSTATUS: Logging out...\n");
    EXPECT_TRUE(shown);  // the loop draws the prompt again
    EXPECT_FALSE(serverSocket.connected());
}

// Every command the dispatcher knows has its help line and is completed by Tab.
TEST(Commands, EachIsHelpedAndCompleted) {
    const string help = "\n" + printed(sender_ls_cmd);
    for (const Command& c : command_table()) {
        const string usage =
            string(c.word) + (c.arguments.empty() ? "" : " ") + string(c.arguments);
        EXPECT_NE(help.find("\n" + usage + "\t" + string(c.help) + "\n"), string::npos) << usage;
        const auto all = command_words("/"), own = command_words(c.word);  // each once
        EXPECT_TRUE(std::count(all.begin(), all.end(), c.word) == 1 && own.at(0) == c.word)
            << usage;
    }
}

// Server text at a terminal 10 columns wide: a row that does not fit goes on
// below the continuation marker, never splitting a character.
struct Wrap {
    const char *name, *text, *rows;
};
class Wrapping : public testing::TestWithParam<Wrap> {};
TEST_P(Wrapping, MarksEveryFurtherRow) {
    const string before = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
    std::size_t column = 0;
    EXPECT_EQ(wrap_rows(GetParam().text, 10, column), GetParam().rows);
    std::setlocale(LC_CTYPE, before.c_str());
    EXPECT_EQ(column, 0u);
}
INSTANTIATE_TEST_SUITE_P(
    Client, Wrapping,
    testing::Values(Wrap{"Shorter", "[a] b: hi\n", "[a] b: hi\n"},
                    Wrap{"Exact", "0123456789\n", "0123456789\n"},
                    Wrap{"OneOver", "0123456789[a] c: x\n", "0123456789\n| [a] c: x\n"},
                    Wrap{"ThreeRows", "0123456789abcdefghij\n", "0123456789\n| abcdefgh\n| ij\n"},
                    Wrap{"AccentFits", "012345678\xc3\xa9\n", "012345678\xc3\xa9\n"},
                    Wrap{"WideMoves", "012345678\xe4\xb8\xad\n", "012345678\n| \xe4\xb8\xad\n"},
                    Wrap{"TabOver", "0123456789\tx\n", "0123456789\n| \tx\n"}),
    [](const auto& row) { return string(row.param.name); });

TEST(ClientValidation, PortBoundsPass) {
    EXPECT_EQ(chk_serverPort("1024") + chk_serverPort("65535"), 0);
}

// The history file: where it goes, its modes, its last 1,000 lines, and a line that
// logs in, in any case and after blanks, never written ("state": under $HOME).
struct Kept {
    const char *name, *state, *file;
    int lines;
};
void PrintTo(const Kept& row, std::ostream* os) {
    *os << row.name;
}
class History : public testing::TestWithParam<Kept> {};
TEST_P(History, KeepsTheLastLinesButNoLogin) {
    support::TempDir home;
    const string state = GetParam().state, file = home.path + GetParam().file;
    ::setenv("HOME", home.path.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (state[0] == '/' ? home.path + state : state).c_str(), 1);
    ASSERT_EQ(history_path(), file);
    for (int i = 0; i < GetParam().lines; ++i)
        EXPECT_TRUE(save_history_line(file, "/msg a " + std::to_string(i)) &&
                    !save_history_line(file, " \t/LOGIN a pw h 1"));
    struct stat mode {
    }, folder{};
    ::stat(file.c_str(), &mode), ::stat(file.substr(0, file.rfind('/')).c_str(), &folder);
    EXPECT_EQ(std::pair(mode.st_mode & 0777, folder.st_mode & 0777), std::pair(0600u, 0700u));
    std::ifstream text(file);
    EXPECT_EQ(string(std::istreambuf_iterator<char>(text), {}).find("LOGIN"), string::npos);
    EXPECT_EQ(load_history(file).size(), std::min(GetParam().lines, 1000));
    EXPECT_EQ(load_history(file).back(), "/msg a " + std::to_string(GetParam().lines - 1));
}
INSTANTIATE_TEST_SUITE_P(
    Client, History,
    testing::Values(Kept{"StateHome", "/s", "/s/conference/history", 1001},
                    Kept{"RelativeIgnored", "s", "/.local/state/conference/history", 2},
                    Kept{"EmptyIgnored", "", "/.local/state/conference/history", 1}),
    [](const auto& row) { return string(row.param.name); });

// What the server sends, in pieces, each followed by one call of the reply
// interpreter or, while a login waits (sent with the first), of its reply
// reader, with errno as an earlier call may have left it; "": the server
// closes; "-": it has gone.
struct ReplyCase {
    std::vector<string> pieces;
    string shown;
    bool login = false;
};
void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.pieces[0].substr(0, 40));
}
class FromServer : public testing::TestWithParam<ReplyCase> {};
TEST_P(FromServer, IsShown) {
    const ReplyCase& c = GetParam();
    auto [mine, peer] = socket_pair();
    ServerConnection serverSocket;
    serverSocket.open(std::move(mine));
    string shown;
    lastSession = "a";
    for (const string& piece : c.pieces) {
        if (piece == "-")
            peer.reset();
        else if (piece.empty())
            ::shutdown(peer.get(), SHUT_WR);
        else
            ::send(peer.get(), piece.data(), piece.size(), 0);
        shown += printed([&] {
            errno = EAGAIN;
            if (c.login && &piece == &c.pieces[0]) login(serverSocket, "alice", "pw#1");
            if (serverSocket.logging_in())
                take_login_reply(serverSocket);
            else if (serverSocket.connected())
                receiver(serverSocket);
        });
    }
    EXPECT_EQ(shown, c.shown);
    const bool closed = c.login ? c.shown.rfind(LOGIN_OK, 0) != 0 : c.pieces.back().empty();
    EXPECT_EQ(serverSocket.connected(), !closed);
    EXPECT_EQ(lastSession, closed ? "" : "a");  // the session ends with the connection
    if (!peer.valid()) return;
    EXPECT_EQ(drain(peer.get()), c.login ? "LOGIN#alice#pw#1\0"s : "");
    char end;  // and the end of the connection, once the client has closed it
    EXPECT_EQ(::recv(peer.get(), &end, 1, MSG_DONTWAIT) == 0, closed);
}
std::vector<ReplyCase> from_server() {
    const auto unknown = [](string w) {
        return "CRITICAL ERROR: Received ACK '" + w + "' not recognized!\n";
    };
    const auto garbled = [](string t) {
        return "CRITICAL ERROR: Receive protocol, '" + t + "', not recognized.\n";
    };
    const string no = "ERROR: Couldn't create session 'a' because ";
    const string cant = "Couldn't join session 'a' because ";
    const string lg = "ERROR: Login unsuccessful. ";
    const string closed = "ERROR: The other side has closed the connection on us.\n";
    const string ack = "STATUS: Joined session 'a' successfully!\n";
    const string x500(500, 'x');
    return {
        {{"LG_A", "CK\0"s}, LOGIN_OK, true},
        {{"LG_NACK#1\0"s}, lg + "Server has reached max number of users it can service.\n", true},
        {{"LG_NACK#2\0"s}, "ERROR: Login request rejected. User already logged in.\n", true},
        {{"LG_NACK#3\0"s}, lg + "Client port number already in use. Try to log in again.\n", true},
        {{"LG_NACK#4\0"s},
         lg + "ClientID/password combination not recognized by the server.\n",
         true},
        {{"LG_ACK#\x1b[2J\0"s}, garbled("LG_ACK#^[[2J"), true},
        {{""}, closed, true},
        {{"-"}, "ERROR: Error occurred while sending.\n", true},
        {{"JOIN_A", "CK#a\nJOIN_ACK#a\0JO"s, "IN_ACK#a\0"s, ""},
         ack + "@a: " + ack + ack + closed + "STATUS: Logging out...\n"},
        {{x500 + "\0JOIN_ACK#a\0"s}, unknown(x500) + "@a: " + ack},
        {{x500 + "x\0JOIN_ACK#a\0"s},
         "ERROR: Receive buffer of size 500 bytes exceeded.\n@a: " + unknown("") + "@a: " + ack},
        {{"[a] b says: \r\x1b[2K[a] c says: \t\x7f\x01\0"s},
         "[a] b says: ^M^[[2K[a] c says: \t^?^A\n"},
        {{"[a] b says: \xc2\x9b[2K\0"s}, "[a] b says: M-^[[2K\n"},
        {{"[a] b says: \xc2\x85[a] c says: \xc2\x80\0"s}, "[a] b says: M-^E[a] c says: M-^@\n"},
        {{"[a] b says: \x9b[2K\0"s}, "[a] b says: M-^[[2K\n"},
        {{"[a] b says: \xe2\x82\xac \xf0\x9f\x98\x80\0"s},
         "[a] b says: \xe2\x82\xac \xf0\x9f\x98\x80\n"},
        {{"NEWCONF_ACK#lo\x1b]0;x\a\0"s}, "STATUS: Created session 'lo^[]0;x^G' successfully!\n"},
        {{"NEWCONF_NACK#a#1\0"s}, no + "user is not logged in.\n"},
        {{"NEWCONF_NACK#a#2\0"s}, no + "that session already exists.\n"},
        {{"NEWCONF_NACK#a#3\0"s}, no + "the server has reached its maximum number of sessions.\n"},
        {{"NEWCONF_NACK#a#2#x\0"s}, garbled("NEWCONF_NACK#a#2#x")},
        {{"JOIN_NACK#a#1\0"s}, cant + "user is not logged in.\n"},
        {{"JOIN_NACK#a#2\0"s}, cant + "session doesn't exist.\n"},
        {{"JOIN_NACK#a#3\0"s}, cant + "session is full.\n"},
        {{"JOIN_NACK#a#4\0"s}, "You are already part of session 'a'!\n"},
        {{"JOIN_NACK#a#7\0"s}, garbled("a#7")},
        {{"LEAVE_ACK#dev\0"s}, "STATUS: Left session 'dev' successfully!\n"},
        {{"LEAVE_NACK#dev\0"s},
         "ERROR: Unable to leave session 'dev' because you aren't part of that session.\n"},
        {{"QRY_ACK##a::##:b##x\r:c:d:e:f:g\0"s},
         "STATUS: QRY -\n\tUSER: a - SESSIONS:\n\tUSER: b - SESSIONS: x^M\n\tUSER: c - SESSIONS:"
         "\n\tUSER: d - SESSIONS:\n\tUSER: e - SESSIONS:\n\tUSER: f - SESSIONS:\n"
         "\tUSER: g - SESSIONS:\n"},
        {{"QRYME_ACK\0"s}, "STATUS: QRYME - You are not part of any sessions.\n"},
        {{"QRYME_NACK\0"s}, "ERROR: Query was unsuccessful.\n"},
        {{"MSG_NACK#dev\0"s},
         "ERROR: Sending message was unsuccessful. You are not part of the session, dev.\n"},
        {{"\x1b[2J##\0"s}, unknown("^[[2J")},
        {{"MSG_NACK\0"s}, garbled("MSG_NACK")},
        {{"NEWCONF_ACK\0"s}, garbled("NEWCONF_ACK")},
    };
}
INSTANTIATE_TEST_SUITE_P(Client, FromServer, testing::ValuesIn(from_server()));

}  // namespace
