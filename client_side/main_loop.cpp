// The client's main loop and what it prints itself: the banner, the
// prompt and the inactivity notice.
#include "main_loop.hpp"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "client_state.hpp"
#include "connection.hpp"
#include "line_reader.hpp"
#include "receiver.hpp"
#include "sender.hpp"

void print_banner() {
    std::printf("\n//********************************************************************\\\\");
    std::printf("\n//                      THE CLIENT PROGRAM                            \\\\");
    std::printf("\n//********************************************************************\\\\\n\n");
}

void print_prompt() {
    if (!lastSession.empty()) std::printf("@%s", lastSession.c_str());
    std::printf(": ");
    std::fflush(stdout);
}

void print_inactivity(std::chrono::microseconds timeout) {
    using std::chrono::duration_cast;
    const auto minutes = duration_cast<std::chrono::minutes>(timeout);
    const auto seconds = duration_cast<std::chrono::seconds>(timeout - minutes);
    std::printf("STATUS: Client inactive for %d minutes and %d seconds. Logging out!\n",
                static_cast<int>(minutes.count()), static_cast<int>(seconds.count()));
}

Event wait_for_event(int keyboard_fd, int serverSocket, std::chrono::microseconds timeout) {
    std::fflush(stdout);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1'000'000);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(keyboard_fd, &readable);
        FD_SET(serverSocket, &readable);
        // An interrupted select has left the time still to wait in `limit`.
        const int ready =
            ::select(std::max(keyboard_fd, serverSocket) + 1, &readable, nullptr, nullptr, &limit);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Event::failure;
        if (ready == 0) return Event::timeout;
        return FD_ISSET(keyboard_fd, &readable) ? Event::keyboard : Event::server;
    }
}

int run_client(int input_fd, std::chrono::microseconds idle_timeout) {
    print_banner();
    int serverSocket = NOT_CONNECTED;
    lastSession.clear();
    LineReader keyboard(input_fd);
    bool prompt_due = true;
    while (serverSocket != QUIT_REQUESTED) {
        if (prompt_due) print_prompt();
        prompt_due = true;
        // Lines read earlier are carried out before waiting again.
        if (serverSocket == NOT_CONNECTED || keyboard.ready()) {
            sender(serverSocket, keyboard);
            continue;
        }
        switch (wait_for_event(input_fd, serverSocket, idle_timeout)) {
            case Event::failure:
                std::printf("\n\tSelect exited with error! Quitting...");
                std::fflush(stdout);
                close_connection(serverSocket);
                return 1;
            case Event::timeout:
                print_inactivity(idle_timeout);
                logout(serverSocket);
                break;
            case Event::keyboard:
                keyboard.fill();
                if (keyboard.ready()) {
                    sender(serverSocket, keyboard);
                } else {
                    prompt_due = false;  // only part of a line has come
                }
                break;
            case Event::server:
                receiver(serverSocket);
                break;
        }
    }
    std::fflush(stdout);
    return 0;
}
