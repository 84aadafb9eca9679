// The model of fuzz_server: the server's replies and relayed lines written
// from the protocol's rules rather than from the server's code.
#include "server_checks.hpp"

#include <algorithm>

#include "protocol.hpp"
#include "registry.hpp"
#include "tokenizer.hpp"

namespace {

constexpr std::size_t MAX = proto::MAX_TEXT_LEN;
// Sessions a user may be in and still create one.
constexpr std::size_t SESSIONS_PER_USER = 56;

std::string cut(std::string s) {
    if (s.size() > MAX) s.resize(MAX);
    return s;
}

struct Entry {
    std::string id;  // empty in a QRYME answer
    std::vector<std::string> fields;
};

// "head<entries>" in messages of at most 499 characters. Entries follow
// one another after ':'; an entry moves to the next message when its ID
// and first field do not fit. A later field that does not fit goes on in a
// new message that repeats the entry's ID; only where even that message has
// no room is the field cut (or left out when not one character of it fits).
std::vector<std::string> pack(const std::string& head, const std::vector<Entry>& entries) {
    std::vector<std::string> out;
    std::string msg = head;
    for (const Entry& e : entries) {
        const bool first = msg.size() == head.size();
        const std::size_t need = 1 + e.id.size() + (e.fields.empty() ? 0 : 1 + e.fields[0].size());
        if (!first && need > MAX - msg.size()) {
            out.push_back(msg);
            msg = head;
        }
        if (msg.size() > head.size()) msg += proto::ENTRY_SEP;
        bool fresh = msg.size() == head.size();  // holds no more than head and ID
        msg = cut(msg + e.id);
        for (const std::string& f : e.fields) {
            if (!fresh && msg.size() + 1 + f.size() > MAX) {
                out.push_back(msg);
                msg = cut(head + e.id);
            }
            fresh = false;
            if (msg.size() + 2 > MAX) continue;
            msg = cut(msg + proto::FIELD_SEP + f);
        }
    }
    out.push_back(msg);
    return out;
}

}  // namespace

const Model::Room* Model::find(std::string_view name) const {
    for (const Room& s : sessions_)
        if (s.name == name) return &s;
    return nullptr;
}

int Model::conn_of(const std::string& id) const {
    for (int k = 0; k < CONNS; ++k)
        if (who_[k] == id) return k;
    return -1;
}

std::vector<std::string> Model::sessions_of(const std::string& id) const {
    std::vector<std::string> out;
    for (const Room& s : sessions_)
        if (std::find(s.members.begin(), s.members.end(), id) != s.members.end())
            out.push_back(s.name);
    return out;
}

void Model::remove_member(const std::string& name, const std::string& id) {
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (it->name != name) continue;
        auto& m = it->members;
        m.erase(std::remove(m.begin(), m.end(), id), m.end());
        if (m.empty()) sessions_.erase(it);
        return;
    }
}

void Model::drop(int k) {
    const std::string id = who_[k];
    who_[k].clear();
    if (id.empty()) return;
    for (const std::string& name : sessions_of(id)) remove_member(name, id);
    online_.erase(std::find(online_.begin(), online_.end(), id));
}

void Model::add_session(int k, const std::string& name) {
    sessions_.push_back({name, {who_[k]}});
}

