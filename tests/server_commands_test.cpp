// handle_command as several clients see it: for each request, the replies,
// relayed lines and their order, the registry afterwards, and the log lines
// that tell the operator what happened.
#include <string>
#include <vector>

#include "server_harness.hpp"

namespace {

bool contains(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

}  // namespace

class Commands : public ServerHarness {};

TEST_F(Commands, InvalidWordsAreLoggedAndIgnored) {
    struct Case {
        std::string request;
        std::string word;
    } cases[] = {
        {"", ""},         {"#QRY", ""},         {"login#alice#pw1", "login"},
        {"QRYX", "QRYX"}, {"MSGS#a#b", "MSGS"}, {"LOGOUTNOW", "LOGOUTNOW"},
    };
    const int a = connect();
    for (const Case& c : cases) {
        int result = -1;
        const std::string log = request(a, c.request, &result);
        EXPECT_EQ(log, "-------------------COMMAND:" + c.word +
                           "-------------------\nINVALID COMMAND! ... ignored it\n")
            << c.request;
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(received(a).empty()) << c.request;
    }
}

TEST_F(Commands, LoginRefusalsInTheirOrder) {
    struct Case {
        const char* name;
        std::string request;
        bool first_logged_in_as_bob;  // the requesting connection holds bob
        bool alice_online_elsewhere;
        std::string reply;
        std::string log;
    } cases[] = {
        {"wrong password", "LOGIN#alice#nope", false, false, "LG_NACK#4",
         "User:alice\tPass:nope\nUSERNAME,PASSWORD pair was not valid. log-in rejected\n"},
        {"unknown id", "LOGIN#zed#pw1", false, false, "LG_NACK#4", "log-in rejected\n"},
        {"case matters", "LOGIN#Alice#pw1", false, false, "LG_NACK#4", "log-in rejected\n"},
        {"no password", "LOGIN#alice", false, false, "LG_NACK#4",
         "User:alice\tPass:\nUSERNAME,PASSWORD pair was not valid. log-in rejected\n"},
        {"no fields", "LOGIN", false, false, "LG_NACK#4", "User:\tPass:\n"},
        {"empty password", "LOGIN#alice#", false, false, "LG_NACK#4", "log-in rejected\n"},
        {"password holds #", "LOGIN#erin#p#5", false, false, "LG_ACK",
         "Client erin successfully logged in. Client ID:4\n"},
        {"doubled # skipped", "LOGIN##alice#pw1", false, false, "LG_ACK",
         "Client alice successfully logged in. Client ID:0\n"},
        {"online elsewhere", "LOGIN#alice#pw1", false, true, "LG_NACK#2",
         "User is already logged in. login rejected.\n"},
        {"same account again", "LOGIN#bob#pw2", true, false, "LG_NACK#2",
         "User is already logged in. login rejected.\n"},
        {"connection holds another", "LOGIN#alice#pw1", true, false, "LG_NACK#3",
         "Same socket is being used by another user. login rejected.\n"},
        {"bad credentials first", "LOGIN#alice#bad", true, true, "LG_NACK#4", "log-in rejected\n"},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        conns_.clear();
        const int a = connect();
        const int other = connect();
        if (c.first_logged_in_as_bob) login_as(a, "bob");
        if (c.alice_online_elsewhere) login_as(other, "alice");
        const int before = users_online;
        const std::string log = request(a, c.request);
        EXPECT_EQ(received(a), Lines{c.reply}) << c.name;
        EXPECT_TRUE(contains(log, c.log)) << c.name << "\n" << log;
        EXPECT_EQ(users_online, before + (c.reply == "LG_ACK" ? 1 : 0)) << c.name;
        EXPECT_TRUE(received(other).empty()) << c.name;
    }
}

TEST_F(Commands, LoginWhenTheOnlineTableIsFull) {
    const int a = connect();
    for (int i = 0; i < MAX_USERS; ++i) clients[i] = ClientRow{1000 + i, 100 + i};
    users_online = MAX_USERS;
    std::string log = request(a, "LOGIN#alice#pw1");
    EXPECT_EQ(received(a), Lines{"LG_NACK#1"});
    EXPECT_TRUE(contains(log, "MAXIMUM number of users has reached. login rejected.\n"));
    request(a, "LOGIN#alice#wrong");
    EXPECT_EQ(received(a), Lines{"LG_NACK#4"});
}

TEST_F(Commands, LoginRowsKeepLoginOrder) {
    const int a = connect();
    const int b = connect();
    login_as(b, "bob");
    login_as(a, "alice");
    EXPECT_EQ(users_online, 2);
    EXPECT_EQ(clients[0].clientSocket, conns_[b].sock);
    EXPECT_EQ(clients[0].clientID, 1);
    EXPECT_EQ(clients[1].clientSocket, conns_[a].sock);
    EXPECT_EQ(clients[1].clientID, 0);
}

TEST_F(Commands, QueriesListUsersAndSessionsInOrder) {
    const int a = connect();
    const int b = connect();
    const int c = connect();
    EXPECT_EQ(request(c, "QRY"),
              "-------------------COMMAND:QRY-------------------\n"
              "QUERY requested before loggin-in. rejected.\n");
    EXPECT_EQ(received(c), Lines{"QRY_NACK"});
    EXPECT_EQ(request(c, "QRYME#x"),
              "-------------------COMMAND:QRYME-------------------\n"
              "QUERYME requested before loggin-in. rejected.\n");
    EXPECT_EQ(received(c), Lines{"QRYME_NACK"});

    login_as(a, "alice");
    login_as(b, "bob");
    request(a, "NEWCONF#lobby");
    request(a, "NEWCONF#dev");
    received(a);
    struct Case {
        int who;
        std::string request;
        std::string reply;
    } cases[] = {
        {a, "QRY", "QRY_ACK#alice#lobby#dev:bob"},
        {b, "QRY#anything", "QRY_ACK#alice#lobby#dev:bob"},
        {a, "QRYME", "QRYME_ACK#lobby#dev"},
        {b, "QRYME", "QRYME_ACK"},
    };
    for (const Case& q : cases) {
        const std::string log = request(q.who, q.request);
        EXPECT_EQ(received(q.who), Lines{q.reply}) << q.request;
        EXPECT_TRUE(contains(log, "Query Processed Successfully.\n"));
    }
}

TEST_F(Commands, LongQueryRepliesContinueInFurtherMessages) {
    const int a = connect();
    const int b = connect();
    login_as(a, "alice");
    login_as(b, "bob");
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back(std::string(60, static_cast<char>('a' + i)) + std::to_string(i));
        request(a, "NEWCONF#" + names.back());
    }
    const std::string huge(495, 'H');
    request(b, "NEWCONF#" + huge);
    received(a);
    received(b);

