// Opening the connection, the login exchange and the logout request, with
// a socket pair or a loopback listener standing in for the server.
#include <gtest/gtest.h>

#include <string>

#include "client_support.hpp"
#include "connection.hpp"

namespace {

using namespace client_test;
using namespace std::string_literals;

TEST(ClientConnection, ConnectToServer) {
    Listener server;
    {
        StdoutCapture out;
        const int sock = connect_to_server("127.0.0.1", std::to_string(server.port));
        EXPECT_EQ(out.finish(), "STATUS: Extracting server information...\n");
        ASSERT_GE(sock, 0);
        Fd owned(sock);
        EXPECT_TRUE(server.accept_one().valid());
    }
    const int closed_port = server.port;
    server.sock.reset();
    {
        StdoutCapture out;
        EXPECT_EQ(connect_to_server("127.0.0.1", std::to_string(closed_port)), -1);
        EXPECT_EQ(out.finish(),
                  "STATUS: Extracting server information...\n"
                  "STATUS: Connecting to server failed - continuing...\n"
                  "ERROR: Failed to connect.\n");
    }
    {
        StdoutCapture out;
        EXPECT_EQ(connect_to_server("127.0.0.1", "no-such-service"), -1);
        EXPECT_EQ(out.finish(),
                  "STATUS: Extracting server information...\nERROR: getaddrinfo failed.\n");
    }
}

// Each login reply, sent before the request arrives, and what it leads to.
TEST(ClientConnection, LoginReplies) {
    struct Case {
        std::string reply;  // empty: the server closes instead of answering
        std::string printed;
        bool logged_in;
    };
    const Case cases[] = {
        {"LG_ACK", "", true},
        {"LG_NACK#1",
         "ERROR: Login unsuccessful. Server has reached max number of users it can service.\n",
         false},
        {"LG_NACK#2", "ERROR: Login request rejected. User already logged in.\n", false},
        {"LG_NACK#3",
         "ERROR: Login unsuccessful. Client port number already in use. Try to log in again.\n",
         false},
        {"LG_NACK#4",
         "ERROR: Login unsuccessful. ClientID/password combination not recognized by the "
         "server.\n",
         false},
        {"LG_ACK ", "CRITICAL ERROR: Receive protocol, 'LG_ACK ', not recognized.\n", false},
        {"LG_ACK#", "CRITICAL ERROR: Receive protocol, 'LG_ACK#', not recognized.\n", false},
        {"LG_NACK#5", "CRITICAL ERROR: Receive protocol, 'LG_NACK#5', not recognized.\n", false},
        {"", "ERROR: The other side has closed the connection on us.\n", false},
    };
    for (const Case& c : cases) {
        auto [mine, peer] = socket_pair();
        if (c.reply.empty()) {
            ::shutdown(peer.get(), SHUT_WR);
        } else {
            send_message(peer.get(), c.reply);
        }
        const int fd = mine.release();
        int serverSocket = fd;
        StdoutCapture out;
        login(serverSocket, "alice", "pw#1");
        EXPECT_EQ(out.finish(), c.printed) << c.reply;
        std::string sent;
        if (c.logged_in) {
            EXPECT_EQ(serverSocket, fd);
            ::close(fd);
        } else {
            EXPECT_EQ(serverSocket, NOT_CONNECTED) << c.reply;
        }
        EXPECT_TRUE(read_to_close(peer.get(), sent)) << c.reply;
        EXPECT_EQ(sent, "LOGIN#alice#pw#1\0"s) << c.reply;
    }
}

TEST(ClientConnection, Logout) {
    {
        int serverSocket = NOT_CONNECTED;
        StdoutCapture out;
        logout(serverSocket);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(serverSocket, NOT_CONNECTED);
    }
    {
        auto [mine, peer] = socket_pair();
        int serverSocket = mine.release();
        StdoutCapture out;
        logout(serverSocket);
        EXPECT_EQ(out.finish(), "STATUS: Successfully logged out from the server.\n");
        EXPECT_EQ(serverSocket, NOT_CONNECTED);
        std::string sent;
        EXPECT_TRUE(read_to_close(peer.get(), sent));
        EXPECT_EQ(sent, "LOGOUT\0"s);
    }
    {
        // The server has gone: the request cannot be sent and nothing changes.
        auto [mine, peer] = socket_pair();
        peer.reset();
        int serverSocket = mine.get();
        StdoutCapture out;
        logout(serverSocket);
        EXPECT_EQ(out.finish(),
                  "ERROR: Error occurred while sending.\n"
                  "ERROR: Logout unsuccessful because sending was unsuccessful.\n");
        EXPECT_EQ(serverSocket, mine.get());
    }
}

}  // namespace
