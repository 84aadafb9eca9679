// Fuzz target for message framing: the same byte stream, cut into chunks of
// sizes taken from the input, must give the same messages and overflows
// whether it goes through a Framer (fed whole, byte by byte or in chunks)
// or through cut_message the way the
// blocking receive uses it, and all of them must agree with a plain
// byte-at-a-time model of the framing rules.
//
// Input: byte 0 = number of chunk bytes (low 4 bits, +1) and the Framer
// capacity (high bits); then the chunk bytes, one per chunk (low 7 bits give
// the size, the high bit whether to take messages out after the chunk); the
// rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "framer.hpp"
#include "protocol.hpp"

namespace {

constexpr std::size_t LIMIT = proto::RECV_LIMIT;  // characters before the terminator

struct Event {
    bool overflow;
    std::string msg;
    bool operator==(const Event& o) const { return overflow == o.overflow && msg == o.msg; }
};
using Events = std::vector<Event>;

struct Chunks {
    std::vector<std::size_t> sizes;
    std::vector<bool> drain;
    std::size_t size_at(std::size_t i) const { return sizes[i % sizes.size()]; }
    bool drain_at(std::size_t i) const { return drain[i % drain.size()]; }
};

[[noreturn]] void fail(const char* what, std::string_view stream) {
    std::fprintf(stderr, "framing mismatch: %s (stream of %zu bytes)\n", what, stream.size());
    std::abort();
}

// The rules, one byte at a time: NUL or LF ends a message; the 501st
// character without a terminator is an overflow that takes those 501 bytes.
// `partial` is what is left of an unfinished message at the end.
Events model(std::string_view s, std::size_t& partial) {
    Events out;
    std::string cur;
    for (char c : s) {
        if (c == '\0' || c == '\n') {
            out.push_back({false, cur});
            cur.clear();
            continue;
        }
        cur.push_back(c);
        if (cur.size() == LIMIT + 1) {
            out.push_back({true, {}});
            cur.clear();
        }
    }
    partial = cur.size();
    return out;
}

void take_all(Framer& f, Events& out, std::string_view stream) {
    std::string_view msg;
    for (;;) {
        const Framer::Status st = f.next(msg);
        if (st == Framer::Status::need_more) return;
        if (st == Framer::Status::overflow) {
            out.push_back({true, {}});
            continue;
        }
        if (msg.size() > LIMIT) fail("message longer than 500 characters", stream);
        if (msg.find('\0') != std::string_view::npos || msg.find('\n') != std::string_view::npos)
            fail("terminator inside a message", stream);
        out.push_back({false, std::string(msg)});
    }
}

// Feeds the stream in the given chunks; after a chunk, messages are taken
// out when the chunk says so or when the buffer has no room left.
// `left` is the length of the unfinished message left at the end.
Events run_framer(std::string_view s, const Chunks& chunks, std::size_t capacity,
                  std::size_t& left) {
    Framer f(capacity);
    Events out;
    std::size_t pos = 0;
    bool stalled = false;
    for (std::size_t k = 0; pos < s.size(); ++k) {
        std::size_t want = std::min(chunks.size_at(k), s.size() - pos);
        while (want > 0) {
            const std::size_t n = std::min(want, f.space_size());
            std::memcpy(f.space(), s.data() + pos, n);
            f.commit(n);
            pos += n;
            want -= n;
            // Nothing fitted twice in a row: taking the messages out made no room.
            if (n > 0) {
                stalled = false;
            } else if (stalled) {
                fail("no room after taking every message out", s);
            } else {
                stalled = true;
            }
            // Full: take the messages out to make room, as a reader must.
            if (want > 0) take_all(f, out, s);
        }
        if (chunks.drain_at(k)) take_all(f, out, s);
    }
    take_all(f, out, s);
    // A terminator now ends whatever is left, so the message shows its length.
    std::string_view msg;
    *f.space() = '\0';
    f.commit(1);
    if (f.next(msg) != Framer::Status::message) fail("no message after a terminator", s);
    left = msg.size();
    return out;
}

// Receives the stream the way the blocking receive does: look at what has
// arrived (at most 501 bytes of the message), let cut_message say how much
// belongs to it, take that; chunks arrive only when nothing is left.
Events run_cut(std::string_view s, const Chunks& chunks, std::size_t& partial) {
    Events out;
    std::size_t arrived = 0;
    std::size_t taken = 0;
    std::size_t k = 0;
    std::size_t have = 0;  // bytes of the current message already taken
    for (;;) {
        if (taken == arrived) {
            if (arrived == s.size()) break;
            arrived = std::min(s.size(), arrived + chunks.size_at(k++));
        }
        const std::size_t seen = std::min(arrived - taken, LIMIT + 1 - have);
        const Cut cut = cut_message(s.substr(taken, seen), have);
        if (cut.used > seen) fail("cut_message used more than it saw", s);
        if (cut.used == 0) fail("cut_message made no progress", s);
        taken += cut.used;
        have += cut.used;
        if (have > LIMIT + 1) fail("message ran past 501 bytes", s);
        switch (cut.kind) {
            case Cut::message: {
                const std::string_view msg = s.substr(taken - have, have - 1);
                const char end = s[taken - 1];
                if (end != '\0' && end != '\n') fail("message not ended by a terminator", s);
                if (msg.find('\0') != std::string_view::npos ||
                    msg.find('\n') != std::string_view::npos)
                    fail("terminator inside a message", s);
                out.push_back({false, std::string(msg)});
                have = 0;
                break;
            }
            case Cut::overflow:
                if (have != LIMIT + 1) fail("overflow before 501 bytes", s);
                out.push_back({true, {}});
                have = 0;
                break;
            case Cut::need_more:
                if (cut.used != seen) fail("need_more left bytes untaken", s);
                break;
        }
    }
    partial = have;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t nchunks = (data[0] & 0x0f) + 1u;
    static const std::size_t capacities[] = {0, 2 * (LIMIT + 1) + 1, 1500, 16384};
    const std::size_t capacity = capacities[(data[0] >> 4) & 3];
    if (size < 1 + nchunks) return 0;
    Chunks chunks;
    for (std::size_t i = 0; i < nchunks; ++i) {
        const unsigned v = data[1 + i] & 0x7f;
        chunks.sizes.push_back(1 + v * v / 14);  // 1 .. 1153
        chunks.drain.push_back((data[1 + i] & 0x80) != 0);
    }
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + nchunks,
                                  size - 1 - nchunks);

    std::size_t partial = 0;
    const Events expected = model(stream, partial);

    Chunks whole;
    whole.sizes = {stream.size() + 1};
    whole.drain = {true};
    Chunks bytewise;
    bytewise.sizes = {1};
    bytewise.drain = {true};

    std::size_t left = 0;
    if (run_framer(stream, whole, 16384, left) != expected) fail("framer fed whole", stream);
    if (left != partial) fail("framer fed whole: leftover", stream);
    if (run_framer(stream, bytewise, capacity, left) != expected)
        fail("framer fed byte by byte", stream);
    if (left != partial) fail("framer fed byte by byte: leftover", stream);
    if (run_framer(stream, chunks, capacity, left) != expected)
        fail("framer fed in chunks", stream);
    if (left != partial) fail("framer fed in chunks: leftover", stream);

    std::size_t cut_partial = 0;
    if (run_cut(stream, chunks, cut_partial) != expected) fail("cut_message in chunks", stream);
    if (cut_partial != partial) fail("cut_message in chunks: leftover", stream);
    if (run_cut(stream, bytewise, cut_partial) != expected)
        fail("cut_message byte by byte", stream);
    return 0;
}
