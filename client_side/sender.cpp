// The command interpreter: one handler per prompt command, and the
// dispatcher that picks one for each keyboard line.
#include "sender.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "caret.hpp"
#include "client_state.hpp"
#include "connection.hpp"
#include "protocol.hpp"
#include "validation.hpp"

namespace {

constexpr char BLANK = ' ';

// Checks the session name, the rest of the line, and sends "word#name".
// Returns the name when it passed the check; `sent` tells whether it went out.
Arg send_session_request(ServerConnection& serverSocket, std::string_view word, Tokenizer& words,
                         bool& sent) {
    const Arg name = words.rest();
    if (chk_sessionID(name) != 0) return std::nullopt;
    sent = serverSocket.send_message(proto::join_fields(word, {*name})) == 0;
    return name;
}

}  // namespace

const std::vector<Command>& command_table() {
    using Conn = ServerConnection;
    // The lines that were right keep their words; /qryme, /msg and /login
    // say what they really take and print, and /help and /ls are listed.
    static const std::vector<Command> table = {
        {"/login", "[-tls] <clientID> <password> <serverIP> <serverPort>",
         "To log in to the server (-tls: encrypted, the server verified first).", false,
         sender_login_cmd},
        {"/logout", "", "To logout from the server.", false,
         [](Conn& s, Tokenizer&) { sender_logout_cmd(s); }},
        {"/quit", "", "To exit the program (logging out if need be).", false,
         [](Conn& s, Tokenizer&) { sender_quit_cmd(s); }},
        {"/create", "<sessionID>", "To create a conference.", true, sender_create_cmd},
        {"/join", "<sessionID>", "To join a conference.", true, sender_join_cmd},
        {"/leave", "", "To leave all conferences.", true, sender_leave_cmd},
        {"/leave", "<sessionID> ...", "To leave conferences.", true, sender_leave_cmd},
        {"/qry", "", "Lists users online and the sessions they are part of.", true,
         [](Conn& s, Tokenizer&) { sender_qry_cmd(s); }},
        {"/qryme", "", "Lists the sessions you are part of.", true,
         [](Conn& s, Tokenizer&) { sender_qryme_cmd(s); }},
        {"/msg", "<sessionID> <text>",
         "To send a message to that particular session (then lines without / go there too).", true,
         [](Conn& s, Tokenizer& w) { sender_msg_cmd(s, w, MSG_COMMAND); }},
        {"/help", "", "To list these commands.", false, [](Conn&, Tokenizer&) { sender_ls_cmd(); }},
        {"/ls", "", "To list these commands.", false, [](Conn&, Tokenizer&) { sender_ls_cmd(); }},
    };
    return table;
}

void sender_ls_cmd() {
    for (const Command& command : command_table()) {
        const std::string_view blank = command.arguments.empty() ? "" : " ";
        std::printf("%.*s%.*s%.*s\t%.*s\n", len(command.word), command.word.data(), len(blank),
                    blank.data(), len(command.arguments), command.arguments.data(),
                    len(command.help), command.help.data());
    }
}

void sender_login_cmd(ServerConnection& serverSocket, Tokenizer& words) {
    if (serverSocket.connected()) {
        std::printf("ERROR: You are already logged in!\n");
        return;
    }
    Arg clientID = words.next(BLANK);
    const bool tls = clientID == std::string_view("-tls");
    if (tls) clientID = words.next(BLANK);
    const Arg password = words.next(BLANK);
    const Arg serverIP = words.next(BLANK);
    const Arg serverPort = words.rest();
    if (chk_clientID(clientID) != 0 || chk_password(password) != 0 || chk_serverIP(serverIP) != 0 ||
        chk_serverPort(serverPort) != 0) {
        return;
    }
    login_sequence(serverSocket, *clientID, *password, *serverIP, *serverPort, tls);
}

void sender_logout_cmd(ServerConnection& serverSocket) {
    if (!serverSocket.connected()) {
        std::printf("ERROR: You cannot log out because you are not logged in!\n");
        return;
    }
    logout(serverSocket);
    lastSession.clear();
}

void sender_quit_cmd(ServerConnection& serverSocket) {
    logout(serverSocket);
    // A connection whose logout could not be sent is of no use any more.
    serverSocket.quit();
}

void sender_create_cmd(ServerConnection& serverSocket, Tokenizer& words) {
    bool sent = false;
    const Arg name = send_session_request(serverSocket, proto::NEWCONF, words, sent);
    if (!name) return;
    if (sent) {
        std::printf("STATUS: Request to create session '%.*s' has been sent to the server.\n",
                    len(*name), name->data());
    } else {
        std::printf(
            "ERROR: Request to create session '%.*s' couldn't be sent properly to the server.\n",
            len(*name), name->data());
    }
}

