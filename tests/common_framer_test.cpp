// The framing type: the same messages whatever pieces the bytes come in,
// and the 500/501-character boundary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framer.hpp"

namespace {

// Feeds `bytes` in pieces of `step` and collects messages ("!" marks an overflow).
std::vector<std::string> frame(const std::string& bytes, std::size_t step) {
    Framer f(1024);
    std::vector<std::string> out;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        std::string_view piece = std::string_view(bytes).substr(at, step);
        while (!piece.empty()) {
            const std::size_t took = f.feed(piece);
            piece.remove_prefix(took);
            std::string_view msg;
            for (;;) {
                const auto status = f.next(msg);
                if (status == Framer::Status::need_more) break;
                out.push_back(status == Framer::Status::message ? std::string(msg) : "!");
            }
        }
    }
    return out;
}

}  // namespace

TEST(Framer, SameMessagesWhateverThePieces) {
    const std::string a(500, 'a');
    const std::string b(501, 'b');
    struct Case {
        std::string bytes;
        std::vector<std::string> messages;
    } cases[] = {
        {std::string("x\0y\nz", 5), {"x", "y"}},
        {std::string("\0\0", 2), {"", ""}},
        {a + '\0' + "tail\n", {a, "tail"}},
        {a + '\n', {a}},
        // 501 characters: an overflow at the 501st byte; its NUL is then an empty message.
        {b + '\0', {"!", ""}},
        {b + "c\n", {"!", "c"}},
    };
    for (const Case& c : cases) {
        for (std::size_t step : {1u, 2u, 7u, 499u, 500u, 501u, 4096u}) {
            EXPECT_EQ(frame(c.bytes, step), c.messages) << "step " << step;
        }
    }
}

TEST(CutMessage, BoundaryAfterBytesAlreadyTaken) {
    struct Case {
        std::string bytes;
        std::size_t have;
        Cut::Kind kind;
        std::size_t used;
    } cases[] = {
        {"ab", 0, Cut::need_more, 2},
        {"ab\n", 0, Cut::message, 3},
        {std::string(1, '\0'), 500, Cut::message, 1},
        {"x", 500, Cut::overflow, 1},
        {"xy", 499, Cut::overflow, 2},
        {"x", 499, Cut::need_more, 1},
        {std::string(600, 'x'), 0, Cut::overflow, 501},
    };
    for (const Case& c : cases) {
        const Cut cut = cut_message(c.bytes, c.have);
        EXPECT_EQ(cut.kind, c.kind) << c.have << " + " << c.bytes.size();
        EXPECT_EQ(cut.used, c.used) << c.have << " + " << c.bytes.size();
    }
}
