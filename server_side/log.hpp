// The operator's log: standard output, written without ever blocking the
// loop. Lines wait in a bounded buffer that is written out before every
// wait; when whoever reads the log falls behind so far that the buffer is
// full, lines are dropped and counted instead. Each connection also has an
// allowance (a token bucket of log bytes): past it, the lines it causes are
// counted instead of written, so no peer can flood the log.
#pragma once

#include <chrono>
#include <cstddef>

using Clock = std::chrono::steady_clock;

// Log bytes a connection may cause at once, and the rate at which that
// allowance comes back. A person chatting, creating and joining stays far
// below both; a peer that sends requests in a loop does not.
inline constexpr double LOG_BURST_BYTES = 64 * 1024;
inline constexpr double LOG_BYTES_PER_SECOND = 4 * 1024;
// Log bytes held back when the log is not read fast enough.
inline constexpr std::size_t LOG_BUFFER_LIMIT = 4 << 20;

struct LogAllowance {
    double bytes = LOG_BURST_BYTES;  // may go below zero by the last line's size
    Clock::time_point refilled;
    unsigned long left_out = 0;  // lines counted instead of written
    Clock::time_point reported;  // when left_out was last reported
};

// Makes standard output non-blocking without touching a descriptor shared
// with others where it can (a pipe or terminal is opened anew), and ignores
// SIGPIPE, so a log whose reader has gone leaves the server serving.
void log_open();

// Appends one line, formatted as by printf, unless the connection that
// causes it is past its allowance or the buffer is full (counted either way).
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when a line may be logged now. When the cause is past its
// allowance, counts `lines` as left out and returns false: callers that
// would build many or costly lines ask first.
bool log_allowed(unsigned long lines = 1);

// Writes what the buffer holds without waiting (with `wait`, for up to a
// second at a time, for an exit). Returns true while bytes remain.
bool log_flush(bool wait = false);

// The descriptor to watch for writing while log_flush left bytes behind.
inline constexpr int LOG_FD = 1;

// While one lives, the lines logged are caused by the connection that owns
// `allowance`, topped up first for the time gone by; with none, by no
// connection (such lines are always written while the buffer has room).
class LogCause {
public:
    LogCause(LogAllowance* allowance, Clock::time_point now);
    ~LogCause();
    LogCause(const LogCause&) = delete;
    LogCause& operator=(const LogCause&) = delete;

private:
    LogAllowance* outer_;
};

// Writes the warning for the lines `allowance` left out, at most once a
// second, or now with `last` (the connection is closing).
void log_report(LogAllowance& allowance, int sock, Clock::time_point now, bool last = false);

// Empties the buffer and forgets the counts and the cause.
void log_reset();
