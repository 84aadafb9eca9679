// Definitions of the client's shared state.
#include "client_state.hpp"

std::string lastSession;
