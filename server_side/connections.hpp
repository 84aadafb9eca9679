// The server's connection slots: slot 0 holds the listener, slots 1..9 the
// client connections, each with its transport (a socket, with a TLS session
// over it for connections to the TLS listener), its receive buffer and its
// output queue.
// Replies and relayed lines are queued here and written when the socket can
// take them, so a client that stops reading holds up no one else. Every
// way a connection ends goes through close_slot.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fd.hpp"
#include "framer.hpp"
#include "log.hpp"
#include "tls.hpp"

inline constexpr int MAX_SLOTS = 10;
inline constexpr int LISTEN_BACKLOG = 10;
// A connection whose unsent output passes this is dropped.
inline constexpr std::size_t MAX_OUTPUT_QUEUE = 1 << 20;
// How long a peer that has half-closed is given to take its queued output.
inline constexpr std::chrono::seconds CLOSE_TIMEOUT{10};
// Refused logins answered at once, and the pace at which that allowance
// comes back; the allowance is the whole server's.
inline constexpr int REFUSED_LOGIN_BURST = 5;
inline constexpr std::chrono::milliseconds REFUSED_LOGIN_INTERVAL{200};

struct Connection {
    Fd fd;
    SslPtr tls;                     // the TLS session over fd, if any
    bool handshaking = false;       // TLS: the handshake is not over
    bool tls_failed = false;        // TLS: a call failed, so no close_notify
    bool read_wants_write = false;  // TLS: reading waits for the socket to take bytes
    bool write_wants_read = false;  // TLS: writing waits for bytes from the peer
    bool tls_more = false;          // TLS: the library may hold more than the buffer took
    std::size_t tls_retry = 0;      // TLS: a write to make again with the same bytes
    std::optional<Framer> in;       // present while the slot is in use
    std::string out;                // queued messages, each with its NUL
    std::size_t out_sent = 0;       // bytes of `out` already written
    bool over_limit = false;        // to be dropped once the current request is done
    bool closing = false;           // cleaned out; closed once `out` is written
    Clock::time_point accepted;
    Clock::time_point close_by;    // closing: when to give up writing
    Clock::time_point held_until;  // neither read nor written before this
    LogAllowance log;              // of the lines this connection causes

    bool open() const { return fd.valid(); }
    std::size_t pending() const { return out.size() - out_sent; }
    bool held(Clock::time_point now) const { return now < held_until; }
};

extern std::array<Connection, MAX_SLOTS> slots;
// The listener is not watched: all client slots were full at the last accept.
extern bool listener_paused;
// The time of the loop's current pass.
extern Clock::time_point loop_now;

// Index of the first of `count` slots holding a negative value, or -1.
int emptySlot(int count, const int* fds);

// Descriptors of the slots, -1 where free (the listener at index 0).
std::array<int, MAX_SLOTS> slot_descriptors();

// Puts `fd` into client slot `slot`, which must be free. With `tls`, the
// connection starts with a TLS handshake as the server; false when its TLS
// session could not be made (the slot is left free and `fd` closed).
bool attach_connection(int fd, int slot, SSL_CTX* tls = nullptr);

// What reading a connection came to.
enum class Got { some, nothing, end, failed };

// Reads what has arrived into slot `i`'s receive buffer, without waiting:
// over TLS, until the library wants more from the socket or the buffer is
// full. A TLS handshake in progress is driven on instead; its end reads as
// `some` (nothing read yet), its failure as `failed`, after its log line.
Got read_slot(int i);

// Index of the client slot holding the open connection `sock`, or -1.
int slot_of(int sock);

// Queues `text` and its NUL for the connection on `sock`, with the send
// size rule and lines of secure_send. Nothing is queued when the text is
// too long, the connection unknown or already over its output limit: the
// close path deals with the connection.
void queue_send(int sock, std::string_view text);

// Writes what slot `i` has queued, without waiting (over TLS, a write that
// could not finish is made again with the same bytes). Returns -1 (after
// printing the send-error line) when the connection has failed, else 0.
int flush_slot(int i);

// Ends the connection in slot `i`: takes its client out of the registry,
// prints the closing line (the logout's own after a LOGOUT), closes it,
// releases the slot's buffers and lets the listener be watched again.
void close_slot(int i, bool logged_out = false);

// The peer of slot `i` has closed its side: its client is taken out of the
// registry now, nothing more is read, and the connection is closed once its
// queued output is written or CLOSE_TIMEOUT has passed.
void finish_slot(int i, Clock::time_point now);

// Closes every connection marked over its output limit.
void drop_over_limit();

// Called before a refused login is answered: holds the connection on `sock`
// until the refused-login allowance has room for one more refusal; from
// then on its output waits and nothing is read from it.
void pace_refused_login(int sock);

// While the refused-login allowance is spent, the time it has room again;
// otherwise nothing. Logins wait until then before their passwords are
// checked, so guessing cannot make the server hash faster than the pace.
std::optional<Clock::time_point> logins_paced_until(Clock::time_point now);

// Closes every slot, the listener included, and forgets the allowance.
void reset_connections();
