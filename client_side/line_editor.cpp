// libedit's readline interface in callback mode. Built without libedit,
// the client reads every keyboard line as it does from a pipe.
#include "line_editor.hpp"

#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <utility>
#include <vector>

#include "history.hpp"
#include "sender.hpp"
#include "validation.hpp"
#include "wrap.hpp"

namespace {

constexpr std::size_t MAX_SESSIONS = 1000;  // remembered for completion
std::set<std::string, std::less<>> known_sessions;

}  // namespace

void remember_session(std::string_view name) {
    // Only a name that could be typed: nothing from the server reaches the
    // edited line unchecked.
    if (is_sessionID(name) && known_sessions.size() < MAX_SESSIONS) known_sessions.emplace(name);
}

std::vector<std::string> command_words(std::string_view prefix) {
    std::vector<std::string> words;
    for (const Command& command : command_table()) {
        const bool again = !words.empty() && words.back() == command.word;
        if (!again && command.word.substr(0, prefix.size()) == prefix) {
            words.emplace_back(command.word);
        }
    }
    return words;
}

#ifndef CONF_HAVE_LIBEDIT

bool LineEditor::wanted(int) {
    return false;
}
LineEditor::LineEditor() = default;
LineEditor::~LineEditor() = default;
void LineEditor::show(const std::string&) {}
void LineEditor::hide() {}
void LineEditor::answer_next() {}
LineEditor::Key LineEditor::read(std::string&) {
    return Key::end;
}

#else

#include <editline/readline.h>

