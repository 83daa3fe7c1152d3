#include "tools/zynwatch/shell_words.h"

#include <gtest/gtest.h>

TEST(ShellWords, PlainWordsStayAndOthersAreQuoted) {
  EXPECT_EQ(JoinShellWords({"-l", "/tmp/a.txt", "x=1"}), "-l /tmp/a.txt x=1");
  EXPECT_EQ(JoinShellWords({"two words", "", "it's", "$HOME", "a;b"}),
            "'two words' '' 'it'\\''s' '$HOME' 'a;b'");
  EXPECT_EQ(JoinShellWords({}), "");
}
