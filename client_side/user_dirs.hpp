// Where the client keeps the user's own files, by the XDG base directory
// rules, and the private folders they live in.
#pragma once

#include <string>

// `$variable` when it holds an absolute path (a relative one is ignored),
// else `$HOME/fallback`, with the home of the password database when HOME
// is no absolute path; "" when no home is known.
std::string user_dir(const char* variable, const char* fallback);

// Makes the missing folders on the way to the file `path`, each 0700.
// Returns 0, or the errno of the folder that could not be made.
int make_folders(const std::string& path);
