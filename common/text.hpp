// Small helpers for printing text that came off a connection.
#pragma once

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
