// The reference model fuzz_server compares the server with: who is logged
// in on which connection in login order, the live sessions with their
// members in joining order, and for any request the exact messages each
// connection must receive. It lives in its own file, built without coverage
// feedback, so the fuzzer is guided by the server's code and not by it.
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

constexpr int CONNS = 4;

// The messages each connection must receive for one request, in order.
using Deliveries = std::array<std::vector<std::string>, CONNS>;

class Model {
public:
    explicit Model(std::map<std::string, std::string> accounts) : accounts_(std::move(accounts)) {}

    // The answer to `request` arriving on connection `k`; the state changes
    // as the server's must. `closes` tells that the server ends the
    // connection (a LOGOUT).
    Deliveries handle(int k, std::string_view request, bool& closes);

    // Connection `k` is gone: its user leaves every session silently.
    void drop(int k);
    // A session made straight through the registry by the user on `k`.
    void add_session(int k, const std::string& name);
    bool has_session(const std::string& name) const { return find(name) != nullptr; }
    const std::string& user(int k) const { return who_[k]; }

    // Compares the server's registry with the model; `socks` holds each
    // connection's server-side descriptor. nullptr, or what differs.
    const char* differs_from_registry(const std::array<int, CONNS>& socks, long& detail) const;

private:
    struct Room {
        std::string name;
        std::vector<std::string> members;
    };
    const Room* find(std::string_view name) const;
    int conn_of(const std::string& id) const;
    std::vector<std::string> sessions_of(const std::string& id) const;
    void remove_member(const std::string& name, const std::string& id);

    std::map<std::string, std::string> accounts_;
    std::array<std::string, CONNS> who_;  // the account on each connection, or ""
    std::vector<std::string> online_;     // login order
    std::vector<Room> sessions_;          // creation order
};
