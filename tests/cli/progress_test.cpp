// Progress lines of the console: exact bytes at several terminal widths. The
// callbacks' output on a standard output that is not a terminal is checked
// byte for byte by the end-to-end tests.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console.h"
#include "gtest/gtest.h"

namespace {

std::string Plain(int width, int64_t received, int64_t total) {
  std::vector<char> line(width + 2, 'X');
  size_t length = BuildPlainBar(line.data(), line.size(), width, received, total);
  EXPECT_EQ(length, strlen(line.data()));
  return line.data();
}

std::string Named(int width, const std::string& name, int64_t received, int64_t total) {
  std::vector<char> line(width + 2, 'X');
  size_t length = BuildNamedBar(line.data(), line.size(), width, name.c_str(), received, total);
  EXPECT_EQ(length, strlen(line.data()));
  return line.data();
}

std::string Bar(int filled, int empty) {
  return "\r[" + std::string(filled, '#') + std::string(empty, ' ') + "] ";
}

std::string PadTo(std::string line, size_t width) {
  line.resize(width, ' ');
  return line;
}

TEST(PlainBar, EightyTwentyTwoHundredAndNarrowerColumns) {
  EXPECT_EQ(Plain(80, 500, 1000), PadTo(Bar(30, 30) + "500 bytes", 80));
  EXPECT_EQ(Plain(80, 1000, 1000), PadTo(Bar(60, 0) + "1000 bytes", 80));
  // The share is truncated; below one cell nothing is filled.
  EXPECT_EQ(Plain(80, 1, 3), PadTo(Bar(20, 40) + "1 bytes", 80));
  EXPECT_EQ(Plain(80, 1, 1000), PadTo(Bar(0, 60) + "1 bytes", 80));
  EXPECT_EQ(Plain(200, 500, 1000), PadTo(Bar(90, 90) + "500 bytes", 200));
  // 20 columns leave no room for a bar; narrower lines are cut at the edge.
  EXPECT_EQ(Plain(20, 500, 1000), PadTo(Bar(0, 0) + "500 bytes", 20));
  EXPECT_EQ(Plain(10, 500, 1000), "\r[] 500 by");
  EXPECT_EQ(Plain(1, 500, 1000), "\r");
  EXPECT_EQ(Plain(0, 500, 1000), "");
  // An unknown total shows the count only.
  EXPECT_EQ(Plain(80, 12345, 0), "\rDownloading: 12345 bytes received          ");
  EXPECT_EQ(Plain(20, 12345, 0), "\rDownloading: 12345 ");
}

TEST(PlainBar, NeverPassesTheLine) {
  // More than the total: a full bar, nothing beyond it.
  EXPECT_EQ(Plain(80, 5000, 1000), PadTo(Bar(60, 0) + "5000 bytes", 80));
  // A count of twelve digits shrinks the bar so the line still ends at 80.
  EXPECT_EQ(Plain(80, 123456789012LL, 123456789012LL), Bar(58, 0) + "123456789012 bytes");
  for (int width : {1, 5, 19, 20, 21, 79, 80, 81, 200}) {
    EXPECT_EQ(Plain(width, 7000000000000LL, 3).size(), static_cast<size_t>(width)) << width;
  }
  // A buffer smaller than the line: cut, terminated, nothing written past it.
  char small[16];
  memset(small, 'X', sizeof(small));
  EXPECT_EQ(BuildPlainBar(small, 10, 80, 500, 1000), 9u);
  EXPECT_STREQ(small, Bar(7, 0).substr(0, 9).c_str());
  EXPECT_EQ(small[10], 'X');
  EXPECT_EQ(BuildPlainBar(small, 0, 80, 500, 1000), 0u);
  EXPECT_EQ(small[0], '\r');
}

TEST(NamedBar, ShortLongAndOverlongNames) {
  // 80 - 35 = 45 cells; 500 of 1000 fill 22 of them.
  EXPECT_EQ(Named(80, "data.pak", 500, 1000), PadTo(Bar(22, 23) + "data.pak 500 bytes", 80));
  EXPECT_EQ(Named(200, "data.pak", 500, 1000), PadTo(Bar(82, 83) + "data.pak 500 bytes", 200));
  EXPECT_EQ(Named(20, "a.pak", 500, 1000), PadTo(Bar(0, 0) + "a.pak 500 bytes", 20));
  EXPECT_EQ(Named(80, "a.pak", 9000, 10), PadTo(Bar(45, 0) + "a.pak 9000 bytes", 80));
  EXPECT_EQ(Named(80, "data.pak", 77, 0), "\rDownloading data.pak: 77 bytes received          ");
  // A long name shrinks the bar: 80 - 3 - 40 - 11 = 26 cells, text to the edge.
  std::string name(40, 'n');
  EXPECT_EQ(Named(80, name, 500, 1000), Bar(13, 13) + name + " 500 bytes");

  // A name longer than the line keeps its end: 80 - 11 - 3 = 66 characters,
  // "..." included.
  name = std::string(100, 'a') + "tail.pak";
  EXPECT_EQ(Named(80, name, 500, 1000),
            Bar(0, 0) + "..." + name.substr(name.size() - 63) + " 500 bytes");
  std::string huge(5000, 'z');
  EXPECT_EQ(Named(200, huge, 10, 20).size(), 200u);
  EXPECT_EQ(Named(20, huge, 10, 20), Bar(0, 0) + "..." + std::string(4, 'z') + " 10 bytes");
  // Too narrow for the shortened form: cut at the edge.
  EXPECT_EQ(Named(12, huge, 10, 20), "\r[] zzzzzzzz");
  EXPECT_EQ(Named(80, huge, 10, 0).size(), 80u);
}

TEST(TransfersLine, NamesAsFarAsTheyFitAtAnyWidth) {
  const char* names[] = {"quillon", "manual.txt", "plugin.so"};
  struct {
    int width;
    int active;
    std::string want;
  } cases[] = {
      {80, 3, PadTo("\r2 of 9 files, 12345 bytes: quillon, manual.txt, plugin.so", 80)},
      {58, 3, "\r2 of 9 files, 12345 bytes: quillon, manual.txt, plugin.so"},
      // A name goes in only whole, and with room for the count of those
      // after it.
      {57, 3, PadTo("\r2 of 9 files, 12345 bytes: quillon, manual.txt +1", 57)},
      {49, 3, PadTo("\r2 of 9 files, 12345 bytes: quillon +2", 49)},
      {37, 3, PadTo("\r2 of 9 files, 12345 bytes +3", 37)},
      {80, 0, PadTo("\r2 of 9 files, 12345 bytes", 80)},
      // Narrower than the numbers: cut at the edge, never past it.
      {20, 3, "\r2 of 9 files, 12345"},
      {1, 3, "\r"},
      {0, 3, ""},
  };
  for (const auto& c : cases) {
    UpdaterTransfers transfers = {2, 9, 12345, c.active, names, false};
    std::vector<char> line(c.width + 2, 'X');
    size_t length = BuildTransfersLine(line.data(), line.size(), c.width, transfers);
    EXPECT_EQ(std::string(line.data()), c.want) << c.width;
    EXPECT_EQ(length, c.want.size()) << c.width;
  }
}

}  // namespace
