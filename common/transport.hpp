// The line transport: one text message per call over a connected stream
// socket, ended by NUL on the way out and by NUL or LF on the way in. Every
// failure prints its line on standard output and is reported by the result.
#pragma once

#include <array>
#include <cerrno>
#include <string_view>

#include "protocol.hpp"

// True for the errors after which a non-blocking call is simply made again
// when the socket is next ready.
inline bool try_later(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// A buffer that can hold any message secure_recv accepts, with its terminator.
using RecvBuffer = std::array<char, proto::RECV_BUFFER_SIZE>;

// Prints the send-limit line and returns -2 when `text` with its NUL would
// exceed BUFFER_SIZE; returns 0 when it fits.
int check_send_size(std::string_view text);

// Sends `text` and its NUL. Returns 0 when all of it was handed to the
// socket, -1 on a send error, -2 when the text is too long (nothing sent).
// A peer that has gone yields -1, never SIGPIPE.
int secure_send(int sock, std::string_view text);

// Receives one message into `buf`, NUL-terminated. Returns 1 for a message,
// 0 when the peer closed, -1 on a receive error, -2 when the message ran
// past 500 characters (501 bytes taken). Never takes bytes that belong to
// the next message.
int secure_recv(int sock, RecvBuffer& buf);
