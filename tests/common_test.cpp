// The blocking receive over a socket pair: one message a call, the 500/501 limits, the end.
#include <gmock/gmock.h>
#include <sys/socket.h>

#include "support.hpp"
#include "transport.hpp"

namespace {

const std::string A500(500, 'a'), B501(501, 'b');

// A stream, and each call of secure_recv on it: "result:text".
struct Stream {
    const char* name;
    std::string bytes;
    std::vector<std::string> calls;
};
void PrintTo(const Stream& s, std::ostream* os) {
    *os << s.name;
}
class Receive : public testing::TestWithParam<Stream> {};

TEST_P(Receive, TakesOneMessageACall) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd mine(sv[0]);
    const std::string& bytes = GetParam().bytes;
    ASSERT_EQ(::write(sv[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(sv[1]);
    std::vector<std::string> got;
    RecvBuffer buf{};
    for (int r = 1; r > 0 || (r == -2 && got.size() < 9);) {
        support::printed([&] { r = secure_recv(mine.get(), buf); });
        got.push_back(std::to_string(r) + ":" + (r == 1 ? buf.data() : ""));
    }
    EXPECT_THAT(got, testing::ElementsAreArray(GetParam().calls));
}

TEST(Receive, AFailedReceiveIsNoEndOfStream) {
    RecvBuffer buf{};
    int r = 0;
    EXPECT_EQ(support::printed([&] { r = secure_recv(-1, buf); }),
              "ERROR: Error occurred while receiving.\n");
    EXPECT_EQ(r, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Common, Receive,
    testing::Values(
        Stream{"NulOrLfEnds", std::string("one\0two\nthree", 13), {"1:one", "1:two", "0:"}},
        Stream{"Holds500", A500 + '\0', {"1:" + A500, "0:"}},
        Stream{"Over500ThenNext", B501 + '\0' + "next" + '\0', {"-2:", "1:", "1:next", "0:"}},
        Stream{"Empty", "", {"0:"}}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
