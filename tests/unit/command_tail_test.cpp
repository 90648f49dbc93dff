// The command tail that the start-up hands to the run, from whole command lines.
#include "command_tail.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Line {
  const char* name;  // the case's name in the test output
  const char16_t* line;
  const char16_t* tail;
};

// Failure messages and ctest show the case's name, not its bytes.
void PrintTo(const Line& line, std::ostream* out) { *out << line.name; }

class CommandTailTest : public ::testing::TestWithParam<Line> {};

TEST_P(CommandTailTest, SkipsTheProgramNameAndTheBlanksAfterIt) {
  std::u16string line = GetParam().line;
  const LPWSTR tail = CommandTail(line.data());
  ASSERT_NE(tail, nullptr);
  ASSERT_GE(tail, line.data());
  ASSERT_LE(tail, line.data() + line.size()) << "the tail must lie inside the line";
  EXPECT_EQ(std::u16string(tail), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandTailTest,
    ::testing::Values(
        // A quoted path whose folder holds "-s" is the name, not the tail.
        Line{"QuotedPathWithHyphenSFolder", u"\"C:\\Program Files\\ca-setup\\install-ca-certs.exe\"", u""},
        Line{"QuotedPathThenHyphenS", u"\"C:\\ca-setup\\install-ca-certs.exe\" -s", u"-s"},
        Line{"UnquotedPathThenHyphenS", u"C:\\install-ca-certs.exe -s", u"-s"},
        Line{"BlanksAndTabsBeforeHyphenS", u"install-ca-certs.exe  \t \t-s", u"-s"},
        Line{"TabThenHyphenSAndMore", u"install-ca-certs.exe\t-s x", u"-s x"},
        // An unquoted path with a blank: the rest of the path is the tail.
        Line{"UnquotedPathWithBlank", u"C:\\My Tools\\data-set\\install-ca-certs.exe", u"Tools\\data-set\\install-ca-certs.exe"},
        Line{"NameOnly", u"install-ca-certs.exe", u""},
        Line{"NameThenBlanks", u"install-ca-certs.exe   ", u""},
        Line{"Empty", u"", u""},
        Line{"BlanksOnly", u"   ", u""},
        Line{"LeadingBlankThenHyphenS", u" -s", u"-s"},
        // An unterminated quote makes the whole line the name.
        Line{"UnterminatedQuote", u"\"C:\\ca dir\\install-ca-certs.exe -s", u""},
        // Quotes inside the name flip the flag; quotes in the tail are kept.
        Line{"QuotesInNameAndTail", u"C:\\\"ca dir\"\\x.exe \"a b\" -s", u"\"a b\" -s"},
        Line{"ControlCharactersAsBlanks", u"x.exe\x01\x1f-s", u"-s"}),
    [](const ::testing::TestParamInfo<Line>& testCase) { return std::string(testCase.param.name); });

TEST(CommandTailNull, NullLineGivesNullTail) { EXPECT_EQ(CommandTail(nullptr), nullptr); }

}  // namespace
