// conference-passwd. The account file is split into lines the way the
// server's loader reads it, so the tool knows which line the loader takes
// for the account and which lines it skips or never reaches. Only the
// account's password field (or its whole line) changes; the new file is
// read back with the loader itself before it replaces the old one, and
// must give exactly the old accounts with that one change.
#include "passwd_tool.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts.hpp"
#include "fd.hpp"
#include "log.hpp"
#include "log_text.hpp"
#include "password.hpp"
#include "tokenizer.hpp"
#include "validation.hpp"

namespace {

constexpr const char* USAGE = "usage: conference-passwd [-f FILE] [-d] ID\n";
// The loader reads no byte past this.
constexpr auto LOADER_CUT = static_cast<std::size_t>(MAX_ACCOUNT_FILE);
// A larger file is not taken in: the server reads only its start anyway.
constexpr off_t MAX_FILE = off_t{64} << 20;
constexpr std::string_view BOM = "\xEF\xBB\xBF";

using Accounts = std::vector<std::pair<std::string, std::string>>;

// What the loader makes of a line.
enum class Verdict { blank, account, no_password, too_long, hash_in_id, past_limit, past_cut };

struct Line {
    std::size_t begin = 0, end = 0;  // its bytes in the file, without the LF
    bool terminated = false;         // an LF follows
    Verdict verdict = Verdict::blank;
    bool cut = false;                          // the loader sees only its start
    std::optional<std::string_view> id;        // the login ID the whole line names
    std::optional<std::string_view> password;  // the password field the loader reads
};

struct Scan {
    std::vector<Line> lines;
    Accounts accounts;                 // what the loader keeps, in its order
    std::vector<std::size_t> line_of;  // the line of each account
    // The first login ID the loader finds twice (it then refuses the file).
    std::optional<std::pair<std::size_t, std::size_t>> duplicate;
};

// The loader's first two fields of a line, after it dropped a BOM (line 1
// only) and a CR at the end; `text` is what remains of the line.
struct Fields {
    std::string_view text;
    std::optional<std::string_view> id, password;
};
Fields fields_of(std::string_view text, bool first_line) {
    if (first_line && text.substr(0, BOM.size()) == BOM) text.remove_prefix(BOM.size());
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    Tokenizer fields(text);
    const auto id = fields.next(',');
    return {text, id, fields.next(',')};
}

// The file's lines and what the loader makes of each, following it byte for
// byte: it keeps MAX_ACCOUNT_LINE + 1 bytes of a line, reads a line only
// when its LF (or the end of the file) comes before LOADER_CUT, and stops
// after MAX_ACCOUNTS accounts.
Scan scan(std::string_view text) {
    Scan s;
    std::optional<Verdict> stopped;  // why the loader reads no further
    for (std::size_t pos = 0; pos < text.size();) {
        Line line;
        const std::size_t lf = text.find('\n', pos);
        line.terminated = lf != std::string_view::npos;
        line.begin = pos;
        line.end = line.terminated ? lf : text.size();
        pos = line.terminated ? lf + 1 : text.size();
        const std::string_view raw = text.substr(line.begin, line.end - line.begin);
        line.id = fields_of(raw, line.begin == 0).id;
        if (!stopped && line.end >= LOADER_CUT) stopped = Verdict::past_cut;
        if (stopped) {
            line.verdict = *stopped;
            s.lines.push_back(line);
            continue;
        }
        const Fields f = fields_of(raw.substr(0, MAX_ACCOUNT_LINE + 1), line.begin == 0);
        line.cut = raw.size() > MAX_ACCOUNT_LINE + 1;
        line.password = f.password;
        if (f.text.empty()) {
            line.verdict = Verdict::blank;
        } else if (f.text.size() > MAX_ACCOUNT_LINE) {
            line.verdict = Verdict::too_long;
        } else if (!f.id || !f.password) {
            line.verdict = Verdict::no_password;
        } else if (f.id->find('#') != std::string_view::npos) {
            line.verdict = Verdict::hash_in_id;
        } else if (s.accounts.size() == MAX_ACCOUNTS) {
            line.verdict = *(stopped = Verdict::past_limit);
        } else {
            line.verdict = Verdict::account;
            for (std::size_t i = 0; i < s.accounts.size() && !s.duplicate; ++i) {
                if (s.accounts[i].first == *f.id) s.duplicate = {s.line_of[i], s.lines.size()};
            }
            s.accounts.emplace_back(*f.id, *f.password);
            s.line_of.push_back(s.lines.size());
        }
        s.lines.push_back(line);
    }
    return s;
}

std::string lines_text(std::size_t a, std::size_t b) {
    return "lines " + std::to_string(a + 1) + " and " + std::to_string(b + 1);
}

// Why the loader does not read a line as an account; empty when it does.
std::string unread_reason(const Line& line) {
    switch (line.cut ? Verdict::too_long : line.verdict) {
        case Verdict::no_password:
            return "has no password";
        case Verdict::too_long:
            return "is longer than " + std::to_string(MAX_ACCOUNT_LINE) + " characters";
        case Verdict::past_limit:
            return "comes after the first " + std::to_string(MAX_ACCOUNTS) + " accounts";
        case Verdict::past_cut:
            return "lies past the first 4 MiB of the file";
        default:
            return "";
    }
}

struct Change {
    std::string error;  // why it cannot be made; empty when it can
    std::string text;   // the file's new text
    std::string done;   // what was done, for the user
    Accounts expected;  // what the loader must read from the new text
};

// Sets `id`'s password to `hash`, adding its line at the end when there is
// none, or with no hash deletes its line. `name` is the file as the user
// gave it.
Change change(std::string_view text, const std::string& id, const std::optional<std::string>& hash,
              const std::string& name) {
    const Scan s = scan(text);
    Change c;
    const std::string who = printable(id);
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < s.lines.size(); ++i) {
        if (s.lines[i].id == std::string_view(id)) found.push_back(i);
    }
    if (found.size() > 1) {
        c.error = who + " is on " + lines_text(found[0], found[1]) + " of " + name +
                  "; keep one of them and try again";
        return c;
    }
    if (s.duplicate) {
        const auto [a, b] = *s.duplicate;
        c.error = name + " has " + printable(*s.lines[a].id) + " on " + lines_text(a, b) +
                  ", which the server refuses; keep one of them and try again";
        return c;
    }
    c.expected = s.accounts;
    if (found.empty()) {
        if (!hash) {
            c.error = who + " is not in " + name;
        } else if (s.accounts.size() >= MAX_ACCOUNTS) {
            c.error = name + " already holds " + std::to_string(MAX_ACCOUNTS) +
                      " accounts, the most the server reads";
        } else {
            // The new line ends as the file's last line does, and the file
            // keeps ending with or without a newline.
            const std::size_t last_lf = text.rfind('\n');
            const std::string eol =
                last_lf != std::string_view::npos && last_lf > 0 && text[last_lf - 1] == '\r'
                    ? "\r\n"
                    : "\n";
            const std::string entry = id + "," + *hash;
            c.text = std::string(text);
            const bool ended = text.empty() || text.back() == '\n';
            c.text += ended ? entry + eol : eol + entry;
            c.expected.emplace_back(id, *hash);
            c.done = "Added " + who + " to " + name + ".";
        }
        return c;
    }
    const Line& line = s.lines[found[0]];
    if (line.verdict != Verdict::account || line.cut) {
        c.error = who + "'s line, line " + std::to_string(found[0] + 1) + " of " + name + ", " +
                  unread_reason(line) + ", so the server skips it; fix that line by hand";
        return c;
    }
    std::size_t k = 0;
    while (s.line_of[k] != found[0]) ++k;
    if (hash) {
        const auto from = static_cast<std::size_t>(line.password->data() - text.data());
        c.text = std::string(text.substr(0, from)) + *hash +
                 std::string(text.substr(from + line.password->size()));
        c.expected[k].second = *hash;
        c.done = "Updated password for " + who + " in " + name + ".";
        return c;
    }
    std::size_t from = line.begin;
    const std::size_t to = line.terminated ? line.end + 1 : line.end;
    if (from == 0 && text.substr(0, BOM.size()) == BOM) {
        from = BOM.size();  // the BOM stays at the start of the file
    } else if (!line.terminated && from > 0) {
        // The last line goes with the line end before it, so the file
        // still ends without one.
        --from;
        if (from > 0 && text[from - 1] == '\r') --from;
    }
    c.text = std::string(text.substr(0, from)) + std::string(text.substr(to));
    c.expected.erase(c.expected.begin() + static_cast<std::ptrdiff_t>(k));
    c.done = "Deleted " + who + " from " + name + ".";
    return c;
}

