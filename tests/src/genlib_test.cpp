#include "GenLib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(GenLib, GetFileNameCutsAfterTheLastSeparator) {
  const struct {
    const char* path;
    size_t offset;  // where the name starts, in the same storage
  } cases[] = {{"base/dir/file.txt", 9},
               {"file.txt", 0},
               {"C:\\dir\\file.exe", 7},
               {"a\\b/c\\d", 4}};  // a slash wins over a backslash
  for (const auto& c : cases) EXPECT_EQ(GetFileName(c.path), c.path + c.offset) << c.path;
  EXPECT_EQ(GetFileName(static_cast<const char*>(nullptr)), nullptr);
  EXPECT_STREQ(GetFileNameW(L"a/b\\c.txt"), L"b\\c.txt");
  EXPECT_STREQ(GetFileNameW(L"a\\b.txt"), L"b.txt");
}

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
      {"a     b", "  ", " ", 32, 2, "a   b"},
      {"one two one", "one", "1+1", 32, 2, "1+1 two 1+1"},
      {"aaa", "aa", "ba", 32, 1, "baa"},
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

TEST(GenLib, LargeFilePositionsAndWideLength) {
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  const int64_t far = int64_t{5} << 30;  // beyond any 32-bit offset; no data is written
  EXPECT_EQ(fseek64(file, far, SEEK_SET), 0);
  EXPECT_EQ(ftell64(file), far);
  fclose(file);
  EXPECT_EQ(wcsbytes(L"abc"), 12u);
}
