// Small helpers for printing text that came off a connection.
#pragma once

#include <cstddef>
#include <string_view>

// Length argument for printing a string_view with "%.*s".
inline int len(std::string_view s) {
    return static_cast<int>(s.size());
}

// A byte that drives a terminal instead of showing: below 0x20 but TAB, and DEL.
inline bool is_control(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

// One character of text read as UTF-8: `size` bytes (1 to 4), and the C1
// control it stands for (0x80-0x9F) or 0. A C1 control is U+0080-U+009F
// (C2 80 to C2 9F) or a byte 0x80-0x9F that starts no well-formed sequence;
// terminals that take 8-bit controls obey both. Any other byte that starts
// no well-formed sequence is a character of one byte.
struct Char {
    std::size_t size;
    unsigned char c1;
};

// The character at the start of `text`, which must not be empty.
Char next_char(std::string_view text);

// True when `text` holds a byte above 0x7F, so that C1 controls may be in it.
inline bool has_high_bytes(std::string_view text) {
    for (const char ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) return true;
    }
    return false;
}
