// handle_command and its handlers: one function per request word. Each
// handler splits the message with the shared tokenizer, logs, changes the
// registry and queues its replies; relayed lines go to members in order.
#include <cassert>
#include <string>

#include "connections.hpp"
#include "log.hpp"
#include "log_text.hpp"
#include "password.hpp"
#include "protocol.hpp"
#include "registry.hpp"
#include "server.hpp"
#include "text.hpp"
#include "tokenizer.hpp"

namespace {

using std::string_view;

// Queues a reply, cut to what one message can carry.
void send_text(int sock, string_view text) {
    queue_send(sock, text.substr(0, proto::MAX_TEXT_LEN));
}

void reply(int sock, string_view word, std::initializer_list<string_view> fields) {
    send_text(sock, proto::join_fields(word, fields));
}

// A user may be in this many sessions and still create one: a ninth of the
// table, rounded up, so no one user can take it all.
constexpr int SESSIONS_PER_USER = (MAX_SESSIONS + MAX_SLOTS - 2) / (MAX_SLOTS - 1);
constexpr string_view NAME_SEPARATORS = "#:";
static_assert(SESSIONS_PER_USER == 56);

int sessions_of(int id) {
    int n = 0;
    for (int s = 0; s < active_sessions; ++s) n += is_in_session(s, id);
    return n;
}

std::string str(string_view s) {
    return std::string(s);
}

void missing_field(string_view word) {
    log_line("%.*s request is missing a field. ignored.\n", len(word), word.data());
}

// Builds replies of the form "HEAD<entry><entry>..." that go on in further
// messages of the same form when one would pass 499 characters. An entry is
// an ID followed by "#field"s; an entry whose first field does not fit moves
// whole to the next message (an ID alone means "no fields"), and one cut
// after a field goes on with its ID again. A field is cut only where even a
// message holding nothing else but the head and the ID has no room for it.
class ListReply {
public:
    ListReply(int sock, string_view head) : sock_(sock), head_(head), msg_(head) {}

    // Starts an entry with its ID, after `sep` unless it opens the message.
    void entry(string_view sep, string_view id) {
        if (msg_.size() > head_.size() && sep.size() + id.size() > room()) flush();
        entry_at_ = msg_.size();
        if (msg_.size() > head_.size()) msg_.append(sep);
        id_ = id;
        first_field_ = true;
        append_id();
    }

    void field(string_view value) {
        if (1 + value.size() > room()) {
            if (first_field_ && entry_at_ > head_.size()) {
                msg_.resize(entry_at_);
                flush();
                append_id();
            } else if (!bare_) {
                flush();
                append_id();
            }
        }
        bare_ = false;
        first_field_ = false;
        if (room() < 2) return;
        msg_ += proto::FIELD_SEP;
        msg_.append(value.substr(0, room()));
    }

    void flush() {
        queue_send(sock_, msg_);
        msg_ = head_;
        bare_ = true;
    }

private:
    std::size_t room() const { return proto::MAX_TEXT_LEN - msg_.size(); }
    void append_id() {
        bare_ = msg_.size() == head_.size();
        msg_.append(id_.substr(0, room()));
    }

