// The account file as an operator's editor may leave it: each file gives
// the accounts stored and the warnings printed.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include "accounts.hpp"
#include "support.hpp"

using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

struct File {
    const char* name;
    std::string text;
    int result;
    std::vector<std::string> accounts;  // "id,password"
    std::string warning;                // printed when not empty
};

void PrintTo(const File& f, std::ostream* os) {
    *os << f.name;
}

class Loader : public testing::TestWithParam<File> {};

TEST_P(Loader, StoresTheAccountsAndWarns) {
    support::TempDir dir;
    const std::string path = dir.write("accounts.csv", GetParam().text);
    int n = 0;
    const std::string log = support::printed([&] {
        registry_reset();
        n = read_accounts(login, pass, path.c_str());
    });
    EXPECT_EQ(n, GetParam().result);
    std::vector<std::string> got;
    for (int i = 0; i < MAX_ACCOUNTS && !login[i].empty(); ++i)
        got.push_back(login[i] + "," + pass[i]);
    if (n != MAX_ACCOUNTS) {
        EXPECT_THAT(got, ElementsAreArray(GetParam().accounts));
    }
    EXPECT_THAT(log, HasSubstr(GetParam().warning));
    if (GetParam().warning.empty()) {
        EXPECT_EQ(log, "");
    }
}

std::string many(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "u" + std::to_string(i) + ",p\n";
    return s;
}

const std::string ID4094(4094, 'i');

INSTANTIATE_TEST_SUITE_P(
    Server, Loader,
    testing::Values(File{"Plain", "alice,pw1\nbob,pw2\n", 2, {"alice,pw1", "bob,pw2"}, ""},
                    File{"EditorLeftovers",
                         "\xEF\xBB\xBF"
                         "alice,pw1\r\n\nbob,pw2,extra",
                         2,
                         {"alice,pw1", "bob,pw2"},
                         ""},
                    File{"MissingFields",
                         "alice,pw1\n,pw\nbob,\nlonely\n",
                         1,
                         {"alice,pw1"},
                         "WARNING: accounts.csv line 4 has no login ID or no password. skipped.\n"},
                    File{"LineOf4096IsKept", ID4094 + ",p\n", 1, {ID4094 + ",p"}, ""},
                    File{"LongerLineIsSkipped",
                         ID4094 + ",pw\nbob,pw2\n",
                         1,
                         {"bob,pw2"},
                         "WARNING: accounts.csv line 1 has no login ID or no password. skipped.\n"},
                    File{"HashInId",
                         "a#b,pw\nbob,pw2\n",
                         1,
                         {"bob,pw2"},
                         "WARNING: accounts.csv line 1: the login ID holds '#'. skipped.\n"},
                    File{"AtMost500", many(501), 500, {}, "more than 500 accounts. line 501"},
                    File{"Duplicate",
                         "alice,1\nbob,2\n\nalice,3\n",
                         -2,
                         {"alice,1", "bob,2"},
                         "ERROR: login ID 'alice' on lines 1 and 4.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Loader, UnreadableFilesGiveMinusOneAndSayWhy) {
    support::TempDir dir;
    ASSERT_EQ(::mkdir((dir.path + "/accounts.csv").c_str(), 0755), 0);
    EXPECT_EQ(support::printed([&] {
                  EXPECT_EQ(read_accounts(login, pass, (dir.path + "/accounts.csv").c_str()), -1);
              }),
              "WARNING: cannot read accounts.csv: Is a directory\n");
    ASSERT_EQ(::chdir(dir.path.c_str()), 0);
    ASSERT_EQ(::rmdir("accounts.csv"), 0);
    EXPECT_EQ(support::printed([] { EXPECT_EQ(read_accounts(login, pass), -1); }),
              "WARNING: accounts.csv not found in " + dir.path + "\n");
    // A link to an endless device is read no further than a sane file's size.
    ASSERT_EQ(::symlink("/dev/zero", "accounts.csv"), 0);
    EXPECT_THAT(support::printed([] { EXPECT_EQ(read_accounts(login, pass), 0); }),
                HasSubstr("line 1 and the rest ignored"));
    ASSERT_EQ(::chdir("/"), 0);
}

}  // namespace
