// The client's shared state and its prompt.
#include "client_state.hpp"

#include <cstdio>

std::string lastSession;
bool promptInEditor = false;

std::string prompt_text() {
    return lastSession.empty() ? ": " : "@" + lastSession + ": ";
}

void print_prompt() {
    if (promptInEditor) return;
    std::fputs(prompt_text().c_str(), stdout);
    std::fflush(stdout);
}
