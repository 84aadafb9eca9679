// Start-up helpers of the server: the account file loader and the two
// functions over the connection slots.
#pragma once

#include "registry.hpp"

// Fills `login` and `pass` from the account file at `path`, one account per
// line ("id,password"); returns the number of accounts, or -1 when the file
// cannot be opened. Stops the program on a duplicate login ID.
int read_accounts(AccountTable& login, AccountTable& pass, const char* path = "accounts.csv");

// Ends the program with status 1 if `id` equals one of the first `n` login IDs.
void check_duplicates(const AccountTable& login, const std::string& id, int n);

// Index of the first of `count` slots holding a negative value, or -1.
int emptySlot(int count, const int* slots);
// Largest of the `count` values.
int max(int count, const int* slots);
