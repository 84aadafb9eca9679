// The shared tokenizer: "next" skips runs of separators, "rest" keeps
// everything after the separator that ended the previous field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tokenizer.hpp"

TEST(Tokenizer, NextAndRest) {
    struct Case {
        std::string text;
        int words;                       // how many next(' ') before rest()
        std::vector<std::string> taken;  // "<absent>" for an absent take
        std::string rest;
    } cases[] = {
        {"/create lobby", 1, {"/create"}, "lobby"},
        {"/create", 1, {"/create"}, "<absent>"},
        {"/create ", 1, {"/create"}, "<absent>"},
        {"/create  lobby", 1, {"/create"}, " lobby"},
        {"/msg lobby  two blanks", 2, {"/msg", "lobby"}, " two blanks"},
        {"   /ls", 1, {"/ls"}, "<absent>"},
        {"a", 2, {"a", "<absent>"}, "<absent>"},
        {"\tx y", 1, {"\tx"}, "y"},
    };
    auto show = [](const std::optional<std::string_view>& s) {
        return s ? std::string(*s) : std::string("<absent>");
    };
    for (const Case& c : cases) {
        Tokenizer t(c.text);
        std::vector<std::string> taken;
        for (int i = 0; i < c.words; ++i) taken.push_back(show(t.next(' ')));
        EXPECT_EQ(taken, c.taken) << c.text;
        EXPECT_EQ(show(t.rest()), c.rest) << c.text;
        EXPECT_FALSE(t.next(' ')) << c.text;
    }
}

TEST(Tokenizer, FirstKeepsEmptyFieldsAndRunsAreSkippedAfter) {
    Tokenizer t("#LOGIN##alice#pw#x");
    EXPECT_EQ(t.first('#'), "");
    EXPECT_EQ(t.next('#'), "LOGIN");
    EXPECT_EQ(t.next('#'), "alice");
    EXPECT_EQ(t.rest(), "pw#x");

    Tokenizer q("QRY");
    EXPECT_EQ(q.first('#'), "QRY");
    EXPECT_FALSE(q.rest());

    Tokenizer m("MSG#lobby#");
    EXPECT_EQ(m.first('#'), "MSG");
    EXPECT_EQ(m.next('#'), "lobby");
    EXPECT_FALSE(m.rest());
}
