#include "GenLib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(GenLib, StrReplaceResizesAndStopsWhenFull) {
  const struct {
    const char *text, *find, *replacement;
    size_t size;
    int count;
    const char* want;
  } cases[] = {
      {"a b c d", " ", "---", 13, 2, "a---b---c d"},  // the third would not fit
      {"a b c d", " ", "---", 14, 3, "a---b---c---d"},
      {"xx", "x", "xx", 32, 2, "xxxx"},  // the inserted text is not searched again
      {"a\\nb\\n\\", "\\n", "\n", 32, 2, "a\nb\n\\"},
      {"abc", "", "x", 8, 0, "abc"},
  };
  for (const auto& c : cases) {
    char buffer[32] = {};
    strcpy(buffer, c.text);
    EXPECT_EQ(StrReplace(buffer, c.size, c.find, c.replacement), c.count) << c.text;
    EXPECT_STREQ(buffer, c.want) << c.text;
  }
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(StrReplace(unterminated, sizeof(unterminated), "a", ""), 0);
  EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

TEST(GenLib, StrlcpyAndStrlcatFollowBsd) {
  const struct {
    bool cat;
    char dst[9];  // eight bytes before and, in `want`, after the call
    const char* src;
    size_t size, result;
    char want[9];
  } cases[] = {
      {false, "########", "0123456789", 4, 10, "012\0####"},
      {false, "########", "ab", 4, 2, "ab\0#####"},
      {false, "########", "0123456789", 0, 10, "########"},
      {true, "abc\0####", "defgh", 8, 8, "abcdefg\0"},
      {true, "ab\0#####", "cd", 8, 4, "abcd\0###"},
      {true, "wxyz####", "abc", 4, 7, "wxyz####"},  // no terminator within the size
  };
  for (const auto& c : cases) {
    char buffer[8];
    memcpy(buffer, c.dst, sizeof(buffer));
    EXPECT_EQ(c.cat ? strlcat(buffer, c.src, c.size) : strlcpy(buffer, c.src, c.size), c.result)
        << c.dst << " " << c.src;
    EXPECT_EQ(std::string(buffer, 8), std::string(c.want, 8)) << c.dst << " " << c.src;
  }
}
