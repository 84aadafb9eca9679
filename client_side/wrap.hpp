// What the server sends, printed at a terminal so that no line can pass for
// another: the client wraps a line wider than the terminal itself and starts
// every further row with a marker. A row that begins at column 0 without it
// is then always the start of a line from the server, however a member pads
// its text. Output that is no terminal is printed unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The start of every row after the first of a wrapped line. It is visible,
// so that it cannot be mistaken for the tab that begins a query row.
inline constexpr std::string_view CONTINUATION = "| ";

// `text` (printable characters, tabs and newlines) cut into rows of at most
// `width` terminal columns, `column` being where the cursor stands before;
// `column` is left where it stands after. A character is never split: one
// that does not fit goes whole to the next row.
std::string wrap_rows(std::string_view text, std::size_t width, std::size_t& column);

// The width of the terminal on standard output, or 0 when it is none.
std::size_t terminal_columns();

// Turns wrapping on or off; the main loop turns it on while the line editor
// runs, which is only when both the keyboard and the output are a terminal.
void wrap_at_terminal(bool on);

// Prints server text, already in caret notation, on standard output:
// wrapped while wrapping is on, as it is otherwise.
void print_server_text(std::string_view text);
[[gnu::format(printf, 1, 2)]] void printf_server(const char* format, ...);