    request(a, "QRY");
    const Lines qry = received(a);
    ASSERT_GT(qry.size(), 1u);
    // Put the entries back together: a message that starts with the client ID
    // of the previous message's last entry continues that entry.
    std::vector<std::vector<std::string>> entries;
    for (const std::string& m : qry) {
        EXPECT_LE(m.size(), 499u);
        ASSERT_EQ(m.rfind("QRY_ACK#", 0), 0u) << m;
        std::string body = m.substr(8);
        std::size_t from = 0;
        bool first = true;
        while (from <= body.size()) {
            std::size_t to = body.find(':', from);
            if (to == std::string::npos) to = body.size();
            std::vector<std::string> fields;
            std::string entry = body.substr(from, to - from);
            std::size_t f = 0;
            while (f <= entry.size()) {
                std::size_t g = entry.find('#', f);
                if (g == std::string::npos) g = entry.size();
                fields.push_back(entry.substr(f, g - f));
                f = g + 1;
            }
            if (first && !entries.empty() && entries.back()[0] == fields[0]) {
                entries.back().insert(entries.back().end(), fields.begin() + 1, fields.end());
            } else {
                entries.push_back(fields);
            }
            first = false;
            from = to + 1;
        }
    }
    ASSERT_EQ(entries.size(), 2u);
    std::vector<std::string> alice = {"alice"};
    alice.insert(alice.end(), names.begin(), names.end());
    EXPECT_EQ(entries[0], alice);
    ASSERT_EQ(entries[1].size(), 2u);
    EXPECT_EQ(entries[1][0], "bob");
    // A name too long to fit even alone is cut to fit.
    EXPECT_EQ(entries[1][1], huge.substr(0, 499 - std::string("QRY_ACK#bob#").size()));

    request(a, "QRYME");
    const Lines me = received(a);
    ASSERT_GT(me.size(), 1u);
    std::string joined;
    for (const std::string& m : me) {
        EXPECT_LE(m.size(), 499u);
        ASSERT_EQ(m.rfind("QRYME_ACK#", 0), 0u) << m;
        joined += m.substr(9);
    }
    std::string expected;
    for (const std::string& n : names) expected += "#" + n;
    EXPECT_EQ(joined, expected);
}