bool has_id(const Accounts& accounts, const std::string& id) {
    for (const auto& account : accounts) {
        if (account.first == id) return true;
    }
    return false;
}

// Empty when the loader reads `path` as exactly `expected`; otherwise what
// it would read differently.
std::string check_with_loader(const std::string& path, const Accounts& expected) {
    AccountTable ids{}, passwords{};
    const int n = read_accounts(ids, passwords, path.c_str());
    log_reset();  // the loader's warnings are the server's log, not ours
    if (n == -1) return "cannot read back the new file " + path;
    if (n == -2)
        return "after this change a login ID would be on two lines, which the server refuses";
    Accounts got;
    for (int i = 0; i < n; ++i) got.emplace_back(ids[i], passwords[i]);
    for (const auto& account : got) {
        if (!has_id(expected, account.first))
            return "after this change the server would also read " + printable(account.first) +
                   "'s line, which it ignores now";
    }
    for (const auto& account : expected) {
        if (!has_id(got, account.first))
            return "after this change the server would no longer read " + printable(account.first) +
                   "'s line";
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] != expected[i])
            return "after this change the server would read " + printable(got[i].first) +
                   "'s line differently";
    }
    return {};
}

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The account file, open and locked, with its text; or why not.
struct AccountFile {
    std::string path;  // where it is, a symbolic link followed
    Fd fd;             // invalid when there is no file yet
    struct stat st {};
    std::string text;
    std::string error;
};