    int sock_;
    std::string head_;
    std::string msg_;
    string_view id_;
    std::size_t entry_at_ = 0;  // where the current entry starts in msg_
    bool first_field_ = false;  // the current entry has no field yet
    bool bare_ = true;          // the message holds nothing but the head and the entry's ID
};

// Every handler gets the connection, the whole message and the tokenizer
// standing after the request word; handle_command has checked the login of
// those whose request needs one.
int do_login(int sock, string_view, Tokenizer& tok) {
    const auto id = tok.next(proto::FIELD_SEP);
    const auto password = tok.rest();
    // The password never reaches the log, whatever its length.
    log_line("Received log-in request:\nUser:%s\tPass:******\n",
             printable(id.value_or("")).c_str());
    int j = -1;
    if (id && password) {
        const int k = account_of(*id);
        if (k >= 0 && password_matches(pass[k], *password)) j = k;
        // An unknown ID costs what a known one does, so timing does not tell.
        if (k < 0 && hashed_accounts > 0) check_unknown_id(*password);
    }
    if (j == -1) {
        log_line("USERNAME,PASSWORD pair was not valid. log-in rejected\n");
        pace_refused_login(sock);
        reply(sock, proto::LG_NACK, {proto::LG_BAD_CREDENTIALS});
        return 0;
    }
    if (users_online == MAX_USERS) {
        log_line("MAXIMUM number of users has reached. login rejected.\n");
        reply(sock, proto::LG_NACK, {proto::LG_MAX_USERS});
        return 0;
    }
    if (get_clientSocket(j) != -1) {
        log_line("User is already logged in. login rejected.\n");
        reply(sock, proto::LG_NACK, {proto::LG_ALREADY_ONLINE});
        return 0;
    }
    if (is_logged_in(sock)) {
        log_line("Same socket is being used by another user. login rejected.\n");
        reply(sock, proto::LG_NACK, {proto::LG_SOCKET_IN_USE});
        return 0;
    }
    go_online(sock, j);
    reply(sock, proto::LG_ACK, {});
    log_line("Client %s successfully logged in. Client ID:%d\n", printable(login[j]).c_str(), j);
    return 0;
}

int do_logout(int sock, string_view, Tokenizer&) {
    client_drop(sock);
    printall();
    return 1;
}

int do_qry(int sock, string_view, Tokenizer&) {
    const std::string head = str(proto::QRY_ACK) + proto::FIELD_SEP;
    ListReply out(sock, head);
    for (int i = 0; i < users_online; ++i) {
        const int id = clients[i].clientID;
        out.entry(":", login[id]);
        for (int s = 0; s < active_sessions; ++s) {
            if (is_in_session(s, id)) out.field(sessions[s]->name);
        }
    }
    out.flush();
    log_line("Query Processed Successfully.\n");
    return 0;
}

int do_qryme(int sock, string_view, Tokenizer&) {
    const int id = get_clientID(sock);
    ListReply out(sock, proto::QRYME_ACK);
    for (int s = 0; s < active_sessions; ++s) {
        if (is_in_session(s, id)) out.field(sessions[s]->name);
    }
    out.flush();
    log_line("Query Processed Successfully.\n");
    return 0;
}

int do_newconf(int sock, string_view, Tokenizer& tok) {
    const auto name = tok.rest();
    if (!name) {
        missing_field(proto::NEWCONF);
        return 0;
    }
    // These characters separate fields and QRY entries: such a name could
    // not be told apart from others in a reply.
    if (name->find_first_of(NAME_SEPARATORS) != string_view::npos) {
        log_line("Session name holds '#' or ':'. NEWCONF rejected.\n");
        reply(sock, proto::NEWCONF_NACK, {*name, proto::NEWCONF_TABLE_FULL});
        return 0;
    }
    if (session_exists(*name)) {
        log_line("NEWCONF: Session name already exists. rejected.\n");
        reply(sock, proto::NEWCONF_NACK, {*name, proto::NEWCONF_EXISTS});
        return 0;
    }
    if (sessions_of(get_clientID(sock)) >= SESSIONS_PER_USER) {
        log_line("User is in too many sessions. NEWCONF rejected.\n");
        reply(sock, proto::NEWCONF_NACK, {*name, proto::NEWCONF_TABLE_FULL});
        return 0;
    }
    if (active_sessions == MAX_SESSIONS) {
        log_line("MAX_SESSIONS reached. NEWCONF rejected.\n");
        reply(sock, proto::NEWCONF_NACK, {*name, proto::NEWCONF_TABLE_FULL});
        return 0;
    }
    const int s = create_session(*name, get_clientID(sock));
    log_line("Session#: %d was created. Session Name: %s\n", s,
             printable(sessions[s]->name).c_str());
    reply(sock, proto::NEWCONF_ACK, {*name});
    printall();
    return 0;
}

int do_join(int sock, string_view, Tokenizer& tok) {
    const auto name = tok.rest();
    if (!name) {
        missing_field(proto::JOIN);
        return 0;
    }
    const int s = get_sessionID(*name);
    const int id = get_clientID(sock);
    if (s == -1) {
        log_line("Session Name doesn't exist. JOIN rejected.\n");
        reply(sock, proto::JOIN_NACK, {*name, proto::JOIN_NO_SESSION});
        return 0;
    }
    Session& session = *sessions[s];
    if (session.count == MAX_SESSION_MEMBERS) {
        log_line("MAX_SESSION_MEMBERS reached. JOIN rejected.\n");
        reply(sock, proto::JOIN_NACK, {*name, proto::JOIN_FULL});
        return 0;
    }
    if (is_in_session(s, id)) {
        log_line("User is already in the session. idiot!. JOIN rejected.\n");
        reply(sock, proto::JOIN_NACK, {*name, proto::JOIN_ALREADY_MEMBER});
        return 0;
    }
    add_member(s, id);
    log_line("User %s Joined Session %s.\n", printable(login[id]).c_str(),
             printable(session.name).c_str());
    reply(sock, proto::JOIN_ACK, {*name});
    printall();
    const std::string notice = proto::joined_line(*name, login[id]);
    for (int m = 0; m < session.count; ++m) {
        if (session.members[m] != id) send_text(get_clientSocket(session.members[m]), notice);
    }
    return 0;
}

int do_leave(int sock, string_view cmd, Tokenizer& tok) {
    if (cmd.find(proto::FIELD_SEP) == string_view::npos) {
        // One reply per session left, whatever its name holds.
        for (const std::string& name : client_leave(sock)) reply(sock, proto::LEAVE_ACK, {name});
        printall();
        return 0;
    }
    const int id = get_clientID(sock);
    while (const auto name = tok.next(proto::FIELD_SEP)) {
        const int s = get_sessionID(*name);
        if (s == -1) {
            reply(sock, proto::LEAVE_NACK, {*name});
            continue;
        }
        const int pos = member_position(s, id);
        if (pos == -1) {
            log_line("received a request to leave a session they are not a part of !\n");
            reply(sock, proto::LEAVE_NACK, {*name});
            continue;
        }
        log_line("User \"%s\" left session \"%s\"\n", printable(login[id]).c_str(),
                 printable(sessions[s]->name).c_str());
        reply(sock, proto::LEAVE_ACK, {sessions[s]->name});
        remove_member(s, pos);
    }
    printall();
    return 0;
}

int do_msg(int sock, string_view, Tokenizer& tok) {
    const auto name = tok.next(proto::FIELD_SEP);
    const auto text = tok.rest();
    if (!name || !text) {
        missing_field(proto::MSG);
        return 0;
    }
    const int s = get_sessionID(*name);
    const int id = get_clientID(sock);
    if (s == -1 || !is_in_session(s, id)) {
        reply(sock, proto::MSG_NACK, {*name});
        return 0;
    }
    if (log_allowed())
        log_line("%s\t%s\t%d\t%d\t%s\n", printable(*name).c_str(), printable(*text).c_str(), s, id,
                 printable(login[id]).c_str());
    const Session& session = *sessions[s];
    // A text too long for one line goes out in consecutive lines of the same form.
    const std::string prefix = proto::says_prefix(*name, login[id]);
    const std::size_t chunk =
        prefix.size() < proto::MAX_TEXT_LEN ? proto::MAX_TEXT_LEN - prefix.size() : 0;
    string_view rest = *text;
    do {
        std::string line = prefix;
        if (chunk > 0) {
            line.append(rest.substr(0, chunk));
            rest.remove_prefix(std::min(chunk, rest.size()));
        } else {
            rest = {};
        }
        for (int m = 0; m < session.count; ++m) {
            send_text(get_clientSocket(session.members[m]), line);
        }
    } while (!rest.empty());
    return 0;
}

// What a request that needs a login gets before one: a log line (or none)
// and a refusal (or none). A refusal with a reason names the request's
// session, so without that field the request is only reported as short.
struct Refusal {
    const char* log;
    string_view reply;
    string_view reason;
};

struct Request {
    string_view word;
    bool needs_login;
    Refusal refusal;
    int (*handler)(int sock, string_view cmd, Tokenizer& tok);
};

constexpr Request REQUESTS[] = {
    {proto::LOGIN, false, {}, do_login},
    {proto::QRY,
     true,
     {"QUERY requested before loggin-in. rejected.\n", proto::QRY_NACK, {}},
     do_qry},
    {proto::QRYME,
     true,
     {"QUERYME requested before loggin-in. rejected.\n", proto::QRYME_NACK, {}},
     do_qryme},
    {proto::NEWCONF,
     true,
     {"NEWCONF requested before loggin-in. rejected.\n", proto::NEWCONF_NACK,
      proto::NEWCONF_NOT_LOGGED_IN},
     do_newconf},
    {proto::LOGOUT, true, {}, do_logout},
    {proto::JOIN,
     true,
     {"JOIN requested before loggin-in. rejected.\n", proto::JOIN_NACK, proto::JOIN_NOT_LOGGED_IN},
     do_join},
    {proto::LEAVE, true, {"LEAVE requested before loggin-in. rejected.\n", {}, {}}, do_leave},
    {proto::MSG, true, {"MSG received before loggin-in. rejected.\n", {}, {}}, do_msg},
};

int refuse(int sock, const Request& request, Tokenizer& tok) {
    const Refusal& r = request.refusal;
    if (r.reason.empty()) {
        if (r.log != nullptr) log_line("%s", r.log);
        if (!r.reply.empty()) reply(sock, r.reply, {});
        return 0;
    }
    const auto name = tok.rest();
    if (!name) {
        missing_field(request.word);
        return 0;
    }
    log_line("%s", r.log);
    reply(sock, r.reply, {*name, r.reason});
    return 0;
}

}  // namespace

int handle_command(int sock, std::string_view cmd) {
    assert(sock > 0);
    Tokenizer tok(cmd);
    const string_view word = tok.first(proto::FIELD_SEP);
    if (log_allowed())
        log_line("-------------------COMMAND:%s-------------------\n", printable(word).c_str());
    for (const Request& request : REQUESTS) {
        if (word != request.word) continue;
        if (request.needs_login && !is_logged_in(sock)) return refuse(sock, request, tok);
        return request.handler(sock, cmd, tok);
    }
    log_line("INVALID COMMAND! ... ignored it\n");
    return 0;
}
