// The client's main loop and what it prints itself: the banner, the
// prompt and the inactivity notice.
#include "main_loop.hpp"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "client_state.hpp"
#include "connection.hpp"
#include "line_editor.hpp"
#include "line_reader.hpp"
#include "receiver.hpp"
#include "sender.hpp"
#include "wrap.hpp"

void print_banner() {
    std::printf("\n//********************************************************************\\\\");
    std::printf("\n//                      THE CLIENT PROGRAM                            \\\\");
    std::printf("\n//********************************************************************\\\\\n\n");
    std::printf("Type /help for the commands.\n");
}

void print_inactivity(std::chrono::microseconds timeout) {
    using std::chrono::duration_cast;
    const auto minutes = duration_cast<std::chrono::minutes>(timeout);
    const auto seconds = duration_cast<std::chrono::seconds>(timeout - minutes);
    std::printf("STATUS: Client inactive for %d minutes and %d seconds. Logging out!\n",
                static_cast<int>(minutes.count()), static_cast<int>(seconds.count()));
}

Ready wait_for_event(int keyboard_fd, int serverSocket, std::chrono::microseconds timeout) {
    std::fflush(stdout);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1'000'000);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        if (keyboard_fd >= 0) FD_SET(keyboard_fd, &readable);
        FD_SET(serverSocket, &readable);
        // An interrupted select has left the time still to wait in `limit`.
        const int ready =
            ::select(std::max(keyboard_fd, serverSocket) + 1, &readable, nullptr, nullptr, &limit);
        if (ready < 0 && errno == EINTR) continue;
        Ready got;
        got.failed = ready < 0;
        got.keyboard = ready > 0 && keyboard_fd >= 0 && FD_ISSET(keyboard_fd, &readable);
        got.server = ready > 0 && FD_ISSET(serverSocket, &readable);
        return got;
    }
}

namespace {

// Waits as wait_for_event does. Bytes already inside the TLS library are
// not seen by select(), so a connection holding some is ready at once.
Ready wait_for_server(int keyboard_fd, const ServerConnection& serverSocket,
                      std::chrono::microseconds timeout) {
    const bool buffered = serverSocket.buffered();
    Ready ready = wait_for_event(keyboard_fd, serverSocket.fd(),
                                 buffered ? std::chrono::microseconds(0) : timeout);
    ready.server = ready.server || (buffered && !ready.failed);
    return ready;
}

int wait_failed() {
    std::printf("\n\tSelect exited with error! Quitting...");
    std::fflush(stdout);
    return 1;
}

// Waits at most `limit` for the answer to the login request. The keyboard
// (`keyboard_fd`, -1 when the lines typed after /login are to wait for the
// answer) stays live meanwhile: at a terminal the editor takes the keys, so
// none is echoed raw, and /quit can give the login up. Returns false when
// a wait failed.
bool await_login(ServerConnection& serverSocket, LineReader& keyboard, LineEditor* editor,
                 int keyboard_fd, std::chrono::microseconds limit) {
    using std::chrono::microseconds;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + limit;
    bool prompt_due = true;
    while (serverSocket.logging_in()) {
        if (keyboard_fd >= 0 && prompt_due) print_prompt();
        if (keyboard_fd >= 0 && keyboard.ready()) {  // typed ahead, or just finished
            sender_while_logging_in(serverSocket, keyboard);
            prompt_due = true;
            continue;
        }
        if (keyboard_fd >= 0 && editor != nullptr) editor->show(prompt_text());
        prompt_due = false;
        const auto left = std::chrono::duration_cast<microseconds>(until - Clock::now());
        const Ready ready =
            wait_for_server(keyboard_fd, serverSocket, std::max(left, microseconds(0)));
        if (ready.failed) return false;
        if (editor != nullptr && (ready.server || !ready.keyboard)) editor->hide();
        if (ready.server) {
            prompt_due = take_login_reply(serverSocket);
        } else if (ready.keyboard) {
            keyboard.fill();
        } else {
            abandon_login(serverSocket);
        }
    }
    return true;
}

}  // namespace

int run_client(int input_fd, const ClientOptions& options) {
    print_banner();
    ServerConnection serverSocket;
    lastSession.clear();
    LineReader keyboard(input_fd);
    // At a terminal the editor draws the prompt and the line being typed;
    // going out of scope, it gives the terminal its modes back.
    std::optional<LineEditor> editor;
    if (LineEditor::wanted(input_fd)) {
        editor.emplace();
        keyboard.attach(&*editor);
    }
    promptInEditor = editor.has_value();
    wrap_at_terminal(editor.has_value());
    const int login_keyboard_fd =
        options.interactive.value_or(::isatty(input_fd) == 1) ? input_fd : -1;
    // Someone at the keyboard can be asked whether to trust a server.
    if (login_keyboard_fd >= 0) serverSocket.ask_with(&keyboard);
    // Whatever is printed while a line is being typed goes above it; then
    // the prompt and the line are drawn again below.
    const auto hide = [&editor] {
        if (editor) editor->hide();
    };
    const auto show = [&editor] {
        if (editor) editor->show(prompt_text());
    };
    bool prompt_due = true;
    while (serverSocket.state() != ServerConnection::State::quit_requested) {
        if (prompt_due) print_prompt();
        show();
        prompt_due = true;
        if (!serverSocket.connected()) {
            sender(serverSocket, keyboard);
            if (serverSocket.logging_in() &&
                !await_login(serverSocket, keyboard, editor ? &*editor : nullptr, login_keyboard_fd,
                             options.login_timeout)) {
                return wait_failed();
            }
            continue;
        }
        // A line read earlier waits only for what the server has sent meanwhile.
        const bool line_waiting = keyboard.ready();
        const Ready ready =
            wait_for_server(input_fd, serverSocket,
                            line_waiting ? std::chrono::microseconds(0) : options.idle_timeout);
        if (ready.server || !ready.keyboard) hide();
        if (ready.failed) return wait_failed();
        if (!line_waiting && !ready.keyboard && !ready.server) {
            print_inactivity(options.idle_timeout);
            logout(serverSocket);
            continue;
        }
        // The server's messages first, so a long script's replies never pile up.
        const bool printed = ready.server && receiver(serverSocket);
        show();  // before the editor takes a key
        if (ready.keyboard) keyboard.fill();
        if (keyboard.ready()) {
            if (printed) print_prompt();
            sender(serverSocket, keyboard);
        } else {
            prompt_due = printed;  // only part of a line or of a message has come
        }
    }
    std::fflush(stdout);
    return 0;
}
