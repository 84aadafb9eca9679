#include "text.hpp"

namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Bytes in the well-formed UTF-8 sequence at the start of `s`, or 0. The
// ranges after the lead byte exclude overlong forms, surrogates and code
// points past U+10FFFF.
std::size_t sequence_size(std::string_view s) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = at(0);
    std::size_t n = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (!continuation(at(i))) return 0;
    }
    return n;
}

}  // namespace

Char next_char(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t n = sequence_size(text);
    if (n == 0) return {1, static_cast<unsigned char>(lead >= 0x80 && lead <= 0x9F ? lead : 0)};
    if (n == 2 && lead == 0xC2) {
        const auto second = static_cast<unsigned char>(text[1]);
        if (second <= 0x9F) return {2, second};
    }
    return {n, 0};
}
