#include "platform/desktop/shell_words.h"

#include <gtest/gtest.h>

namespace zyn::desktop {
namespace {

using Words = std::vector<std::string>;

Words Split(std::string_view text) {
  std::string error;
  std::optional<Words> words = SplitShellWords(text, &error);
  EXPECT_TRUE(words.has_value()) << "for [" << text << "]: " << error;
  return words.value_or(Words{"<error>"});
}

TEST(ShellWordsTest, BlanksSeparateWordsAndRunsOfThemCountOnce) {
  EXPECT_EQ(Split(""), Words{});
  EXPECT_EQ(Split(" \t\n "), Words{});
  EXPECT_EQ(Split("a"), Words{"a"});
  EXPECT_EQ(Split("  one\ttwo \n three  "), (Words{"one", "two", "three"}));
}

TEST(ShellWordsTest, QuotesKeepBlanksAndJoinWithTheirNeighbours) {
  EXPECT_EQ(Split("'a b' \"c  d\""), (Words{"a b", "c  d"}));
  EXPECT_EQ(Split("x'a b'y\"c\"z"), Words{"xa bycz"});
  EXPECT_EQ(Split("'' \"\" a''"), (Words{"", "", "a"}));
  EXPECT_EQ(Split("\"it's\" 'say \"hi\"'"), (Words{"it's", "say \"hi\""}));
}

TEST(ShellWordsTest, BackslashesFollowShellRules) {
  // Outside quotes every character may be escaped, blanks and quotes included.
  EXPECT_EQ(Split(R"(a\ b \'c\" \\)"), (Words{"a b", "'c\"", "\\"}));
  // Inside single quotes a backslash is an ordinary character.
  EXPECT_EQ(Split(R"('a\b\' x)"), (Words{"a\\b\\", "x"}));
  // Inside double quotes only $ ` " \ are escaped; before anything else it stays.
  EXPECT_EQ(Split(R"("\$ \` \" \\ \a \n")"), Words{"$ ` \" \\ \\a \\n"});
  // A backslash before a newline continues the line, inside and outside quotes.
  EXPECT_EQ(Split("ab\\\ncd \"ef\\\ngh\""), (Words{"abcd", "efgh"}));
  EXPECT_EQ(Split("a \\\n b"), (Words{"a", "b"}));
}

TEST(ShellWordsTest, NothingIsExpandedOrInterpreted) {
  EXPECT_EQ(Split("$HOME ${PATH} $(id) `id` ~ *.txt"),
            (Words{"$HOME", "${PATH}", "$(id)", "`id`", "~", "*.txt"}));
  EXPECT_EQ(Split("a;b | c && d > e < f & # g"),
            (Words{"a;b", "|", "c", "&&", "d", ">", "e", "<", "f", "&", "#", "g"}));
  EXPECT_EQ(Split("\"$HOME\" \"`id`\""), (Words{"$HOME", "`id`"}));
}

TEST(ShellWordsTest, UnicodeTextPassesUnchanged) {
  EXPECT_EQ(Split("Grüße 'naïve café' 日本"), (Words{"Grüße", "naïve café", "日本"}));
}

TEST(ShellWordsTest, UnfinishedQuotingIsAnError) {
  for (std::string_view text : {"'abc", "a \"bc", "\"a\\\"", "x\\", "'a'\"", "\"\\"}) {
    std::string error;
    EXPECT_FALSE(SplitShellWords(text, &error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  // The error text is optional.
  EXPECT_FALSE(SplitShellWords("'").has_value());
}

}  // namespace
}  // namespace zyn::desktop
