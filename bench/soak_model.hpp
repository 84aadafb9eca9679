// The soak tool's reference of the conference server: who is online in
// which order, which sessions live with which members, and for any request
// text the replies, relayed lines and join notices the server must send and
// to whom. It splits a request exactly as the server does, so the soak can
// send odd forms ("LOGIN##id#pw", "MSG#s#a#b", "LEAVE##a#", missing fields)
// and still know the one right answer.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol.hpp"
#include "tokenizer.hpp"

namespace soak {

// One entry of a QRY answer: a user and the sessions it is in.
struct QryEntry {
    std::string id;
    std::vector<std::string> sessions;
};
using QryList = std::vector<QryEntry>;

// A QRY or QRYME answer as a sequence of "u:id" and "s:name" tokens, so that
// an answer that comes in several messages can be compared part by part.
using Tokens = std::vector<std::string>;

inline Tokens tokens(const QryList& l) {
    Tokens out;
    for (const QryEntry& e : l) {
        out.push_back("u:" + e.id);
        for (const std::string& s : e.sessions) out.push_back("s:" + s);
    }
    return out;
}

// What one connection must receive next.
struct Expect {
    enum Kind { line, qry_answer, qryme_answer };
    Kind kind = line;
    std::string text;             // line: the exact message
    std::vector<Tokens> answers;  // the QRY or QRYME answers that are right
};

// A message for the requester (`to` empty) or for a logged-in account.
struct Delivery {
    std::string to;
    Expect what;
};

struct Outcome {
    std::vector<Delivery> out;
    std::string logged_in;  // the account an LG_ACK bound to the connection
    bool closed = false;    // a LOGOUT: the server closes the connection
};

struct Session {
    std::string name;
    std::vector<std::string> members;  // in the order they joined
};

inline Expect line_of(std::string text) {
    Expect e;
    e.text = std::move(text);
    return e;
}

class Model {
public:
    explicit Model(std::map<std::string, std::string> accounts) : accounts_(std::move(accounts)) {}

    const std::vector<std::string>& online() const { return online_; }
    const std::vector<Session>& sessions() const { return sessions_; }

    bool is_online(const std::string& id) const {
        return std::find(online_.begin(), online_.end(), id) != online_.end();
    }

    const Session* find(std::string_view name) const {
        for (const Session& s : sessions_)
            if (s.name == name) return &s;
        return nullptr;
    }

    std::vector<std::string> sessions_of(const std::string& id) const {
        std::vector<std::string> out;
        for (const Session& s : sessions_)
            if (is_member(s, id)) out.push_back(s.name);
        return out;
    }

    QryList qry() const {
        QryList out;
        for (const std::string& id : online_) out.push_back({id, sessions_of(id)});
        return out;
    }

    // A connection of `id` is gone: it leaves every session silently and
    // goes offline.
    void drop(const std::string& id) {
        leave_all(id);
        online_.erase(std::remove(online_.begin(), online_.end(), id), online_.end());
    }

    // The server's answer to `request` arriving on a connection logged in as
    // `self` (empty when not logged in); the registry changes as it would.
    Outcome handle(const std::string& self, std::string_view request) {
        Outcome o;
        Tokenizer t(request);
        const std::string_view word = t.first(proto::FIELD_SEP);
        if (word == proto::LOGIN)
            login(o, self, t);
        else if (word == proto::QRY)
            reply_query(o, self, true);
        else if (word == proto::QRYME)
            reply_query(o, self, false);
        else if (word == proto::NEWCONF)
            newconf(o, self, t);
        else if (word == proto::LOGOUT)
            logout(o, self);
        else if (word == proto::JOIN)
            join(o, self, t);
        else if (word == proto::LEAVE)
            leave(o, self, request, t);
        else if (word == proto::MSG)
            msg(o, self, t);
        return o;
    }

    // A relayed chat line, carried in several lines of at most 499
    // characters when it is longer, the text cut only where needed.
    static std::vector<std::string> relay_lines(std::string_view session, std::string_view sender,
                                                std::string_view text) {
        const std::string prefix = proto::says_prefix(session, sender);
        const std::size_t room =
            proto::MAX_TEXT_LEN - std::min(prefix.size(), proto::MAX_TEXT_LEN - 1);
        std::vector<std::string> out;
        for (std::size_t at = 0; at < text.size(); at += room)
            out.push_back(prefix + std::string(text.substr(at, room)));
        return out;
    }

private:
    static bool is_member(const Session& s, const std::string& id) {
        return std::find(s.members.begin(), s.members.end(), id) != s.members.end();
    }

    Session* find_mut(std::string_view name) { return const_cast<Session*>(find(name)); }

