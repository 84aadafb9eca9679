// The conference client: reads commands from the keyboard, talks to the
// server, and prints what happens. Its only arguments ask about the program
// itself; everything else is typed at its prompt.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "main_loop.hpp"

namespace {

void usage(std::FILE* to, const char* name) {
    std::fprintf(to,
                 "Usage: %s [--help | --version]\n"
                 "A terminal client for a conference server: log in, create and join sessions\n"
                 "and talk with their members. Commands are typed at its prompt (/help lists\n"
                 "them). See the manual page conference-client(1).\n",
                 name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc <= 1) return run_client(STDIN_FILENO);
    const char* slash = std::strrchr(argv[0], '/');
    const char* name = slash != nullptr ? slash + 1 : argv[0];
    const std::string_view arg = argv[1];
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
        usage(stdout, name);
        return 0;
    }
    if (argc == 2 && arg == "--version") {
        std::printf("%s %s\n", name, CONF_VERSION);
        return 0;
    }
    usage(stderr, name);
    return 2;
}
