// The registry and output-queue checks of fuzz_server.
#include "server_checks.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "connections.hpp"
#include "protocol.hpp"
#include "registry.hpp"

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
    for (int i = 0; i < MAX_USERS; ++i) {
        const ClientRow& row = clients[i];
        detail = i;
        if (i >= users_online) {
            if (row.clientSocket != -1 || row.clientID != -1) return "row past users_online in use";
            continue;
        }
        if (slot_of(row.clientSocket) < 0) return "online row without an open connection";
        if (!is_account(row.clientID)) return "online row without an account";
        for (int j = 0; j < i; ++j) {
            if (clients[j].clientSocket == row.clientSocket) return "socket online twice";
        }
        if (online[row.clientID]) return "client ID online twice";
        online[row.clientID] = true;
    }
    detail = active_sessions;
    if (active_sessions < 0 || active_sessions > MAX_SESSIONS)
        return "active_sessions out of range";
    // Names are compared by hash first: equal hashes are rare, so are string compares.
    static std::vector<std::pair<std::size_t, int>> hashes;
    hashes.clear();
    for (int s = 0; s < MAX_SESSIONS; ++s) {
        detail = s;
        if (s >= active_sessions) {
            if (sessions[s]) return "session past active_sessions";
            continue;
        }
        if (!sessions[s]) return "live session missing";
        const Session& session = *sessions[s];
        if (session.name.empty()) return "session without a name";
        hashes.emplace_back(std::hash<std::string>{}(session.name), s);
        if (session.count < 1 || session.count > MAX_SESSION_MEMBERS)
            return "member count out of range";
        const int* members = session.members.data();
        // All bits set in every entry after the members: -1 each (a loop the
        // compiler turns into vector instructions).
        int past = -1;
        for (int j = session.count; j < MAX_SESSION_MEMBERS; ++j) past &= members[j];
        if (past != -1) return "member past count";
        for (int j = 0; j < session.count; ++j) {
            const int id = members[j];
            if (id < 0 || id >= MAX_ACCOUNTS || !online[id]) return "member not online";
            if (std::find(members, members + j, id) != members + j) return "member twice";
        }
    }
    std::sort(hashes.begin(), hashes.end());
    for (std::size_t i = 1; i < hashes.size(); ++i) {
        if (hashes[i].first != hashes[i - 1].first) continue;
        for (std::size_t j = i; j-- > 0 && hashes[j].first == hashes[i].first;) {
            detail = hashes[i].second;
            if (sessions[hashes[i].second]->name == sessions[hashes[j].second]->name)
                return "session name twice";
        }
    }
    return nullptr;
}
