// The keyboard lines kept between runs of the client at a terminal: a plain
// file of one line each, $XDG_STATE_HOME/conference/history or else
// ~/.local/state/conference/history, that only its owner may read. A line
// that logs in holds a password and is never kept.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t HISTORY_LINES = 1000;

// Where the file lives; "" when no home folder is known.
std::string history_path();

// False for a line that is never kept: one of blanks only, and one whose
// first word, after any blanks, begins with /login (in any case).
bool worth_keeping(std::string_view line);

// The lines the file holds, oldest first, those not worth keeping left out.
std::vector<std::string> load_history(const std::string& path);

// Adds `line` to the file when it is worth keeping, and keeps the file to
// its last HISTORY_LINES lines. Missing folders are made (mode 0700); the
// file is replaced whole, with mode 0600. False when it could not be written.
bool save_history_line(const std::string& path, std::string_view line);
