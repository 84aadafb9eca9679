// Line editing at a terminal: the keyboard is read through libedit in its
// callback mode, one key per call, so the client's select loop stays in
// charge. Lines printed while the user types appear above the prompt, which
// is then drawn again with the typed text. Up and Down recall earlier lines,
// of this run and of earlier ones (never a /login line, which holds a
// password); Tab completes command words and the session names this client
// has seen.
#pragma once

#include <termios.h>

#include <string>
#include <string_view>
#include <vector>

// Offers `name` to Tab completion after /join, /leave and /msg.
void remember_session(std::string_view name);

// The command words that Tab completes `prefix` to, each once, in the
// order of the command table.
std::vector<std::string> command_words(std::string_view prefix);

class LineEditor {
public:
    enum class Key { none, line, end };

    // True when line editing is built in and `fd` is the standard input of
    // a terminal.
    static bool wanted(int fd);

    LineEditor();
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    // Shows `prompt` followed by the text typed so far.
    void show(const std::string& prompt);
    // Takes the prompt and the typed text off the screen, so that other
    // output starts on a clean line; show() draws them again.
    void hide();
    // The next line entered answers a question: it is not a command, and
    // history does not keep it.
    void answer_next();
    // Takes what the terminal has for us. On Key::line, `line` holds the
    // finished line and its newline; Key::end is Ctrl-D on an empty line.
    Key read(std::string& line);

private:
    // (Built without libedit, nothing uses the state.)
    [[maybe_unused]] termios saved_{};  // the terminal's modes before
    [[maybe_unused]] bool saved_ok_ = false;
    [[maybe_unused]] bool installed_ = false;  // a line is being edited
    [[maybe_unused]] bool shown_ = false;      // and is on the screen
    std::string prompt_;
    std::string saved_locale_;  // the character type before
};