AccountFile open_accounts(const std::string& name, bool create) {
    AccountFile f;
    f.path = name;
    struct stat st {};
    if (::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(name.c_str(), nullptr);
        if (real == nullptr) {
            f.error = errno_text("cannot follow " + name);
            return f;
        }
        f.path = real;
        std::free(real);
    }
    // A writer of the file holds its lock; when one replaced the file while
    // we waited, the new one is opened.
    for (int tries = 0; !f.fd.valid(); ++tries) {
        f.fd.reset(::open(f.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!f.fd.valid()) {
            if (errno != ENOENT || !create) f.error = errno_text("cannot read " + name);
            return f;
        }
        if (::fstat(f.fd.get(), &f.st) != 0) {
            f.error = errno_text("cannot read " + name);
            return f;
        }
        if (!S_ISREG(f.st.st_mode)) {
            f.error = name + " is not a regular file";
            return f;
        }
        if (::flock(f.fd.get(), LOCK_EX) != 0) {
            f.error = errno_text("cannot lock " + name);
            return f;
        }
        if (::stat(f.path.c_str(), &st) != 0 || st.st_ino != f.st.st_ino ||
            st.st_dev != f.st.st_dev) {
            f.fd.reset();
            if (tries == 10) {
                f.error = name + " keeps being replaced; try again";
                return f;
            }
        }
    }
    if (f.st.st_nlink > 1) {
        // A new file renamed over this name would leave the other names
        // with the old accounts.
        f.error = name + " has other hard links; a new file would not replace them";
    } else if (f.st.st_size > MAX_FILE) {
        f.error = name + " is larger than 64 MiB";
    }
    char chunk[65536];
    for (ssize_t n = 1; f.error.empty() && n != 0;) {
        n = ::read(f.fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno != EINTR) f.error = errno_text("cannot read " + name);
        if (n > 0) f.text.append(chunk, static_cast<std::size_t>(n));
    }
    return f;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Copies the old file's extended attributes, its ACL among them. The
// security ones are the system's to give; the others must come along.
std::string copy_attributes(int from, int to, const std::string& name) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size <= 0) return {};  // none, or a file system without them
    std::string names(static_cast<std::size_t>(size), '\0');
    size = ::flistxattr(from, names.data(), names.size());
    if (size < 0) return errno_text("cannot list the attributes of " + name);
    names.resize(static_cast<std::size_t>(size));
    for (std::size_t at = 0; at < names.size();) {
        const std::string key = names.c_str() + at;
        at += key.size() + 1;
        ssize_t n = ::fgetxattr(from, key.c_str(), nullptr, 0);
        std::string value(static_cast<std::size_t>(std::max<ssize_t>(n, 0)), '\0');
        if (n >= 0) n = ::fgetxattr(from, key.c_str(), value.data(), value.size());
        if (n < 0 ||
            ::fsetxattr(to, key.c_str(), value.data(), static_cast<std::size_t>(n), 0) != 0) {
            if (key.compare(0, 9, "security.") == 0) continue;
            std::string what = "cannot keep the attribute ";
            return errno_text(what.append(key).append(" of ").append(name));
        }
    }
    return {};
}

