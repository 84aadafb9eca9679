// The server program end to end, over loopback, as raw protocol clients see
// it: chat between members, clean-up of dropped clients, the nine slots,
// and the hostile cases: half-sent and drip-fed messages, members that stop
// reading or vanish, garbage, idle connections and connection storms.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "server.hpp"

using e2e::Client;
using e2e::Server;

namespace {

const char* const ACCOUNTS =
    "alice,pw1\nbob,pw2\ncarol,pw3\ndave,pw4\nerin,pw5\nfrank,pw6\n"
    "grace,pw7\nheidi,pw8\nivan,pw9\njudy,pw10\n";

const char* const IDS[] = {"alice", "bob",   "carol", "dave", "erin",
                           "frank", "grace", "heidi", "ivan", "judy"};

std::string pw(int i) {
    return "pw" + std::to_string(i + 1);
}

// A session `name` with clients 0..n-1 in it, in that order.
std::vector<std::unique_ptr<Client>> session_of(const Server& server, int n,
                                                const std::string& name) {
    std::vector<std::unique_ptr<Client>> out;
    for (int i = 0; i < n; ++i) {
        out.push_back(std::make_unique<Client>(server.port()));
        EXPECT_TRUE(out.back()->login(IDS[i], pw(i)));
        out.back()->request((i == 0 ? "NEWCONF#" : "JOIN#") + name);
        EXPECT_EQ(out.back()->next(), (i == 0 ? "NEWCONF_ACK#" : "JOIN_ACK#") + name);
        for (int j = 0; j < i; ++j) {
            EXPECT_EQ(out[j]->next(), "[" + name + "] " + IDS[i] + " has joined the session.");
        }
    }
    return out;
}

}  // namespace

TEST(ServerProgram, CommandLineAndBindFailures) {
    Server first(ACCOUNTS);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string line;
    } cases[] = {
        {{}, 1, "\nUSE: server <TCP port number to listen on>\n\n"},
        {{"5000", "extra"}, 1, "\nUSE: server <TCP port number to listen on>\n\n"},
        {{std::to_string(first.port())}, 2, "server: failed to bind\n"},
    };
    for (const Case& c : cases) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(SERVER_PATH)};
            for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(SERVER_PATH, argv.data());
            std::_Exit(127);
        }
        ::close(out[1]);
        std::string printed;
        char buf[4096];
        pollfd p{out[0], POLLIN, 0};
        while (::poll(&p, 1, e2e::WAIT_MS) > 0) {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            printed.append(buf, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_NE(printed.find(c.line), std::string::npos) << printed;
    }
}

TEST(ServerProgram, ChatBetweenMembersAndCleanupOfADroppedClient) {
    Server server(ACCOUNTS);
    ASSERT_TRUE(server.log_has("Number of accounts: 10\nlogin:alice\t pass:pw1\n"));
    auto members = session_of(server, 3, "lobby");
    members[1]->request("MSG#lobby#hello #all");
    for (auto& m : members) EXPECT_EQ(m->next(), "[lobby] bob says: hello #all");

    // carol vanishes: she leaves every session, silently, without a listing.
    members[2].reset();
    ASSERT_TRUE(
        server.log_has("USER carol left ALL the sessions.\nUSER carol LOGGED OUT.\nclose socket"));
    members[0]->request("QRY");
    EXPECT_EQ(members[0]->next(), "QRY_ACK#alice#lobby:bob#lobby");
    members[0]->request("MSG#lobby#still here");
    for (int i : {0, 1}) EXPECT_EQ(members[i]->next(), "[lobby] alice says: still here");
    EXPECT_EQ(members[1]->next(200), std::nullopt);

    // A logout is answered by closing, after what was queued before it.
    members[1]->raw(std::string("QRYME\0LOGOUT\0QRY\0", 17));
    EXPECT_EQ(members[1]->next(), "QRYME_ACK#lobby");
    EXPECT_TRUE(members[1]->closed_by_server());
    EXPECT_TRUE(server.log_has("Client Logged Out. Close Socket#"));
    EXPECT_EQ(Server::count(server.log(), "-------------------COMMAND:QRY-------------------"), 1);
}

