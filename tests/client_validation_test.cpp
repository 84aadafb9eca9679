// The prompt's argument checks: boundary lengths, characters and ports,
// with the code each returns and the one line it prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_support.hpp"
#include "validation.hpp"

namespace {

using client_test::StdoutCapture;

struct Case {
    Arg input;
    int code;
    std::string printed;
};

void check_all(int (*check)(Arg), const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        StdoutCapture out;
        const int code = check(c.input);
        const std::string printed = out.finish();
        const std::string shown = c.input ? "'" + std::string(*c.input) + "'" : "absent";
        EXPECT_EQ(code, c.code) << shown;
        EXPECT_EQ(printed, c.printed) << shown;
    }
}

const std::string ID_LEN = "ERROR: ClientID length must be between 1-10.\n";
const std::string ID_CHARS =
    "ERROR: clientID contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n";
const std::string PW_LEN = "ERROR: Password length must be between 1-6.\n";
const std::string PW_CHARS =
    "ERROR: Password contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n";
const std::string PORT_NUMBER = "ERROR: The server port must be a NUMBER.\n";
const std::string PORT_RANGE =
    "ERROR: The server port number must be greater than 1023 and less than 65536.\n";

std::string session_len(const std::string& name) {
    return "ERROR: SessionID, " + name + ", length must be between 1-10.\n";
}
std::string session_chars(const std::string& name) {
    return "ERROR: sessionID, " + name +
           ", contains invalid characters. Valid characters are 0-9, a-z and A-Z.\n";
}

TEST(ClientValidation, ClientID) {
    check_all(chk_clientID, {
                                {std::nullopt, 1, "ERROR: No clientID entered.\n"},
                                {"", 2, ID_LEN},
                                {"a", 0, ""},
                                {"Alice09zZ0", 0, ""},
                                {"alice678901", 2, ID_LEN},
                                {"al ce", 3, ID_CHARS},
                                {"al#ce", 3, ID_CHARS},
                                {"al:ce", 3, ID_CHARS},
                                {"al\tce", 3, ID_CHARS},
                                {"al\xe9", 3, ID_CHARS},
                                {"al!ce678901", 2, ID_LEN},
                            });
}

TEST(ClientValidation, Password) {
    check_all(chk_password, {
                                {std::nullopt, 1, "ERROR: No password entered.\n"},
                                {"", 2, PW_LEN},
                                {"x", 0, ""},
                                {"aB3dE6", 0, ""},
                                {"aB3dE67", 2, PW_LEN},
                                {"pw_1", 3, PW_CHARS},
                                {"/", 3, PW_CHARS},
                            });
}

TEST(ClientValidation, SessionID) {
    check_all(chk_sessionID, {
                                 {std::nullopt, 1, "ERROR: No sessionID entered.\n"},
                                 {"", 2, session_len("")},
                                 {"lobby", 0, ""},
                                 {"Lobby", 0, ""},
                                 {"0123456789", 0, ""},
                                 {"01234567890", 2, session_len("01234567890")},
                                 {"dev_1", 3, session_chars("dev_1")},
                                 {" lobby", 3, session_chars(" lobby")},
                                 {"lobby ", 3, session_chars("lobby ")},
                                 {"a#b", 3, session_chars("a#b")},
                                 {"dev_1dev_1_", 2, session_len("dev_1dev_1_")},
                             });
}

TEST(ClientValidation, ServerIP) {
    check_all(chk_serverIP, {
                                {std::nullopt, 1, "ERROR: No serverIP entered.\n"},
                                {"127.0.0.1", 0, ""},
                                {"no.such.host.invalid", 0, ""},
                                {"::1", 0, ""},
                            });
}

TEST(ClientValidation, ServerPort) {
    check_all(chk_serverPort, {
                                  {std::nullopt, 1, "ERROR: No serverPort entered.\n"},
                                  {"1024", 0, ""},
                                  {"65535", 0, ""},
                                  {"5000", 0, ""},
                                  {"01024", 0, ""},
                                  {"1023", 2, PORT_RANGE},
                                  {"65536", 2, PORT_RANGE},
                                  {"0", 2, PORT_RANGE},
                                  {"", 2, PORT_RANGE},
                                  {"99999999999999999999", 2, PORT_RANGE},
                                  {"80a", 1, PORT_NUMBER},
                                  {"-1", 1, PORT_NUMBER},
                                  {"+2000", 1, PORT_NUMBER},
                                  {"5000 ", 1, PORT_NUMBER},
                                  {"5000 x", 1, PORT_NUMBER},
                              });
}

}  // namespace
