// TLS on the client's connection: the handshake, bounded in time, and the
// decision whether to trust the server, taken before the login request
// (which carries the password) goes out.
#pragma once

#include <chrono>
#include <string>

#include "tls.hpp"

class LineReader;

// The longest a TLS handshake may take; a silent server then fails it.
inline constexpr std::chrono::seconds TLS_HANDSHAKE_TIMEOUT{10};

// Makes `sock`, connected to `host` and `port` as typed, non-blocking and
// starts TLS on it. A certificate valid for `host` is trusted; otherwise
// the file of known servers decides and, for a server it does not list,
// the user's answer read from `keyboard` (nullptr: nobody to ask, the
// server is refused). Returns the session, or null when the handshake
// failed or the server was refused, each said on standard output.
SslPtr start_tls(int sock, const std::string& host, const std::string& port, LineReader* keyboard);

// Waits until `sock` is ready for what `io` (want_read or want_write) asks,
// at most `timeout_ms` (-1: no limit). False when the time ran out or the
// wait failed; true also after a signal, so the caller tries again.
bool wait_for_tls(int sock, TlsIo io, int timeout_ms);
