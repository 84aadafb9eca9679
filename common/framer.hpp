// Message framing without sockets: cuts a byte stream into messages ended by
// NUL or LF, with the 500-character limit. The client's blocking receive and
// the server's per-connection buffers both cut messages with this code.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "protocol.hpp"

// What the bytes after `have` bytes of an unfinished message hold.
struct Cut {
    enum Kind { need_more, message, overflow };
    Kind kind;
    std::size_t used;  // bytes of the input that belong to this message
};

// Looks for the end of one message in `bytes`, which follow `have` bytes
// already taken of it. A NUL or LF within the first 501 bytes of the message
// ends it (`used` includes the terminator); 501 bytes without one are an
// overflow (`used` stops at the 501st byte); otherwise all of `bytes` belongs
// to a message that has not ended yet.
Cut cut_message(std::string_view bytes, std::size_t have);

// A per-connection receive buffer: bytes go in at the back, whole messages
// come out at the front, in order.
class Framer {
public:
    enum class Status { message, need_more, overflow };

    explicit Framer(std::size_t capacity = 16384);

    // Room at the back for the next read. Once next() has said it needs
    // more, there is room for at least one whole message.
    char* space() { return buf_.data() + end_; }
    std::size_t space_size() const { return buf_.size() - end_; }
    void commit(std::size_t n) { end_ += n; }

    // Takes the next message off the front into `msg` (without its
    // terminator; valid until the buffer is next written). On overflow the
    // 501 bytes of the over-long message are taken off and dropped.
    Status next(std::string_view& msg);

    // As next(), but the message stays at the front: next() takes it again.
    Status peek(std::string_view& msg);

private:
    // Moves an unfinished message to the front when the back runs short.
    void make_room();

    std::vector<char> buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t scanned_ = 0;  // bytes after begin_ known to hold no terminator
};
