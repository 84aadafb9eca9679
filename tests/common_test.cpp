// The shared wire layer: framing at the 500/501-character boundary whatever
// pieces the bytes come in, the blocking transport over a socket pair, and
// the tokenizer the dispatchers share.
#include <gmock/gmock.h>
#include <sys/socket.h>

#include "support.hpp"
#include "tokenizer.hpp"
#include "transport.hpp"

using testing::ElementsAreArray;

namespace {

const std::string A500(500, 'a');
const std::string B501(501, 'b');

struct Stream {
    std::string bytes;
    std::vector<std::string> messages;  // "!" for an overflow
};

class Framing : public testing::TestWithParam<std::tuple<Stream, std::size_t>> {};

TEST_P(Framing, SameMessagesWhateverThePieces) {
    const auto& [stream, step] = GetParam();
    Framer f(1024);
    std::vector<std::string> got;
    for (std::size_t at = 0; at < stream.bytes.size(); at += step) {
        std::string_view piece = std::string_view(stream.bytes).substr(at, step);
        while (!piece.empty()) {
            const std::size_t n = std::min(piece.size(), f.space_size());
            piece.copy(f.space(), n);
            f.commit(n);
            piece.remove_prefix(n);
            std::string_view msg;
            for (Framer::Status s; (s = f.next(msg)) != Framer::Status::need_more;)
                got.push_back(s == Framer::Status::message ? std::string(msg) : "!");
        }
    }
    EXPECT_THAT(got, ElementsAreArray(stream.messages));
}

INSTANTIATE_TEST_SUITE_P(
    Common, Framing,
    testing::Combine(testing::Values(Stream{std::string("x\0y\nz", 5), {"x", "y"}},
                                     Stream{std::string("\0\0", 2), {"", ""}},
                                     Stream{A500 + '\0' + "tail\n", {A500, "tail"}},
                                     Stream{B501 + '\0', {"!", ""}},
                                     Stream{B501 + "c\n", {"!", "c"}}),
                     testing::Values(1, 7, 500, 501, 4096)));

// Each call of secure_recv on the stream: "result:text".
class Receive : public testing::TestWithParam<Stream> {};

TEST_P(Receive, TakesOneMessageACall) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd mine(sv[0]);
    Fd peer(sv[1]);
    ASSERT_EQ(::write(peer.get(), GetParam().bytes.data(), GetParam().bytes.size()),
              ssize_t(GetParam().bytes.size()));
    peer.reset();
    std::vector<std::string> got;
    RecvBuffer buf{};
    for (int r = 1; r > 0 || (r == -2 && got.size() < 9);) {
        support::printed([&] { r = secure_recv(mine.get(), buf, 500); });
        got.push_back(std::to_string(r) + ":" + (r == 1 ? buf.data() : ""));
    }
    EXPECT_THAT(got, ElementsAreArray(GetParam().messages));
}

INSTANTIATE_TEST_SUITE_P(
    Common, Receive,
    testing::Values(Stream{std::string("one\0two\nthree", 13), {"1:one", "1:two", "0:"}},
                    Stream{A500 + '\0', {"1:" + A500, "0:"}},
                    Stream{B501 + '\0' + "next" + '\0', {"-2:", "1:", "1:next", "0:"}},
                    Stream{"", {"0:"}}));

TEST(Transport, LimitsAndAPeerThatIsGone) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd a(sv[0]);
    Fd b(sv[1]);
    EXPECT_EQ(secure_send(a.get(), std::string(499, 'x')), 0);
    EXPECT_EQ(support::printed([&] { EXPECT_EQ(secure_send(a.get(), A500), -2); }),
              "ERROR: Send buffer size exceeded by 1 bytes.\n");
    RecvBuffer buf{};
    EXPECT_EQ(support::printed([&] { EXPECT_EQ(secure_recv(b.get(), buf, 501), -2); }),
              "ERROR: Receive buffer size exceeded by 1 bytes.\n");
    EXPECT_EQ(secure_recv(b.get(), buf, 500), 1);
    EXPECT_EQ(std::string(buf.data()), std::string(499, 'x'));
    b.reset();
    EXPECT_EQ(support::printed([&] { EXPECT_EQ(secure_send(a.get(), "hello"), -1); }),
              "ERROR: Error occurred while sending.\n");
}

TEST(CutMessage, BoundaryAfterBytesAlreadyTaken) {
    const std::tuple<std::string, std::size_t, Cut::Kind, std::size_t> cases[] = {
        {"ab", 0, Cut::need_more, 2},
        {"ab\n", 0, Cut::message, 3},
        {std::string(1, '\0'), 500, Cut::message, 1},
        {"x", 500, Cut::overflow, 1},
        {"xy", 499, Cut::overflow, 2},
        {"x", 499, Cut::need_more, 1},
        {std::string(600, 'x'), 0, Cut::overflow, 501}};
    for (const auto& [bytes, have, kind, used] : cases) {
        const Cut cut = cut_message(bytes, have);
        EXPECT_EQ(std::make_pair(cut.kind, cut.used), std::make_pair(kind, used))
            << have << " + " << bytes.size();
    }
}

TEST(Tokenizer, FieldsAndTheRest) {
    Tokenizer t("#LOGIN##alice#pw#x");
    EXPECT_EQ(t.first('#'), "");
    EXPECT_EQ(t.next('#'), "LOGIN");
    EXPECT_EQ(t.next('#'), "alice");
    EXPECT_EQ(t.rest(), "pw#x");
    EXPECT_FALSE(t.next('#'));
    Tokenizer m("MSG#lobby#");
    EXPECT_EQ(m.first('#'), "MSG");
    EXPECT_EQ(m.next('#'), "lobby");
    EXPECT_FALSE(m.rest());
    Tokenizer c("/msg lobby  two ");
    EXPECT_EQ(c.next(' '), "/msg");
    EXPECT_EQ(c.next(' '), "lobby");
    EXPECT_EQ(c.rest(), " two ");
    Tokenizer e("  ");
    EXPECT_FALSE(e.next(' '));
    EXPECT_FALSE(e.rest());
}

}  // namespace
