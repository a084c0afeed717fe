#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ini-reader.h"
#include "memleak.h"

namespace {

using namespace std::string_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kLimit = 16 * 1024 * 1024;  // larger files are unreadable

class IniFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    path = dir + "/settings.ini";
    blocks = MemLeakCount();
  }
  void TearDown() override {
    EXPECT_EQ(MemLeakCount(), blocks);  // every tracked copy was released
    std::filesystem::remove_all(dir);
  }
  static void Put(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  static std::string Get(const std::string& file) {
    return {std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
  }
  long Entries() {  // files in the directory, to catch temporary files left behind
    return std::distance(std::filesystem::directory_iterator(dir), {});
  }
  static int WriteAll(const std::string& file, const char* section, const Pairs& pairs) {
    std::vector<const char*> keys, values;
    for (const auto& pair : pairs) {
      keys.push_back(pair.first.c_str());
      values.push_back(pair.second.c_str());
    }
    return IniWriteStrings(file.c_str(), section, keys.data(), values.data(), keys.size());
  }

  std::string dir = "/tmp/ini_reader_test.XXXXXX";
  std::string path;
  uint64_t blocks = 0;
};

TEST_F(IniFiles, ReadsMatchHeadersAndKeysAndCollapseBlanks) {
  const std::string text =
      "k=before\n[SECTION] comment\n  key  =  a   value\t=x  \n[section2]\nk=2\n"
      " [sect]\nk=3\n[Sect]\nk=4\nK=5\n=empty\n";
  struct {
    std::string text;
    const char* section;
    const char* key;
    size_t size;
    const char* want;
  } cases[] = {
      {text, "section", "KEY", 64, "a value =x"},
      {text, "sect", "k", 64, "4"},  // " [sect]" is no header; first match wins
      {text, "section", "key", 5, "a va"},
      {"[s]\n[s]\na=1\n", "s", "a", 64, "<default>"},  // a header ends the section
      {"[sx]\nk=1\n", "s", "k", 64, "<default>"},
      {"[s]\n[no header\nk=1\n", "s", "k", 64, "1"},
      {"[s]\n\r k \r\t = \r v  \t w\n", "s", "k", 64, "v w"},
      {"[s]\n" + std::string(4000000, ' ') + "\nk=" + std::string(1000000, '\t') + "x  \r  y\n",
       "s", "k", 64, "x y"},
      {"[s]\nk=1\n" + std::string(kLimit, ' '), "s", "k", 64, "<null>"},  // too large
  };
  for (const auto& c : cases) {
    char out[64];
    char* got = IniGetStringFromText(c.text.c_str(), c.section, c.key, out, c.size, "<default>");
    EXPECT_STREQ(got != nullptr ? got : "<null>", c.want) << c.text.substr(0, 80) << "|" << c.key;
  }
}

// Empty files, files over the size limit and files holding a NUL byte are
// unreadable: reads give null (or the default number); no write replaces them.
TEST_F(IniFiles, UnreadableFilesAreNeverRewritten) {
  char out[8];
  EXPECT_STREQ(IniGetString(path.c_str(), "s", "a", out, sizeof(out), "def"), "def");  // missing
  const std::string texts[] = {"", "[s]\r\na=1\r\n\0[t]\r\nb=2\r\n"s, "[s]\r\na=1\0"s,
                               "[s]\r\na=1\r\n" + std::string(kLimit, ' ')};
  for (const std::string& text : texts) {
    Put(path, text);
    EXPECT_EQ(IniWriteString(path.c_str(), "t", "c", "3"), -1);
    EXPECT_TRUE(Get(path) == text);
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(IniGetString(path.c_str(), "s", "a", out, sizeof(out), "def"), nullptr);
    EXPECT_EQ(std::string(out, sizeof(out)), std::string(8, 'x'));
    EXPECT_EQ(IniGetInt(path.c_str(), "s", "a", 7), 7);
  }
}

TEST_F(IniFiles, WritesRefuseWhatWouldInjectLinesOrEntries) {
  const std::string old = "[s]\r\na=1\r\n";
  struct {
    const char* section;
    const char* key;
    const char* value;
  } refused[] = {
      {"s\n[t]", "a", "1"}, {"s\r", "a", "1"}, {"s", "a\r\nb", "1"}, {"s", "a", "1\n[t]"},
      {"s", "[t]", "1"},    {"s", "a=b", "1"}, {"s", "a", nullptr},
  };
  Put(path, old);
  for (const auto& c : refused) {
    EXPECT_EQ(IniWriteString(path.c_str(), c.section, c.key, c.value), -1) << c.key;
    EXPECT_EQ(Get(path), old);
  }
  EXPECT_EQ(WriteAll(path, "s", {{"b", "2"}, {"c", "3\n[x]"}}), -1);  // all or nothing
  EXPECT_EQ(Get(path), old);
  // No write makes a file that reads would refuse as too large.
  std::string large = "[s]\r\n" + std::string(kLimit - 20, 'x') + "=\r\n";
  Put(path, large);
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "b", "a value that does not fit"), -1);
  EXPECT_TRUE(Get(path) == large);
}

