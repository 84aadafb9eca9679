// Server text made safe for the terminal: control bytes are shown in caret
// notation, so no member or server can move the cursor, clear the screen
// or overwrite a line with what it sends. Also the small printing helpers
// every printout of server text uses.
#pragma once

#include <string>
#include <string_view>

// Every byte below 0x20 but TAB, and DEL, as '^' and a printable byte:
// ESC as "^[", CR as "^M", DEL as "^?". Other bytes are kept.
std::string caret_notation(std::string_view text);

// Length argument for printing a string_view with "%.*s".
inline int len(std::string_view s) {
    return static_cast<int>(s.size());
}

// "CRITICAL ERROR: Receive protocol, '<text>', not recognized." for a
// reply the client cannot read, `text` in caret notation.
void print_unrecognized(std::string_view text);
