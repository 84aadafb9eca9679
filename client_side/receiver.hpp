// The reply interpreter: receives one message from the server and prints
// it in the client's words. Relayed chat lines are printed as they came;
// replies are cut at '#' (and query entries at ':') and dispatched on
// their first field. A closed or failed connection is dropped here.
#pragma once

#include <string_view>

#include "tokenizer.hpp"

void receiver(int& serverSocket);

// The handlers continue with `fields` right after the reply word.
void receiver_create(std::string_view word, Tokenizer& fields);
void receiver_join(std::string_view word, Tokenizer& fields);
void receiver_leave(std::string_view word, Tokenizer& fields);
void receiver_qry(Tokenizer& fields);
void receiver_qryme(Tokenizer& fields);
