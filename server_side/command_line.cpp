#include "command_line.hpp"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "log.hpp"
#include "server.hpp"

bool valid_port(const std::string& port) {
    if (port.empty()) return false;
    if (std::all_of(port.begin(), port.end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; })) {
        const auto digits = port.find_first_not_of('0');
        return digits != std::string::npos && port.size() - digits <= 5 && std::stol(port) <= 65535;
    }
    return getservbyname(port.c_str(), "tcp") != nullptr;
}

void print_usage(const char* argv0) {
    const char* slash = std::strrchr(argv0, '/');
    const char* name = slash != nullptr ? slash + 1 : argv0;
    log_line(
        "\nUSE: %s <TCP port number to listen on>\n"
        "     %s --tls-port TLSPORT --tls-cert CHAIN.pem --tls-key KEY.pem <TCP port number>\n"
        "     %s --tls-only --tls-cert CHAIN.pem --tls-key KEY.pem <TLS port number>\n\n"
        "  --tls-port TLSPORT  also serve TLS on TLSPORT\n"
        "  --tls-cert FILE     the certificate chain in PEM, the server's own first\n"
        "  --tls-key FILE      the certificate's private key in PEM\n"
        "  --tls-only          serve TLS only, on the one port given\n"
        "  -h, --help          show this and exit\n\n"
        "Accounts are read from accounts.csv in the working directory. See %s(1).\n\n",
        name, name, name, std::strcmp(name, "server") == 0 ? "conference-server" : name);
}

namespace {

CommandLine wrong(const char* line) {
    log_line("ERROR: %s\n", line);
    return CommandLine::wrong;
}

}  // namespace

CommandLine read_command_line(int argc, char** argv, std::string& port, ServerOptions& options) {
    int ports = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") return CommandLine::help;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string* value = arg == "--tls-port"   ? &options.tls_port
                             : arg == "--tls-cert" ? &options.tls_cert
                             : arg == "--tls-key"  ? &options.tls_key
                                                   : nullptr;
        if (value != nullptr) {
            if (i + 1 == argc) return CommandLine::wrong;
            *value = argv[++i];
        } else if (arg == "--tls-only") {
            options.tls_only = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return CommandLine::wrong;
        } else {
            port = arg;
            ++ports;
        }
    }
    if (ports != 1) return CommandLine::wrong;
    const bool files = !options.tls_cert.empty() && !options.tls_key.empty();
    if (options.tls_only ? !files || !options.tls_port.empty()
                         : files != !options.tls_port.empty() ||
                               options.tls_cert.empty() != options.tls_key.empty()) {
        return wrong(options.tls_only ? "--tls-only takes --tls-cert and --tls-key, and no "
                                        "--tls-port: the port given is for TLS."
                                      : "--tls-port, --tls-cert and --tls-key go together.");
    }
    if (!valid_port(port) || (!options.tls_port.empty() && !valid_port(options.tls_port)))
        return wrong("The port must be a number from 1 to 65535 or a service name.");
    if (!options.tls_port.empty() && options.tls_port == port)
        return wrong("The TLS port must differ from the plain port.");
    return CommandLine::run;
}