TEST(ServerProgram, NineSlotsAndATenthThatWaits) {
    Server server(ACCOUNTS);
    std::vector<std::unique_ptr<Client>> nine;
    for (int i = 0; i < 9; ++i) {
        nine.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(nine.back()->login(IDS[i], pw(i)));
    }
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 5; ++i) waiting.push_back(std::make_unique<Client>(server.port()));
    waiting[0]->request("LOGIN#judy#pw10");
    EXPECT_EQ(waiting[0]->next(300), std::nullopt);
    ASSERT_TRUE(server.log_has("THE NEXT EMPTY SLOT IS : -1\n"));
    // Full house: the listener is not watched meanwhile, so the line comes once.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Server::count(server.log(), "THE NEXT EMPTY SLOT IS : -1\n"), 1);

    nine[4].reset();
    EXPECT_EQ(waiting[0]->next(), "LG_ACK");
    waiting[0]->request("QRY");
    EXPECT_EQ(waiting[0]->next(), "QRY_ACK#alice:bob:carol:dave:frank:grace:heidi:ivan:judy");
    for (auto& c : waiting) c.reset();
    nine.clear();
    Client late(server.port());
    EXPECT_TRUE(late.login("erin", "pw5"));
}

TEST(ServerProgram, HalfSentMessageBlocksNoOne) {
    Server server(ACCOUNTS);
    Client slow(server.port());
    Client quick(server.port());
    ASSERT_TRUE(quick.login("bob", "pw2"));
    slow.raw("LOGIN#alice#p");
    for (int i = 0; i < 200; ++i) {
        quick.request("QRY");
        ASSERT_EQ(quick.next(), "QRY_ACK#bob") << i;
    }
    slow.raw(std::string("w1\0", 3));
    EXPECT_EQ(slow.next(), "LG_ACK");
}

