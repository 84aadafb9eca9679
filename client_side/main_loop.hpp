// The client's main loop: banner, prompt, and one event per pass (a
// keyboard line, a server message, or a period of inactivity) handed to
// the sender, the receiver or logout.
#pragma once

#include <chrono>
#include <optional>

// The longest wait for an event while connected; then the client logs out.
inline constexpr std::chrono::microseconds IDLE_TIMEOUT{300'500'000};
// The longest wait for the answer to a login; then the login is given up.
inline constexpr std::chrono::microseconds LOGIN_TIMEOUT = std::chrono::seconds(70);

// How the loop runs: its time limits and how the keyboard is read.
struct ClientOptions {
    std::chrono::microseconds idle_timeout = IDLE_TIMEOUT;
    std::chrono::microseconds login_timeout = LOGIN_TIMEOUT;
    // Whether someone types at the keyboard as things happen, so that it is
    // read while a login waits; by default when it is a terminal. Lines from
    // a script wait for the login's answer, in order.
    std::optional<bool> interactive;
};

// What a wait found ready; neither means the time ran out.
struct Ready {
    bool failed = false;
    bool keyboard = false;
    bool server = false;
};

void print_banner();

// "STATUS: Client inactive for M minutes and S seconds. Logging out!"
void print_inactivity(std::chrono::microseconds timeout);

// Waits until the keyboard (unless `keyboard_fd` is -1) or the connection is
// readable, or `timeout` passes. Interrupted waits go on.
Ready wait_for_event(int keyboard_fd, int serverSocket, std::chrono::microseconds timeout);

// Runs the client on keyboard input from `input_fd` until /quit or the end
// of input (returns 0) or until a wait fails (returns 1). When `input_fd`
// and the output are a terminal, lines are typed through the line editor.
int run_client(int input_fd, const ClientOptions& options = {});
