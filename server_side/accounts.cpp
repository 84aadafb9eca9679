// The account file loader. The file is read line by line with a bounded
// line length, so an editor's byte-order mark, a CR before the LF, an
// endless line or a file that is really a device cannot upset it.
#include "accounts.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "log.hpp"
#include "log_text.hpp"
#include "tokenizer.hpp"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads the next line (without its LF) into `line`, keeping at most
// MAX_ACCOUNT_LINE + 1 characters of it. False at the end of the file or
// once `total` has passed MAX_ACCOUNT_FILE.
bool next_line(std::FILE* f, std::string& line, long& total) {
    line.clear();
    int c;
    while (total < MAX_ACCOUNT_FILE && (c = std::getc(f)) != EOF) {
        ++total;
        if (c == '\n') return true;
        if (line.size() <= MAX_ACCOUNT_LINE) line += static_cast<char>(c);
    }
    return !line.empty() && total < MAX_ACCOUNT_FILE;
}

void print_unreadable(int err) {
    if (err == ENOENT) {
        std::array<char, PATH_MAX> dir{};
        if (::getcwd(dir.data(), dir.size()) == nullptr) dir[0] = '\0';
        log_line("WARNING: accounts.csv not found in %s\n", dir.data());
    } else {
        log_line("WARNING: cannot read accounts.csv: %s\n", std::strerror(err));
    }
}

// Index of the first of the `n` login IDs equal to `id`, or -1.
int check_duplicates(const AccountTable& ids, const std::string& id, int n) {
    for (int i = 0; i < n; ++i) {
        if (ids[i] == id) return i;
    }
    return -1;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// True when `field` starts or ends with a space or a tab.
bool has_outer_blank(std::string_view field) {
    return !field.empty() && (is_blank(field.front()) || is_blank(field.back()));
}

}  // namespace

int read_accounts(AccountTable& ids, AccountTable& passwords, const char* path, bool starting) {
    // The tables end up holding the whole file's accounts or none: what is
    // read goes into tables of its own, handed over once the file is done.
    ids = passwords = AccountTable{};
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "r"));
    if (!file) {
        print_unreadable(errno);
        return -1;
    }
    AccountTable read_ids{};
    AccountTable read_passwords{};
    std::array<int, MAX_ACCOUNTS> line_of{};
    int n = 0;
    int line_no = 0;
    long total = 0;
    std::string line;
    while (next_line(file.get(), line, total)) {
        ++line_no;
        if (line_no == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        // The login ID is the first non-empty run before a comma, the
        // password the next; anything after them is ignored.
        Tokenizer fields(line);
        const auto id = fields.next(',');
        const auto password = fields.next(',');
        if (!id || !password || line.size() > MAX_ACCOUNT_LINE) {
            log_line("WARNING: accounts.csv line %d has no login ID or no password. skipped.\n",
                     line_no);
            continue;
        }
        if (id->find('#') != std::string_view::npos) {
            log_line("WARNING: accounts.csv line %d: the login ID holds '#'. skipped.\n", line_no);
            continue;
        }
        if (n == MAX_ACCOUNTS) {
            log_line(
                "WARNING: accounts.csv holds more than %d accounts. line %d and the rest "
                "ignored.\n",
                MAX_ACCOUNTS, line_no);
            break;
        }
        const std::string login_id(*id);
        const int earlier = check_duplicates(read_ids, login_id, n);
        if (earlier >= 0) {
            log_line("ERROR: TWO USERS HAVE THE SAME LOGIN ID.%s\n",
                     starting ? " QUITTING NOW..." : "");
            log_line("ERROR: login ID '%s' on lines %d and %d.\n", printable(login_id).c_str(),
                     line_of[earlier], line_no);
            return -2;
        }
        // Blanks are part of the field as far as logging in goes; an editor
        // or a spreadsheet may have left them there, so they are pointed out.
        if (has_outer_blank(*id) || has_outer_blank(*password)) {
            log_line(
                "WARNING: accounts.csv line %d: a blank around the login ID or password. kept "
                "as written.\n",
                line_no);
        }
        read_ids[n] = login_id;
        read_passwords[n] = std::string(*password);
        line_of[n++] = line_no;
    }
    if (std::ferror(file.get())) {
        print_unreadable(errno);
        return -1;
    }
    if (total >= MAX_ACCOUNT_FILE) {
        log_line("WARNING: accounts.csv passes %ld bytes. line %d and the rest ignored.\n",
                 MAX_ACCOUNT_FILE, line_no + 1);
    }
    ids = std::move(read_ids);
    passwords = std::move(read_passwords);
    return n;
}
