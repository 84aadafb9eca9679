// State the client's interpreters share: the current session, to which
// plain lines go, and the prompt that shows it.
#pragma once

#include <string>

// Set by /msg; emptied by /logout and whenever the connection ends. Shown
// in the prompt while not empty.
extern std::string lastSession;

// "@session: " with a current session, ": " without; flushed.
void print_prompt();
