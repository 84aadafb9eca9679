// conference-passwd: adds, changes and deletes accounts in the server's
// account file, storing passwords as hashes. The file is only rewritten
// when the server's loader will read every other account exactly as
// before; anything else is refused and the file left as it was.
#pragma once

// Runs the program: `argv` as on its command line, the password read from
// descriptor `in` (twice without echo when it is a terminal). Prints one
// line on standard output on success, one on standard error otherwise.
// Returns the exit status: 0 done, 1 refused or failed, 2 usage error.
int passwd_main(int argc, char** argv, int in = 0);
