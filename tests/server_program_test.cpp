// The built server program: its command line and exit statuses, and one
// login over a real port.
#include <gmock/gmock.h>
#include <netinet/in.h>

#include "support.hpp"

using testing::HasSubstr;

namespace {

struct Run {
    const char* name;
    std::vector<std::string> args;
    std::string accounts;
    int status;
    std::string line;
};

void PrintTo(const Run& r, std::ostream* os) {
    *os << r.name;
}

class Program : public testing::TestWithParam<Run> {};

const std::string PORT_ERROR =
    "ERROR: The port must be a number from 1 to 65535 or a service name.";

TEST_P(Program, RefusesToStart) {
    support::TempDir dir;
    dir.write("accounts.csv", GetParam().accounts);
    std::vector<std::string> args{SERVER_PATH};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    support::Child server(args, dir.path);
    EXPECT_EQ(server.exit_status(), GetParam().status);
    EXPECT_THAT(server.output(), HasSubstr(GetParam().line));
}

INSTANTIATE_TEST_SUITE_P(
    Server, Program,
    testing::Values(Run{"NoArgument", {}, "", 1, "USE: server <TCP port number to listen on>"},
                    Run{"TwoArguments", {"5000", "6000"}, "", 1, "USE: server"},
                    Run{"Zero", {"0"}, "", 1, PORT_ERROR},
                    Run{"Wraps", {"99999"}, "", 1, PORT_ERROR},
                    Run{"Above", {"65536"}, "", 1, PORT_ERROR},
                    Run{"Sign", {"+80"}, "", 1, PORT_ERROR},
                    Run{"NoSuchService", {"nosuchservice"}, "", 1, PORT_ERROR},
                    Run{"Duplicates", {"65535"}, "a,1\na,2\n", 1, "on lines 1 and 2."}),
    [](const auto& info) { return std::string(info.param.name); });

// A port that is taken fails the bind with status 2; once free, it serves.
TEST(Program, BindFailureThenService) {
    Fd taken(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    ::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string port = std::to_string(ntohs(addr.sin6_port));
    support::TempDir dir;
    dir.write("accounts.csv", "alice,pw1\n");
    {
        support::Child server({SERVER_PATH, port}, dir.path);
        EXPECT_EQ(server.exit_status(), 2);
        EXPECT_THAT(server.output(), HasSubstr("server: failed to bind\n"));
    }
    taken.reset();
    support::Child server({SERVER_PATH, port}, dir.path);
    ASSERT_TRUE(server.wait_for("login:alice"));
    support::Client client(std::stoi(port));
    ASSERT_TRUE(client.send("LOGIN#alice#pw1"));
    EXPECT_EQ(client.next(), "LG_ACK");
}

}  // namespace
