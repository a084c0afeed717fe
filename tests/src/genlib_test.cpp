#include "GenLib.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(GenLib, GetFileNameCutsAfterTheLastSeparator) {
  const char* path = "base/dir/file.txt";
  EXPECT_EQ(GetFileName(path), path + 9);
  EXPECT_STREQ(GetFileName("file.txt"), "file.txt");
  const char* dir = "base/dir/";
  EXPECT_EQ(GetFileName(dir), dir + 9);
  EXPECT_STREQ(GetFileName(dir), "");
  EXPECT_STREQ(GetFileName("C:\\dir\\file.exe"), "file.exe");
  // A forward slash wins even when a backslash comes later.
  EXPECT_STREQ(GetFileName("a\\b/c\\d"), "c\\d");
  char writable[] = "x/y";
  char* name = GetFileName(writable);
  EXPECT_EQ(name, writable + 2);
  EXPECT_EQ(GetFileName(static_cast<const char*>(nullptr)), nullptr);

  EXPECT_STREQ(GetFileNameW(L"a/b/c.txt"), L"c.txt");
  EXPECT_STREQ(GetFileNameW(L"a\\b.txt"), L"b.txt");
  EXPECT_STREQ(GetFileNameW(L"plain"), L"plain");
}

TEST(GenLib, StrReplaceResizesAndStopsWhenFull) {
  char text[32] = "a\r\nb\r\n\rc";
  EXPECT_EQ(StrReplace(text, sizeof(text), "\r", ""), 3);
  EXPECT_STREQ(text, "a\nb\nc");

  // Growing: "a b c d" with each space made "---" needs 14 bytes.
  char small[12] = "a b c d";
  EXPECT_EQ(StrReplace(small, sizeof(small), " ", "---"), 2);
  EXPECT_STREQ(small, "a---b---c d");
  char exact[14] = "a b c d";
  EXPECT_EQ(StrReplace(exact, sizeof(exact), " ", "---"), 3);
  EXPECT_STREQ(exact, "a---b---c---d");

  // The inserted text is not searched again.
  char again[32] = "xx";
  EXPECT_EQ(StrReplace(again, sizeof(again), "x", "xx"), 2);
  EXPECT_STREQ(again, "xxxx");
  char spaces[32] = "a     b";
  EXPECT_EQ(StrReplace(spaces, sizeof(spaces), "  ", " "), 2);
  EXPECT_STREQ(spaces, "a   b");

  char same[32] = "one two one";
  EXPECT_EQ(StrReplace(same, sizeof(same), "one", "1+1"), 2);
  EXPECT_STREQ(same, "1+1 two 1+1");

  char untouched[8] = "abc";
  EXPECT_EQ(StrReplace(untouched, sizeof(untouched), "", "x"), 0);
  EXPECT_EQ(StrReplace(untouched, sizeof(untouched), "z", "yy"), 0);
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(StrReplace(unterminated, sizeof(unterminated), "a", ""), 0);
  EXPECT_EQ(memcmp(unterminated, "abcd", 4), 0);
}

TEST(GenLib, StrlcpyAndStrlcatFollowBsd) {
  char dst[4];
  EXPECT_EQ(strlcpy(dst, "0123456789", sizeof(dst)), 10u);
  EXPECT_STREQ(dst, "012");
  char guard[2] = {'#', '#'};
  EXPECT_EQ(strlcpy(guard, "0123456789", 0), 10u);
  EXPECT_EQ(guard[0], '#');
  EXPECT_EQ(strlcpy(dst, "ab", sizeof(dst)), 2u);
  EXPECT_STREQ(dst, "ab");

  char cat[8] = "abc";
  EXPECT_EQ(strlcat(cat, "defgh", sizeof(cat)), 8u);
  EXPECT_STREQ(cat, "abcdefg");
  char room[8] = "ab";
  EXPECT_EQ(strlcat(room, "cd", sizeof(room)), 4u);
  EXPECT_STREQ(room, "abcd");
  // A destination without a terminator in its size is left as it is.
  char full[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(strlcat(full, "abc", sizeof(full)), 7u);
  EXPECT_EQ(memcmp(full, "wxyz", 4), 0);
  EXPECT_EQ(strlcat(cat, "x", 0), 1u);
}

TEST(GenLib, LargeFilePositionsAndWideLength) {
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  const int64_t far = int64_t{5} << 30;  // beyond any 32-bit offset; no data is written
  EXPECT_EQ(fseek64(file, far, SEEK_SET), 0);
  EXPECT_EQ(ftell64(file), far);
  EXPECT_EQ(fseek64(file, -far, SEEK_CUR), 0);
  EXPECT_EQ(ftell64(file), 0);
  fclose(file);

  EXPECT_EQ(wcsbytes(L"abc"), 12u);
  EXPECT_EQ(wcsbytes(L""), 0u);
}
