// Keyboard lines read from a descriptor through the reader's own buffer.
// The main loop asks the reader whether a whole line is already buffered
// before it waits in select(), which cannot see bytes taken off the
// descriptor earlier (several lines pasted or piped at once).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "protocol.hpp"

class LineEditor;

class LineReader {
public:
    enum class Result { line, too_long, end };

    // A line holds at most this many characters with its newline.
    static constexpr std::size_t LINE_LIMIT = proto::BUFFER_SIZE;

    explicit LineReader(int fd) : fd_(fd) {}

    // From now on, lines come from `editor` (a terminal) instead of read().
    void attach(LineEditor* editor) { editor_ = editor; }

    // True when next() can answer without reading: a whole line, an
    // over-long line or the end of input is waiting in the buffer.
    bool ready() const;

    // Reads once from the descriptor. End of input and read errors both
    // count as the end of input.
    void fill();

    // Takes the next line, reading as often as needed. The line comes
    // without its newline and ends at its first NUL byte; it stays valid
    // until the next call. A line of LINE_LIMIT characters or more before
    // its newline gives too_long, and the rest of it, up to and including
    // its newline, is dropped unread.
    Result next(std::string_view& line);

    // Shows `question` where the prompt goes (in the editor at a terminal)
    // and takes the next line, as next() does, as its answer.
    Result ask(const std::string& question, std::string_view& line);

private:
    std::string_view pending() const { return {buf_.data() + begin_, end_ - begin_}; }
    void drop_rest_of_line();
    void take_from_editor();

    int fd_;
    LineEditor* editor_ = nullptr;
    std::array<char, 4096> buf_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool dropping_ = false;  // the rest of an over-long line is still to come
};
