// The server's command line: the port to listen on and, for TLS, the second
// port with the certificate chain and key it serves.
#pragma once

#include <string>

struct ServerOptions;

enum class CommandLine { run, help, wrong };

// Reads `argv` into `port` and the TLS fields of `options`. A wrong command
// line has printed its error line, if it has one beyond the usage.
CommandLine read_command_line(int argc, char** argv, std::string& port, ServerOptions& options);

// The usage, with the name the program was started as.
void print_usage(const char* argv0);

// A decimal number from 1 to 65535, or a name the services database knows.
bool valid_port(const std::string& port);
