// secure_send and secure_recv over a socketpair: limits, terminators, what
// each call takes off the socket, and the lines printed on failure.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fd.hpp"
#include "printed.hpp"
#include "transport.hpp"

namespace {

struct Pair {
    Fd a, b;
    Pair() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        a.reset(sv[0]);
        b.reset(sv[1]);
    }
};

void write_all(int fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Everything readable on fd within a short bounded wait.
std::string drain(int fd) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    char chunk[4096];
    while (::poll(&p, 1, 100) > 0) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

TEST(SecureSend, SizeLimitAndBytesOnTheWire) {
    struct Case {
        std::size_t length;
        int result;
        std::string line;
    } cases[] = {
        {0, 0, ""},
        {1, 0, ""},
        {499, 0, ""},
        {500, -2, "ERROR: Send buffer size exceeded by 1 bytes.\n"},
        {510, -2, "ERROR: Send buffer size exceeded by 11 bytes.\n"},
    };
    for (const Case& c : cases) {
        Pair p;
        const std::string text(c.length, 'x');
        int result = 99;
        const std::string out = printed([&] { result = secure_send(p.a.get(), text); });
        EXPECT_EQ(result, c.result) << c.length;
        EXPECT_EQ(out, c.line) << c.length;
        const std::string wire = drain(p.b.get());
        EXPECT_EQ(wire, c.result == 0 ? text + '\0' : "") << c.length;
    }
}

TEST(SecureSend, PeerGoneIsAnErrorNotASignal) {
    Pair p;
    p.b.reset();
    int result = 99;
    const std::string out = printed([&] { result = secure_send(p.a.get(), "hello"); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "ERROR: Error occurred while sending.\n");
}

TEST(SecureRecv, MessagesAndTheirEnds) {
    struct Case {
        std::string wire;
        std::string first;
        std::string second;  // what the next call returns, if anything
    } cases[] = {
        {std::string("\0", 1), "", ""},
        {std::string("abc\0", 4), "abc", ""},
        {"abc\n", "abc", ""},
        {std::string("one\0two\0", 8), "one", "two"},
        {"one\ntwo\n", "one", "two"},
        {std::string(500, 'y') + '\0', std::string(500, 'y'), ""},
        {std::string(499, 'z') + '\n', std::string(499, 'z'), ""},
    };
    for (const Case& c : cases) {
        Pair p;
        write_all(p.b.get(), c.wire);
        RecvBuffer buf{};
        EXPECT_EQ(secure_recv(p.a.get(), buf, 500), 1);
        EXPECT_EQ(std::string(buf.data()), c.first);
        if (!c.second.empty()) {
            EXPECT_EQ(secure_recv(p.a.get(), buf, 500), 1);
            EXPECT_EQ(std::string(buf.data()), c.second);
        }
    }
}

TEST(SecureRecv, OverflowTakesExactly501Bytes) {
    Pair p;
    write_all(p.b.get(), std::string(501, 'q') + '\0' + "next" + '\0');
    RecvBuffer buf{};
    int result = 99;
    std::string out = printed([&] { result = secure_recv(p.a.get(), buf, 500); });
    EXPECT_EQ(result, -2);
    EXPECT_EQ(out, "ERROR: Receive buffer of size 500 bytes exceeded.\n");
    // The NUL of the over-long message is read next, as an empty message.
    EXPECT_EQ(secure_recv(p.a.get(), buf, 500), 1);
    EXPECT_EQ(std::string(buf.data()), "");
    EXPECT_EQ(secure_recv(p.a.get(), buf, 500), 1);
    EXPECT_EQ(std::string(buf.data()), "next");
}

TEST(SecureRecv, OversizeRequestReadsNothing) {
    Pair p;
    write_all(p.b.get(), std::string("abc\0", 4));
    RecvBuffer buf{};
    int result = 99;
    const std::string out = printed([&] { result = secure_recv(p.a.get(), buf, 501); });
    EXPECT_EQ(result, -2);
    EXPECT_EQ(out, "ERROR: Receive buffer size exceeded by 1 bytes.\n");
    EXPECT_EQ(secure_recv(p.a.get(), buf, 500), 1);
    EXPECT_EQ(std::string(buf.data()), "abc");
}

TEST(SecureRecv, PeerClosingMidMessage) {
    Pair p;
    write_all(p.b.get(), "half a mess");
    p.b.reset();
    RecvBuffer buf{};
    int result = 99;
    const std::string out = printed([&] { result = secure_recv(p.a.get(), buf, 500); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "ERROR: The other side has closed the connection on us.\n");
}

TEST(SecureRecv, LeavesTheNextMessageOnTheSocket) {
    Pair p;
    write_all(p.b.get(), std::string("first\0second", 12));
    RecvBuffer buf{};
    ASSERT_EQ(secure_recv(p.a.get(), buf, 500), 1);
    EXPECT_EQ(std::string(buf.data()), "first");
    // The unfinished second message is still there, untouched.
    char peek[32];
    EXPECT_EQ(::recv(p.a.get(), peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT), 6);
}
