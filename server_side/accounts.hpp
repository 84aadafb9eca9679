// The account file loader: fills the registry's login and pass tables from
// accounts.csv at start-up.
#pragma once

#include <string>

#include "registry.hpp"

// Longest line of the account file that is looked at; longer ones are skipped.
inline constexpr std::size_t MAX_ACCOUNT_LINE = 4096;
// Past this many bytes the rest of the file is not read.
inline constexpr long MAX_ACCOUNT_FILE = 4L << 20;

// Fills `ids` and `passwords` from the account file at `path`, one account per
// line ("id,password"), warning about each line it skips. Returns the number
// of accounts; -1 when the file is missing or cannot be read; -2 when two
// lines share a login ID (both lines named on the log; `starting` says the
// server quits for it). On -1 and -2 both tables are left empty.
int read_accounts(AccountTable& ids, AccountTable& passwords, const char* path = "accounts.csv",
                  bool starting = true);
