// Checks applied to every argument typed at the prompt before anything is
// sent. Each returns 0 when the text is valid, otherwise the code of the
// first rule it breaks, and prints exactly one line in that case. An
// argument that was not typed at all is passed as std::nullopt, which is
// not the same as an empty text.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

using Arg = std::optional<std::string_view>;

inline constexpr std::size_t MAX_CLIENTID_LEN = 10;
inline constexpr std::size_t MAX_PASSWORD_LEN = 6;
inline constexpr std::size_t MAX_SESSIONID_LEN = 10;
inline constexpr long MIN_SERVER_PORT = 1024;
inline constexpr long MAX_SERVER_PORT = 65535;

// 1 absent, 2 length outside 1..10, 3 a character outside 0-9, a-z, A-Z.
int chk_clientID(Arg clientID);
// 1 absent, 2 length outside 1..6, 3 a character outside 0-9, a-z, A-Z.
int chk_password(Arg password);
// 1 absent, 2 length outside 1..10, 3 a character outside 0-9, a-z, A-Z.
int chk_sessionID(Arg sessionID);
// True when `text` is 1 to `limit` characters of 0-9, a-z, A-Z, the rule of
// every name typed at the prompt; prints nothing.
bool is_name(std::string_view text, std::size_t limit);
// True when chk_sessionID would pass `name`; prints nothing.
bool is_sessionID(std::string_view name);
// 1 absent; any present address passes (it is resolved when connecting).
int chk_serverIP(Arg serverIP);
// 1 absent or a character that is no digit, 2 value outside 1024..65535.
int chk_serverPort(Arg serverPort);
