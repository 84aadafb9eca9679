// The server's registry: the accounts, the users online and the live
// sessions with their members, in fixed tables, plus the lookups every
// request uses and the two calls that take a departing client out.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int MAX_ACCOUNTS = 500;
inline constexpr int MAX_USERS = 500;
inline constexpr int MAX_SESSIONS = 500;
inline constexpr int MAX_SESSION_MEMBERS = 500;

// Accounts in file order; a client ID is an index here. An empty login ID
// marks "no account" (the loader never stores an empty field).
using AccountTable = std::array<std::string, MAX_ACCOUNTS>;
extern AccountTable login;
extern AccountTable pass;
// How many of the passwords are hashes.
extern int hashed_accounts;

// One row per logged-in user, rows 0..users_online-1 in login order.
struct ClientRow {
    int clientSocket = -1;
    int clientID = -1;
};
extern std::array<ClientRow, MAX_USERS> clients;
extern int users_online;

// A live session: members[0..count-1] in the order they joined, -1 after.
struct Session {
    std::string name;
    int count = 0;
    std::array<int, MAX_SESSION_MEMBERS> members;
    Session() { members.fill(-1); }
};
// sessions[0..active_sessions-1] in creation order; the index is the session ID.
extern std::array<std::unique_ptr<Session>, MAX_SESSIONS> sessions;
extern int active_sessions;

// Empties every table (accounts included): the state before start-up.
void registry_reset();

// The index of login ID `id` in `ids` (by default the accounts in force),
// which is its client ID there; -1 when it has none.
int account_of(std::string_view id, const AccountTable& ids = login);

int is_logged_in(int sock);
int get_clientID(int sock);
int get_clientSocket(int id);
int session_exists(std::string_view name);
int get_sessionID(std::string_view name);
int is_in_session(int sessionID, int id);

// Position of `id` among the members of session `sessionID`, or -1.
int member_position(int sessionID, int id);

// Adds the row of a client that has just logged in on `sock` as `id`.
void go_online(int sock, int id);
// Appends `id` to the members of session `sessionID`.
void add_member(int sessionID, int id);
// Appends a new session with `id` as its only member; returns its index.
int create_session(std::string_view name, int id);
// Takes the member at `position` out of session `sessionID`, destroying the
// session when it was the last one. Returns 1 if the session was destroyed.
int remove_member(int sessionID, int position);

// Takes the client on `sock` out of every session, destroying sessions left
// empty; returns the names of the sessions left, in session order.
std::vector<std::string> client_leave(int sock);
// Removes the client's row from the online table.
void client_go_offline(int sock);
// Both of the above: the client on `sock` is gone, whatever the way.
void client_drop(int sock);
// Gives every user online and every session member the client ID
// `new_id[id]`: the accounts are being replaced by a table in another order.
void renumber_clients(const std::array<int, MAX_ACCOUNTS>& new_id);
// Prints the online users and every session's members.
void printall();
