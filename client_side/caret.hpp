// Server text made safe for the terminal: control characters are shown in
// caret notation, so no member or server can move the cursor, clear the screen
// or overwrite a line with what it sends, and the line printed for a reply
// the client cannot read.
#pragma once

#include <string>
#include <string_view>

#include "text.hpp"

// Every byte below 0x20 but TAB, and DEL, as '^' and a printable byte:
// ESC as "^[", CR as "^M", DEL as "^?". A C1 control (U+0080-U+009F, or a
// lone byte 0x80-0x9F) as "M-" and the caret form of the byte less 0x80:
// CSI as "M-^[", NEL as "M-^E". All other text is kept as it is.
std::string caret_notation(std::string_view text);

// "CRITICAL ERROR: Receive protocol, '<text>', not recognized." for a
// reply the client cannot read, `text` in caret notation.
void print_unrecognized(std::string_view text);
