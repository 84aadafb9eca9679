// The client's main loop, run in a child process on piped keyboard input,
// with a loopback listener playing the server: the banner and prompt, lines
// piped at once, a keyboard line and a server message pending together,
// a lost connection, inactivity and the end of input.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>

#include "client_support.hpp"
#include "main_loop.hpp"

namespace {

using namespace client_test;
using namespace std::string_literals;
using std::chrono::milliseconds;

std::string login_line(const Listener& server) {
    return "/login alice alice1 127.0.0.1 " + std::to_string(server.port) + "\n";
}

// Accepts the client's connection and answers its login request.
Fd accept_login(Listener& server, std::string& received) {
    Fd conn = server.accept_one();
    if (conn.valid() && read_until(conn.get(), received, "\0"s)) {
        send_message(conn.get(), "LG_ACK");
    }
    return conn;
}

ChildProcess start_client(milliseconds idle = milliseconds(300500)) {
    return ChildProcess([idle] { return run_client(STDIN_FILENO, idle); });
}

TEST(ClientMainLoop, BannerPromptAndEndOfInput) {
    {
        ChildProcess client = start_client();
        EXPECT_TRUE(client.wait_for(BANNER + ": "));
        client.type("\n/logout\n");
        client.close_input();
        EXPECT_EQ(client.wait_exit(), 0);
        EXPECT_EQ(client.output(),
                  BANNER + ": : ERROR: You cannot log out because you are not logged in!\n: ");
    }
    {
        ChildProcess client = start_client();
        client.type("/quit\n");  // the input stays open: /quit alone ends the loop
        EXPECT_EQ(client.wait_exit(), 0);
        EXPECT_EQ(client.output(), BANNER + ": ");
    }
}

// Lines piped at once are carried out in order without waiting for the network.
TEST(ClientMainLoop, PipedScriptRunsInOrder) {
    Listener server;
    ChildProcess client = start_client();
    client.type(login_line(server) + "/create lobby\n/msg lobby hi\n/qry\n/quit\n");
    std::string received;
    Fd conn = accept_login(server, received);
    ASSERT_TRUE(conn.valid());
    EXPECT_TRUE(read_to_close(conn.get(), received));
    EXPECT_EQ(received, "LOGIN#alice#alice1\0NEWCONF#lobby\0MSG#lobby#hi\0QRY\0LOGOUT\0"s);
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_EQ(client.output(),
              BANNER + ": " + LOGGED_IN +
                  ": STATUS: Request to create session 'lobby' has been sent to the server.\n"
                  ": @lobby: STATUS: Query request sent successfully.\n@lobby: " +
                  LOGGED_OUT);
}

// With a keyboard line and a server message both waiting, the line is
// carried out first and the message printed on the next pass. The client
// is stopped meanwhile, as Ctrl-Z would, so both are there when it goes on.
TEST(ClientMainLoop, KeyboardLineBeforeServerMessage) {
    Listener server;
    ChildProcess client = start_client();
    client.type(login_line(server));
    std::string received;
    Fd conn = accept_login(server, received);
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(client.wait_for(LOGGED_IN + ": "));

    ASSERT_TRUE(client.stop());
    send_message(conn.get(), "[lobby] bob says: hi");
    client.type("/qry\n");
    client.resume();
    EXPECT_TRUE(client.wait_for("hi\n: "));
    EXPECT_TRUE(read_until(conn.get(), received, "QRY\0"s));
    client.close_input();
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_TRUE(read_to_close(conn.get(), received));
    EXPECT_EQ(received, "LOGIN#alice#alice1\0QRY\0LOGOUT\0"s);
    EXPECT_EQ(client.output(), BANNER + ": " + LOGGED_IN +
                                   ": [lobby] bob says: hi\n"
                                   ": STATUS: Query request sent successfully.\n: " +
                                   LOGGED_OUT);
}

// A lost connection keeps the current session in the prompt.
TEST(ClientMainLoop, LostConnection) {
    Listener server;
    ChildProcess client = start_client();
    client.type(login_line(server) + "/msg lobby hi\n");
    std::string received;
    Fd conn = accept_login(server, received);
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(read_until(conn.get(), received, "MSG#lobby#hi\0"s));
    conn.reset();
    ASSERT_TRUE(client.wait_for("STATUS: Logging out...\n: "));
    client.type("/join x\n");
    client.close_input();
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_EQ(received, "LOGIN#alice#alice1\0MSG#lobby#hi\0"s);
    EXPECT_EQ(client.output(),
              BANNER + ": " + LOGGED_IN + ": @lobby: " +
                  "ERROR: The other side has closed the connection on us.\n"
                  "STATUS: Logging out...\n"
                  ": ERROR: Invalid command! You aren't logged in!\n: ");
}

// Logged in and idle, the client logs out by itself and the prompt keeps
// the current session; before any login there is no time limit at all.
TEST(ClientMainLoop, Inactivity) {
    Listener server;
    ChildProcess client = start_client(milliseconds(200));
    ::usleep(500'000);  // longer than the time limit, still not logged in
    client.type(login_line(server) + "/msg lobby hi\n");
    std::string received;
    Fd conn = accept_login(server, received);
    ASSERT_TRUE(conn.valid());
    EXPECT_TRUE(read_to_close(conn.get(), received));
    EXPECT_TRUE(client.wait_for(LOGGED_OUT + ": "));
    client.close_input();
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_EQ(received, "LOGIN#alice#alice1\0MSG#lobby#hi\0LOGOUT\0"s);
    EXPECT_EQ(client.output(),
              BANNER + ": " + LOGGED_IN +
                  ": @lobby: STATUS: Client inactive for 0 minutes and 0 seconds. Logging out!\n" +
                  LOGGED_OUT + ": ");
}

TEST(ClientMainLoop, InactivityLineFollowsTheTimeout) {
    EXPECT_EQ(IDLE_TIMEOUT, std::chrono::microseconds(300'500'000));
    const std::pair<std::chrono::microseconds, std::string> cases[] = {
        {IDLE_TIMEOUT, "5 minutes and 0 seconds"},
        {std::chrono::seconds(59), "0 minutes and 59 seconds"},
        {std::chrono::seconds(61) + milliseconds(999), "1 minutes and 1 seconds"},
    };
    for (const auto& [timeout, figures] : cases) {
        StdoutCapture out;
        print_inactivity(timeout);
        EXPECT_EQ(out.finish(), "STATUS: Client inactive for " + figures + ". Logging out!\n");
    }
}

}  // namespace