Deliveries Model::handle(int k, std::string_view request, bool& closes) {
    Deliveries to;
    closes = false;
    const std::string self = who_[k];
    auto reply = [&](const std::string& text) { to[k].push_back(cut(text)); };
    Tokenizer t(request);
    const std::string word(t.first(proto::FIELD_SEP));
    const bool in = !self.empty();
    if (word == "LOGIN") {
        const auto id = t.next(proto::FIELD_SEP);
        const auto pw = t.rest();
        const auto acc = id ? accounts_.find(std::string(*id)) : accounts_.end();
        if (acc == accounts_.end() || !pw || acc->second != *pw) return reply("LG_NACK#4"), to;
        if (conn_of(acc->first) != -1) return reply("LG_NACK#2"), to;
        if (in) return reply("LG_NACK#3"), to;
        who_[k] = acc->first;
        online_.push_back(acc->first);
        reply("LG_ACK");
    } else if (word == "QRY" || word == "QRYME") {
        if (!in) return reply(word + "_NACK"), to;
        std::vector<Entry> entries;
        if (word == "QRY") {
            for (const std::string& id : online_) entries.push_back({id, sessions_of(id)});
        } else {
            entries.push_back({"", sessions_of(self)});
        }
        to[k] = pack(word == "QRY" ? "QRY_ACK#" : "QRYME_ACK", entries);
    } else if (word == "NEWCONF" || word == "JOIN") {
        const auto name = t.rest();
        if (!name) return to;
        const std::string n(*name);
        const std::string nack = word + "_NACK#" + n + "#";
        const Room* s = find(n);
        if (!in) return reply(nack + "1"), to;
        if (word == "NEWCONF") {
            if (n.find_first_of("#:") != std::string::npos) return reply(nack + "3"), to;
            if (s) return reply(nack + "2"), to;
            if (sessions_of(self).size() >= SESSIONS_PER_USER) return reply(nack + "3"), to;
            if (sessions_.size() == MAX_SESSIONS) return reply(nack + "3"), to;
            sessions_.push_back({n, {self}});
            return reply("NEWCONF_ACK#" + n), to;
        }
        if (!s) return reply(nack + "2"), to;
        if (s->members.size() == MAX_SESSION_MEMBERS) return reply(nack + "3"), to;
        auto& members = const_cast<Room*>(s)->members;
        if (std::find(members.begin(), members.end(), self) != members.end())
            return reply(nack + "4"), to;
        reply("JOIN_ACK#" + n);
        for (const std::string& m : members)
            to[conn_of(m)].push_back(cut("[" + n + "] " + self + " has joined the session."));
        members.push_back(self);
    } else if (word == "LOGOUT" && in) {
        drop(k);
        closes = true;
    } else if (word == "LEAVE" && in) {
        if (request.find(proto::FIELD_SEP) == std::string_view::npos) {
            for (const std::string& name : sessions_of(self)) {
                reply("LEAVE_ACK#" + name);
                remove_member(name, self);
            }
            return to;
        }
        while (const auto name = t.next(proto::FIELD_SEP)) {
            const std::string n(*name);
            const bool member = find(n) != nullptr &&
                                std::count(find(n)->members.begin(), find(n)->members.end(), self);
            reply((member ? "LEAVE_ACK#" : "LEAVE_NACK#") + n);
            if (member) remove_member(n, self);
        }
    } else if (word == "MSG" && in) {
        const auto name = t.next(proto::FIELD_SEP);
        const auto text = t.rest();
        if (!name || !text) return to;
        const Room* s = find(*name);
        if (!s || std::count(s->members.begin(), s->members.end(), self) == 0)
            return reply("MSG_NACK#" + std::string(*name)), to;
        // A long text goes out in consecutive lines; a head that leaves no
        // room for text goes out once, cut.
        const std::string head = "[" + std::string(*name) + "] " + self + " says: ";
        std::vector<std::string> lines;
        if (head.size() >= MAX) lines.push_back(cut(head));
        for (std::size_t at = 0; head.size() < MAX && at < text->size(); at += MAX - head.size())
            lines.push_back(head + std::string(text->substr(at, MAX - head.size())));
        for (const std::string& m : s->members)
            for (const std::string& l : lines) to[conn_of(m)].push_back(l);
    }
    return to;
}

const char* Model::differs_from_registry(const std::array<int, CONNS>& socks, long& detail) const {
    detail = users_online;
    if (users_online != static_cast<int>(online_.size())) return "number of users online";
    for (int i = 0; i < users_online; ++i) {
        detail = i;
        const ClientRow& row = clients[i];
        if (row.clientID < 0 || row.clientID >= MAX_ACCOUNTS || login[row.clientID] != online_[i])
            return "online user";
        if (row.clientSocket != socks[conn_of(online_[i])]) return "online user's socket";
    }
    detail = active_sessions;
    if (active_sessions != static_cast<int>(sessions_.size())) return "number of sessions";
    for (int s = 0; s < active_sessions; ++s) {
        detail = s;
        const ::Session& live = *sessions[s];
        const Room& want = sessions_[s];
        if (live.name != want.name) return "session name";
        if (live.count != static_cast<int>(want.members.size())) return "member count";
        for (int j = 0; j < live.count; ++j) {
            if (login[live.members[j]] != want.members[j]) return "member";
        }
    }
    return nullptr;
}
