// Reading and extending the file of known servers.
#include "known_servers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fd.hpp"
#include "user_dirs.hpp"

std::string known_servers_path() {
    const std::string dir = user_dir("XDG_CONFIG_HOME", ".config");
    return dir.empty() ? dir : dir + "/conference/known_servers";
}

KnownServer find_known_server(const std::string& path, std::string_view host, std::string_view port,
                              std::string_view fingerprint) {
    KnownServer found;
    std::ifstream file(path);
    std::string text;
    for (int n = 1; std::getline(file, text); ++n) {
        std::istringstream fields(text);
        std::string entry_host, entry_port, entry_key;
        if (!(fields >> entry_host >> entry_port >> entry_key) || entry_host.front() == '#') {
            continue;
        }
        if (entry_host != host || entry_port != port) continue;
        if (entry_key == fingerprint) return {KnownServer::same_key, n};
        // The first other key is the line to show; a later line may still match.
        if (found.status == KnownServer::unknown) found = {KnownServer::changed_key, n};
    }
    return found;
}

std::string known_server_line(std::string_view host, std::string_view port,
                              std::string_view fingerprint) {
    std::string line(host);
    line.append(" ").append(port).append(" ").append(fingerprint);
    return line;
}

int remember_server(const std::string& path, std::string_view line) {
    if (const int err = make_folders(path); err != 0) return err;
    const Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!file.valid()) return errno;
    const std::string text = std::string(line) + "\n";
    const ssize_t written = ::write(file.get(), text.data(), text.size());
    if (written < 0) return errno;
    return written == static_cast<ssize_t>(text.size()) ? 0 : EIO;
}
