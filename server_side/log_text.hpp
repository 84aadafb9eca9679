// Bytes that came from a client, made safe for the operator's log.
#pragma once

#include <string>
#include <string_view>

// `text` with every control byte (below 0x20 but TAB, and 0x7F) and every
// byte of a C1 control written as \xHH, so no one can forge a log line or
// drive the operator's terminal. Other UTF-8 text is left as it is.
std::string printable(std::string_view text);
