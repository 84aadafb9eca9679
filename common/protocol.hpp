// The conference protocol's words, replies and relayed-line forms, shared by
// the server and the client. Every text that crosses a connection is built
// from the names below, so both programs agree on them byte for byte.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace proto {

// Largest message secure_send sends, counted with its terminating NUL.
inline constexpr int BUFFER_SIZE = 500;
// Longest text that travels as one message.
inline constexpr std::size_t MAX_TEXT_LEN = BUFFER_SIZE - 1;
// A receiver accepts up to 500 characters before the terminator, so it
// needs room for 501 bytes.
inline constexpr std::size_t RECV_LIMIT = 500;
inline constexpr std::size_t RECV_BUFFER_SIZE = RECV_LIMIT + 1;

inline constexpr char FIELD_SEP = '#';  // between the fields of a message
inline constexpr char ENTRY_SEP = ':';  // between the per-user entries of QRY_ACK

// Requests, client to server.
inline constexpr std::string_view LOGIN = "LOGIN";
inline constexpr std::string_view LOGOUT = "LOGOUT";
inline constexpr std::string_view NEWCONF = "NEWCONF";
inline constexpr std::string_view JOIN = "JOIN";
inline constexpr std::string_view LEAVE = "LEAVE";
inline constexpr std::string_view QRY = "QRY";
inline constexpr std::string_view QRYME = "QRYME";
inline constexpr std::string_view MSG = "MSG";

// Replies, server to the requesting connection.
inline constexpr std::string_view LG_ACK = "LG_ACK";
inline constexpr std::string_view LG_NACK = "LG_NACK";
inline constexpr std::string_view QRY_ACK = "QRY_ACK";
inline constexpr std::string_view QRY_NACK = "QRY_NACK";
inline constexpr std::string_view QRYME_ACK = "QRYME_ACK";
inline constexpr std::string_view QRYME_NACK = "QRYME_NACK";
inline constexpr std::string_view NEWCONF_ACK = "NEWCONF_ACK";
inline constexpr std::string_view NEWCONF_NACK = "NEWCONF_NACK";
inline constexpr std::string_view JOIN_ACK = "JOIN_ACK";
inline constexpr std::string_view JOIN_NACK = "JOIN_NACK";
inline constexpr std::string_view LEAVE_ACK = "LEAVE_ACK";
inline constexpr std::string_view LEAVE_NACK = "LEAVE_NACK";
inline constexpr std::string_view MSG_NACK = "MSG_NACK";

// Refusal codes, the last field of a negative reply.
inline constexpr std::string_view LG_MAX_USERS = "1";
inline constexpr std::string_view LG_ALREADY_ONLINE = "2";
inline constexpr std::string_view LG_SOCKET_IN_USE = "3";
inline constexpr std::string_view LG_BAD_CREDENTIALS = "4";

inline constexpr std::string_view NEWCONF_NOT_LOGGED_IN = "1";
inline constexpr std::string_view NEWCONF_EXISTS = "2";
// 3: the session cannot be made: the table is full, the user is in too
// many sessions, or the name holds a field or entry separator.
inline constexpr std::string_view NEWCONF_TABLE_FULL = "3";

inline constexpr std::string_view JOIN_NOT_LOGGED_IN = "1";
inline constexpr std::string_view JOIN_NO_SESSION = "2";
inline constexpr std::string_view JOIN_FULL = "3";
inline constexpr std::string_view JOIN_ALREADY_MEMBER = "4";

// Relayed lines, server to session members: "[%s] %s says: %s" and
// "[%s] %s has joined the session.". A relayed line starts with '['.
inline constexpr char RELAY_MARK = '[';
inline constexpr std::string_view RELAY_CLOSE = "] ";
inline constexpr std::string_view SAYS = " says: ";
inline constexpr std::string_view JOINED = " has joined the session.";

// "word#field#field..." with every field appended after a '#'.
inline std::string join_fields(std::string_view word,
                               std::initializer_list<std::string_view> fields) {
    std::string out(word);
    for (std::string_view f : fields) {
        out += FIELD_SEP;
        out += f;
    }
    return out;
}

// "[session] sender says: " — the relayed line up to its text.
inline std::string says_prefix(std::string_view session, std::string_view sender) {
    std::string out(1, RELAY_MARK);
    out.append(session).append(RELAY_CLOSE).append(sender).append(SAYS);
    return out;
}

// "[session] joiner has joined the session."
inline std::string joined_line(std::string_view session, std::string_view joiner) {
    std::string out(1, RELAY_MARK);
    out.append(session).append(RELAY_CLOSE).append(joiner).append(JOINED);
    return out;
}

}  // namespace proto