TEST_F(Commands, NewconfOutcomes) {
    const int a = connect();
    const int b = connect();
    EXPECT_EQ(request(a, "NEWCONF#lobby"),
              "-------------------COMMAND:NEWCONF-------------------\n"
              "NEWCONF requested before loggin-in. rejected.\n");
    EXPECT_EQ(received(a), Lines{"NEWCONF_NACK#lobby#1"});
    for (const char* missing : {"NEWCONF", "NEWCONF#"}) {
        EXPECT_EQ(request(a, missing),
                  "-------------------COMMAND:NEWCONF-------------------\n"
                  "NEWCONF request is missing a field. ignored.\n");
        EXPECT_TRUE(received(a).empty());
    }
    login_as(a, "alice");
    login_as(b, "bob");
    EXPECT_EQ(request(a, "NEWCONF#lobby"),
              "-------------------COMMAND:NEWCONF-------------------\n"
              "Session#: 0 was created. Session Name: lobby\n"
              "List of online users:\nalice\nbob\n"
              "Session \"lobby\" members are:\nalice\n");
    EXPECT_EQ(received(a), Lines{"NEWCONF_ACK#lobby"});
    EXPECT_TRUE(received(b).empty());
    EXPECT_TRUE(
        contains(request(a, "NEWCONF#lobby"), "NEWCONF: Session name already exists. rejected.\n"));
    EXPECT_EQ(received(a), Lines{"NEWCONF_NACK#lobby#2"});
    request(b, "NEWCONF#Lobby");
    EXPECT_EQ(received(b), Lines{"NEWCONF_ACK#Lobby"});
    EXPECT_EQ(active_sessions, 2);
    ASSERT_EQ(sessions[1]->count, 1);
    EXPECT_EQ(sessions[1]->members[0], 1);

    while (active_sessions < MAX_SESSIONS) create_session("s" + std::to_string(active_sessions), 0);
    EXPECT_TRUE(
        contains(request(b, "NEWCONF#onemore"), "MAX_SESSIONS reached. NEWCONF rejected.\n"));
    EXPECT_EQ(received(b), Lines{"NEWCONF_NACK#onemore#3"});
    EXPECT_EQ(active_sessions, MAX_SESSIONS);
}

TEST_F(Commands, JoinOutcomesAndNotices) {
    const int a = connect();
    const int b = connect();
    const int c = connect();
    EXPECT_TRUE(contains(request(c, "JOIN#lobby"), "JOIN requested before loggin-in. rejected.\n"));
    EXPECT_EQ(received(c), Lines{"JOIN_NACK#lobby#1"});
    EXPECT_TRUE(contains(request(c, "JOIN#"), "JOIN request is missing a field. ignored.\n"));
    EXPECT_TRUE(received(c).empty());
    login_as(a, "alice");
    login_as(b, "bob");
    login_as(c, "carol");
    EXPECT_TRUE(contains(request(b, "JOIN#lobby"), "Session Name doesn't exist. JOIN rejected.\n"));
    EXPECT_EQ(received(b), Lines{"JOIN_NACK#lobby#2"});
    request(a, "NEWCONF#lobby");
    received(a);
    EXPECT_TRUE(contains(request(a, "JOIN#lobby"),
                         "User is already in the session. idiot!. JOIN rejected.\n"));
    EXPECT_EQ(received(a), Lines{"JOIN_NACK#lobby#4"});

    EXPECT_TRUE(contains(request(b, "JOIN#lobby"), "User bob Joined Session lobby.\n"));
    EXPECT_EQ(received(b), Lines{"JOIN_ACK#lobby"});
    EXPECT_EQ(received(a), Lines{"[lobby] bob has joined the session."});
    request(c, "JOIN#lobby");
    EXPECT_EQ(received(c), Lines{"JOIN_ACK#lobby"});
    EXPECT_EQ(received(a), Lines{"[lobby] carol has joined the session."});
    EXPECT_EQ(received(b), Lines{"[lobby] carol has joined the session."});
    EXPECT_EQ(sessions[0]->count, 3);

    // A full session refuses even one of its own members with code 3.
    Session& s = *sessions[0];
    for (int id = 200; s.count < MAX_SESSION_MEMBERS; ++id) s.members[s.count++] = id;
    EXPECT_TRUE(
        contains(request(a, "JOIN#lobby"), "MAX_SESSION_MEMBERS reached. JOIN rejected.\n"));
    EXPECT_EQ(received(a), Lines{"JOIN_NACK#lobby#3"});
}

