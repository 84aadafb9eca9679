// State the client's interpreters share: the current session, to which
// plain lines go, and the prompt that shows it.
#pragma once

#include <string>

// Set by /msg; emptied by /logout and whenever the connection ends. Shown
// in the prompt while not empty.
extern std::string lastSession;

// True while a line editor draws the prompt below what is printed (at a
// terminal); print_prompt then prints nothing.
extern bool promptInEditor;

// "@session: " with a current session, ": " without.
std::string prompt_text();

// Prints the prompt and flushes, unless the editor draws it.
void print_prompt();
