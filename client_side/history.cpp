// The history file. Every line entered is added at once, by reading the
// file, appending and writing it anew under another name that then replaces
// it: a client that is killed, or two clients at once, never leave half a
// file, and what the other client added meanwhile stays.
#include "history.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace {

constexpr std::string_view BLANKS = " \t";

bool absolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

// Makes the folders of `path` that are missing, each 0700.
bool make_folders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

std::string history_path() {
    // A relative XDG_STATE_HOME is to be ignored, as the base directory rules say.
    if (const char* state = std::getenv("XDG_STATE_HOME"); absolute(state)) {
        return std::string(state) + "/conference/history";
    }
    const char* home = std::getenv("HOME");
    if (!absolute(home)) {
        const passwd* user = ::getpwuid(::getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (!absolute(home)) return {};
    return std::string(home) + "/.local/state/conference/history";
}

bool worth_keeping(std::string_view line) {
    const std::size_t start = line.find_first_not_of(BLANKS);
    if (start == std::string_view::npos) return false;
    const std::string_view word = line.substr(start, 6);
    std::string lower(word.size(), ' ');
    for (std::size_t i = 0; i < word.size(); ++i) {
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(word[i])));
    }
    return lower != "/login";
}

std::vector<std::string> load_history(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (worth_keeping(line)) lines.push_back(line);
    }
    return lines;
}

bool save_history_line(const std::string& path, std::string_view line) {
    if (path.empty() || !worth_keeping(line) || line.find('\n') != std::string_view::npos) {
        return false;
    }
    if (!make_folders(path)) return false;
    std::vector<std::string> lines = load_history(path);
    lines.emplace_back(line);
    const std::size_t first = lines.size() > HISTORY_LINES ? lines.size() - HISTORY_LINES : 0;
    std::string text;
    for (std::size_t i = first; i < lines.size(); ++i) text += lines[i] + '\n';
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0;  // whatever the umask
    ok = ok && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}
