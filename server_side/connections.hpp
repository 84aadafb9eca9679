// The server's connection slots: slot 0 holds the listener, slots 1..9 the
// client connections, each with its receive buffer and its output queue.
// Replies and relayed lines are queued here and written when the socket can
// take them, so a client that stops reading holds up no one else.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "fd.hpp"
#include "framer.hpp"

inline constexpr int MAX_SLOTS = 10;
inline constexpr int LISTEN_BACKLOG = 10;
// A connection whose unsent output passes this is dropped.
inline constexpr std::size_t MAX_OUTPUT_QUEUE = 1 << 20;

using Clock = std::chrono::steady_clock;

struct Connection {
    Fd fd;
    Framer in{16384};
    std::string out;           // queued messages, each with its NUL
    std::size_t out_sent = 0;  // bytes of `out` already written
    bool over_limit = false;   // to be dropped once the current request is done
    Clock::time_point accepted;

    bool open() const { return fd.valid(); }
    std::size_t pending() const { return out.size() - out_sent; }
};

extern std::array<Connection, MAX_SLOTS> slots;

// Descriptors of the slots, -1 where free (the listener at index 0).
std::array<int, MAX_SLOTS> slot_descriptors();

// Puts `fd` into client slot `slot`, which must be free.
void attach_connection(int fd, int slot);
// Puts `fd` into the first free client slot; returns its index, or -1.
int attach_connection(int fd);

// Queues `text` and its NUL for the connection on `sock`, with the send
// size rule and lines of secure_send. Returns 0, or -2 when too long, or -1
// when the connection is unknown or already over its output limit.
int queue_send(int sock, std::string_view text);

// Writes what slot `i` has queued, without waiting. Returns -1 (after
// printing the send-error line) when the connection has failed, else 0.
int flush_slot(int i);

// Takes the client in slot `i` out of the registry, prints "close socket",
// closes the connection and frees the slot.
void drop_connection(int i);

// Drops every connection marked over its output limit.
void drop_over_limit();

// Closes every slot, the listener included (for tests).
void reset_connections();
