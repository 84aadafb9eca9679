// Server text made safe for the terminal: control bytes are shown in caret
// notation, so no member or server can move the cursor, clear the screen
// or overwrite a line with what it sends, and the line printed for a reply
// the client cannot read.
#pragma once

#include <string>
#include <string_view>

#include "text.hpp"

// Every byte below 0x20 but TAB, and DEL, as '^' and a printable byte:
// ESC as "^[", CR as "^M", DEL as "^?". Other bytes are kept.
std::string caret_notation(std::string_view text);

// "CRITICAL ERROR: Receive protocol, '<text>', not recognized." for a
// reply the client cannot read, `text` in caret notation.
void print_unrecognized(std::string_view text);
