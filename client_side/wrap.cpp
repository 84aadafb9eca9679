// Wrapping of server text at the terminal's width, counted in display
// columns: a tab runs to the next multiple of 8, a wide character takes two.
#include "wrap.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "text.hpp"

namespace {

constexpr std::size_t TAB_STOP = 8;

bool wrapping = false;
std::size_t cursor = 0;  // the column the last print left the cursor in

// Columns the character `ch` (from next_char) takes. Where the count can be
// in doubt it errs high, which only wraps a row early: a zero-width mark
// counts one, a character the locale does not know two.
std::size_t columns_of(std::string_view ch) {
    const auto first = static_cast<unsigned char>(ch.front());
    if (ch.size() == 1) return 1;  // ASCII, or a byte that begins no character
    char32_t code = first & (0x7fU >> ch.size());
    for (std::size_t i = 1; i < ch.size(); ++i) {
        code = (code << 6U) | (static_cast<unsigned char>(ch[i]) & 0x3fU);
    }
    const int width = ::wcwidth(static_cast<wchar_t>(code));
    if (width < 0) return 2;
    return width == 0 ? 1 : static_cast<std::size_t>(width);
}

}  // namespace

std::string wrap_rows(std::string_view text, std::size_t width, std::size_t& column) {
    std::string out;
    out.reserve(text.size());
    std::size_t row_start = column;  // a row always takes one character at least
    while (!text.empty()) {
        const std::size_t size = next_char(text).size;
        const std::string_view ch = text.substr(0, size);
        text.remove_prefix(size);
        if (ch == "\n") {
            out += '\n';
            column = row_start = 0;
            continue;
        }
        const auto cells = [&] {
            return ch == "\t" ? TAB_STOP - column % TAB_STOP : columns_of(ch);
        };
        if (column + cells() > width && column > row_start) {
            out += '\n';
            out += CONTINUATION;
            column = row_start = CONTINUATION.size();
        }
        column += cells();
        out += ch;
    }
    return out;
}

std::size_t terminal_columns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void wrap_at_terminal(bool on) {
    wrapping = on;
    cursor = 0;
}

void print_server_text(std::string_view text) {
    // Read before every print, so that a resized terminal counts at once.
    const std::size_t width = wrapping ? terminal_columns() : 0;
    if (width == 0) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    const std::string rows = wrap_rows(text, width, cursor);
    std::fwrite(rows.data(), 1, rows.size(), stdout);
}

void printf_server(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // The analyzer sometimes loses track of the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (size <= 0) return;
    std::string text(static_cast<std::size_t>(size), '\0');
    va_start(args, format);
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    print_server_text(text);
}
