// libedit's readline interface in callback mode. Built without libedit,
// the client reads every keyboard line as it does from a pipe.
#include "line_editor.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace {

std::set<std::string, std::less<>> known_sessions;

}  // namespace

void remember_session(std::string_view name) {
    if (!name.empty() && known_sessions.size() < 1000) known_sessions.emplace(name);
}

#ifndef CONF_HAVE_LIBEDIT

bool LineEditor::wanted(int) {
    return false;
}
LineEditor::LineEditor() = default;
LineEditor::~LineEditor() = default;
void LineEditor::show(const std::string&) {}
void LineEditor::hide() {}
LineEditor::Key LineEditor::read(std::string&) {
    return Key::end;
}

#else

#include <editline/readline.h>

namespace {

constexpr const char* COMMANDS[] = {"/login", "/logout", "/create", "/join", "/leave", "/msg",
                                    "/qry",   "/qryme",  "/ls",     "/help", "/quit"};

// What the line handler hands back to LineEditor::read.
LineEditor::Key finished = LineEditor::Key::none;
std::string finished_line;

std::string_view first_word(std::string_view line) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start);
    return line.substr(0, line.find(' '));
}

void on_line(char* text) {
    if (text == nullptr) {
        finished = LineEditor::Key::end;
        return;
    }
    finished = LineEditor::Key::line;
    finished_line.assign(text);
    std::free(text);  // NOLINT(cppcoreguidelines-no-malloc): the library allocated it
    if (!finished_line.empty() && first_word(finished_line) != "/login") {
        add_history(finished_line.c_str());
    }
    finished_line += '\n';
    // libedit reads whole lines again once a line is done; the next show()
    // installs the handler afresh.
    rl_callback_handler_remove();
}

// The candidates of the word being completed, handed out one by one.
std::vector<std::string> candidates;

char* next_candidate(const char*, int state) {
    const auto i = static_cast<std::size_t>(state);
    return i < candidates.size() ? strdup(candidates[i].c_str()) : nullptr;
}

char** complete(const char* text, int start, int /*end*/) {
    rl_attempted_completion_over = 1;  // never fall back to file names
    const std::string_view prefix(text);
    const std::string_view before(rl_line_buffer, static_cast<std::size_t>(start));
    const std::string_view command = first_word(before);
    candidates.clear();
    if (before.find_first_not_of(' ') == std::string_view::npos) {
        for (const char* word : COMMANDS) {
            if (std::string_view(word).substr(0, prefix.size()) == prefix) {
                candidates.emplace_back(word);
            }
        }
    } else {
        // /join and /msg take one session name, /leave any number.
        const std::size_t command_end = before.find(command) + command.size();
        const bool second_word =
            command_end < before.size() &&
            before.find_first_not_of(' ', command_end) == std::string_view::npos;
        if (command == "/leave" || ((command == "/join" || command == "/msg") && second_word)) {
            for (auto it = known_sessions.lower_bound(prefix);
                 it != known_sessions.end() && it->compare(0, prefix.size(), prefix) == 0; ++it) {
                candidates.push_back(*it);
            }
        }
    }
    if (candidates.empty()) return nullptr;
    return rl_completion_matches(text, next_candidate);
}

int terminal_columns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

bool LineEditor::wanted(int fd) {
    return fd == STDIN_FILENO && ::isatty(fd) == 1;
}

LineEditor::LineEditor() {
    saved_ok_ = ::tcgetattr(STDIN_FILENO, &saved_) == 0;
    rl_readline_name = "conference-client";
    rl_attempted_completion_function = complete;
    using_history();
}

LineEditor::~LineEditor() {
    rl_callback_handler_remove();
    if (shown_) std::fputc('\n', stdout);
    std::fflush(stdout);
    if (saved_ok_) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
}

void LineEditor::show(const std::string& prompt) {
    prompt_ = prompt;
    std::fflush(stdout);
    if (installed_) {
        // Drawn again below output that hide() made room for.
        rl_set_prompt(prompt_.c_str());
        rl_forced_update_display();
    } else {
        // Installing starts a fresh line and draws its prompt.
        rl_callback_handler_install(prompt_.c_str(), on_line);
        installed_ = true;
    }
    std::fflush(stdout);
    shown_ = true;
}

void LineEditor::hide() {
    if (!shown_) return;
    shown_ = false;
    // The cursor may stand on a lower row when the typed text wraps.
    const auto columns = static_cast<std::size_t>(terminal_columns());
    const std::size_t row = (prompt_.size() + static_cast<std::size_t>(rl_point)) / columns;
    std::fputc('\r', stdout);
    if (row > 0) std::printf("\x1b[%zuA", row);
    std::fputs("\x1b[J", stdout);
}

LineEditor::Key LineEditor::read(std::string& line) {
    finished = Key::none;
    rl_callback_read_char();
    if (finished != Key::none) shown_ = installed_ = false;
    if (finished == Key::end) std::fputc('\n', stdout);  // what follows starts a line
    if (finished == Key::line) line.swap(finished_line);
    return finished;
}

#endif