TEST_F(Commands, LeaveAllAndByName) {
    const int a = connect();
    const int b = connect();
    const int c = connect();
    EXPECT_EQ(request(c, "LEAVE"),
              "-------------------COMMAND:LEAVE-------------------\n"
              "LEAVE requested before loggin-in. rejected.\n");
    EXPECT_TRUE(received(c).empty());
    login_as(a, "alice");
    login_as(b, "bob");
    for (const char* s : {"NEWCONF#x", "NEWCONF#a", "NEWCONF#y"}) request(a, s);
    request(b, "NEWCONF#b");
    request(b, "JOIN#a");
    received(a);
    received(b);

    // a: alice, bob; b: bob only. alice leaves a, then b (not a member), then a again.
    const std::string log = request(a, "LEAVE#a#b#a");
    EXPECT_EQ(received(a), (Lines{"LEAVE_ACK#a", "LEAVE_NACK#b", "LEAVE_NACK#a"}));
    EXPECT_TRUE(contains(log, "User \"alice\" left session \"a\"\n"));
    const std::string refusal = "received a request to leave a session they are not a part of !\n";
    EXPECT_EQ(log.find(refusal), log.rfind(refusal) - refusal.size());
    EXPECT_TRUE(received(b).empty());  // nobody hears of a departure
    ASSERT_EQ(get_sessionID("a"), 1);
    EXPECT_EQ(sessions[1]->members[0], 1);  // bob moved up to member 0

    // The only member leaves x by name: x is destroyed and the rest move down.
    request(a, "LEAVE#x#nosuch");
    EXPECT_EQ(received(a), (Lines{"LEAVE_ACK#x", "LEAVE_NACK#nosuch"}));
    EXPECT_EQ(active_sessions, 3);
    EXPECT_EQ(sessions[0]->name, "a");
    EXPECT_EQ(sessions[2]->name, "b");
    request(a, "NEWCONF#z");
    received(a);
    EXPECT_TRUE(contains(request(a, "MSG#z#hi"), "z\thi\t3\t0\talice\n"));
    EXPECT_EQ(received(a), Lines{"[z] alice says: hi"});

    // "LEAVE#" leaves nothing but still lists the registry.
    EXPECT_TRUE(contains(request(a, "LEAVE#"), "List of online users:\n"));
    EXPECT_TRUE(received(a).empty());

    // Leaving all: one LEAVE_ACK per session left, in table order.
    request(b, "JOIN#y");
    received(b);
    received(a);
    const std::string all = request(b, "LEAVE");
    EXPECT_EQ(received(b), (Lines{"LEAVE_ACK#a", "LEAVE_ACK#y", "LEAVE_ACK#b"}));
    EXPECT_TRUE(contains(all, "USER bob left ALL the sessions.\nList of online users:\n"));
    EXPECT_EQ(get_sessionID("a"), -1);
    EXPECT_EQ(get_sessionID("b"), -1);
    EXPECT_NE(get_sessionID("y"), -1);
    // In no session: no reply, the log still says so.
    EXPECT_TRUE(contains(request(b, "LEAVE"), "USER bob left ALL the sessions.\n"));
    EXPECT_TRUE(received(b).empty());
}

TEST_F(Commands, MessagesReachEveryMemberInOrder) {
    const int a = connect();
    const int b = connect();
    const int c = connect();
    const int d = connect();
    EXPECT_EQ(request(d, "MSG#lobby#hi"),
              "-------------------COMMAND:MSG-------------------\n"
              "MSG received before loggin-in. rejected.\n");
    EXPECT_TRUE(received(d).empty());
    login_as(a, "alice");
    login_as(b, "bob");
    login_as(c, "carol");
    login_as(d, "dave");
    request(b, "NEWCONF#lobby");
    request(c, "JOIN#lobby");
    request(a, "JOIN#lobby");
    for (int i : {a, b, c}) received(i);

    struct Case {
        int from;
        std::string request;
        Lines to_members;  // what each of b, c, a receives
        Lines to_sender;   // for a non-member sender
        std::string log;
    } cases[] = {
        {c,
         "MSG#lobby#hello there",
         {"[lobby] carol says: hello there"},
         {},
         "lobby\thello there\t0\t2\tcarol\n"},
        {a, "MSG##lobby#a#b:c", {"[lobby] alice says: a#b:c"}, {}, "lobby\ta#b:c\t0\t0\talice\n"},
        {d, "MSG#lobby#hi", {}, {"MSG_NACK#lobby"}, ""},
        {d, "MSG#nosuch#hi", {}, {"MSG_NACK#nosuch"}, ""},
        {a, "MSG#lobby", {}, {}, "MSG request is missing a field. ignored.\n"},
        {a, "MSG#lobby#", {}, {}, "MSG request is missing a field. ignored.\n"},
        {a, "MSG", {}, {}, "MSG request is missing a field. ignored.\n"},
    };
    for (const Case& m : cases) {
        const std::string log = request(m.from, m.request);
        EXPECT_EQ(log, "-------------------COMMAND:MSG-------------------\n" + m.log) << m.request;
        for (int member : {b, c, a}) {
            Lines got = received(member);
            EXPECT_EQ(got, m.to_members) << m.request;
        }
        EXPECT_EQ(received(d), m.to_sender) << m.request;
    }
}

