// Progress lines byte for byte at several widths, the width of the terminal on
// standard output, and the named bar's line feed when the file changes.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "console.h"
#include "gtest/gtest.h"

namespace {

std::string Plain(int width, int64_t received, int64_t total) {
  std::vector<char> line(width + 2, 'X');
  const size_t length = BuildPlainBar(line.data(), line.size(), width, received, total);
  EXPECT_EQ(length, strlen(line.data()));
  return line.data();
}

std::string Named(int width, const std::string& name, int64_t received, int64_t total) {
  std::vector<char> line(width + 2, 'X');
  const size_t length =
      BuildNamedBar(line.data(), line.size(), width, name.c_str(), received, total);
  EXPECT_EQ(length, strlen(line.data()));
  return line.data();
}

// "\r[", `filled` '#', `empty` blanks, "] ", `text`, blanks up to `width`.
std::string Line(int filled, int empty, const std::string& text, size_t width = 0) {
  std::string line = "\r[" + std::string(filled, '#') + std::string(empty, ' ') + "] " + text;
  if (width > 0) line.resize(width, ' ');
  return line;
}

// What `body` writes to standard output on a pseudo-terminal (0: no size).
std::string OnTerminal(unsigned short columns, const std::function<void()>& body) {
  int master = -1, slave = -1;
  termios raw{};
  cfmakeraw(&raw);  // bytes pass as written
  winsize size = {24, columns, 0, 0};
  if (openpty(&master, &slave, nullptr, &raw, &size) != 0) return "<no pty>";
  fflush(stdout);
  const int saved = dup(1);
  dup2(slave, 1);
  body();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(slave);
  std::string text;
  char buffer[512];
  pollfd ready = {master, POLLIN, 0};
  for (int round = 0; round < 100 && poll(&ready, 1, 100) == 1; ++round) {
    const ssize_t got = read(master, buffer, sizeof(buffer));
    if (got <= 0) break;
    text.append(buffer, got);
  }
  close(master);
  return text;
}

TEST(ConsoleCallbacks, TerminalWidthAndLineFeedWhenTheFileChanges) {
  auto Bar = [](const char* name) {
    return [name] { NamedProgress(500, 1000, const_cast<char*>(name)); };
  };
  const struct {
    unsigned short columns;
    std::function<void()> body;
    std::string want;
  } cases[] = {
      {100, [] { PlainProgress(500, 1000, nullptr); }, Line(40, 40, "500 bytes", 100)},
      {0, [] { PlainProgress(500, 1000, nullptr); }, Line(30, 30, "500 bytes", 80)},
      {120, Bar("a.pak"), Named(120, "a.pak", 500, 1000)},
      // The same name in other letter case stays on its line.
      {80, Bar("A.Pak"), Named(80, "A.Pak", 500, 1000)},
      {80, Bar("b.pak"), "\n" + Named(80, "b.pak", 500, 1000)},
  };
  for (const auto& c : cases) EXPECT_EQ(OnTerminal(c.columns, c.body), c.want) << c.columns;
}

TEST(PlainBar, ExactLinesAtSeveralWidths) {
  const struct {
    int width;
    int64_t received, total;
    std::string want;
  } cases[] = {
      {80, 500, 1000, Line(30, 30, "500 bytes", 80)},
      {80, 1, 3, Line(20, 40, "1 bytes", 80)},  // truncated share
      {10, 500, 1000, "\r[] 500 by"},           // narrower lines are cut at the edge
      {80, 12345, 0, "\rDownloading: 12345 bytes received          "},
      {80, 5000, 1000, Line(60, 0, "5000 bytes", 80)},  // beyond the total: full
      // Twelve digits shrink the bar so that the line still ends at 80.
      {80, 123456789012LL, 123456789012LL, Line(58, 0, "123456789012 bytes")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Plain(c.width, c.received, c.total), c.want) << c.width << " " << c.received;
  }
  // A buffer smaller than the line: cut, terminated, nothing written past it.
  char small[16];
  memset(small, 'X', sizeof(small));
  EXPECT_EQ(BuildPlainBar(small, 10, 80, 500, 1000), 9u);
  EXPECT_STREQ(small, "\r[#######");
  EXPECT_EQ(small[10], 'X');
}

TEST(NamedBar, ShortLongAndOverlongNames) {
  const std::string n40(40, 'n'), longName = std::string(100, 'a') + "tail.pak";
  const std::string huge(5000, 'z');
  const struct {
    int width;
    std::string name;
    int64_t received, total;
    std::string want;
  } cases[] = {
      {80, "data.pak", 500, 1000, Line(22, 23, "data.pak 500 bytes", 80)},  // 45 cells
      {80, "data.pak", 77, 0, "\rDownloading data.pak: 77 bytes received          "},
      // A long name shrinks the bar (80 - 3 - 40 - 11 = 26), text to the edge.
      {80, n40, 500, 1000, Line(13, 13, n40 + " 500 bytes")},
      // Longer than the line: its end is kept behind "...".
      {80, longName, 500, 1000, Line(0, 0, "..." + longName.substr(45) + " 500 bytes")},
      {17, huge, 10, 20, "\r[] ...z 10 bytes"},
      {12, huge, 10, 20, "\r[] zzzzzzzz"},  // too narrow even for that
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Named(c.width, c.name, c.received, c.total), c.want) << c.width << " " << c.name;
  }
  EXPECT_EQ(Named(80, huge, 10, 0).size(), 80u);
}

TEST(TransfersLine, NamesAsFarAsTheyFitAtAnyWidth) {
  const char* names[] = {"quillon", "manual.txt", "plugin.so"};
  struct {
    int width;
    int active;
    std::string want;  // before the blanks up to the width
  } cases[] = {
      {58, 3, "\r2 of 9 files, 12345 bytes: quillon, manual.txt, plugin.so"},
      // A name goes in only whole, with room for the count of those after it.
      {57, 3, "\r2 of 9 files, 12345 bytes: quillon, manual.txt +1"},
      {37, 3, "\r2 of 9 files, 12345 bytes +3"},
      {80, 0, "\r2 of 9 files, 12345 bytes"},
      {20, 3, "\r2 of 9 files, 12345"},  // narrower than the numbers: cut at the edge
  };
  for (const auto& c : cases) {
    UpdaterTransfers transfers = {2, 9, 12345, c.active, names, false};
    std::vector<char> line(c.width + 2, 'X');
    std::string want = c.want;
    want.resize(c.width, ' ');
    EXPECT_EQ(BuildTransfersLine(line.data(), line.size(), c.width, transfers), want.size());
    EXPECT_EQ(std::string(line.data()), want) << c.width;
  }
}

}  // namespace
