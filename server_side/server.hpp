// The server's request handling and its entry points. The loop is driven
// one pass at a time: server_start opens it, server_pass runs a pass, and
// server_main does both for the command line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "connections.hpp"

// Carries out one request received on `sock`: logs it, changes the registry
// and queues the replies and relayed lines. Returns 1 when the client has
// logged out and its connection must be closed, 0 otherwise.
int handle_command(int sock, std::string_view cmd);

// Seconds a connection may stay without a login before it is dropped.
inline constexpr int LOGIN_TIMEOUT_S = 60;
// The same while every slot is taken and a connection waits to be accepted.
inline constexpr int CONTESTED_LOGIN_TIMEOUT_S = 10;
// How long the listener rests after a failed accept.
inline constexpr std::chrono::seconds ACCEPT_PAUSE{1};

struct ServerOptions {
    int login_timeout_s = LOGIN_TIMEOUT_S;
    // TLS: a second listener on tls_port (or, with tls_only, the one listener
    // on the port given to server_start), serving the chain and key in these
    // PEM files. No TLS when tls_cert is empty.
    std::string tls_port;
    std::string tls_cert;
    std::string tls_key;
    bool tls_only = false;
    // The loop's clock; a test passes its own to move time on at will.
    std::function<Clock::time_point()> clock = &Clock::now;
};

// Loads accounts.csv from the working directory (and the TLS certificate
// and key, when given), resets the registry and the slots, and listens on
// `port` (a number or a service name; "0" takes any free port). Returns the
// port bound, or minus the exit status.
int server_start(const char* port, const ServerOptions& options = {});

// The port the TLS listener is bound to, or 0 without TLS.
int server_tls_port();

// One pass of the loop: waits until a connection is ready, a deadline comes
// or `limit` passes (no limit: as long as it takes), then accepts, reads,
// carries out the requests, writes and enforces the deadlines.
void server_pass(std::optional<Clock::duration> limit = std::nullopt);

// Closes every connection and the listener and empties the registry.
void server_stop();

// Checks the command line, starts and serves for ever. Returns the exit
// status of a failed start-up.
int server_main(int argc, char** argv, const ServerOptions& options = {});
