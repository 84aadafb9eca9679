#include "caret.hpp"

#include <cstdio>

std::string caret_notation(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (is_control(c)) {
            out += '^';
            out += static_cast<char>(c ^ 0x40);  // 0x1b -> '[', 0x0d -> 'M', 0x7f -> '?'
        } else {
            out += c;
        }
    }
    return out;
}

void print_unrecognized(std::string_view text) {
    std::printf("CRITICAL ERROR: Receive protocol, '%s', not recognized.\n",
                caret_notation(text).c_str());
}
