// Passwords as the account file holds them: in plain text, or as a crypt(5)
// hash made by conference-passwd. libxcrypt does the hashing.
#pragma once

#include <string>
#include <string_view>

// The method and cost of new hashes: yescrypt at a cost where one check
// takes a few milliseconds here, since a check stalls the server's loop.
inline constexpr const char* HASH_METHOD = "$y$";
inline constexpr unsigned long HASH_COST = 3;

// True when an account file's password field is a hash: it starts with a
// method prefix we allow and libxcrypt takes it as a setting. Anything else
// is a plain password, even a word libxcrypt would read as a DES setting.
bool is_hash(std::string_view field);

// A new hash of `password`, with fresh salt; empty when hashing failed.
std::string hash_password(std::string_view password);

// True when `given` is the password `stored` holds (plain or hashed). Plain
// passwords are compared in constant time; a hash that does not verify
// never matches.
bool password_matches(std::string_view stored, std::string_view given);

// Takes as long as checking `given` against a hash of the default cost, and
// matches nothing: for unknown IDs, so timing does not tell which exist.
void check_unknown_id(std::string_view given);
