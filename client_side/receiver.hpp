// The reply interpreter: takes what the server has sent, cuts it into
// messages and prints each in the client's words. Relayed chat lines are
// printed as they came; replies are cut at '#' (and query entries at ':')
// and dispatched on their first field. Control bytes from the server are
// shown in caret notation. A closed or failed connection is dropped here.
#pragma once

#include <string_view>

#include "connection.hpp"
#include "tokenizer.hpp"

// Reads once what has arrived on the connection and prints every message it
// completes, a prompt between two; an unfinished one waits in the
// connection for the rest. Returns true when anything was printed.
bool receiver(ServerConnection& serverSocket);

// Prints one message from the server.
void handle_reply(std::string_view message);

// The handlers continue with `fields` right after the reply word; those
// that return false found a field missing and printed nothing.
bool receiver_create(std::string_view word, Tokenizer& fields);
bool receiver_join(std::string_view word, Tokenizer& fields);
bool receiver_leave(std::string_view word, Tokenizer& fields);
void receiver_qry(Tokenizer& fields);
void receiver_qryme(Tokenizer& fields);
