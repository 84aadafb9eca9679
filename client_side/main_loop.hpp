// The client's main loop: banner, prompt, and one event per pass (a
// keyboard line, a server message, or a period of inactivity) handed to
// the sender, the receiver or logout.
#pragma once

#include <chrono>

// The longest wait for an event while connected; then the client logs out.
inline constexpr std::chrono::microseconds IDLE_TIMEOUT{300'500'000};

// What a wait found ready; neither means the time ran out.
struct Ready {
    bool failed = false;
    bool keyboard = false;
    bool server = false;
};

void print_banner();

// "STATUS: Client inactive for M minutes and S seconds. Logging out!"
void print_inactivity(std::chrono::microseconds timeout);

// Waits until the keyboard or the connection is readable, or `timeout`
// passes. Interrupted waits go on.
Ready wait_for_event(int keyboard_fd, int serverSocket, std::chrono::microseconds timeout);

// Runs the client on keyboard input from `input_fd` until /quit or the end
// of input (returns 0) or until a wait fails (returns 1). When `input_fd`
// and the output are a terminal, lines are typed through the line editor.
int run_client(int input_fd, std::chrono::microseconds idle_timeout = IDLE_TIMEOUT);
