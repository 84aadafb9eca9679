#include "caret.hpp"

#include "wrap.hpp"

namespace {

// '^' and the byte 0x40 away: 0x1b -> "^[", 0x0d -> "^M", 0x7f -> "^?".
void append_caret(std::string& out, unsigned char c) {
    out += '^';
    out += static_cast<char>(c ^ 0x40);
}

}  // namespace

std::string caret_notation(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Char ch = next_char(text);
        if (ch.c1 != 0) {
            // As cat -v shows it: 0x9b (CSI) -> "M-^[", 0x85 (NEL) -> "M-^E".
            out += "M-";
            append_caret(out, static_cast<unsigned char>(ch.c1 - 0x80));
        } else if (is_control(text.front())) {
            append_caret(out, static_cast<unsigned char>(text.front()));
        } else {
            out.append(text.substr(0, ch.size));
        }
        text.remove_prefix(ch.size);
    }
    return out;
}

void print_unrecognized(std::string_view text) {
    printf_server("CRITICAL ERROR: Receive protocol, '%s', not recognized.\n",
                  caret_notation(text).c_str());
}
