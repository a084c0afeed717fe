#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
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
  void Put(const std::string& text) { Put(path, text); }
  static void Put(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  std::string Get() { return Get(path); }
  static std::string Get(const std::string& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
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
      {text, "section", "k", 64, "<default>"},  // only in [section2] and before
      {text, "sect", "k", 64, "4"},             // " [sect]" is no header; first match wins
      {text, "sect", "", 64, "<default>"},
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
    memset(out, 'x', sizeof(out));
    char* got = IniGetStringFromText(c.text.c_str(), c.section, c.key, out, c.size, "<default>");
    EXPECT_STREQ(got != nullptr ? got : "<null>", c.want) << c.text.substr(0, 80) << "|" << c.key;
    EXPECT_TRUE(got == nullptr || got == out);
  }
  char out[8];  // without a default the buffer is cleared and null returned
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(IniGetStringFromText(text.c_str(), "none", "k", out, sizeof(out), nullptr), nullptr);
  EXPECT_EQ(std::string(out, sizeof(out)), std::string(8, '\0'));
}

// Empty files, files over the size limit and files holding a NUL byte are
// unreadable: reads give null (or the default number), and no write
// replaces them.
TEST_F(IniFiles, UnreadableFilesAreNeverRewritten) {
  char out[8];
  EXPECT_STREQ(IniGetString(path.c_str(), "s", "a", out, sizeof(out), "def"), "def");  // missing
  const std::string texts[] = {"", "[s]\r\na=1\r\n\0[t]\r\nb=2\r\n"s, "[s]\r\na=1\0"s,
                               "[s]\r\na=1\r\n" + std::string(kLimit, ' ')};
  for (const std::string& text : texts) {
    Put(text);
    EXPECT_EQ(IniWriteString(path.c_str(), "t", "c", "3"), -1);
    EXPECT_TRUE(Get() == text);
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(IniGetString(path.c_str(), "s", "a", out, sizeof(out), "def"), nullptr);
    EXPECT_EQ(std::string(out, sizeof(out)), std::string(8, 'x'));
    EXPECT_EQ(IniGetInt(path.c_str(), "s", "a", 7), 7);
    IniSection section;
    EXPECT_EQ(IniReadSection(path.c_str(), "s", &section), -1);
    EXPECT_EQ(section.count, 0u);
  }
}

