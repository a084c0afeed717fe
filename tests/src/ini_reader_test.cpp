#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "ini-reader.h"
#include "memleak.h"

namespace {

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
  void Put(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  std::string Get() {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
  }
  long Entries() {  // files in the directory, to catch temporary files left behind
    return std::distance(std::filesystem::directory_iterator(dir), {});
  }
  std::string Read(const char* text, const char* section, const char* key, size_t size = 64) {
    char out[64];
    memset(out, 'x', sizeof(out));
    char* got = IniGetStringFromText(text, section, key, out, size, "<default>");
    EXPECT_EQ(got, out);
    return got != nullptr ? got : "<null>";
  }

  std::string dir = "/tmp/ini_reader_test.XXXXXX";
  std::string path;
  uint64_t blocks = 0;
};

}  // namespace

TEST_F(IniFiles, WritesPlaceEntriesByteForByte) {
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "a", "1"), 0);  // a missing file is created
  EXPECT_EQ(Get(), "[s]\r\na=1\r\n");

  Put("[s]\na=1\n[t]\nb=2\n");
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "c", "3"), 0);  // at the end of its section
  EXPECT_EQ(Get(), "[s]\r\na=1\r\nc=3\r\n\r\n[t]\r\nb=2\r\n");
  // The last section gets its entry without the empty line.
  EXPECT_EQ(IniWriteInt(path.c_str(), "t", "d", -42), 0);
  EXPECT_EQ(Get(), "[s]\r\na=1\r\nc=3\r\n[t]\r\nb=2\r\nd=-42\r\n");
  EXPECT_EQ(IniWriteString(path.c_str(), "u", "k", "v w"), 0);  // a new section is appended
  EXPECT_EQ(Get(), "[s]\r\na=1\r\nc=3\r\n[t]\r\nb=2\r\nd=-42\r\n[u]\r\nk=v w\r\n");

  Put("[s]\r\na=1\r\nb=2\r\n A = 9\r\n[t]\r\na=5\r\n");  // every duplicate is replaced
  EXPECT_EQ(IniWriteString(path.c_str(), "S", "a", "7"), 0);
  EXPECT_EQ(Get(), "[s]\r\na=7\r\nb=2\r\na=7\r\n[t]\r\na=5\r\n");

  Put("top=0\n\n[s]  tail\n\tx  =  a   b\t\n\n\n;note\n[t]\nq=1\n");  // the whole file normalised
  EXPECT_EQ(IniWriteString(path.c_str(), "t", "r", "2"), 0);
  EXPECT_EQ(Get(), "top=0\r\n[s] tail\r\n x = a b \r\n;note\r\n[t]\r\nq=1\r\nr=2\r\n");
  EXPECT_EQ(Entries(), 1);
}

TEST_F(IniFiles, WriteKeepsPermissionsAndLinks) {
  Put("[s]\r\na=1\r\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  std::string link = dir + "/link.ini";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_EQ(IniWriteString(link.c_str(), "s", "a", "2"), 0);
  struct stat info;
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(Get(), "[s]\r\na=2\r\n");
  EXPECT_EQ(Entries(), 2);
}

TEST_F(IniFiles, FailedWritesLeaveTheOldFileWhole) {
  Put("");  // an existing empty file cannot be read in one piece
  EXPECT_EQ(IniWriteString(path.c_str(), "s", "a", "1"), -1);
  EXPECT_EQ(Get(), "");

  // The new text does not fit under the file-size limit (root is bound by it
  // too): the write fails after the temporary file was begun.
  const std::string old = "[s]\r\na=1\r\n";
  Put(old);
  struct rlimit saved, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 16;
  sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int result = IniWriteString(path.c_str(), "s", "b", "a value that does not fit");
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Get(), old);
  EXPECT_EQ(Entries(), 1);  // no temporary file left behind

  // Neither a directory nor a path below a plain file is ever written.
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  EXPECT_EQ(IniWriteString((dir + "/sub").c_str(), "s", "a", "1"), -1);
  EXPECT_EQ(IniWriteString((path + "/x.ini").c_str(), "s", "a", "1"), -1);
  EXPECT_EQ(Get(), old);
}

TEST_F(IniFiles, ConcurrentWritersLoseNothing) {
  auto writer = [this](std::string prefix) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(IniWriteInt(path.c_str(), "groups", (prefix + std::to_string(i)).c_str(), i), 0);
    }
  };
  std::thread first(writer, "x"), second(writer, "y");
  first.join();
  second.join();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(IniGetInt(path.c_str(), "groups", ("x" + std::to_string(i)).c_str(), -1), i);
    EXPECT_EQ(IniGetInt(path.c_str(), "groups", ("y" + std::to_string(i)).c_str(), -1), i);
  }
}

TEST_F(IniFiles, ReadsMatchHeadersAndKeys) {
  const char* text =
      "k=before\n[SECTION] comment\n  key  =  a   value\t=x  \n[section2]\nk=2\n"
      " [sect]\nk=3\n[Sect]\nk=4\nK=5\n=empty\n";
  EXPECT_EQ(Read(text, "section", "KEY"), "a value =x");
  EXPECT_EQ(Read(text, "section", "k"), "<default>");  // only in [section2] and before
  EXPECT_EQ(Read(text, "section2", "k"), "2");
  EXPECT_EQ(Read(text, "sect", "k"), "4");  // " [sect]" is no header; first match wins
  EXPECT_EQ(Read(text, "sect", ""), "<default>");
  EXPECT_EQ(Read(text, "section", "key", 5), "a va");
  EXPECT_EQ(Read("[s]\n[s]\na=1\n", "s", "a"), "<default>");

  char out[8];
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(IniGetStringFromText(text, "none", "k", out, sizeof(out), nullptr), nullptr);
  EXPECT_EQ(std::string(out, sizeof(out)), std::string(8, '\0'));
}

TEST_F(IniFiles, ReadsFilesAndNumbers) {
  char out[16];
  EXPECT_STREQ(IniGetString(path.c_str(), "s", "a", out, sizeof(out), "def"), "def");  // missing
  Put("");
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(IniGetString(path.c_str(), "s", "a", out, sizeof(out), "def"), nullptr);
  EXPECT_EQ(std::string(out, sizeof(out)), std::string(16, 'x'));
  EXPECT_EQ(IniGetInt(path.c_str(), "s", "a", 9), 9);

  Put("[s]\r\nnum=12abc\r\nneg= -7\r\nword=abc\r\n");
  EXPECT_EQ(IniGetInt(path.c_str(), "s", "num", 0), 12);
  EXPECT_EQ(IniGetInt(path.c_str(), "s", "neg", 0), -7);
  EXPECT_EQ(IniGetInt(path.c_str(), "s", "word", 5), 0);
  EXPECT_EQ(IniGetInt(path.c_str(), "s", "absent", 5), 5);
}
