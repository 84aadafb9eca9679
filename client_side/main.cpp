// The conference client: reads commands from the keyboard, talks to the
// server, and prints what happens.
#include <unistd.h>

#include "main_loop.hpp"

int main() {
    return run_client(STDIN_FILENO);
}
