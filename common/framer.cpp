#include "framer.hpp"

#include <algorithm>
#include <cstring>

Cut cut_message(std::string_view bytes, std::size_t have) {
    const std::size_t room = have < proto::RECV_BUFFER_SIZE ? proto::RECV_BUFFER_SIZE - have : 0;
    const std::size_t look = std::min(bytes.size(), room);
    for (std::size_t i = 0; i < look; ++i) {
        if (bytes[i] == '\0' || bytes[i] == '\n') return {Cut::message, i + 1};
    }
    if (have + bytes.size() >= proto::RECV_BUFFER_SIZE) return {Cut::overflow, room};
    return {Cut::need_more, bytes.size()};
}

Framer::Framer(std::size_t capacity) : buf_(std::max(capacity, 2 * proto::RECV_BUFFER_SIZE)) {}

void Framer::make_room() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ > 0 && buf_.size() - end_ < proto::RECV_BUFFER_SIZE) {
        // What is left at the front is part of one message, so it is short.
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
}

Framer::Status Framer::peek(std::string_view& msg) {
    const Status status = next(msg);
    // A message is taken without moving the buffer: stepping back is enough.
    if (status == Status::message) begin_ = static_cast<std::size_t>(msg.data() - buf_.data());
    return status;
}

Framer::Status Framer::next(std::string_view& msg) {
    const std::string_view pending(buf_.data() + begin_, end_ - begin_);
    // Bytes of an unfinished message already looked at are not looked at again.
    const Cut cut = cut_message(pending.substr(scanned_), scanned_);
    const std::size_t used = scanned_ + cut.used;
    switch (cut.kind) {
        case Cut::message:
            msg = pending.substr(0, used - 1);
            begin_ += used;
            scanned_ = 0;
            return Status::message;
        case Cut::overflow:
            begin_ += used;
            scanned_ = 0;
            make_room();
            return Status::overflow;
        case Cut::need_more:
            scanned_ = used;
            break;
    }
    make_room();
    return Status::need_more;
}