TEST(ServerProgram, DripFedInputIsFramedLikeAnyOther) {
    Server server(ACCOUNTS);
    auto chat = session_of(server, 2, "lobby");
    std::vector<std::unique_ptr<Client>> drips;
    std::vector<std::string> scripts;
    for (int i = 2; i < 8; ++i) {
        drips.push_back(std::make_unique<Client>(server.port()));
        scripts.push_back(std::string("LOGIN#") + IDS[i] + "#" + pw(i) + '\n' + "QRYME" + '\0' +
                          "JOIN#lobby" + '\0');
    }
    // One byte per client per round, while the other two chat.
    std::size_t longest = 0;
    for (const auto& s : scripts) longest = std::max(longest, s.size());
    int said = 0;
    for (std::size_t at = 0; at < longest; ++at) {
        for (std::size_t d = 0; d < drips.size(); ++d) {
            if (at < scripts[d].size()) drips[d]->raw(scripts[d].substr(at, 1));
        }
        if (at % 4 == 0) {
            chat[0]->request("MSG#lobby#line " + std::to_string(said));
            for (auto& c : chat)
                ASSERT_EQ(c->next(), "[lobby] alice says: line " + std::to_string(said));
            ++said;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::size_t d = 0; d < drips.size(); ++d) {
        EXPECT_EQ(drips[d]->next(), "LG_ACK") << d;
        EXPECT_EQ(drips[d]->next(), "QRYME_ACK") << d;
        EXPECT_EQ(drips[d]->next(), "JOIN_ACK#lobby") << d;
    }
}

TEST(ServerProgram, MemberThatStopsReadingIsDroppedOthersGetEverything) {
    Server server(ACCOUNTS);
    auto members = session_of(server, 3, "lobby");  // carol will not read
    const std::string text(400, 'x');
    int sent = 0;
    int got[2] = {0, 0};
    // alice sends; alice and bob read everything, in order, as it comes. The
    // kernel takes up to about 4 MiB for carol before the server queues any.
    for (; sent < 15000; ++sent) {
        ASSERT_TRUE(members[0]->request("MSG#lobby#" + std::to_string(sent) + text));
        if (sent % 50 == 49) {
            for (int r : {0, 1}) {
                while (got[r] <= sent - 25) {
                    const auto line = members[r]->next();
                    ASSERT_TRUE(line) << r << " at " << got[r];
                    ASSERT_EQ(*line, "[lobby] alice says: " + std::to_string(got[r]) + text);
                    ++got[r];
                }
            }
        }
    }
    for (int r : {0, 1}) {
        while (got[r] < sent) {
            const auto line = members[r]->next();
            ASSERT_TRUE(line) << r << " at " << got[r];
            ASSERT_EQ(*line, "[lobby] alice says: " + std::to_string(got[r]) + text);
            ++got[r];
        }
    }
    EXPECT_TRUE(server.log_has("exceeded 1048576 bytes.\n"));
    EXPECT_TRUE(
        server.log_has("USER carol left ALL the sessions.\nUSER carol LOGGED OUT.\nclose socket"));
    members[0]->request("QRY");
    EXPECT_EQ(members[0]->next(), "QRY_ACK#alice#lobby:bob#lobby");
}

TEST(ServerProgram, VanishedPeersLeaveNoTrace) {
    Server server(ACCOUNTS);
    auto stay = session_of(server, 1, "lobby");
    const int baseline = server.descriptors();
    for (int i = 0; i < 1000; ++i) {
        Client gone(server.port());
        ASSERT_TRUE(gone.login("bob", "pw2")) << i;
        gone.request("JOIN#lobby");
        ASSERT_EQ(gone.next(), "JOIN_ACK#lobby");
        ASSERT_EQ(stay[0]->next(), "[lobby] bob has joined the session.");
        gone.reset();
        stay[0]->request("MSG#lobby#m" + std::to_string(i));
        ASSERT_EQ(stay[0]->next(), "[lobby] alice says: m" + std::to_string(i));
    }
    ASSERT_TRUE(server.alive());
    ASSERT_TRUE(server.log_has("USER bob LOGGED OUT.\n", 1000));
    EXPECT_EQ(server.descriptors(), baseline);
    stay[0]->request("QRY");
    EXPECT_EQ(stay[0]->next(), "QRY_ACK#alice#lobby");
}

TEST(ServerProgram, GarbageIsDroppedAtThe501stByte) {
    Server server(ACCOUNTS);
    auto members = session_of(server, 2, "lobby");
    struct Case {
        std::size_t bytes;
        bool dropped;
    } cases[] = {{500, false}, {501, true}, {10 * 1000 * 1000, true}};
    for (const Case& c : cases) {
        Client noisy(server.port());
        ASSERT_TRUE(noisy.login("carol", "pw3"));
        noisy.request("JOIN#lobby");
        ASSERT_EQ(noisy.next(), "JOIN_ACK#lobby");
        for (auto& m : members) ASSERT_EQ(m->next(), "[lobby] carol has joined the session.");
        const std::string junk(std::min<std::size_t>(c.bytes, 1 << 20), 'g');
        for (std::size_t left = c.bytes; left > 0 && noisy.raw(std::string_view(junk).substr(
                                                         0, std::min(left, junk.size())));) {
            left -= std::min(left, junk.size());
        }
        EXPECT_EQ(noisy.closed_by_server(c.dropped ? e2e::WAIT_MS : 300), c.dropped) << c.bytes;
        if (!c.dropped) {
            noisy.request("");  // ends the 500-character word: an invalid command, no reply
            noisy.request("QRYME");
            EXPECT_EQ(noisy.next(), "QRYME_ACK#lobby");
            noisy.request("LOGOUT");
            EXPECT_TRUE(noisy.closed_by_server());
        }
        members[0]->request("QRY");
        EXPECT_EQ(members[0]->next(), "QRY_ACK#alice#lobby:bob#lobby") << c.bytes;
    }
    EXPECT_EQ(Server::count(server.log(), "ERROR: Receive buffer of size 500 bytes exceeded.\n"),
              2);
}

TEST(ServerProgram, ConnectionsThatNeverLogInGiveTheirSlotsBack) {
    // The same server, with a one-second login limit.
    Server server(ACCOUNTS, [](const std::string& port) {
        std::string arg0 = "server";
        std::string arg1 = port;
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        return server_main(2, argv, ServerOptions{1});
    });
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 9; ++i) idle.push_back(std::make_unique<Client>(server.port()));
    Client user(server.port());
    user.request("LOGIN#alice#pw1");
    EXPECT_EQ(user.next(), "LG_ACK");
    EXPECT_TRUE(server.log_has(" did not log in within 1 seconds.\nclose socket", 9));
    for (auto& c : idle) EXPECT_TRUE(c->closed_by_server());
    // A logged-in user is never timed out.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    user.request("QRY");
    EXPECT_EQ(user.next(), "QRY_ACK#alice");
}

TEST(ServerProgram, ConnectionStormLeavesNineSlotsAndNoLeaks) {
    Server server(ACCOUNTS);
    Client first(server.port());
    ASSERT_TRUE(first.login("alice", "pw1"));
    const int baseline = server.descriptors();
    for (int i = 0; i < 1000; ++i) {
        Client c(server.port());
        ASSERT_TRUE(c.connected());
        if (i % 2 == 0) {
            ASSERT_TRUE(c.login("bob", "pw2")) << i;
        }
    }
    // The last connections may still be closing: wait until every bob is out.
    ASSERT_TRUE(server.log_has("USER bob LOGGED OUT.\n", 500));
    first.request("QRY");
    EXPECT_EQ(first.next(), "QRY_ACK#alice");
    // All eight other slots still work.
    std::vector<std::unique_ptr<Client>> eight;
    for (int i = 1; i < 9; ++i) {
        eight.push_back(std::make_unique<Client>(server.port()));
        EXPECT_TRUE(eight.back()->login(IDS[i], pw(i)));
    }
    EXPECT_EQ(server.descriptors(), baseline + 8);
}
