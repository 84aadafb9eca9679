#include "log_text.hpp"

#include <algorithm>

#include "text.hpp"

namespace {

void escape(std::string& out, char ch) {
    static constexpr char hex[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(ch);
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

}  // namespace

std::string printable(std::string_view text) {
    const bool plain = std::none_of(text.begin(), text.end(), is_control);
    if (plain && !has_high_bytes(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    while (!text.empty()) {
        const Char ch = next_char(text);
        const std::string_view piece = text.substr(0, ch.size);
        if (ch.c1 != 0 || is_control(text[0])) {
            for (const char b : piece) escape(out, b);
        } else {
            out.append(piece);
        }
        text.remove_prefix(ch.size);
    }
    return out;
}
