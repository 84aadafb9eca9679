// The prompt's argument checks: identifiers are letters and digits of
// bounded length, ports are decimal numbers in the unprivileged range.
#include "validation.hpp"

#include <cstdio>
#include <string>

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

// How one kind of name is called in its three refusals, and its longest length.
struct NameRule {
    const char* absent;  // "ERROR: No <absent> entered."
    const char* length;  // "ERROR: <length> length must be between 1-<limit>."
    const char* chars;   // "ERROR: <chars> contains invalid characters. ..."
    std::size_t limit;
    bool echo;  // the refusals show the name: "<length>, <name>, length ..."
};

// 1 absent, 2 length outside 1..limit, 3 a character outside 0-9, a-z, A-Z.
int check_name(Arg name, const NameRule& rule) {
    if (!name) {
        std::printf("ERROR: No %s entered.\n", rule.absent);
        return 1;
    }
    const std::string echo = rule.echo ? ", " + std::string(*name) + "," : std::string();
    if (name->empty() || name->size() > rule.limit) {
        std::printf("ERROR: %s%s length must be between 1-%zu.\n", rule.length, echo.c_str(),
                    rule.limit);
        return 2;
    }
    if (!all_name_chars(*name)) {
        std::printf(
            "ERROR: %s%s contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n",
            rule.chars, echo.c_str());
        return 3;
    }
    return 0;
}

}  // namespace

int chk_clientID(Arg clientID) {
    return check_name(clientID, {"clientID", "ClientID", "clientID", MAX_CLIENTID_LEN, false});
}

int chk_password(Arg password) {
    return check_name(password, {"password", "Password", "Password", MAX_PASSWORD_LEN, false});
}

int chk_sessionID(Arg sessionID) {
    return check_name(sessionID, {"sessionID", "SessionID", "sessionID", MAX_SESSIONID_LEN, true});
}

bool is_name(std::string_view text, std::size_t limit) {
    return !text.empty() && text.size() <= limit && all_name_chars(text);
}

bool is_sessionID(std::string_view name) {
    return is_name(name, MAX_SESSIONID_LEN);
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
