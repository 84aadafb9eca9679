#include "registry.hpp"

#include <cassert>
#include <utility>

#include "log.hpp"
#include "log_text.hpp"

AccountTable login;
AccountTable pass;
int hashed_accounts = 0;
std::array<ClientRow, MAX_USERS> clients;
int users_online = 0;
std::array<std::unique_ptr<Session>, MAX_SESSIONS> sessions;
int active_sessions = 0;

namespace {

// Removes entry `index` of the first `count` entries, moving the later ones
// down one place so the used entries stay contiguous and in order.
template <class Table, class Blank>
void remove_at(Table& table, int index, int& count, Blank blank) {
    for (int i = index; i + 1 < count; ++i) table[i] = std::move(table[i + 1]);
    table[count - 1] = std::move(blank);
    --count;
}

bool names_account(int id) {
    return id >= 0 && id < MAX_ACCOUNTS && !login[id].empty();
}

}  // namespace

void registry_reset() {
    for (auto& s : login) s.clear();
    for (auto& s : pass) s.clear();
    hashed_accounts = 0;
    clients.fill(ClientRow{});
    users_online = 0;
    for (auto& s : sessions) s.reset();
    active_sessions = 0;
}

int account_of(std::string_view id, const AccountTable& ids) {
    for (int k = 0; k < MAX_ACCOUNTS; ++k) {
        if (!ids[k].empty() && ids[k] == id) return k;
    }
    return -1;
}

// Free rows hold -1 and callers look up only real descriptors and IDs, so
// scanning the used rows gives the same answer as scanning them all.
int is_logged_in(int sock) {
    return get_clientID(sock) != -1 ? 1 : 0;
}

int get_clientID(int sock) {
    for (int i = 0; i < users_online; ++i) {
        if (clients[i].clientSocket == sock) return clients[i].clientID;
    }
    return -1;
}

int get_clientSocket(int id) {
    for (int i = 0; i < users_online; ++i) {
        if (clients[i].clientID == id) return clients[i].clientSocket;
    }
    return -1;
}

int session_exists(std::string_view name) {
    return get_sessionID(name) != -1 ? 1 : 0;
}

int get_sessionID(std::string_view name) {
    for (int i = 0; i < active_sessions; ++i) {
        if (sessions[i]->name == name) return i;
    }
    return -1;
}

int member_position(int sessionID, int id) {
    const Session& s = *sessions[sessionID];
    for (int j = 0; j < s.count; ++j) {
        if (s.members[j] == id) return j;
    }
    return -1;
}

int is_in_session(int session_ID, int id) {
    assert(session_ID >= 0 && session_ID < active_sessions);
    return member_position(session_ID, id) != -1 ? 1 : 0;
}

void go_online(int sock, int id) {
    clients[users_online++] = ClientRow{sock, id};
}

void add_member(int sessionID, int id) {
    Session& s = *sessions[sessionID];
    s.members[s.count++] = id;
}

int create_session(std::string_view name, int id) {
    auto s = std::make_unique<Session>();
    s->name = name;
    s->count = 1;
    s->members[0] = id;
    sessions[active_sessions] = std::move(s);
    return active_sessions++;
}

int remove_member(int sessionID, int position) {
    Session& s = *sessions[sessionID];
    remove_at(s.members, position, s.count, -1);
    if (s.count > 0) return 0;
    remove_at(sessions, sessionID, active_sessions, nullptr);
    return 1;
}

std::vector<std::string> client_leave(int sock) {
    const int id = get_clientID(sock);
    std::vector<std::string> left;
    for (int i = 0; i < active_sessions;) {
        const int pos = id == -1 ? -1 : member_position(i, id);
        if (pos == -1) {
            ++i;
            continue;
        }
        left.push_back(sessions[i]->name);
        // A destroyed session's place is taken by the next one: look at i again.
        if (remove_member(i, pos) == 0) ++i;
    }
    if (names_account(id))
        log_line("USER %s left ALL the sessions.\n", printable(login[id]).c_str());
    return left;
}

void client_go_offline(int sock) {
    const int id = get_clientID(sock);
    for (int i = 0; i < users_online;) {
        if (clients[i].clientID == id) {
            remove_at(clients, i, users_online, ClientRow{});
        } else {
            ++i;
        }
    }
    if (names_account(id)) log_line("USER %s LOGGED OUT.\n", printable(login[id]).c_str());
}

void client_drop(int sock) {
    client_leave(sock);
    client_go_offline(sock);
}

void renumber_clients(const std::array<int, MAX_ACCOUNTS>& new_id) {
    for (int i = 0; i < users_online; ++i) clients[i].clientID = new_id[clients[i].clientID];
    for (int s = 0; s < active_sessions; ++s) {
        Session& session = *sessions[s];
        for (int m = 0; m < session.count; ++m) session.members[m] = new_id[session.members[m]];
    }
}

void printall() {
    unsigned long lines = 1 + static_cast<unsigned long>(users_online + active_sessions);
    for (int i = 0; i < active_sessions; ++i)
        lines += static_cast<unsigned long>(sessions[i]->count);
    if (!log_allowed(lines)) return;
    log_line("List of online users:\n");
    for (int i = 0; i < users_online; ++i)
        log_line("%s\n", printable(login[clients[i].clientID]).c_str());
    for (int i = 0; i < active_sessions; ++i) {
        const Session& s = *sessions[i];
        log_line("Session \"%s\" members are:\n", printable(s.name).c_str());
        for (int j = 0; j < s.count; ++j) log_line("%s\n", printable(login[s.members[j]]).c_str());
    }
}
