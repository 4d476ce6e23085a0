#include "ui/Blanks.h"

#include <gtest/gtest.h>

namespace telvane {
namespace {

TEST(BlanksTest, TrimsTabAndUnicodeSpaceSeparatorsButNotLineBreaks)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases{
        {"", ""},
        {"abc", "abc"},
        {"  a b  ", "a b"},
        {"\ta\t", "a"},
        {"\u00A0\u1680\u2000\u2005\u200A\u202F\u205F\u3000x\u3000", "x"},
        {"\nx\n", "\nx\n"},
        {" \r\n ", "\r\n"},
        {"\u200Bx", "\u200Bx"},  // zero width space is a format character, not a blank
        {"\u00E4 ", "\u00E4"},
        {std::string("\xFF "), std::string("\xFF")},  // invalid bytes stay, blanks around them go
        {std::string(" \xC3"), std::string("\xC3")},  // a truncated sequence is not a blank
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(trimBlanks(c.in), c.out);
    }
    EXPECT_TRUE(isBlank(" \t\u3000"));
    EXPECT_FALSE(isBlank("\n"));
}

}  // namespace
}  // namespace telvane
