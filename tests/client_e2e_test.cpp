// Two real clients and the real server: alice and bob log in, alice creates
// a session and bob joins it, both chat, they query, leave and quit. Each
// user's screen is checked byte for byte, step by step.
#include <gtest/gtest.h>

#include <string>

#include "client_support.hpp"
#include "e2e_support.hpp"

namespace {

using client_test::BANNER;
using client_test::ChildProcess;
using client_test::LOGGED_IN;
using client_test::LOGGED_OUT;

// One user at a terminal running the client program.
struct User {
    ChildProcess client{[] {
        ::execl(CLIENT_PATH, CLIENT_PATH, static_cast<char*>(nullptr));
        return 127;
    }};
    std::string screen;  // everything the user should have seen so far

    // True when the screen shows exactly what it showed before plus `more`.
    bool sees(const std::string& more) {
        screen += more;
        return client.wait_for(screen) && client.output() == screen;
    }
    bool types(const std::string& line, const std::string& more) {
        client.type(line + "\n");
        return sees(more);
    }
};

TEST(ClientEndToEnd, TwoUsersMeetInASessionAndTalk) {
    e2e::Server server("alice,alice1\nbob,bob2\n");
    ASSERT_TRUE(server.alive());
    const std::string where = " 127.0.0.1 " + std::to_string(server.port());
    User alice;
    User bob;

    ASSERT_TRUE(alice.sees(BANNER + ": "));
    ASSERT_TRUE(alice.types("/login alice alice1" + where, LOGGED_IN + ": "));
    ASSERT_TRUE(alice.types("/create lobby",
                            "STATUS: Request to create session 'lobby' has been sent to the "
                            "server.\n: STATUS: Created session 'lobby' successfully!\n: "));
    ASSERT_TRUE(bob.sees(BANNER + ": "));
    ASSERT_TRUE(bob.types("/login bob bob2" + where, LOGGED_IN + ": "));
    ASSERT_TRUE(bob.types("/join lobby",
                          "STATUS: Request to join session 'lobby' has been sent to the "
                          "server.\n: STATUS: Joined session 'lobby' successfully!\n: "));
    ASSERT_TRUE(alice.sees("[lobby] bob has joined the session.\n: "));

    ASSERT_TRUE(alice.types("/msg lobby hi bob", "@lobby: [lobby] alice says: hi bob\n@lobby: "));
    ASSERT_TRUE(bob.sees("[lobby] alice says: hi bob\n: "));
    ASSERT_TRUE(bob.types("/msg lobby hello, alice #1",
                          "@lobby: [lobby] bob says: hello, alice #1\n@lobby: "));
    ASSERT_TRUE(alice.sees("[lobby] bob says: hello, alice #1\n@lobby: "));
    ASSERT_TRUE(alice.types("how are you?", "@lobby: [lobby] alice says: how are you?\n@lobby: "));
    ASSERT_TRUE(bob.sees("[lobby] alice says: how are you?\n@lobby: "));

    ASSERT_TRUE(bob.types("/qry",
                          "STATUS: Query request sent successfully.\n@lobby: STATUS: QRY -"
                          "\n\tUSER: alice - SESSIONS: lobby\n\tUSER: bob - SESSIONS: lobby\n"
                          "@lobby: "));
    ASSERT_TRUE(alice.types("/qryme",
                            "STATUS: Query me request sent successfully.\n@lobby: STATUS: QRYME - "
                            "You are part of the following sessions: lobby.\n@lobby: "));

    const std::string left =
        "STATUS: Request to leave sessions was sent to the server.\n"
        "@lobby: STATUS: Left session 'lobby' successfully!\n@lobby: ";
    ASSERT_TRUE(bob.types("/leave lobby", left));
    ASSERT_TRUE(alice.types("/leave", left));
    // The session went with its last member.
    ASSERT_TRUE(alice.types("/join lobby",
                            "STATUS: Request to join session 'lobby' has been sent to the "
                            "server.\n@lobby: Couldn't join session 'lobby' because session "
                            "doesn't exist.\n@lobby: "));

    bob.client.type("/quit\n");
    EXPECT_EQ(bob.client.wait_exit(), 0);
    EXPECT_EQ(bob.client.output(), bob.screen + LOGGED_OUT);
    ASSERT_TRUE(alice.types("/logout", LOGGED_OUT + ": "));
    alice.client.type("/quit\n");
    EXPECT_EQ(alice.client.wait_exit(), 0);
    EXPECT_EQ(alice.client.output(), alice.screen);
    EXPECT_TRUE(server.alive());
}

}  // namespace