// Writes `c.text` to a new file beside the old one, checks it with the
// loader, gives it the old file's owner, mode and attributes (mode 0600 for
// a first file), and renames it over the old one. Empty on success, else why
// not; the old file is then untouched.
std::string replace_file(const AccountFile& f, const Change& c, const std::string& name) {
    const std::size_t slash = f.path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : f.path.substr(0, slash + 1);
    std::string temp = (slash == std::string::npos ? "" : dir) + "." +
                       f.path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    const Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out.valid()) return errno_text("cannot create a file in " + dir);
    const auto steps = [&]() -> std::string {
        if (!write_all(out.get(), c.text)) return errno_text("cannot write " + temp);
        if (std::string differs = check_with_loader(temp, c.expected); !differs.empty())
            return differs;
        struct stat made {};
        if (::fstat(out.get(), &made) != 0) return errno_text("cannot write " + temp);
        if (f.fd.valid() && (made.st_uid != f.st.st_uid || made.st_gid != f.st.st_gid) &&
            ::fchown(out.get(), f.st.st_uid, f.st.st_gid) != 0)
            return errno_text("cannot give the new file the owner of " + name);
        if (::fchmod(out.get(), f.fd.valid() ? f.st.st_mode & 07777 : 0600) != 0)
            return errno_text("cannot give the new file the mode of " + name);
        if (f.fd.valid()) {
            if (std::string lost = copy_attributes(f.fd.get(), out.get(), name); !lost.empty())
                return lost;
        }
        if (::fsync(out.get()) != 0) return errno_text("cannot write " + temp);
        if (f.fd.valid()) {
            if (::rename(temp.c_str(), f.path.c_str()) != 0)
                return errno_text("cannot replace " + name);
            return {};
        }
        // A first file is linked in, so one that another run made meanwhile
        // is not overwritten.
        if (::link(temp.c_str(), f.path.c_str()) != 0) return errno_text("cannot create " + name);
        ::unlink(temp.c_str());
        return {};
    };
    std::string error = steps();
    if (!error.empty()) {
        ::unlink(temp.c_str());
        return error;
    }
    // The rename itself reaches the disk with the folder.
    const Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) ::fsync(folder.get());
    return {};
}

