#include <cstdio>

#include "server.hpp"

int main(int argc, char** argv) {
    // The log goes out in blocks and is flushed before every wait.
    static char log_buffer[1 << 16];
    std::setvbuf(stdout, log_buffer, _IOFBF, sizeof log_buffer);
    return server_main(argc, argv);
}
