// The command interpreter: for each keyboard line, the exact bytes sent to
// the server (the other end of a socket pair), the exact lines printed, and
// the state left behind.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "client_state.hpp"
#include "client_support.hpp"
#include "connection.hpp"
#include "sender.hpp"

namespace {

using namespace client_test;
using namespace std::string_literals;

enum class After { same, not_connected, quit };

struct Case {
    bool connected;
    std::string session_before;
    std::string keys;  // what is typed, newlines included
    std::string sent;  // bytes the server receives
    std::string printed;
    std::string session_after;
    After after = After::same;
};

// Types `c.keys`, carries out every line they hold, and checks the outcome.
void run_case(const Case& c) {
    auto [mine, peer] = socket_pair();
    auto [keys_r, keys_w] = make_pipe();
    const int fd = mine.release();
    int serverSocket = c.connected ? fd : NOT_CONNECTED;
    lastSession = c.session_before;
    write_all(keys_w.get(), c.keys);
    if (c.keys.empty()) keys_w.reset();
    LineReader keyboard(keys_r.get());

    StdoutCapture out;
    do {
        sender(serverSocket, keyboard);
    } while (keyboard.ready() && serverSocket != QUIT_REQUESTED);
    const std::string printed = out.finish();

    const std::string what = c.keys.substr(0, 40);
    EXPECT_EQ(printed, c.printed) << what;
    EXPECT_EQ(drain(peer.get()), c.sent) << what;
    EXPECT_EQ(lastSession, c.session_after) << what;
    switch (c.after) {
        case After::same:
            EXPECT_EQ(serverSocket, c.connected ? fd : NOT_CONNECTED) << what;
            break;
        case After::not_connected:
            EXPECT_EQ(serverSocket, NOT_CONNECTED) << what;
            break;
        case After::quit:
            EXPECT_EQ(serverSocket, QUIT_REQUESTED) << what;
            break;
    }
    if (serverSocket != fd) return;  // the interpreter closed it
    ::close(fd);
}

const std::string HELP =
    "/login <clientID> <password> <serverIP> <serverPort>\tTo log in to the server.\n"
    "/logout\tTo logout from the server.\n"
    "/quit\tTo exit the program (logging out if need be).\n"
    "/create <sessionID>\tTo create a conference.\n"
    "/join <sessionID>\tTo join a conference.\n"
    "/leave\tTo leave all conferences.\n"
    "/leave <sessionID> ...\tTo leave conferences.\n"
    "/qry\tLists users online and the sessions they are part of.\n"
    "/qryme\tLists the sessions you are part of and the users who are part of those sessions.\n"
    "/msg <sessionID>\tTo send a message to that particular session.\n";
const std::string NOT_LOGGED_IN = "ERROR: Invalid command! You aren't logged in!\n";
const std::string INVALID = "ERROR: Invalid command!\n";
const std::string TOO_LARGE =
    "ERROR: buffer entered is too large to fit in buffer which is of size 500 bytes.\n";
const std::string NO_SESSION = "ERROR: No sessionID entered.\n";

std::string bad_chars(const std::string& name) {
    return "ERROR: sessionID, " + name +
           ", contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n";
}

TEST(ClientSender, LinesWhileNotConnected) {
    const Case cases[] = {
        {false, "", "/ls\n", "", HELP, ""},
        {false, "", "/ls more\n", "", HELP, ""},
        {false, "", "/LS\n", "", NOT_LOGGED_IN, ""},
        {false, "", "/lsx\n", "", NOT_LOGGED_IN, ""},
        {false, "", "hello\n", "", NOT_LOGGED_IN, ""},
        {false, "", "/join lobby\n", "", NOT_LOGGED_IN, ""},
        {false, "", "\t/ls\n", "", NOT_LOGGED_IN, ""},
        {false, "", " /ls\n", "", "ERROR: Don't start input with whitespace.\n", ""},
        {false, "", "\n", "", "", ""},
        {false, "", "\0/ls\n"s, "", "", ""},
        {false, "", std::string(499, 'x') + "\n", "", NOT_LOGGED_IN, ""},
        {false, "", std::string(500, 'x') + "\n/ls\n", "", TOO_LARGE + HELP, ""},
        {false, "", std::string(1000, 'x') + "\n", "", TOO_LARGE, ""},
        {false, "", "/logout\n", "", "ERROR: You cannot log out because you are not logged in!\n",
         ""},
        {false, "", "/login\n", "", "ERROR: No clientID entered.\n", ""},
        {false, "", "/login alice\n", "", "ERROR: No password entered.\n", ""},
        {false, "", "/login alice alice1\n", "", "ERROR: No serverIP entered.\n", ""},
        {false, "", "/login alice alice1 127.0.0.1\n", "", "ERROR: No serverPort entered.\n", ""},
        {false, "", "/login alice alice1 127.0.0.1 5000 x\n", "",
         "ERROR: The server port must be a NUMBER.\n", ""},
        {false, "", "/login alice alice1 127.0.0.1 80\n", "",
         "ERROR: The server port number must be greater than 1023 and less than 65536.\n", ""},
        {false, "", "/login al_ce alice1 127.0.0.1 5000\n", "",
         "ERROR: clientID contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n",
         ""},
        {false, "", "/quit\n", "", "", "", After::quit},
        {false, "", "", "", "", "", After::quit},  // end of input
    };
    for (const Case& c : cases) run_case(c);
}

TEST(ClientSender, CommandsWhileConnected) {
    const Case cases[] = {
        {true, "", "/login alice alice1 127.0.0.1 5000\n", "",
         "ERROR: You are already logged in!\n", ""},
        {true, "", "/login\n", "", "ERROR: You are already logged in!\n", ""},
        {true, "", "/create lobby\n", "NEWCONF#lobby\0"s,
         "STATUS: Request to create session 'lobby' has been sent to the server.\n", ""},
        {true, "", "/create\n", "", NO_SESSION, ""},
        {true, "", "/create \n", "", NO_SESSION, ""},
        {true, "", "/create  lobby\n", "", bad_chars(" lobby"), ""},
        {true, "", "/create lobby dev\n", "", bad_chars("lobby dev"), ""},
        {true, "", "/create lobby \n", "", bad_chars("lobby "), ""},
        {true, "", "/join lobby\n", "JOIN#lobby\0"s,
         "STATUS: Request to join session 'lobby' has been sent to the server.\n", ""},
        {true, "", "/join\n", "", NO_SESSION, ""},
        {true, "", "/leave\n", "LEAVE\0"s,
         "STATUS: Request to leave sessions was sent to the server.\n", ""},
        {true, "", "/leave a b!\n", "LEAVE#a\0"s,
         bad_chars("b!") + "ERROR: Ignoring the incorrect session name, 'b!' and continuing.\n"
                           "STATUS: Request to leave sessions was sent to the server.\n",
         ""},
        {true, "", "/leave b!\n", "",
         bad_chars("b!") + "ERROR: Ignoring the incorrect session name, 'b!' and continuing.\n"
                           "ERROR: Invalid leave request.\n",
         ""},
        {true, "", "/leave a a\n", "LEAVE#a#a\0"s,
         "STATUS: Request to leave sessions was sent to the server.\n", ""},
        {true, "", "/leave   a    b \n", "LEAVE#a#b\0"s,
         "STATUS: Request to leave sessions was sent to the server.\n", ""},
        {true, "", "/qry\n", "QRY\0"s, "STATUS: Query request sent successfully.\n", ""},
        {true, "", "/qry all\n", "QRY\0"s, "STATUS: Query request sent successfully.\n", ""},
        {true, "", "/qryme\n", "QRYME\0"s, "STATUS: Query me request sent successfully.\n", ""},
        {true, "", "/msg lobby hi there\n", "MSG#lobby#hi there\0"s, "", "lobby"},
        {true, "", "/msg lobby  two blanks\n", "MSG#lobby# two blanks\0"s, "", "lobby"},
        {true, "", "/msg lobby a#b:c\n", "MSG#lobby#a#b:c\0"s, "", "lobby"},
        {true, "dev", "/msg lobby\n", "", "ERROR: No message entered!\n", "dev"},
        {true, "dev", "/msg lobby \n", "", "ERROR: No message entered!\n", "dev"},
        {true, "dev", "/msg\n", "", NO_SESSION, "dev"},
        {true, "dev", "/msg lob#by hi\n", "", bad_chars("lob#by"), "dev"},
        {true, "", "hello\n", "", INVALID, ""},
        {true, "", "\thello\n", "", INVALID, ""},
        {true, "", "/bogus\n", "", INVALID, ""},
        {true, "", "/Qry\n", "", INVALID, ""},
    };
    for (const Case& c : cases) run_case(c);
}

TEST(ClientSender, PlainLinesToTheCurrentSession) {
    const Case cases[] = {
        {true, "lobby", "hello\n", "MSG#lobby#hello\0"s, "", "lobby"},
        {true, "lobby", "\thello\n", "MSG#lobby#\thello\0"s, "", "lobby"},
        {true, "lobby", "hi # and : too \n", "MSG#lobby#hi # and : too \0"s, "", "lobby"},
        {true, "lobby", " hello\n", "", "ERROR: Don't start input with whitespace.\n", "lobby"},
        {true, "lobby", "/qry\n", "QRY\0"s, "STATUS: Query request sent successfully.\n", "lobby"},
        {true, "lobby", "/msg dev hi\nagain\n", "MSG#dev#hi\0MSG#dev#again\0"s, "", "dev"},
        {true, "lobby", std::string(489, 'x') + "\n", "MSG#lobby#" + std::string(489, 'x') + '\0',
         "", "lobby"},
        {true, "lobby", std::string(490, 'x') + "\n", "",
         "ERROR: Send buffer size exceeded by 1 bytes.\n"
         "ERROR: message couldn't be sent to the server.\n",
         "lobby"},
        {false, "lobby", "hello\n", "", NOT_LOGGED_IN, "lobby"},
    };
    for (const Case& c : cases) run_case(c);
}

TEST(ClientSender, LogoutAndQuit) {
    const Case cases[] = {
        {true, "lobby", "/logout\n", "LOGOUT\0"s, LOGGED_OUT, "", After::not_connected},
        {true, "lobby", "/quit\n", "LOGOUT\0"s, LOGGED_OUT, "", After::quit},
        {true, "lobby", "", "LOGOUT\0"s, LOGGED_OUT, "", After::quit},  // end of input
    };
    for (const Case& c : cases) run_case(c);

    // A server that has gone: the logout cannot be sent, the session is
    // forgotten all the same and the client still counts itself connected.
    auto [mine, peer] = socket_pair();
    peer.reset();
    auto [keys_r, keys_w] = make_pipe();
    write_all(keys_w.get(), "/logout\n");
    LineReader keyboard(keys_r.get());
    int serverSocket = mine.get();
    lastSession = "lobby";
    StdoutCapture out;
    sender(serverSocket, keyboard);
    EXPECT_EQ(out.finish(),
              "ERROR: Error occurred while sending.\n"
              "ERROR: Logout unsuccessful because sending was unsuccessful.\n");
    EXPECT_EQ(serverSocket, mine.get());
    EXPECT_EQ(lastSession, "");
}

// /login against a loopback listener that answers the login request.
TEST(ClientSender, LoginCommand) {
    struct Case {
        std::string reply;
        std::string printed_after_connect;
        bool logged_in;
    };
    const Case cases[] = {
        {"LG_ACK", "STATUS: Login successful!\n", true},
        {"LG_NACK#2", "ERROR: Login request rejected. User already logged in.\n", false},
    };
    for (const Case& c : cases) {
        Listener listener;
        std::string received;
        std::thread server([&] {
            Fd conn = listener.accept_one();
            if (!conn.valid()) return;
            if (read_until(conn.get(), received, "\0"s)) send_message(conn.get(), c.reply);
            read_to_close(conn.get(), received);
        });
        auto [keys_r, keys_w] = make_pipe();
        write_all(keys_w.get(),
                  "/login alice alice1 127.0.0.1 " + std::to_string(listener.port) + "\n");
        LineReader keyboard(keys_r.get());
        int serverSocket = NOT_CONNECTED;
        StdoutCapture out;
        sender(serverSocket, keyboard);
        const std::string printed = out.finish();
        EXPECT_EQ(serverSocket != NOT_CONNECTED, c.logged_in);
        close_connection(serverSocket);
        server.join();
        EXPECT_EQ(printed,
                  "STATUS: Connecting to the server...\n"
                  "STATUS: Extracting server information...\n"
                  "STATUS: Successfully connected to the server. Sending login info...\n" +
                      c.printed_after_connect);
        EXPECT_EQ(received, "LOGIN#alice#alice1\0"s);
    }
}

}  // namespace
