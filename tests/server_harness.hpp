// In-process harness for the server's request handling: each client is one
// end of a socketpair whose other end sits in a server slot. Requests go
// straight to handle_command; replies are read back from the client end.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "connections.hpp"
#include "fd.hpp"
#include "printed.hpp"
#include "registry.hpp"
#include "server.hpp"

class ServerHarness : public testing::Test {
protected:
    struct Client {
        Fd end;         // the test's end of the pair
        int sock = -1;  // the server's descriptor for it
    };

    void SetUp() override {
        registry_reset();
        reset_connections();
        const char* accounts[][2] = {
            {"alice", "pw1"}, {"bob", "pw2"}, {"carol", "pw3"}, {"dave", "pw4"}, {"erin", "p#5"}};
        for (int i = 0; i < 5; ++i) {
            login[i] = accounts[i][0];
            pass[i] = accounts[i][1];
        }
    }

    void TearDown() override {
        reset_connections();
        registry_reset();
    }

    // Opens a new connection into a free slot; returns its index in `clients_`.
    int connect() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        Client c;
        c.end.reset(sv[0]);
        c.sock = sv[1];
        EXPECT_GT(attach_connection(sv[1]), 0);
        conns_.push_back(std::move(c));
        return static_cast<int>(conns_.size()) - 1;
    }

    // Carries out `request` from client `i`; returns what the server logged.
    std::string request(int i, const std::string& text, int* result = nullptr) {
        int r = 0;
        const std::string log = printed([&] { r = handle_command(conns_[i].sock, text); });
        if (result) *result = r;
        for (int s = 1; s < MAX_SLOTS; ++s) flush_slot(s);
        return log;
    }

    // Logs client `i` in as `id` with its password; expects LG_ACK.
    void login_as(int i, const std::string& id) {
        int k = 0;
        while (login[k] != id) ++k;
        request(i, "LOGIN#" + id + "#" + pass[k]);
        EXPECT_EQ(received(i), std::vector<std::string>{"LG_ACK"}) << id;
    }

    // Every message that has reached client `i` so far.
    std::vector<std::string> received(int i) {
        std::string& pending = partial_[i];
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(conns_[i].end.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            pending.append(chunk, static_cast<std::size_t>(n));
        }
        std::vector<std::string> out;
        std::size_t at;
        while ((at = pending.find('\0')) != std::string::npos) {
            out.push_back(pending.substr(0, at));
            pending.erase(0, at + 1);
        }
        return out;
    }

    std::vector<Client> conns_;
    std::string partial_[MAX_SLOTS];
};

using Lines = std::vector<std::string>;
