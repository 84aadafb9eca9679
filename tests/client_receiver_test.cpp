// The reply interpreter: what the client prints for every reply and relayed
// line, for unknown words and codes, and when the connection ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_state.hpp"
#include "client_support.hpp"
#include "connection.hpp"
#include "receiver.hpp"

namespace {

using namespace client_test;
using namespace std::string_literals;

// Has the server send `bytes`, then runs the receiver `calls` times.
std::string receive(const std::string& bytes, int calls = 1) {
    auto [mine, peer] = socket_pair();
    write_all(peer.get(), bytes);
    int serverSocket = mine.get();
    StdoutCapture out;
    Framer incoming;
    for (int i = 0; i < calls; ++i) receiver(serverSocket, incoming);
    std::string printed = out.finish();
    EXPECT_EQ(serverSocket, mine.get()) << bytes;
    return printed;
}

std::string unknown(const std::string& word) {
    return "CRITICAL ERROR: Received ACK '" + word + "' not recognized!\n";
}
std::string unrecognized(const std::string& text) {
    return "CRITICAL ERROR: Receive protocol, '" + text + "', not recognized.\n";
}

TEST(ClientReceiver, EveryReply) {
    struct Case {
        std::string message;
        std::string printed;
    };
    const Case cases[] = {
        {"[lobby] bob says: hi", "[lobby] bob says: hi\n"},
        {"[lobby] carol has joined the session.", "[lobby] carol has joined the session.\n"},
        {"[lobby] bob says: QRY_ACK#x", "[lobby] bob says: QRY_ACK#x\n"},
        {"NEWCONF_ACK#lobby", "STATUS: Created session 'lobby' successfully!\n"},
        {"NEWCONF_NACK#lobby#1",
         "ERROR: Couldn't create session 'lobby' because user is not logged in.\n"},
        {"NEWCONF_NACK#lobby#2",
         "ERROR: Couldn't create session 'lobby' because that session already exists.\n"},
        {"NEWCONF_NACK#lobby#3",
         "ERROR: Couldn't create session 'lobby' because the server has reached its maximum "
         "number of sessions.\n"},
        {"NEWCONF_NACK#lobby#9", unrecognized("NEWCONF_NACK#lobby#9")},
        {"NEWCONF_NACK#lobby#2#x", unrecognized("NEWCONF_NACK#lobby#2#x")},
        {"JOIN_ACK#lobby", "STATUS: Joined session 'lobby' successfully!\n"},
        {"JOIN_NACK#lobby#1", "Couldn't join session 'lobby' because user is not logged in.\n"},
        {"JOIN_NACK#lobby#2", "Couldn't join session 'lobby' because session doesn't exist.\n"},
        {"JOIN_NACK#lobby#3", "Couldn't join session 'lobby' because session is full.\n"},
        {"JOIN_NACK#lobby#4", "You are already part of session 'lobby'!\n"},
        {"JOIN_NACK#lobby#7", unrecognized("lobby#7")},
        {"LEAVE_ACK#dev", "STATUS: Left session 'dev' successfully!\n"},
        {"LEAVE_NACK#dev",
         "ERROR: Unable to leave session 'dev' because you aren't part of that session.\n"},
        {"QRY_ACK", "STATUS: QRY -\n"},
        {"QRY_ACK#alice#lobby#dev:bob",
         "STATUS: QRY -\n\tUSER: alice - SESSIONS: lobby dev\n\tUSER: bob - SESSIONS:\n"},
        {"QRY_ACK#u1:u2:u3#s:u4:u5:u6:u7#s#t",
         "STATUS: QRY -\n\tUSER: u1 - SESSIONS:\n\tUSER: u2 - SESSIONS:\n"
         "\tUSER: u3 - SESSIONS: s\n\tUSER: u4 - SESSIONS:\n\tUSER: u5 - SESSIONS:\n"
         "\tUSER: u6 - SESSIONS:\n\tUSER: u7 - SESSIONS: s t\n"},
        {"QRY_ACK##a::b##x", "STATUS: QRY -\n\tUSER: a - SESSIONS:\n\tUSER: b - SESSIONS: x\n"},
        {"QRYME_ACK", "STATUS: QRYME - You are not part of any sessions.\n"},
        {"QRYME_ACK#lobby#dev",
         "STATUS: QRYME - You are part of the following sessions: lobby dev.\n"},
        {"QRY_NACK", "ERROR: Query was unsuccessful.\n"},
        {"QRYME_NACK", "ERROR: Query was unsuccessful.\n"},
        {"MSG_NACK#dev",
         "ERROR: Sending message was unsuccessful. You are not part of the session, dev.\n"},
        {"LG_ACK", unknown("LG_ACK")},
        {"LG_NACK#2", unknown("LG_NACK")},
        {"newconf_ack#lobby", unknown("newconf_ack")},
        {"HELLO", unknown("HELLO")},
        {"", unknown("")},
        {"###", unknown("")},
        {"NEWCONF_ACK", unrecognized("NEWCONF_ACK")},
        {"JOIN_NACK#lobby", unrecognized("JOIN_NACK#lobby")},
        {"LEAVE_ACK#", unrecognized("LEAVE_ACK#")},
        {"MSG_NACK", unrecognized("MSG_NACK")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(receive(c.message + '\0'), c.printed) << c.message;
    }
}

// Several replies queued on the connection come out one per call, in order.
TEST(ClientReceiver, OneMessagePerCall) {
    EXPECT_EQ(receive("QRY_ACK#u1:u2#lobby\0QRY_ACK#u3\0"s, 2),
              "STATUS: QRY -\n\tUSER: u1 - SESSIONS:\n\tUSER: u2 - SESSIONS: lobby\n"
              "STATUS: QRY -\n\tUSER: u3 - SESSIONS:\n");
    EXPECT_EQ(receive("LEAVE_ACK#a\nLEAVE_NACK#b\0"s, 2),
              "STATUS: Left session 'a' successfully!\n"
              "ERROR: Unable to leave session 'b' because you aren't part of that session.\n");
    // An over-long message is dropped; its last byte arrives as a message of its own.
    EXPECT_EQ(receive(std::string(501, 'x') + "\0QRY_NACK\0"s, 1),
              "ERROR: Receive buffer of size 500 bytes exceeded.\n" + unknown("") +
                  "ERROR: Query was unsuccessful.\n");
}

TEST(ClientReceiver, ConnectionClosedByServer) {
    auto [mine, peer] = socket_pair();
    peer.reset();
    int serverSocket = mine.release();
    lastSession = "lobby";
    StdoutCapture out;
    Framer incoming;
    receiver(serverSocket, incoming);
    EXPECT_EQ(out.finish(),
              "ERROR: The other side has closed the connection on us.\n"
              "STATUS: Logging out...\n");
    EXPECT_EQ(serverSocket, NOT_CONNECTED);
    EXPECT_EQ(lastSession, "");
}

}  // namespace