TEST_F(Commands, LongChatTextGoesOutInSeveralLines) {
    const int a = connect();
    const int b = connect();
    login_as(a, "alice");
    login_as(b, "bob");
    request(a, "NEWCONF#lobby");
    request(b, "JOIN#lobby");
    received(a);
    received(b);
    const std::string prefix = "[lobby] alice says: ";
    const std::size_t room = 499 - prefix.size();
    for (std::size_t n : {room, room + 1, 2 * room + 5, std::size_t{600}}) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
        request(a, "MSG#lobby#" + text);
        for (int who : {a, b}) {
            const Lines lines = received(who);
            ASSERT_EQ(lines.size(), (n + room - 1) / room) << n;
            std::string joined;
            for (const std::string& l : lines) {
                EXPECT_LE(l.size(), 499u);
                ASSERT_EQ(l.rfind(prefix, 0), 0u);
                joined += l.substr(prefix.size());
            }
            EXPECT_EQ(joined, text) << n;
        }
    }
}

TEST_F(Commands, LogoutLeavesEverythingAndAsksForClose) {
    const int a = connect();
    const int b = connect();
    int result = -1;
    EXPECT_EQ(request(a, "LOGOUT", &result),
              "-------------------COMMAND:LOGOUT-------------------\n");
    EXPECT_EQ(result, 0);
    login_as(a, "alice");
    login_as(b, "bob");
    request(a, "NEWCONF#solo");
    request(a, "NEWCONF#shared");
    request(b, "JOIN#shared");
    received(a);
    received(b);
    const std::string log = request(a, "LOGOUT#whatever", &result);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(contains(log,
                         "USER alice left ALL the sessions.\nUSER alice LOGGED OUT.\n"
                         "List of online users:\nbob\nSession \"shared\" members are:\nbob\n"));
    EXPECT_TRUE(received(a).empty());
    EXPECT_TRUE(received(b).empty());
    EXPECT_EQ(users_online, 1);
    EXPECT_EQ(active_sessions, 1);
}

TEST_F(Commands, MemberThatStopsReadingIsDroppedAlone) {
    const int a = connect();
    const int b = connect();
    const int c = connect();
    login_as(a, "alice");
    login_as(b, "bob");
    login_as(c, "carol");
    request(a, "NEWCONF#lobby");
    request(b, "JOIN#lobby");
    request(c, "JOIN#lobby");
    received(a);
    received(b);
    const std::string text(400, 't');
    std::string log;
    std::size_t delivered = 0;
    for (int i = 0; i < 5000 && slots[3].open(); ++i) {
        log += request(a, "MSG#lobby#" + std::to_string(i) + ":" + text);
        log += printed(drop_over_limit);
        // a and b keep reading and get every line in order.
        for (int reader : {a, b}) {
            for (const std::string& l : received(reader)) {
                EXPECT_EQ(l, "[lobby] alice says: " + std::to_string(delivered / 2) + ":" + text);
                ++delivered;
            }
        }
    }
    const std::string sock = std::to_string(conns_[c].sock);
    EXPECT_TRUE(
        contains(log, "ERROR: Output queue of socket " + sock + " exceeded 1048576 bytes.\n"));
    EXPECT_TRUE(contains(
        log,
        "USER carol left ALL the sessions.\nUSER carol LOGGED OUT.\nclose socket " + sock + "\n"));
    EXPECT_GT(delivered, 2000u);
    EXPECT_EQ(users_online, 2);
    EXPECT_EQ(sessions[0]->count, 2);
}
