// The history file. Every line entered is added at once, by reading the
// file, appending and writing it anew under another name that then replaces
// it: a client that is killed, or two clients at once, never leave half a
// file, and what the other client added meanwhile stays.
#include "history.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "user_dirs.hpp"

namespace {

constexpr std::string_view BLANKS = " \t";

}  // namespace

std::string history_path() {
    const std::string dir = user_dir("XDG_STATE_HOME", ".local/state");
    return dir.empty() ? dir : dir + "/conference/history";
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
    if (make_folders(path) != 0) return false;
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
