// conference-passwd in the test's own process, in a temporary folder: the
// account file before and after, and what the server's loader reads then.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <termios.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "accounts.hpp"
#include "log.hpp"
#include "passwd_tool.hpp"
#include "password.hpp"
#include "support.hpp"

namespace {

// How the account file is there before: a file (typed into at a terminal
// with TTY), none, a folder, a file with a second hard link (other.csv), or
// a symbolic link to real.csv.
enum Kind { PLAIN, TTY, NONE, FOLDER, HARD_LINKED, SYMLINKED };

// An edit: the file before, the arguments, what is typed, the exit status,
// standard error then standard output, the file after (empty: unchanged) and
// the accounts the loader then reads ("id,password" each); HASH stands for
// the new hash of the first line typed.
struct Edit {
    const char* name;
    Kind kind;
    std::string before, args, typed;
    int status;
    std::string said, after{}, loaded{};
};
std::ostream& operator<<(std::ostream& os, const Edit& edit) {
    return os << edit.name;
}

// `text` with HASH replaced by `hash`.
std::string with(std::string text, const std::string& hash) {
    const auto at = text.find("HASH");
    return at == std::string::npos ? text : text.replace(at, 4, hash);
}

class Passwd : public testing::TestWithParam<Edit> {};

TEST_P(Passwd, ChangesOneAccountAndNothingElse) {
    const Edit& r = GetParam();
    support::TempDir dir;
    ASSERT_EQ(::chdir(dir.path.c_str()), 0);
    const std::string file = r.kind == SYMLINKED ? "real.csv" : "accounts.csv";
    if (r.kind == FOLDER) ::mkdir("accounts.csv", 0755);
    if (r.kind == SYMLINKED) ::symlink("real.csv", "accounts.csv");
    if (r.kind != NONE && r.kind != FOLDER) {
        dir.write(file, r.before);
        ::chmod(file.c_str(), 0640);
        if (::geteuid() == 0) ::chown(file.c_str(), 4321, 4321);
    }
    const bool noted = ::setxattr(file.c_str(), "user.note", "kept", 4, 0) == 0;
    if (r.kind == HARD_LINKED) ::link("accounts.csv", "other.csv");
    const bool tty = r.kind == TTY;
    int ends[2] = {-1, -1};  // the program reads ends[0]; what is typed goes in at ends[1]
    ASSERT_TRUE(tty || ::pipe(ends) == 0);
    if (tty && ::grantpt(ends[1] = ::posix_openpt(O_RDWR | O_NOCTTY)) == 0 &&
        ::unlockpt(ends[1]) == 0)
        ends[0] = ::open(::ptsname(ends[1]), O_RDWR | O_NOCTTY);
    Fd in(ends[0]), typist(ends[1]);
    ASSERT_EQ(::write(typist.get(), r.typed.data(), r.typed.size()), ssize_t(r.typed.size()));
    if (!tty) typist.reset();
    std::istringstream words("conference-passwd " + r.args);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(passwd_main(int(argv.size()), argv.data(), in.get()), r.status);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr() + out, r.said);
    termios tio{};  // echo is back on
    EXPECT_TRUE(!tty || (::tcgetattr(in.get(), &tio) == 0 && (tio.c_lflag & ECHO)));

    // The file: byte for byte around the one new hash, which holds the password.
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0;
    std::ostringstream read;
    if (S_ISREG(st.st_mode)) read << std::ifstream(file, std::ios::binary).rdbuf();
    const std::string now = read.str();
    const auto at = std::min(r.after.find("HASH"), now.size());
    const std::string hash = now.substr(at, now.find_first_of(",\r\n", at) - at);
    EXPECT_EQ(now, with(r.after.empty() ? r.before : r.after, hash));
    EXPECT_TRUE(r.after.find("HASH") == std::string::npos ||
                password_matches(hash, r.typed.substr(0, r.typed.find_first_of("\r\n"))));
    EXPECT_EQ(exists, r.kind != NONE || r.status == 0);
    if (r.kind != FOLDER && exists) {  // mode, owner and attributes kept
        EXPECT_EQ(st.st_mode & 07777, r.kind == NONE ? 0600u : 0640u);
        EXPECT_TRUE(::geteuid() != 0 || r.kind == NONE || st.st_uid == 4321);
        char note[8] = {};
        EXPECT_TRUE(!noted || ::getxattr(file.c_str(), "user.note", note, sizeof note) == 4);
    }
    const std::filesystem::directory_iterator names("."), end;  // no temporary file left
    EXPECT_EQ(std::distance(names, end),
              r.kind == NONE ? long{exists} : 1 + (r.kind >= HARD_LINKED));
    if (r.status != 0) return;
    AccountTable ids{}, passwords{};
    std::string loaded;
    for (int i = 0, n = read_accounts(ids, passwords, file.c_str()); i < n; ++i)
        loaded += (i > 0 ? " " : "") + ids[i] + "," + passwords[i];
    log_reset();
    EXPECT_EQ(loaded, with(r.loaded, hash));
}