// Every write is checked against single-key writes made one after the
// other, and, where given, against the exact bytes.
TEST_F(IniFiles, WritesLeaveWhatSingleWritesInTurnLeave) {
  const char* none = nullptr;  // no file before, or no exact result
  const char* st = "[s]\na=1\n[t]\nb=2\n";
  struct {
    const char* old;
    const char* section;
    Pairs pairs;
    const char* want;  // every line ends in CR LF
  } cases[] = {
      {none, "s", {{"a", "1"}, {"b", "2"}, {"A", "3"}}, "[s]\nA=3\nb=2\n"},
      // A new entry closes its section, followed by an empty line unless the
      // section ends the file; a new section is appended.
      {st, "s", {{"c", "3"}, {"d", "4"}}, "[s]\na=1\nc=3\nd=4\n\n[t]\nb=2\n"},
      {st, "t", {{"d", "-42"}}, "[s]\na=1\n[t]\nb=2\nd=-42\n"},
      {"[s]\na=1\n", "u", {{"k", "v w"}}, "[s]\na=1\n[u]\nk=v w\n"},
      // Every duplicate in the section is replaced; the whole file is normalised.
      {"[s]\r\na=1\r\nb=2\r\n A = 9\r\n[t]\r\na=5\r\n",
       "S",
       {{"a", "7"}},
       "[s]\na=7\nb=2\na=7\n[t]\na=5\n"},
      {"top=0\n\n[s]  tail\n\tx  =  a   b\t\n\n\n;note\n[t]\nq=1\n",
       "t",
       {{"r", "2"}},
       "top=0\n[s] tail\n x = a b \n;note\n[t]\nq=1\nr=2\n"},
      // The last key was set before: no empty line; the first value is normalised.
      {st,
       "s",
       {{"c", "3  3"}, {"a", "9"}, {"d", "4"}, {"C", "5\t5"}},
       "[s]\na=9\nC=5\t5\nd=4\n[t]\nb=2\n"},
      {"[x]\nk=1\n[S]\nk=2\nj=0\n[y]\n[s]\nK=3\nq=7\n[s]\nk=4\n",
       "s",
       {{"K", "v  w"}, {"j", "\tq"}, {"n", "new"}, {"q", "8"}, {"k", " last\t "}, {"n", "x\ty"}},
       none},
      // Keys and sections that do not read back as themselves.
      {"[s]\na=0\n[t]\n",
       "s",
       {{" a", "1"}, {" a", "2"}, {"b\tc", "3"}, {"", "4"}, {"b c", "5"}},
       none},
      {none, "s\tt", {{"a", "1"}, {"b", "2"}}, "[s t]\na=1\n[s\tt]\nb=2\n"},
      {"[]\na=1\n", "", {{"a", "2"}, {"b]", "3"}}, none},
  };
  std::string one = dir + "/one.ini";
  for (const auto& c : cases) {
    remove(one.c_str());
    remove(path.c_str());
    if (c.old != nullptr) {
      Put(one, c.old);
      Put(c.old);
    }
    for (const auto& pair : c.pairs) {
      ASSERT_EQ(IniWriteString(one.c_str(), c.section, pair.first.c_str(), pair.second.c_str()), 0);
    }
    EXPECT_EQ(WriteAll(path, c.section, c.pairs), 0);
    EXPECT_EQ(Get(), Get(one)) << (c.old != nullptr ? c.old : "<no file>");
    if (c.want != nullptr) {
      std::string want = c.want;
      for (size_t at = 0; (at = want.find('\n', at)) != std::string::npos; at += 2) {
        want.insert(at, 1, '\r');
      }
      EXPECT_EQ(Get(), want);
    }
  }
  remove(one.c_str());
  EXPECT_EQ(Entries(), 1);  // one rename, no temporary file left
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
  Put(old);
  for (const auto& c : refused) {
    EXPECT_EQ(IniWriteString(path.c_str(), c.section, c.key, c.value), -1) << c.key;
    EXPECT_EQ(Get(), old);
  }
  EXPECT_EQ(WriteAll(path, "s", {{"b", "2"}, {"c", "3\n[x]"}}), -1);  // all or nothing
  EXPECT_EQ(Get(), old);
  // Brackets and "=" elsewhere are plain text.
  EXPECT_EQ(WriteAll(path, "s", {{"a]", "[v]"}, {"b", "x=y"}}), 0);
  char out[8];
  EXPECT_STREQ(IniGetString(path.c_str(), "s", "a]", out, sizeof(out), nullptr), "[v]");
  EXPECT_STREQ(IniGetString(path.c_str(), "s", "b", out, sizeof(out), nullptr), "x=y");
  // No write makes a file that reads would refuse as too large.
  std::string large = "[s]\r\n" + std::string(kLimit - 20, 'x') + "=\r\n";
  Put(large);
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "b", "a value that does not fit"), -1);
  EXPECT_TRUE(Get() == large);
}

TEST_F(IniFiles, WriteKeepsPermissionsAndLinks) {
  Put("[s]\r\na=1\r\n");
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
  EXPECT_EQ(Get(), "[s]\r\na=2\r\n");
  EXPECT_EQ(Entries(), 2);
}

TEST_F(IniFiles, ConcurrentWritersLoseNothing) {
  auto writer = [this](std::string prefix) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(IniWriteInt(path.c_str(), "groups", (prefix + std::to_string(i)).c_str(), -i), 0);
    }
  };
  std::thread first(writer, "x"), second(writer, "y");
  first.join();
  second.join();
  for (int i = 0; i < 20; ++i) {
    for (const char* prefix : {"x", "y"}) {
      EXPECT_EQ(IniGetInt(path.c_str(), "groups", (prefix + std::to_string(i)).c_str(), 1), -i);
    }
  }
}

TEST_F(IniFiles, SectionReadFindsWhatSingleReadsFind) {
  const std::string texts[] = {
      "k=0\n[s]\nk=1\nK=2\n x = 5 \n=e\n[t]\nk=3\n[S]\nk=4\ny=6\n",
      "[s]\nb=1\na=2\nB=3\nab=4\na b=5\nn=12abc\nw= -7\nz=" + std::string(62, '0') +
          "98\n"
          "r=99999999999999999999\n",
  };
  const struct {
    const char* key;
    int64_t number;  // in the second text
  } keys[] = {{"k", -5},  {"K", -5},  {"x", -5}, {"", -5},  {"a", 2}, {"b", 1},        {"ab", 4},
              {"a b", 5}, {"A B", 5}, {"n", 12}, {"w", -7}, {"z", 9}, {"r", INT64_MAX}};
  for (const std::string& text : texts) {
    IniSection section;
    ASSERT_EQ(IniReadSectionFromText(text.c_str(), "s", &section), 0);
    Put(text);
    for (const auto& k : keys) {
      char out[128];
      const char* want = IniGetStringFromText(text.c_str(), "s", k.key, out, sizeof(out), nullptr);
      const char* got = IniSectionFind(&section, k.key);
      EXPECT_STREQ(got != nullptr ? got : "<none>", want != nullptr ? want : "<none>")
          << text << "|" << k.key;
      const int64_t number = IniGetInt(path.c_str(), "s", k.key, -5);
      EXPECT_EQ(IniSectionGetInt(&section, k.key, -5), number);
      if (text == texts[1]) {
        EXPECT_EQ(number, k.number) << k.key;
      }
    }
    std::string entries;  // in file order, the empty key left out
    for (size_t i = 0; i < section.count; ++i) {
      entries += std::string(section.keys[i]) + "=" + section.values[i] + ";";
    }
    if (text == texts[0]) {
      EXPECT_EQ(entries, "k=1;K=2;x=5;k=4;y=6;");
    }
    IniFreeSection(&section);
  }
}

