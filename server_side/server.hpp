// The server's request handling and its entry point.
#pragma once

#include <string_view>

// Carries out one request received on `sock`: logs it, changes the registry
// and queues the replies and relayed lines. Returns 1 when the client has
// logged out and its connection must be closed, 0 otherwise.
int handle_command(int sock, std::string_view cmd);

// Seconds a connection may stay without a login before it is dropped.
inline constexpr int LOGIN_TIMEOUT_S = 60;

struct ServerOptions {
    int login_timeout_s = LOGIN_TIMEOUT_S;
};

// Checks the command line, loads the accounts, listens on the port and
// serves for ever. Returns the exit status of a failed start-up.
int server_main(int argc, char** argv, const ServerOptions& options = {});