const std::string BOM = "\xEF\xBB\xBF",
                  CUT(4 << 20, 'x'), USAGE = "usage: conference-passwd [-f FILE] [-d] ID\n";
const auto rows = [](int n) {
    std::string t;
    while (n--) t += "u" + std::to_string(n) + ",p\n";
    return t;
};
const auto no = [](const std::string& why) { return "conference-passwd: " + why + "\n"; };
const auto skips = [](const std::string& line_and_why) {
    return no("alice's line, line " + line_and_why +
              ", so the server skips it; fix that line by hand");
};
const std::string ADDED = "Added alice to accounts.csv.\n",
                  SET = "Updated password for alice in accounts.csv.\n",
                  DELETED = "Deleted alice from accounts.csv.\n";

INSTANTIATE_TEST_SUITE_P(
    Passwd, Passwd,
    testing::Values(
        Edit{"AddsAtTheEnd", PLAIN, "a,1\n# c,1\n", "alice", "0Az9aZ\n", 0, ADDED,
             "a,1\n# c,1\nalice,HASH\n", "a,1 alice,HASH"},
        Edit{"AddsInTheFilesStyle", PLAIN, BOM + "a,1\r\nb,2", "abcdefghij", "pw\n", 0,
             "Added abcdefghij to accounts.csv.\n", BOM + "a,1\r\nb,2\r\nabcdefghij,HASH",
             "a,1 b,2 abcdefghij,HASH"},
        Edit{"CreatesTheFile", NONE, "", "-f accounts.csv alice", "pw1\r\nx\n", 0, ADDED,
             "alice,HASH\n", "alice,HASH"},
        Edit{"FollowsASymbolicLink", SYMLINKED, "a,1", "alice", "pw1", 0, ADDED, "a,1\nalice,HASH",
             "a,1 alice,HASH"},
        Edit{"UpdatesOnlyThePassword", PLAIN, "#x\n,alice,,old,note\r\n", "alice", "pw1\n", 0, SET,
             "#x\n,alice,,HASH,note\r\n", "alice,HASH"},
        Edit{"AsksTwiceAtATerminal", TTY, "alice,x\n", "alice", "pw1\npw1\n", 0,
             "Password: Again: " + SET, "alice,HASH\n", "alice,HASH"},
        Edit{"DeletesTheLine", PLAIN, "a,1\r\nalice,x\r\n\nb,2\n", "-d alice", "", 0, DELETED,
             "a,1\r\n\nb,2\n", "a,1 b,2"},
        Edit{"DeletesLineOneKeepingTheBom", PLAIN, BOM + "alice,x\nb,2", "alice -d", "", 0, DELETED,
             BOM + "b,2", "b,2"},
        Edit{"DeletesTheLastLineKeepingNoNewline", PLAIN, "a,1\r\nalice,x", "-d alice", "", 0,
             DELETED, "a,1", "a,1"},
        Edit{"DeletesAnyIdTheServerReads", PLAIN, "a.b,1\nc,2\n", "-d -- a.b", "", 0,
             "Deleted a.b from accounts.csv.\n", "c,2\n", "c,2"},
        Edit{"KeepsALineReadCutShort", PLAIN, BOM + "a,p," + CUT.substr(0, 4094) + "\nb,2\n",
             "-d b", "", 0, "Deleted b from accounts.csv.\n",
             BOM + "a,p," + CUT.substr(0, 4094) + "\n", "a,p"},
        Edit{"TwoPasswordsDiffer", TTY, "alice,x\n", "alice", "pw1\npw2\n", 1,
             "Password: Again: " + no("the two passwords differ")},
        Edit{"BadId", PLAIN, "", "al_ice", "pw1\n", 1,
             no("the login ID must be 1 to 10 letters or digits (0-9, a-z, A-Z)")},
        Edit{"IdNoAccountCanHave", PLAIN, "", "-d a,b", "", 1,
             no("no account can have the login ID 'a,b'")},
        Edit{"PasswordTooLong", PLAIN, "", "alice", "pw12345\n", 1,
             no("the password must be 1 to 6 letters or digits (0-9, a-z, A-Z)")},
        Edit{"NoPassword", PLAIN, "", "alice", "", 1, no("no password on standard input")},
        Edit{"DeleteUnknown", PLAIN, "a,1\n", "-d alice", "", 1,
             no("alice is not in accounts.csv")},
        Edit{"DeleteFromNoFile", NONE, "", "-d alice", "", 1,
             no("cannot read accounts.csv: No such file or directory")},
        Edit{"NotARegularFile", FOLDER, "", "alice", "pw1\n", 1,
             no("accounts.csv is not a regular file")},
        Edit{"HardLinked", HARD_LINKED, "a,1\n", "alice", "pw1\n", 1,
             no("accounts.csv has other hard links; a new file would not replace them")},
        Edit{"OnTwoLines", PLAIN, "alice\nb,2\nalice,3\n", "alice", "pw1\n", 1,
             no("alice is on lines 1 and 3 of accounts.csv; keep one of them and try again")},
        Edit{"FileTheServerRefuses", PLAIN, "a,1\nb,1\nb,2\n", "-d a", "", 1,
             no("accounts.csv has b on lines 2 and 3, which the server refuses; keep one of them "
                "and try again")},
        Edit{"LineWithoutPassword", PLAIN, "a,1\n,alice,\n", "alice", "pw1\n", 1,
             skips("2 of accounts.csv, has no password")},
        Edit{"LineTooLong", PLAIN, "alice,p," + CUT.substr(0, 4089), "alice", "pw1\n", 1,
             skips("1 of accounts.csv, is longer than 4096 characters")},
        Edit{"LineReadCutShort", PLAIN, BOM + "alice,p," + CUT.substr(0, 4092), "-d alice", "", 1,
             skips("1 of accounts.csv, is longer than 4096 characters")},
        Edit{"LineWouldGrowTooLong", PLAIN, "alice,p," + CUT.substr(0, 4030), "alice", "pw1\n", 1,
             no("after this change the server would no longer read alice's line")},
        Edit{"AfterTheFirst500", PLAIN, rows(500) + "alice,1\n", "alice", "pw1\n", 1,
             skips("501 of accounts.csv, comes after the first 500 accounts")},
        Edit{"A501stAccount", PLAIN, rows(500), "alice", "pw1\n", 1,
             no("accounts.csv already holds 500 accounts, the most the server reads")},
        Edit{"DeleteWouldBringInTheIgnored", PLAIN, "alice,1\n" + rows(499) + "zed,1\n", "-d alice",
             "", 1,
             no("after this change the server would also read zed's line, which it ignores now")},
        // alice's LF is the first byte past the loader's 4 MiB
        Edit{"PastTheCut", PLAIN, "#" + CUT.substr(9) + "\nalice,1\n", "alice", "pw1\n", 1,
             skips("2 of accounts.csv, lies past the first 4 MiB of the file")},
        Edit{"PushesAnotherPastTheCut", PLAIN, "alice,1\n#" + CUT.substr(32) + "\nb,2\n", "alice",
             "pw1\n", 1, no("after this change the server would no longer read b's line")},
        Edit{"Help", PLAIN, "", "-h", "", 0, USAGE},
        Edit{"NoId", PLAIN, "", "-d", "", 2, no("no login ID given") + USAGE},
        Edit{"UnknownOption", PLAIN, "", "-x alice", "", 2, no("unknown option -x") + USAGE}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
