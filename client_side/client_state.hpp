// State the client's interpreters share: the current session, to which
// plain lines go, and the buffer each server message is received into.
#pragma once

#include <string>

#include "transport.hpp"

// Set by /msg, emptied by /logout; shown in the prompt while not empty.
extern std::string lastSession;

// The latest message from the server, NUL-terminated.
extern RecvBuffer buffer;
