#include "user_dirs.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool absolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

}  // namespace

std::string user_dir(const char* variable, const char* fallback) {
    if (const char* dir = std::getenv(variable); absolute(dir)) return dir;
    const char* home = std::getenv("HOME");
    if (!absolute(home)) {
        const passwd* user = ::getpwuid(::getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (!absolute(home)) return {};
    return std::string(home) + "/" + fallback;
}

int make_folders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}