namespace {

// What the line handler hands back to LineEditor::read.
LineEditor::Key finished = LineEditor::Key::none;
std::string finished_line;
std::string history_file;  // "": lines are kept for this run only
bool answering = false;    // the line being typed answers a question

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
    // The line as entered decides, whichever line it was recalled from.
    if (!std::exchange(answering, false) && worth_keeping(finished_line)) {
        add_history(finished_line.c_str());
        save_history_line(history_file, finished_line);
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
    rl_completion_append_character = ' ';
    if (before.find_first_not_of(' ') == std::string_view::npos) {
        candidates = command_words(prefix);
    } else {
        // /join and /msg take one session name, /leave any number.
        const std::size_t command_end = before.find(command) + command.size();
        const bool second_word =
            command_end < before.size() &&
            before.find_first_not_of(' ', command_end) == std::string_view::npos;
        // /join takes the rest of the line as its name: no blank after it.
        rl_completion_append_character = command == "/join" ? 0 : ' ';
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

// Terminal cells `text` takes as the editor draws it (a control byte as ^X).
std::size_t cells(std::string_view text) {
    std::mbstate_t state{};
    std::size_t n = 0;
    while (!text.empty()) {
        wchar_t wc = L'?';
        std::size_t used = std::mbrtowc(&wc, text.data(), text.size(), &state);
        if (used == 0 || used > text.size()) {  // a NUL, or a broken sequence
            used = 1;
            state = {};
        }
        const int width = ::wcwidth(wc);
        n += width >= 0 ? static_cast<std::size_t>(width) : 2;
        text.remove_prefix(used);
    }
    return n;
}

// Ctrl-Z while the client waits in select() stops it, and the shell puts
// its own modes on the terminal. On fg the editor's modes come back and the
// prompt and the typed text are drawn again, here in the handler: the loop
// just goes on waiting after the interruption. (While the editor reads a
// key itself, it does all that on its own.) The handler acts only while a
// line is on the screen and no editor call is under way.
volatile sig_atomic_t idle_on_screen = 0;
termios editing_modes{};
struct sigaction continue_before {};

void on_continue(int) {
    const int saved_errno = errno;
    if (idle_on_screen != 0 && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) {
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &editing_modes);
        constexpr char clear_line[] = "\r\x1b[J";
        if (::write(STDOUT_FILENO, clear_line, sizeof clear_line - 1) > 0) {
            rl_forced_update_display();
            std::fflush(stdout);
        }
    }
    errno = saved_errno;
}

// Marks an editor call under way, and afterwards whether a line is shown.
class Busy {
public:
    explicit Busy(const bool& shown) : shown_(shown) { idle_on_screen = 0; }
    ~Busy() { idle_on_screen = shown_ ? 1 : 0; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    const bool& shown_;
};

// True when the terminal has hung up (closed with SIGHUP ignored): libedit
// then reads nothing, and says nothing either.
bool hung_up() {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

bool LineEditor::wanted(int fd) {
    // Output to a file or pipe gets no cursor movements: both ends must be the terminal.
    return fd == STDIN_FILENO && ::isatty(fd) == 1 && ::isatty(STDOUT_FILENO) == 1;
}

LineEditor::LineEditor() {
    saved_ok_ = ::tcgetattr(STDIN_FILENO, &saved_) == 0;
    // The editor decodes keys in the locale's character set; in the plain C
    // locale it would drop every byte above 127 (an accented letter), so a
    // UTF-8 terminal is assumed there. Only the character type changes.
    saved_locale_ = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "");
    if (std::string_view(nl_langinfo(CODESET)) == "ANSI_X3.4-1968") {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
    rl_readline_name = "conference-client";
    rl_attempted_completion_function = complete;
    // Never "Display all N possibilities? (y or n)": the answer would be
    // read blocking, past the select loop.
    rl_completion_query_items = static_cast<int>(MAX_SESSIONS + command_table().size() + 1);
    rl_initialize();
    // The library's incremental search reads its keys itself and would hold
    // the loop (and every server line) until it ends; this search back for
    // a line holding the text before the cursor takes one key per step.
    rl_parse_and_bind("bind ^R ed-search-prev-history");
    using_history();
    stifle_history(static_cast<int>(HISTORY_LINES));
    history_file = history_path();
    for (const std::string& line : load_history(history_file)) add_history(line.c_str());
    struct sigaction action {};
    action.sa_handler = on_continue;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCONT, &action, &continue_before);
}

LineEditor::~LineEditor() {
    idle_on_screen = 0;
    ::sigaction(SIGCONT, &continue_before, nullptr);
    rl_callback_handler_remove();
    if (shown_) std::fputc('\n', stdout);
    std::fflush(stdout);
    if (saved_ok_) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved_);
    std::setlocale(LC_CTYPE, saved_locale_.c_str());
}

void LineEditor::show(const std::string& prompt) {
    if (shown_ && prompt == prompt_) return;
    const Busy busy(shown_);
    hide();
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
        ::tcgetattr(STDIN_FILENO, &editing_modes);  // the editor's, set by installing
    }
    std::fflush(stdout);
    shown_ = true;
}

void LineEditor::hide() {
    if (!shown_) return;
    const Busy busy(shown_);
    shown_ = false;
    // The cursor may stand on a lower row when the typed text wraps.
    const std::size_t width = terminal_columns();
    const std::size_t columns = width > 0 ? width : 80;
    const std::string_view before(rl_line_buffer, static_cast<std::size_t>(rl_point));
    const std::size_t row = (cells(prompt_) + cells(before)) / columns;
    std::fputc('\r', stdout);
    if (row > 0) std::printf("\x1b[%zuA", row);
    std::fputs("\x1b[J", stdout);
}

void LineEditor::answer_next() {
    answering = true;
}

LineEditor::Key LineEditor::read(std::string& line) {
    const Busy busy(shown_);
    finished = Key::none;
    rl_callback_read_char();
    if (finished == Key::none && hung_up()) finished = Key::end;
    if (finished != Key::none) shown_ = installed_ = false;
    if (finished == Key::end) std::fputc('\n', stdout);  // what follows starts a line
    if (finished == Key::line) line.swap(finished_line);
    return finished;
}

#endif
