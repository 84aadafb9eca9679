// Fuzz target for the account loader: the input is the account file. The
// loader must store exactly the accounts a line-by-line reading gives (the
// first two non-empty comma-separated fields of each line, a trailing CR
// dropped, lines lacking either field skipped, at most 500 accounts), each
// field non-empty and free of ',' and LF. A file with a duplicate login ID
// among the accounts read ends the program by design, so such inputs are
// recognised beforehand and skipped.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry.hpp"
#include "server_utils.hpp"

namespace {

std::string path;
int file = -1;

[[noreturn]] void fail(const char* what, long a = 0, long b = 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "account loader: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

// The next non-empty run of characters other than ',' from `pos`.
std::string_view field(std::string_view line, std::size_t& pos) {
    while (pos < line.size() && line[pos] == ',') ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ',') ++pos;
    return line.substr(start, pos - start);
}

using Accounts = std::vector<std::pair<std::string, std::string>>;

// The accounts the file holds; false when a duplicate login ID would stop
// the program.
bool expected_accounts(std::string_view text, Accounts& out) {
    std::set<std::string_view> seen;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::size_t at = 0;
        const std::string_view id = field(line, at);
        const std::string_view password = field(line, at);
        if (id.empty() || password.empty()) continue;
        if (out.size() == static_cast<std::size_t>(MAX_ACCOUNTS)) break;
        if (!seen.insert(id).second) return false;
        out.emplace_back(std::string(id), std::string(password));
    }
    return true;
}

bool clean(const std::string& s) {
    return !s.empty() && s.find(',') == std::string::npos && s.find('\n') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    // A memory-backed directory when there is one: a file is written per input.
    for (const char* dir : {"/dev/shm", "/tmp"}) {
        std::string name = std::string(dir) + "/fuzz_accounts.XXXXXX";
        file = ::mkstemp(name.data());
        if (file >= 0) {
            path = name;
            break;
        }
    }
    if (file < 0) std::abort();
    std::atexit([] { ::unlink(path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Accounts expected;
    if (!expected_accounts(text, expected)) return 0;

    if (::ftruncate(file, 0) != 0) fail("ftruncate failed");
    if (size > 0 && ::pwrite(file, data, size, 0) != static_cast<ssize_t>(size))
        fail("write failed");

    registry_reset();
    const int n = read_accounts(login, pass, path.c_str());
    if (n < 0 || n > MAX_ACCOUNTS) fail("count out of range", n);
    if (n != static_cast<int>(expected.size()))
        fail("wrong number of accounts", n, long(expected.size()));
    for (int i = 0; i < MAX_ACCOUNTS; ++i) {
        if (i >= n) {
            if (!login[i].empty() || !pass[i].empty()) fail("entry stored past the count", i);
            continue;
        }
        if (!clean(login[i]) || !clean(pass[i])) fail("empty field or field with ',' or LF", i);
        if (login[i] != expected[i].first || pass[i] != expected[i].second)
            fail("wrong account", i);
    }
    return 0;
}
