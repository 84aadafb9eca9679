// The keyboard line reader: lines cut at newlines, the 500-byte limit with
// the rest of an over-long line dropped, NUL bytes, and the end of input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_support.hpp"
#include "line_reader.hpp"

namespace {

using namespace client_test;
using namespace std::string_literals;

// Every result the reader gives for `input`, up to its second end.
std::vector<std::string> read_all(const std::string& input) {
    auto [r, w] = make_pipe();
    write_all(w.get(), input);
    w.reset();
    LineReader reader(r.get());
    std::vector<std::string> got;
    for (int ends = 0; ends < 2 && got.size() < 20;) {
        std::string_view line;
        switch (reader.next(line)) {
            case LineReader::Result::line:
                got.push_back("line:" + std::string(line));
                break;
            case LineReader::Result::too_long:
                got.push_back("too_long");
                break;
            case LineReader::Result::end:
                got.push_back("end");
                ++ends;
                break;
        }
    }
    return got;
}

TEST(ClientLineReader, CutsLines) {
    const std::string x499(499, 'x');
    struct Case {
        std::string input;
        std::vector<std::string> results;
    };
    const Case cases[] = {
        {"a\nb\n", {"line:a", "line:b", "end", "end"}},
        {"\n\n", {"line:", "line:", "end", "end"}},
        {"", {"end", "end"}},
        {"tail", {"line:tail", "end", "end"}},
        {x499 + "\n", {"line:" + x499, "end", "end"}},
        {x499 + "y\n/ls\n", {"too_long", "line:/ls", "end", "end"}},
        {std::string(1200, 'x') + "\nok\n", {"too_long", "line:ok", "end", "end"}},
        {std::string(600, 'x'), {"too_long", "end", "end"}},
        {"\0/ls\n"s, {"line:", "end", "end"}},
        {"ab\0cd\nef\n"s, {"line:ab", "line:ef", "end", "end"}},
        {" a \t\n", {"line: a \t", "end", "end"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_all(c.input), c.results) << c.input.substr(0, 20);
    }
}

// What arrives in pieces: ready() only once a whole line is buffered, and
// the rest of an over-long line dropped even when it comes later.
TEST(ClientLineReader, ReadyAndPiecewiseInput) {
    auto [r, w] = make_pipe();
    LineReader reader(r.get());
    std::string_view line;
    EXPECT_FALSE(reader.ready());
    write_all(w.get(), "/qry");
    reader.fill();
    EXPECT_FALSE(reader.ready());
    write_all(w.get(), "\n/qryme\n");
    reader.fill();
    ASSERT_TRUE(reader.ready());
    ASSERT_EQ(reader.next(line), LineReader::Result::line);
    EXPECT_EQ(line, "/qry");
    ASSERT_TRUE(reader.ready());
    ASSERT_EQ(reader.next(line), LineReader::Result::line);
    EXPECT_EQ(line, "/qryme");
    EXPECT_FALSE(reader.ready());

    write_all(w.get(), std::string(500, 'x'));
    reader.fill();
    ASSERT_TRUE(reader.ready());
    EXPECT_EQ(reader.next(line), LineReader::Result::too_long);
    write_all(w.get(), "yyy");
    reader.fill();
    EXPECT_FALSE(reader.ready());
    write_all(w.get(), "y\nz\n");
    reader.fill();
    ASSERT_TRUE(reader.ready());
    ASSERT_EQ(reader.next(line), LineReader::Result::line);
    EXPECT_EQ(line, "z");

    w.reset();
    reader.fill();
    EXPECT_TRUE(reader.ready());
    EXPECT_EQ(reader.next(line), LineReader::Result::end);
}

}  // namespace
