#include "log_text.hpp"

#include <algorithm>

#include "text.hpp"

std::string printable(std::string_view text) {
    if (std::none_of(text.begin(), text.end(), is_control)) return std::string(text);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 16);
    for (const char ch : text) {
        if (!is_control(ch)) {
            out += ch;
            continue;
        }
        const auto c = static_cast<unsigned char>(ch);
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}
