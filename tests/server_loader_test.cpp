// The account file loader with real files: whole lines, CRLF, lines without
// both fields, the 500-account limit, duplicates and a missing file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "printed.hpp"
#include "server_utils.hpp"

namespace {

struct Loaded {
    int n;
    std::vector<std::string> accounts;  // "id:password"
    std::string log;
};

// Writes `contents` to a new temporary file; returns its path.
std::string temp_file(const std::string& contents) {
    char path[] = "/tmp/accountsXXXXXX";
    const int fd = ::mkstemp(path);
    EXPECT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

Loaded load(const std::string& contents) {
    const std::string file = temp_file(contents);
    const char* path = file.c_str();
    static AccountTable ids, pws;
    for (auto& s : ids) s.clear();
    for (auto& s : pws) s.clear();
    Loaded out{};
    out.log = printed([&] { out.n = read_accounts(ids, pws, path); });
    for (int i = 0; i < out.n; ++i) out.accounts.push_back(ids[i] + ":" + pws[i]);
    ::unlink(path);
    return out;
}

}  // namespace

TEST(ReadAccounts, LinesAndFields) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> accounts;
        std::string log;
    } cases[] = {
        {"two lines", "alice,pw1\nbob,pw2\n", {"alice:pw1", "bob:pw2"}, ""},
        {"no final newline", "alice,pw1", {"alice:pw1"}, ""},
        {"empty file", "", {}, ""},
        {"long password kept whole", "abc,1234567\n", {"abc:1234567"}, ""},
        {"long line is one account", "abcdefgh,ij,klmnop,q\n", {"abcdefgh:ij"}, ""},
        {"third field ignored", "a,b,c\n", {"a:b"}, ""},
        {"runs of commas skipped", ",,alice,,pw\n", {"alice:pw"}, ""},
        {"CRLF", "alice,pw1\r\nbob,pw2\r\n", {"alice:pw1", "bob:pw2"}, ""},
        {"blank lines silent", "\n\r\nalice,pw1\n\n", {"alice:pw1"}, ""},
        {"missing fields",
         "onlyid\n,\nalice,\n,pw\nbob,pw2\n",
         {"bob:pw2"},
         "WARNING: accounts.csv line 1 has no login ID or no password. skipped.\n"
         "WARNING: accounts.csv line 2 has no login ID or no password. skipped.\n"
         "WARNING: accounts.csv line 3 has no login ID or no password. skipped.\n"
         "WARNING: accounts.csv line 4 has no login ID or no password. skipped.\n"},
    };
    for (const Case& c : cases) {
        const Loaded got = load(c.file);
        EXPECT_EQ(got.n, static_cast<int>(c.accounts.size())) << c.name;
        EXPECT_EQ(got.accounts, c.accounts) << c.name;
        EXPECT_EQ(got.log, c.log) << c.name;
    }
}

TEST(ReadAccounts, AtMost500Accounts) {
    std::string file = "\n";  // line numbers start one further down
    for (int i = 0; i < 503; ++i) file += "u" + std::to_string(i) + ",p\n";
    const Loaded got = load(file);
    EXPECT_EQ(got.n, 500);
    EXPECT_EQ(got.accounts.back(), "u499:p");
    EXPECT_EQ(
        got.log,
        "WARNING: accounts.csv holds more than 500 accounts. line 502 and the rest ignored.\n");
    file.clear();
    for (int i = 0; i < 500; ++i) file += "u" + std::to_string(i) + ",p\n";
    EXPECT_EQ(load(file + "\n\n").log, "");
}

TEST(ReadAccounts, MissingFileGivesMinusOne) {
    AccountTable ids, pws;
    EXPECT_EQ(read_accounts(ids, pws, "/nonexistent/dir/accounts.csv"), -1);
    EXPECT_TRUE(ids[0].empty());
}

TEST(ReadAccountsDeath, DuplicateLoginIdStopsTheServer) {
    for (const char* contents : {"a,1\na,2\n", "a,1\nb,2\nc,3\na,4\n", "a,1\r\na,2\n"}) {
        const std::string path = temp_file(contents);
        AccountTable ids, pws;
        // The line goes to standard output; send it where the death test looks.
        EXPECT_EXIT((::dup2(2, 1), read_accounts(ids, pws, path.c_str())),
                    testing::ExitedWithCode(1),
                    "ERROR: TWO USERS HAVE THE SAME LOGIN ID. QUITTING NOW...")
            << contents;
        ::unlink(path.c_str());
    }
    // Same ID differing in case is no duplicate.
    EXPECT_EQ(load("a,1\nA,2\n").n, 2);
}

TEST(Slots, EmptySlotAndMax) {
    struct Case {
        std::vector<int> slots;
        int empty;
        int top;
    } cases[] = {
        {{3, -1, 5, -1}, 1, 5},
        {{3, 4, 5}, -1, 5},
        {{-1, -1}, 0, -1},
        {{7, 9, -1, 12}, 2, 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(emptySlot(static_cast<int>(c.slots.size()), c.slots.data()), c.empty);
        EXPECT_EQ(max(static_cast<int>(c.slots.size()), c.slots.data()), c.top);
    }
}