// The terminal's settings from before echo was turned off, which a signal
// that ends the program meanwhile puts back.
termios saved_terminal{};
int terminal_fd = -1;
constexpr int TERMINAL_SIGNALS[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

void restore_terminal(int sig) {
    ::tcsetattr(terminal_fd, TCSANOW, &saved_terminal);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// One line from `in` without its LF and a CR before it; none at the end of
// the input. More than a password could hold is not kept.
std::optional<std::string> read_line(int in) {
    std::string line;
    char ch = 0;
    ssize_t n;
    while ((n = ::read(in, &ch, 1)) > 0 || (n < 0 && errno == EINTR)) {
        if (n <= 0) continue;
        if (ch == '\n') break;
        if (line.size() < 1024) line += ch;
    }
    if (n <= 0 && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The password: at a terminal asked twice without echo, else one line.
// Sets `error` when there is none or the two differ.
std::string read_password(int in, std::string& error) {
    if (!::isatty(in)) {
        auto line = read_line(in);
        if (!line) error = "no password on standard input";
        return line.value_or("");
    }
    if (::tcgetattr(in, &saved_terminal) != 0) {
        error = errno_text("cannot read the terminal's settings");
        return {};
    }
    terminal_fd = in;
    termios quiet = saved_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    std::vector<void (*)(int)> old;
    for (const int sig : TERMINAL_SIGNALS) old.push_back(std::signal(sig, restore_terminal));
    ::tcsetattr(in, TCSANOW, &quiet);
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    const auto first = read_line(in);
    std::optional<std::string> again;
    if (first) {
        std::fputs("Again: ", stderr);
        std::fflush(stderr);
        again = read_line(in);
    }
    ::tcsetattr(in, TCSANOW, &saved_terminal);
    for (std::size_t i = 0; i < old.size(); ++i) std::signal(TERMINAL_SIGNALS[i], old[i]);
    if (!first || !again) {
        error = "no password given";
    } else if (*first != *again) {
        error = "the two passwords differ";
    }
    return first.value_or("");
}

int fail(const std::string& message) {
    std::fprintf(stderr, "conference-passwd: %s\n", message.c_str());
    return 1;
}

int usage(const char* problem) {
    std::fprintf(stderr, "conference-passwd: %s\n%s", problem, USAGE);
    return 2;
}

}  // namespace

int passwd_main(int argc, char** argv, int in) {
    std::string name = "accounts.csv";
    std::optional<std::string> id;
    bool remove = false;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "-d") {
            remove = true;
        } else if (options && arg.substr(0, 2) == "-f") {
            if (arg.size() == 2 && i + 1 == argc) return usage("-f needs a file name");
            name = arg.size() > 2 ? arg.substr(2) : argv[++i];
        } else if (options && arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return usage(("unknown option " + std::string(arg)).c_str());
        } else if (id) {
            return usage("only one login ID at a time");
        } else {
            id = std::string(arg);
        }
    }
    if (!id) return usage("no login ID given");
    // An account to delete may be any the server reads; one to write must be
    // one the client can log in to.
    if (remove ? id->empty() || id->find_first_of(",#\n") != std::string::npos
               : !is_name(*id, MAX_CLIENTID_LEN)) {
        return fail(remove ? "no account can have the login ID '" + printable(*id) + "'"
                           : "the login ID must be 1 to " + std::to_string(MAX_CLIENTID_LEN) +
                                 " letters or digits (0-9, a-z, A-Z)");
    }
    std::optional<std::string> hash;
    if (!remove) {
        std::string error;
        const std::string password = read_password(in, error);
        if (!error.empty()) return fail(error);
        if (!is_name(password, MAX_PASSWORD_LEN))
            return fail("the password must be 1 to " + std::to_string(MAX_PASSWORD_LEN) +
                        " letters or digits (0-9, a-z, A-Z)");
        hash = hash_password(password);
        if (hash->empty()) return fail("cannot hash the password");
    }
    const AccountFile file = open_accounts(name, !remove);
    if (!file.error.empty()) return fail(file.error);
    const Change c = change(file.text, *id, hash, name);
    if (!c.error.empty()) return fail(c.error);
    if (const std::string error = replace_file(file, c, name); !error.empty()) return fail(error);
    std::printf("%s\n", c.done.c_str());
    return 0;
}
