// The prompt's argument checks: identifiers are letters and digits of
// bounded length, ports are decimal numbers in the unprivileged range.
#include "validation.hpp"

#include <cstdio>

namespace {

bool is_name_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool all_name_chars(std::string_view text) {
    for (char c : text) {
        if (!is_name_char(c)) return false;
    }
    return true;
}

int print_length_error(const char* what, std::size_t limit) {
    std::printf("ERROR: %s length must be between 1-%zu.\n", what, limit);
    return 2;
}

}  // namespace

int chk_clientID(Arg clientID) {
    if (!clientID) {
        std::printf("ERROR: No clientID entered.\n");
        return 1;
    }
    if (clientID->empty() || clientID->size() > MAX_CLIENTID_LEN) {
        return print_length_error("ClientID", MAX_CLIENTID_LEN);
    }
    if (!all_name_chars(*clientID)) {
        std::printf(
            "ERROR: clientID contains invalid characters. Valid characters are 0-9, a-z and "
            "A-Z.\n");
        return 3;
    }
    return 0;
}

int chk_password(Arg password) {
    if (!password) {
        std::printf("ERROR: No password entered.\n");
        return 1;
    }
    if (password->empty() || password->size() > MAX_PASSWORD_LEN) {
        return print_length_error("Password", MAX_PASSWORD_LEN);
    }
    if (!all_name_chars(*password)) {
        std::printf(
            "ERROR: Password contains invalid characters. Valid characters are 0-9, a-z and "
            "A-Z.\n");
        return 3;
    }
    return 0;
}

int chk_sessionID(Arg sessionID) {
    if (!sessionID) {
        std::printf("ERROR: No sessionID entered.\n");
        return 1;
    }
    const int n = static_cast<int>(sessionID->size());
    if (sessionID->empty() || sessionID->size() > MAX_SESSIONID_LEN) {
        std::printf("ERROR: SessionID, %.*s, length must be between 1-%zu.\n", n, sessionID->data(),
                    MAX_SESSIONID_LEN);
        return 2;
    }
    if (!all_name_chars(*sessionID)) {
        std::printf(
            "ERROR: sessionID, %.*s, contains invalid characters. Valid characters are 0-9, "
            "a-z and A-Z.\n",
            n, sessionID->data());
        return 3;
    }
    return 0;
}

int chk_serverIP(Arg serverIP) {
    if (!serverIP) {
        std::printf("ERROR: No serverIP entered.\n");
        return 1;
    }
    return 0;
}

int chk_serverPort(Arg serverPort) {
    if (!serverPort) {
        std::printf("ERROR: No serverPort entered.\n");
        return 1;
    }
    long value = 0;
    bool too_big = false;
    for (char c : *serverPort) {
        if (c < '0' || c > '9') {
            std::printf("ERROR: The server port must be a NUMBER.\n");
            return 1;
        }
        // Once past the largest port the exact value no longer matters.
        if (!too_big) value = value * 10 + (c - '0');
        if (value > MAX_SERVER_PORT) too_big = true;
    }
    if (too_big || value < MIN_SERVER_PORT) {
        std::printf("ERROR: The server port number must be greater than %ld and less than %ld.\n",
                    MIN_SERVER_PORT - 1, MAX_SERVER_PORT + 1);
        return 2;
    }
    return 0;
}
