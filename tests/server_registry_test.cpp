// The registry's tables after clients leave: sessions destroyed with their
// last member, the rest keeping their order, online rows kept contiguous.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "printed.hpp"
#include "registry.hpp"

namespace {

class Registry : public testing::Test {
protected:
    void SetUp() override {
        registry_reset();
        for (const char* id : {"alice", "bob", "carol"}) {
            login[users_online] = id;
            pass[users_online] = "pw";
            clients[users_online] = ClientRow{10 + users_online, users_online};
            ++users_online;
        }
    }
    void TearDown() override { registry_reset(); }

    static std::string names() {
        std::string out;
        for (int i = 0; i < active_sessions; ++i) out += sessions[i]->name + " ";
        return out;
    }
};

}  // namespace

TEST_F(Registry, LeavingSeveralSessionsDestroysTheEmptyOnes) {
    create_session("a", 0);  // alice alone
    create_session("b", 1);  // bob, then alice
    sessions[1]->members[sessions[1]->count++] = 0;
    create_session("c", 0);  // alice alone
    create_session("d", 2);  // carol alone
    std::optional<std::string> left;
    const std::string log = printed([&] { left = client_leave(10); });
    ASSERT_TRUE(left);
    EXPECT_EQ(*left, "a#b#c");
    EXPECT_EQ(log, "USER alice left ALL the sessions.\n");
    EXPECT_EQ(names(), "b d ");
    EXPECT_EQ(sessions[0]->count, 1);
    EXPECT_EQ(sessions[0]->members[0], 1);
    EXPECT_EQ(sessions[0]->members[1], -1);
    EXPECT_EQ(sessions[2], nullptr);
    EXPECT_EQ(sessions[3], nullptr);
}

TEST_F(Registry, LeaveListHoldsEveryNameHoweverLong) {
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        const std::string name = std::string(100, 'n') + std::to_string(i);
        create_session(name, 1);
        expected += (i ? "#" : "") + name;
    }
    std::optional<std::string> left;
    printed([&] { left = client_leave(11); });
    ASSERT_TRUE(left);
    EXPECT_EQ(*left, expected);
    EXPECT_EQ(active_sessions, 0);
}

TEST_F(Registry, LeavingNothing) {
    create_session("x", 1);
    struct Case {
        int sock;
        std::string log;
    } cases[] = {{10, "USER alice left ALL the sessions.\n"}, {99, ""}};
    for (const Case& c : cases) {
        std::optional<std::string> left = std::string("sentinel");
        EXPECT_EQ(printed([&] { left = client_leave(c.sock); }), c.log);
        EXPECT_FALSE(left);
        EXPECT_EQ(names(), "x ");
    }
}

TEST_F(Registry, GoingOfflineKeepsRowsContiguous) {
    EXPECT_EQ(printed([] { client_go_offline(11); }), "USER bob LOGGED OUT.\n");
    EXPECT_EQ(users_online, 2);
    EXPECT_EQ(clients[0].clientID, 0);
    EXPECT_EQ(clients[1].clientID, 2);
    EXPECT_EQ(clients[1].clientSocket, 12);
    EXPECT_EQ(clients[2].clientID, -1);
    EXPECT_EQ(clients[2].clientSocket, -1);
    EXPECT_EQ(get_clientSocket(1), -1);
    EXPECT_EQ(get_clientID(12), 2);
    // A descriptor that never logged in changes nothing and prints nothing.
    EXPECT_EQ(printed([] { client_go_offline(99); }), "");
    EXPECT_EQ(users_online, 2);
}

TEST_F(Registry, ListingShowsUsersThenSessions) {
    create_session("lobby", 2);
    sessions[0]->members[sessions[0]->count++] = 0;
    EXPECT_EQ(printed(printall),
              "List of online users:\nalice\nbob\ncarol\n"
              "Session \"lobby\" members are:\ncarol\nalice\n");
}

TEST(RegistryDeath, MembershipOfAMissingSessionIsAProgrammingError) {
    registry_reset();
    EXPECT_DEATH(is_in_session(0, 0), "session_ID >= 0 && session_ID < active_sessions");
}