TEST_F(IniFiles, WriteKeepsPermissionsAndLinks) {
  Put(path, "[s]\r\na=1\r\n");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);  // more than the umask lets a new file have
  std::string link = dir + "/link.ini";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  mode_t mask = umask(027);
  EXPECT_EQ(IniWriteString(link.c_str(), "s", "a", "2"), 0);
  umask(mask);
  struct stat info;
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u);
  EXPECT_EQ(Get(path), "[s]\r\na=2\r\n");
  EXPECT_EQ(Entries(), 2);
}

// A section read finds what single reads find; numbers count the first 63
// characters and stop at the largest.
TEST_F(IniFiles, SectionReadFindsWhatSingleReadsFind) {
  const std::string text = "k=0\n[s]\nk=1\nK=2\n x = 5 \n=e\nz=" + std::string(62, '0') +
                           "98\nr=99999999999999999999\n[t]\nk=3\n[S]\ny=6\n";
  const struct {
    const char* key;
    int64_t number;
  } keys[] = {{"K", 1}, {"x", 5}, {"", -5}, {"a", -5}, {"y", 6}, {"z", 9}, {"r", INT64_MAX}};
  IniSection section;
  ASSERT_EQ(IniReadSectionFromText(text.c_str(), "s", &section), 0);
  for (const auto& k : keys) {
    char out[128];
    const char* want = IniGetStringFromText(text.c_str(), "s", k.key, out, sizeof(out), nullptr);
    const char* got = IniSectionFind(&section, k.key);
    EXPECT_STREQ(got != nullptr ? got : "<none>", want != nullptr ? want : "<none>") << k.key;
    EXPECT_EQ(IniSectionGetInt(&section, k.key, -5), k.number) << k.key;
  }
  EXPECT_EQ(section.count, 6u);  // in [s] and [S], the empty key left out
  IniFreeSection(&section);
}

// A writer that fails (here at the file-size limit) removes its temporary
// file; one killed while writing leaves it, and the next write removes it
// with every other that no writer can own any more.
TEST_F(IniFiles, TemporariesOfEndedWritersAreRemoved) {
  const std::string old = "[s]\r\na=1\r\n";
  Put(path, old);
  pid_t child = fork();
  if (child == 0) {
    struct rlimit none = {0, 0}, small = {16, 16};
    setrlimit(RLIMIT_CORE, &none);
    setrlimit(RLIMIT_FSIZE, &small);
    signal(SIGXFSZ, SIG_IGN);
    if (IniWriteString(path.c_str(), "s", "b", "a value that does not fit") != -1) _exit(1);
    if (Entries() != 1) _exit(2);
    signal(SIGXFSZ, SIG_DFL);
    IniWriteString(path.c_str(), "s", "b", "a value that does not fit");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  EXPECT_EQ(Get(path), old);
  ASSERT_EQ(Entries(), 2);
  long pidMax = 0;  // a pid that no process can have
  std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
  if (pidMax <= 0) pidMax = 4194304;
  const std::string gone = "settings.ini.tmp-" + std::to_string(pidMax);
  const struct {
    std::string name;
    char kind;  // f: file, l: link, p: FIFO
    bool removed;
  } cases[] = {
      {gone + "-00a1f9", 'f', true},
      {"settings.ini.tmp-1-00a1f9", 'f', false},  // its writer still runs
      {gone + "-00a1fb", 'l', false},
      {gone + "-00a1fd", 'p', false},
      {"other.ini" + gone.substr(12) + "-00a1f9", 'f', false},
      {gone + "-00a1f9x", 'f', false},
      {"settings.ini.tmp-" + std::to_string(4294967296 + pidMax) + "-00a1f9", 'f', false},
  };
  Put(dir + "/victim", "v");
  for (const auto& c : cases) {
    const std::string name = dir + "/" + c.name;
    if (c.kind == 'f') Put(name, "partial");
    ASSERT_EQ(c.kind == 'l'   ? symlink((dir + "/victim").c_str(), name.c_str())
              : c.kind == 'p' ? mkfifo(name.c_str(), 0600)
                              : 0,
              0)
        << name;
  }
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "b", "2"), 0);
  EXPECT_EQ(Get(path), "[s]\r\na=1\r\nb=2\r\n");
  for (const auto& c : cases) {
    struct stat info;
    EXPECT_EQ(lstat((dir + "/" + c.name).c_str(), &info) != 0, c.removed) << c.name;
  }
  EXPECT_EQ(Entries(), 1 + static_cast<long>(std::size(cases)));  // the killed writer's went
  EXPECT_EQ(Get(dir + "/victim"), "v");
  // Through a link, the temporaries beside its target are meant.
  ASSERT_EQ(mkdir((dir + "/real").c_str(), 0700), 0);
  Put(dir + "/real/x.ini", "[s]\r\n");
  Put(dir + "/real/x.ini.tmp-" + gone.substr(17) + "-000000", "partial");
  ASSERT_EQ(symlink((dir + "/real/x.ini").c_str(), (dir + "/x.ini").c_str()), 0);
  EXPECT_EQ(IniRemoveStaleTemporaries((dir + "/x.ini").c_str()), 1);
}

}  // namespace
