// The client's shared state and its prompt.
#include "client_state.hpp"

#include <cstdio>

std::string lastSession;

void print_prompt() {
    if (!lastSession.empty()) std::printf("@%s", lastSession.c_str());
    std::printf(": ");
    std::fflush(stdout);
}
