// The reply interpreter: one printout per reply, relayed line and refusal.
#include "receiver.hpp"

#include <cstdio>
#include <vector>

#include "client_state.hpp"
#include "connection.hpp"
#include "protocol.hpp"
#include "transport.hpp"

namespace {

int len(std::string_view s) {
    return static_cast<int>(s.size());
}

// A reply that lacks a field its printout needs is shown whole.
void print_unrecognized() {
    std::printf("CRITICAL ERROR: Receive protocol, '%s', not recognized.\n", buffer.data());
}

}  // namespace

void receiver_create(std::string_view word, Tokenizer& fields) {
    const auto name = fields.next(proto::FIELD_SEP);
    if (!name) return print_unrecognized();
    if (word == proto::NEWCONF_ACK) {
        std::printf("STATUS: Created session '%.*s' successfully!\n", len(*name), name->data());
        return;
    }
    const auto code = fields.rest();
    if (!code) return print_unrecognized();
    if (*code == proto::NEWCONF_NOT_LOGGED_IN) {
        std::printf("ERROR: Couldn't create session '%.*s' because user is not logged in.\n",
                    len(*name), name->data());
    } else if (*code == proto::NEWCONF_EXISTS) {
        std::printf("ERROR: Couldn't create session '%.*s' because that session already exists.\n",
                    len(*name), name->data());
    } else if (*code == proto::NEWCONF_TABLE_FULL) {
        std::printf(
            "ERROR: Couldn't create session '%.*s' because the server has reached its maximum "
            "number of sessions.\n",
            len(*name), name->data());
    } else {
        std::printf("CRITICAL ERROR: Receive protocol, '%.*s#%.*s#%.*s', not recognized.\n",
                    len(word), word.data(), len(*name), name->data(), len(*code), code->data());
    }
}

void receiver_join(std::string_view word, Tokenizer& fields) {
    const auto name = fields.next(proto::FIELD_SEP);
    if (!name) return print_unrecognized();
    if (word == proto::JOIN_ACK) {
        std::printf("STATUS: Joined session '%.*s' successfully!\n", len(*name), name->data());
        return;
    }
    const auto code = fields.rest();
    if (!code) return print_unrecognized();
    const char* line = nullptr;
    if (*code == proto::JOIN_NOT_LOGGED_IN) {
        line = "Couldn't join session '%.*s' because user is not logged in.\n";
    } else if (*code == proto::JOIN_NO_SESSION) {
        line = "Couldn't join session '%.*s' because session doesn't exist.\n";
    } else if (*code == proto::JOIN_FULL) {
        line = "Couldn't join session '%.*s' because session is full.\n";
    } else if (*code == proto::JOIN_ALREADY_MEMBER) {
        line = "You are already part of session '%.*s'!\n";
    } else {
        std::printf("CRITICAL ERROR: Receive protocol, '%.*s#%.*s', not recognized.\n", len(*name),
                    name->data(), len(*code), code->data());
        return;
    }
    std::printf(line, len(*name), name->data());
}

void receiver_leave(std::string_view word, Tokenizer& fields) {
    const auto name = fields.rest();
    if (!name) return print_unrecognized();
    if (word == proto::LEAVE_ACK) {
        std::printf("STATUS: Left session '%.*s' successfully!\n", len(*name), name->data());
    } else {
        std::printf(
            "ERROR: Unable to leave session '%.*s' because you aren't part of that session.\n",
            len(*name), name->data());
    }
}

void receiver_qry(Tokenizer& fields) {
    // Every entry is cut out first: each is then cut again at '#'.
    std::vector<std::string_view> entries;
    while (const auto entry = fields.next(proto::ENTRY_SEP)) entries.push_back(*entry);
    std::printf("STATUS: QRY -");
    for (std::string_view entry : entries) {
        Tokenizer user(entry);
        const auto clientID = user.next(proto::FIELD_SEP);
        if (!clientID) continue;
        std::printf("\n\tUSER: %.*s - SESSIONS:", len(*clientID), clientID->data());
        while (const auto session = user.next(proto::FIELD_SEP)) {
            std::printf(" %.*s", len(*session), session->data());
        }
    }
    std::printf("\n");
}

void receiver_qryme(Tokenizer& fields) {
    std::printf("STATUS: QRYME - ");
    auto session = fields.next(proto::FIELD_SEP);
    if (!session) {
        std::printf("You are not part of any sessions");
    } else {
        std::printf("You are part of the following sessions:");
        for (; session; session = fields.next(proto::FIELD_SEP)) {
            std::printf(" %.*s", len(*session), session->data());
        }
    }
    std::printf(".\n");
}

void receiver(int& serverSocket) {
    const int got = secure_recv(serverSocket, buffer, proto::BUFFER_SIZE);
    if (got == -2) return;
    if (got != 1) {
        std::printf("STATUS: Logging out...\n");
        close_connection(serverSocket);
        return;
    }
    const std::string_view message(buffer.data());
    if (!message.empty() && message.front() == proto::RELAY_MARK) {
        std::printf("%s\n", buffer.data());
        return;
    }
    Tokenizer fields(message);
    const std::string_view word = fields.next(proto::FIELD_SEP).value_or(std::string_view());
    if (word == proto::NEWCONF_ACK || word == proto::NEWCONF_NACK) {
        receiver_create(word, fields);
    } else if (word == proto::JOIN_ACK || word == proto::JOIN_NACK) {
        receiver_join(word, fields);
    } else if (word == proto::LEAVE_ACK || word == proto::LEAVE_NACK) {
        receiver_leave(word, fields);
    } else if (word == proto::QRY_ACK) {
        receiver_qry(fields);
    } else if (word == proto::QRYME_ACK) {
        receiver_qryme(fields);
    } else if (word == proto::QRY_NACK || word == proto::QRYME_NACK) {
        std::printf("ERROR: Query was unsuccessful.\n");
    } else if (word == proto::MSG_NACK) {
        const auto name = fields.rest();
        if (!name) return print_unrecognized();
        std::printf(
            "ERROR: Sending message was unsuccessful. You are not part of the session, %.*s.\n",
            len(*name), name->data());
    } else {
        std::printf("CRITICAL ERROR: Received ACK '%.*s' not recognized!\n", len(word),
                    word.data());
    }
}
