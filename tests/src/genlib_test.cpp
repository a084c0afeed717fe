#include "GenLib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(GenLib, StrReplaceStopsWhenFull) {
  char buffer[13] = "a b c d";
  EXPECT_EQ(StrReplace(buffer, sizeof(buffer), " ", "---"), 2);
  EXPECT_STREQ(buffer, "a---b---c d");
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
