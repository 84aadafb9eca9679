#include "log.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

std::string buffer;         // lines not yet written
std::size_t written = 0;    // bytes of `buffer` already written
unsigned long dropped = 0;  // lines that found the buffer full
bool closed = false;        // the log cannot be written any more
bool use_send = false;      // standard output is a socket (the journal's)
LogAllowance* cause = nullptr;

std::size_t pending() {
    return buffer.size() - written;
}

void append(const char* text, std::size_t n) {
    if (closed) return;
    if (pending() + n > LOG_BUFFER_LIMIT) {
        ++dropped;
        return;
    }
    buffer.append(text, n);
    if (cause != nullptr) cause->bytes -= static_cast<double>(n);
}

// Formats into a line on the stack, or on the heap when it is longer.
__attribute__((format(printf, 1, 0))) void append_formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    std::array<char, 2048> line;
    // The analyzer loses track of a va_list handed on from log_line's va_start.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int n = std::vsnprintf(line.data(), line.size(), format, args);
    if (n >= 0 && static_cast<std::size_t>(n) < line.size()) {
        append(line.data(), static_cast<std::size_t>(n));
    } else if (n >= 0) {
        std::string longer(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(longer.data(), longer.size(), format, again);
        append(longer.data(), static_cast<std::size_t>(n));
    }
    va_end(again);
}

// Writes once; false when nothing more can be written now.
bool write_some() {
    const char* from = buffer.data() + written;
    const ssize_t n = use_send ? ::send(LOG_FD, from, pending(), MSG_DONTWAIT | MSG_NOSIGNAL)
                               : ::write(LOG_FD, from, pending());
    if (n > 0) {
        written += static_cast<std::size_t>(n);
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // The reader has gone (EPIPE) or the log failed: serving goes on without it.
    closed = true;
    buffer.clear();
    written = 0;
    return false;
}

}  // namespace

void log_open() {
    std::signal(SIGPIPE, SIG_IGN);
    struct stat st {};
    if (::fstat(LOG_FD, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
        use_send = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A description of our own, so the shell's terminal or the other
        // writers of a pipe keep blocking writes.
        const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            ::dup2(fd, LOG_FD);
            ::close(fd);
        } else {
            ::fcntl(LOG_FD, F_SETFL, ::fcntl(LOG_FD, F_GETFL) | O_NONBLOCK);
        }
    }
}

bool log_allowed(unsigned long lines) {
    if (cause == nullptr || cause->bytes > 0) return true;
    cause->left_out += lines;
    return false;
}

void log_line(const char* format, ...) {
    if (closed || !log_allowed()) return;
    va_list args;
    va_start(args, format);
    append_formatted(format, args);
    va_end(args);
}

bool log_flush(bool wait) {
    for (;;) {
        while (pending() > 0 && write_some()) {
        }
        if (pending() == 0) {
            // Memory a backlog took goes back once it is written.
            if (buffer.capacity() > LOG_BUFFER_LIMIT / 4) std::string().swap(buffer);
            buffer.clear();
            written = 0;
            if (dropped == 0 || closed) return false;
            const LogCause none(nullptr, Clock::time_point{});
            log_line("WARNING: %lu log lines were dropped: the log was not read.\n", dropped);
            dropped = 0;
            continue;
        }
        if (!wait) break;
        pollfd p{LOG_FD, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) break;
    }
    // Keep the buffer from growing by what was written long ago.
    if (written >= buffer.size() / 2) {
        buffer.erase(0, written);
        written = 0;
    }
    return pending() > 0;
}

LogCause::LogCause(LogAllowance* allowance, Clock::time_point now) : outer_(cause) {
    cause = allowance;
    if (allowance == nullptr) return;
    const double seconds = std::chrono::duration<double>(now - allowance->refilled).count();
    if (seconds > 0) {
        allowance->bytes =
            std::min(LOG_BURST_BYTES, allowance->bytes + seconds * LOG_BYTES_PER_SECOND);
        allowance->refilled = now;
    }
}

LogCause::~LogCause() {
    cause = outer_;
}

void log_report(LogAllowance& allowance, int sock, Clock::time_point now, bool last) {
    if (allowance.left_out == 0) return;
    if (!last && now - allowance.reported < std::chrono::seconds(1)) return;
    const LogCause none(nullptr, now);
    log_line("WARNING: %lu log lines caused by socket %d were left out.\n", allowance.left_out,
             sock);
    allowance.left_out = 0;
    allowance.reported = now;
}

void log_reset() {
    buffer.clear();
    written = 0;
    dropped = 0;
    closed = false;
    cause = nullptr;
}
