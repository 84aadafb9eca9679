// The command interpreter: carries out one keyboard line, either a prompt
// command or a chat line for the current session. Every argument is checked
// before a request is built; replies are printed later by the receiver.
#pragma once

#include <string_view>
#include <vector>

#include "connection.hpp"
#include "line_reader.hpp"
#include "tokenizer.hpp"

// How sender_msg_cmd finds its session and text.
enum MsgMode {
    MSG_PLAIN_LINE = 1,  // the whole line goes to lastSession
    MSG_COMMAND = 2,     // "/msg <session> <text>"
};

// One form of a prompt command: the word, its arguments and description as
// /help shows them, whether it needs a login, and what carries it out (with
// `words` right after the command word). A command with several forms has a
// row for each; the first row of a word decides.
struct Command {
    std::string_view word;
    std::string_view arguments;  // "" when it takes none
    std::string_view help;
    bool needs_login;
    void (*handler)(ServerConnection& serverSocket, Tokenizer& words);
};

// Every prompt command, in the order /help lists them: the dispatcher, /help
// and the editor's Tab completion all read this one table.
const std::vector<Command>& command_table();

// Takes the next line from the keyboard and carries it out. The end of
// input acts as /quit.
void sender(ServerConnection& serverSocket, LineReader& keyboard);

// Takes the next keyboard line while a login waits for its answer: /quit
// and the end of input give the login up and end the client, an empty line
// does nothing, and any other line is dropped with a note that the login
// still waits.
void sender_while_logging_in(ServerConnection& serverSocket, LineReader& keyboard);

// The handlers continue with `words` right after the command word.
void sender_ls_cmd();
void sender_login_cmd(ServerConnection& serverSocket, Tokenizer& words);
void sender_logout_cmd(ServerConnection& serverSocket);
void sender_quit_cmd(ServerConnection& serverSocket);
void sender_create_cmd(ServerConnection& serverSocket, Tokenizer& words);
void sender_join_cmd(ServerConnection& serverSocket, Tokenizer& words);
void sender_leave_cmd(ServerConnection& serverSocket, Tokenizer& words);
void sender_qry_cmd(ServerConnection& serverSocket);
void sender_qryme_cmd(ServerConnection& serverSocket);
void sender_msg_cmd(ServerConnection& serverSocket, Tokenizer& words, int mode);