void sender_join_cmd(ServerConnection& serverSocket, Tokenizer& words) {
    bool sent = false;
    const Arg name = send_session_request(serverSocket, proto::JOIN, words, sent);
    if (!name) return;
    if (sent) {
        std::printf("STATUS: Request to join session '%.*s' has been sent to the server.\n",
                    len(*name), name->data());
    } else {
        std::printf("ERROR: Join request couldn't be sent properly to the server.\n");
    }
}

void sender_leave_cmd(ServerConnection& serverSocket, Tokenizer& words) {
    std::string request(proto::LEAVE);
    bool any_word = false;
    bool any_name = false;
    while (const Arg name = words.next(BLANK)) {
        any_word = true;
        if (chk_sessionID(name) != 0) {
            std::printf("ERROR: Ignoring the incorrect session name, '%.*s' and continuing.\n",
                        len(*name), name->data());
            continue;
        }
        request += proto::FIELD_SEP;
        request += *name;
        any_name = true;
    }
    if (any_word && !any_name) {
        std::printf("ERROR: Invalid leave request.\n");
        return;
    }
    if (serverSocket.send_message(request) == 0) {
        std::printf("STATUS: Request to leave sessions was sent to the server.\n");
    } else {
        std::printf("ERROR: Leave request couldn't be sent properly to the server.\n");
    }
}

void sender_qry_cmd(ServerConnection& serverSocket) {
    if (serverSocket.send_message(proto::QRY) == 0) {
        std::printf("STATUS: Query request sent successfully.\n");
    } else {
        std::printf("ERROR: Query request couldn't be sent properly.\n");
    }
}

void sender_qryme_cmd(ServerConnection& serverSocket) {
    if (serverSocket.send_message(proto::QRYME) == 0) {
        std::printf("STATUS: Query me request sent successfully.\n");
    } else {
        std::printf("ERROR: Query me request couldn't be sent properly.\n");
    }
}

void sender_msg_cmd(ServerConnection& serverSocket, Tokenizer& words, int mode) {
    const Arg session = mode == MSG_PLAIN_LINE ? Arg(lastSession) : words.next(BLANK);
    const Arg text = words.rest();
    if (chk_sessionID(session) != 0) return;
    if (!text) {
        std::printf("ERROR: No message entered!\n");
        return;
    }
    if (serverSocket.send_message(proto::join_fields(proto::MSG, {*session, *text})) != 0) {
        std::printf("ERROR: message couldn't be sent to the server.\n");
    }
    lastSession = std::string(*session);
}

void sender(ServerConnection& serverSocket, LineReader& keyboard) {
    std::string_view line;
    switch (keyboard.next(line)) {
        case LineReader::Result::end:
            sender_quit_cmd(serverSocket);
            return;
        case LineReader::Result::too_long:
            std::printf(
                "ERROR: buffer entered is too large to fit in buffer which is of size %d "
                "bytes.\n",
                proto::BUFFER_SIZE);
            return;
        case LineReader::Result::line:
            break;
    }
    if (line.empty()) return;
    if (line.front() == BLANK) {
        std::printf("ERROR: Don't start input with whitespace.\n");
        return;
    }
    Tokenizer words(line);
    if (serverSocket.connected() && line.front() != '/' && !lastSession.empty()) {
        sender_msg_cmd(serverSocket, words, MSG_PLAIN_LINE);
        return;
    }
    const std::string_view word = words.next(BLANK).value_or(std::string_view());
    const auto& table = command_table();
    const auto command = std::find_if(table.begin(), table.end(),
                                      [word](const Command& c) { return c.word == word; });
    if (command != table.end() && (!command->needs_login || serverSocket.connected())) {
        command->handler(serverSocket, words);
    } else if (!serverSocket.connected()) {
        std::printf("ERROR: Invalid command! You aren't logged in!\n");
    } else {
        std::printf("ERROR: Invalid command!\n");
    }
}

void sender_while_logging_in(ServerConnection& serverSocket, LineReader& keyboard) {
    std::string_view line;
    const LineReader::Result got = keyboard.next(line);
    const bool typed = got == LineReader::Result::line;
    if (typed && line.empty()) return;
    Tokenizer words(line);
    if (got == LineReader::Result::end ||
        (typed && line.front() != BLANK && words.next(BLANK) == std::string_view("/quit"))) {
        sender_quit_cmd(serverSocket);
    } else {
        std::printf("STATUS: The login still waits for the server's answer; /quit gives it up.\n");
    }
}
