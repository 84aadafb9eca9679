// The reply interpreter: one printout per reply, relayed line and refusal.
// All of it goes through printf_server, which wraps it at a terminal.
#include "receiver.hpp"

#include <cstdio>
#include <vector>

#include "caret.hpp"
#include "client_state.hpp"
#include "connection.hpp"
#include "line_editor.hpp"
#include "protocol.hpp"
#include "wrap.hpp"

bool receiver_create(std::string_view word, Tokenizer& fields) {
    const auto name = fields.next(proto::FIELD_SEP);
    if (!name) return false;
    if (word == proto::NEWCONF_ACK) {
        remember_session(*name);
        printf_server("STATUS: Created session '%.*s' successfully!\n", len(*name), name->data());
        return true;
    }
    const auto code = fields.rest();
    if (!code) return false;
    if (*code == proto::NEWCONF_NOT_LOGGED_IN) {
        printf_server("ERROR: Couldn't create session '%.*s' because user is not logged in.\n",
                      len(*name), name->data());
    } else if (*code == proto::NEWCONF_EXISTS) {
        remember_session(*name);
        printf_server(
            "ERROR: Couldn't create session '%.*s' because that session already exists.\n",
            len(*name), name->data());
    } else if (*code == proto::NEWCONF_TABLE_FULL) {
        printf_server(
            "ERROR: Couldn't create session '%.*s' because the server has reached its maximum "
            "number of sessions.\n",
            len(*name), name->data());
    } else {
        print_unrecognized(proto::join_fields(word, {*name, *code}));
    }
    return true;
}

bool receiver_join(std::string_view word, Tokenizer& fields) {
    const auto name = fields.next(proto::FIELD_SEP);
    if (!name) return false;
    if (word == proto::JOIN_ACK) {
        remember_session(*name);
        printf_server("STATUS: Joined session '%.*s' successfully!\n", len(*name), name->data());
        return true;
    }
    const auto code = fields.rest();
    if (!code) return false;
    const char* why = nullptr;
    if (*code == proto::JOIN_NOT_LOGGED_IN) {
        why = "user is not logged in";
    } else if (*code == proto::JOIN_NO_SESSION) {
        why = "session doesn't exist";
    } else if (*code == proto::JOIN_FULL) {
        why = "session is full";
    } else if (*code == proto::JOIN_ALREADY_MEMBER) {
        remember_session(*name);
        printf_server("You are already part of session '%.*s'!\n", len(*name), name->data());
        return true;
    } else {
        print_unrecognized(proto::join_fields(*name, {*code}));
        return true;
    }
    printf_server("Couldn't join session '%.*s' because %s.\n", len(*name), name->data(), why);
    return true;
}

bool receiver_leave(std::string_view word, Tokenizer& fields) {
    const auto name = fields.rest();
    if (!name) return false;
    if (word == proto::LEAVE_ACK) {
        printf_server("STATUS: Left session '%.*s' successfully!\n", len(*name), name->data());
    } else {
        printf_server(
            "ERROR: Unable to leave session '%.*s' because you aren't part of that session.\n",
            len(*name), name->data());
    }
    return true;
}

void receiver_qry(Tokenizer& fields) {
    // Every entry is cut out first: each is then cut again at '#'.
    std::vector<std::string_view> entries;
    while (const auto entry = fields.next(proto::ENTRY_SEP)) entries.push_back(*entry);
    printf_server("STATUS: QRY -");
    for (std::string_view entry : entries) {
        Tokenizer user(entry);
        const auto clientID = user.next(proto::FIELD_SEP);
        if (!clientID) continue;
        printf_server("\n\tUSER: %.*s - SESSIONS:", len(*clientID), clientID->data());
        while (const auto session = user.next(proto::FIELD_SEP)) {
            remember_session(*session);
            printf_server(" %.*s", len(*session), session->data());
        }
    }
    printf_server("\n");
}

void receiver_qryme(Tokenizer& fields) {
    printf_server("STATUS: QRYME - ");
    auto session = fields.next(proto::FIELD_SEP);
    if (!session) {
        printf_server("You are not part of any sessions");
    } else {
        printf_server("You are part of the following sessions:");
        for (; session; session = fields.next(proto::FIELD_SEP)) {
            remember_session(*session);
            printf_server(" %.*s", len(*session), session->data());
        }
    }
    printf_server(".\n");
}

void handle_reply(std::string_view message) {
    const std::string text = caret_notation(message);
    if (!text.empty() && text.front() == proto::RELAY_MARK) {
        remember_session(std::string_view(text).substr(1, text.find(proto::RELAY_CLOSE) - 1));
        printf_server("%s\n", text.c_str());
        return;
    }
    Tokenizer fields(text);
    const std::string_view word = fields.next(proto::FIELD_SEP).value_or(std::string_view());
    bool complete = true;
    if (word == proto::NEWCONF_ACK || word == proto::NEWCONF_NACK) {
        complete = receiver_create(word, fields);
    } else if (word == proto::JOIN_ACK || word == proto::JOIN_NACK) {
        complete = receiver_join(word, fields);
    } else if (word == proto::LEAVE_ACK || word == proto::LEAVE_NACK) {
        complete = receiver_leave(word, fields);
    } else if (word == proto::QRY_ACK) {
        receiver_qry(fields);
    } else if (word == proto::QRYME_ACK) {
        receiver_qryme(fields);
    } else if (word == proto::QRY_NACK || word == proto::QRYME_NACK) {
        printf_server("ERROR: Query was unsuccessful.\n");
    } else if (word == proto::MSG_NACK) {
        const auto name = fields.rest();
        complete = name.has_value();
        if (complete) {
            printf_server(
                "ERROR: Sending message was unsuccessful. You are not part of the session, %.*s.\n",
                len(*name), name->data());
        }
    } else {
        printf_server("CRITICAL ERROR: Received ACK '%.*s' not recognized!\n", len(word),
                      word.data());
    }
    // A reply that lacks a field its printout needs is shown whole.
    if (!complete) print_unrecognized(text);
}

bool receiver(ServerConnection& serverSocket) {
    Framer& incoming = serverSocket.incoming();
    const long got = serverSocket.receive(incoming.space(), incoming.space_size());
    if (got == ServerConnection::NOTHING_YET) return false;
    if (got <= 0) {
        std::printf(got == ServerConnection::CLOSED
                        ? "ERROR: The other side has closed the connection on us.\n"
                        : "ERROR: Error occurred while receiving.\n");
        std::printf("STATUS: Logging out...\n");
        serverSocket.close();
        return true;
    }
    incoming.commit(static_cast<std::size_t>(got));
    bool printed = false;
    for (;;) {
        std::string_view message;
        const Framer::Status status = incoming.next(message);
        if (status == Framer::Status::need_more) return printed;
        // Each message after a prompt, however many came in one read.
        if (printed) print_prompt();
        if (status == Framer::Status::message) {
            handle_reply(message);
        } else {
            std::printf("ERROR: Receive buffer of size %d bytes exceeded.\n",
                        static_cast<int>(proto::RECV_LIMIT));
        }
        printed = true;
    }
}