// A writer that fails (here at the file-size limit) removes its temporary
// file; one killed while writing leaves it, and the next write removes it
// with every other that no writer can own any more.
TEST_F(IniFiles, TemporariesOfEndedWritersAreRemoved) {
  const std::string old = "[s]\r\na=1\r\n";
  Put(old);
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
  EXPECT_EQ(Get(), old);
  const std::string killed = "settings.ini.tmp-" + std::to_string(child) + "-";
  long pidMax = 0;  // a pid that no process can have
  std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
  const std::string gone = std::to_string(pidMax > 0 ? pidMax : 4194304);
  enum Kind { kFile, kLocked, kLink, kFifo };
  struct {
    std::string name;
    Kind kind;
    bool removed;
  } cases[] = {
      {"settings.ini.tmp-" + gone + "-00a1f9", kFile, true},
      {"settings.ini.tmp-" + std::to_string(getpid()) + "-00a1f9", kFile, true},  // INI lock held
      {"settings.ini.tmp-1-00a1f9", kFile, false},  // its writer still runs
      {"settings.ini.tmp-" + gone + "-00a1fa", kLocked, false},
      {"settings.ini.tmp-" + gone + "-00a1fb", kLink, false},
      {"settings.ini.tmp-" + gone + "-00a1fd", kFifo, false},
      {"other.ini.tmp-" + gone + "-00a1f9", kFile, false},
      {"settings.ini.tmp-" + gone + "-00A1F9", kFile, false},
      {"settings.ini.tmp-" + gone + "-00a1f9x", kFile, false},
      {"settings.ini.tmp-" + gone + "-00a1f", kFile, false},
      {"settings.ini.tmp-" + std::to_string(4294967296 + std::stol(gone)) + "-00a1f9", kFile,
       false},  // beyond any pid, though its low 32 bits are a free one
  };
  Put(dir + "/victim", "v");
  std::vector<int> locks;
  for (const auto& c : cases) {
    std::string name = dir + "/" + c.name;
    int made = 0;
    if (c.kind == kLink) made = symlink((dir + "/victim").c_str(), name.c_str());
    if (c.kind == kFifo) made = mkfifo(name.c_str(), 0600);
    if (c.kind == kFile || c.kind == kLocked) Put(name, "partial");
    ASSERT_EQ(made, 0) << name;
    if (c.kind == kLocked) {
      locks.push_back(open(name.c_str(), O_RDONLY | O_CLOEXEC));
      ASSERT_EQ(flock(locks.back(), LOCK_EX | LOCK_NB), 0);
    }
  }
  ASSERT_EQ(Entries(), 2 + 1 + static_cast<long>(std::size(cases)));
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "b", "2"), 0);
  EXPECT_EQ(Get(), "[s]\r\na=1\r\nb=2\r\n");
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_NE(entry.path().filename().string().rfind(killed, 0), 0u);
  }
  for (const auto& c : cases) {
    struct stat info;
    EXPECT_EQ(lstat((dir + "/" + c.name).c_str(), &info) != 0, c.removed) << c.name;
  }
  EXPECT_EQ(Get(dir + "/victim"), "v");
  for (int fd : locks) close(fd);

  // Through a link, the temporaries beside its target are meant.
  ASSERT_EQ(mkdir((dir + "/real").c_str(), 0700), 0);
  Put(dir + "/real/x.ini", "[s]\r\n");
  Put(dir + "/real/x.ini.tmp-" + gone + "-000000", "partial");
  ASSERT_EQ(symlink((dir + "/real/x.ini").c_str(), (dir + "/x.ini").c_str()), 0);
  EXPECT_EQ(IniRemoveStaleTemporaries((dir + "/x.ini").c_str()), 1);
  EXPECT_EQ(IniRemoveStaleTemporaries((dir + "/none/x.ini").c_str()), -1);
}

}  // namespace