    static void reply(Outcome& o, std::string text) {
        o.out.push_back({"", line_of(std::move(text))});
    }

    // Takes `id` out of `s`; destroys `s` when it was the last member.
    void remove_member(const std::string& name, const std::string& id) {
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->name != name) continue;
            auto& m = it->members;
            m.erase(std::remove(m.begin(), m.end(), id), m.end());
            if (m.empty()) sessions_.erase(it);
            return;
        }
    }

    // The names of the sessions `id` left, in session order.
    std::vector<std::string> leave_all(const std::string& id) {
        std::vector<std::string> left = sessions_of(id);
        for (const std::string& name : left) remove_member(name, id);
        return left;
    }

    void login(Outcome& o, const std::string& self, Tokenizer& t) {
        const auto id = t.next(proto::FIELD_SEP);
        const auto pw = t.rest();
        if (!id || !pw) return reply(o, "LG_NACK#4");
        const auto acc = accounts_.find(std::string(*id));
        if (acc == accounts_.end() || acc->second != *pw) return reply(o, "LG_NACK#4");
        if (is_online(acc->first)) return reply(o, "LG_NACK#2");
        if (!self.empty()) return reply(o, "LG_NACK#3");
        online_.push_back(acc->first);
        o.logged_in = acc->first;
        reply(o, std::string(proto::LG_ACK));
    }

    void reply_query(Outcome& o, const std::string& self, bool all) {
        if (self.empty()) return reply(o, std::string(all ? proto::QRY_NACK : proto::QRYME_NACK));
        Expect e;
        e.kind = all ? Expect::qry_answer : Expect::qryme_answer;
        e.answers.push_back(all ? tokens(qry()) : Tokens{});
        if (!all)
            for (const std::string& name : sessions_of(self)) e.answers[0].push_back("s:" + name);
        o.out.push_back({"", std::move(e)});
    }

    void newconf(Outcome& o, const std::string& self, Tokenizer& t) {
        const auto name = t.rest();
        if (!name) return;  // missing field: ignored
        const std::string n(*name);
        if (self.empty()) return reply(o, "NEWCONF_NACK#" + n + "#1");
        if (find(n)) return reply(o, "NEWCONF_NACK#" + n + "#2");
        if (sessions_.size() >= 500) return reply(o, "NEWCONF_NACK#" + n + "#3");
        sessions_.push_back({n, {self}});
        reply(o, "NEWCONF_ACK#" + n);
    }

    void join(Outcome& o, const std::string& self, Tokenizer& t) {
        const auto name = t.rest();
        if (!name) return;
        const std::string n(*name);
        if (self.empty()) return reply(o, "JOIN_NACK#" + n + "#1");
        Session* s = find_mut(n);
        if (!s) return reply(o, "JOIN_NACK#" + n + "#2");
        if (s->members.size() >= 500) return reply(o, "JOIN_NACK#" + n + "#3");
        if (is_member(*s, self)) return reply(o, "JOIN_NACK#" + n + "#4");
        s->members.push_back(self);
        reply(o, "JOIN_ACK#" + n);
        for (const std::string& m : s->members)
            if (m != self) o.out.push_back({m, line_of(proto::joined_line(n, self))});
    }

    void logout(Outcome& o, const std::string& self) {
        if (self.empty()) return;
        drop(self);
        o.closed = true;
    }

    void leave(Outcome& o, const std::string& self, std::string_view request, Tokenizer& t) {
        if (self.empty()) return;
        if (request.find(proto::FIELD_SEP) == std::string_view::npos) {
            for (const std::string& name : leave_all(self)) reply(o, "LEAVE_ACK#" + name);
            return;
        }
        while (const auto name = t.next(proto::FIELD_SEP)) {
            const std::string n(*name);
            const Session* s = find(n);
            if (!s || !is_member(*s, self)) {
                reply(o, "LEAVE_NACK#" + n);
                continue;
            }
            reply(o, "LEAVE_ACK#" + n);
            remove_member(n, self);
        }
    }

    void msg(Outcome& o, const std::string& self, Tokenizer& t) {
        if (self.empty()) return;
        const auto name = t.next(proto::FIELD_SEP);
        const auto text = t.rest();
        if (!name || !text) return;
        const Session* s = find(*name);
        if (!s || !is_member(*s, self)) return reply(o, "MSG_NACK#" + std::string(*name));
        const std::vector<std::string> lines = relay_lines(*name, self, *text);
        for (const std::string& m : s->members)
            for (const std::string& l : lines) o.out.push_back({m, line_of(l)});
    }

    std::map<std::string, std::string> accounts_;
    std::vector<std::string> online_;  // login order
    std::vector<Session> sessions_;    // creation order
};

}  // namespace soak
