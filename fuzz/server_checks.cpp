// The registry and output-queue checks of fuzz_server.
#include "server_checks.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "connections.hpp"
#include "protocol.hpp"
#include "registry.hpp"

int slot_of(int sock) {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        if (slots[i].open() && slots[i].fd.get() == sock) return i;
    }
    return -1;
}

const char* check_queues(long& detail) {
    for (int i = 1; i < MAX_SLOTS; ++i) {
        const Connection& c = slots[i];
        detail = i;
        if (!c.open()) continue;
        if (c.out_sent > c.out.size()) return "out_sent past the queue";
        if (c.over_limit) return "connection over its limit still open";
        std::string_view q(c.out);
        q.remove_prefix(c.out_sent);
        if (!q.empty() && q.back() != '\0') return "queue does not end with a NUL";
        while (!q.empty()) {
            const std::size_t end = q.find('\0');
            if (end > proto::MAX_TEXT_LEN) return "queued message over 499 characters";
            q.remove_prefix(end + 1);
        }
    }
    return nullptr;
}

namespace {

bool is_account(int id) {
    return id >= 0 && id < MAX_ACCOUNTS && !login[id].empty();
}

}  // namespace

const char* check_registry(long& detail) {
    detail = users_online;
    if (users_online < 0 || users_online > MAX_USERS) return "users_online out of range";
    std::array<bool, MAX_ACCOUNTS> online{};
    std::vector<int> socks;
    for (int i = 0; i < MAX_USERS; ++i) {
        const ClientRow& row = clients[i];
        detail = i;
        if (i >= users_online) {
            if (row.clientSocket != -1 || row.clientID != -1) return "row past users_online in use";
            continue;
        }
        if (slot_of(row.clientSocket) < 0) return "online row without an open connection";
        if (!is_account(row.clientID)) return "online row without an account";
        if (std::find(socks.begin(), socks.end(), row.clientSocket) != socks.end())
            return "socket online twice";
        socks.push_back(row.clientSocket);
        if (online[row.clientID]) return "client ID online twice";
        online[row.clientID] = true;
    }
    detail = active_sessions;
    if (active_sessions < 0 || active_sessions > MAX_SESSIONS)
        return "active_sessions out of range";
    std::vector<std::string_view> names;
    for (int s = 0; s < MAX_SESSIONS; ++s) {
        detail = s;
        if (s >= active_sessions) {
            if (sessions[s]) return "session past active_sessions";
            continue;
        }
        if (!sessions[s]) return "live session missing";
        const Session& session = *sessions[s];
        if (session.name.empty()) return "session without a name";
        names.push_back(session.name);
        if (session.count < 1 || session.count > MAX_SESSION_MEMBERS)
            return "member count out of range";
        const int* members = session.members.data();
        if (std::find_if(members + session.count, members + MAX_SESSION_MEMBERS,
                         [](int id) { return id != -1; }) != members + MAX_SESSION_MEMBERS)
            return "member past count";
        std::array<bool, MAX_ACCOUNTS> member{};
        for (int j = 0; j < session.count; ++j) {
            const int id = members[j];
            if (id < 0 || id >= MAX_ACCOUNTS || !online[id]) return "member not online";
            if (member[id]) return "member twice";
            member[id] = true;
        }
    }
    detail = -1;
    std::unordered_set<std::string_view> unique(names.begin(), names.end());
    if (unique.size() != names.size()) return "session name twice";
    return nullptr;
}
