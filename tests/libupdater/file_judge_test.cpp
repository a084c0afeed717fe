// The judgement of installed files in a temporary directory, by several workers.
#include "file_judge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base_dir.h"
#include "engine_test_util.h"

namespace {

// Every entry expects the digest of "content", given in upper case.
TEST(FileJudge, EveryWorkerCountJudgesAsOneWorkerDoes) {
  const struct {
    const char* name;
    bool needsUpdate;
  } states[] = {
      {"missing", true},    {"same", false},     {"different", true},
      {"directory", true},  {"fifo", true},      {"link", true},
      {"foreign/in", true}, {"owned/in", false}, {"plain/in", true},
  };
  enginetest::TempDir dir;
  for (const char* name : {"directory", "real", "alien"})
    ASSERT_EQ(mkdir((dir / name).c_str(), 0755), 0);
  for (const char* name : {"same", "plain", "target", "real/in", "alien/in", "different"}) {
    ASSERT_TRUE(enginetest::WriteFile(dir / name, name[0] == 'd' ? "other" : "content"));
  }
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("real", (dir / "owned").c_str()), 0);
  ASSERT_EQ(symlink("alien", (dir / "foreign").c_str()), 0);
  ASSERT_EQ(lchown((dir / "foreign").c_str(), 4242, 4242), 0);
  std::string digest = enginetest::Sha("content");
  for (char& c : digest) c = static_cast<char>(toupper(c));
  // Three of each state, with a leftover staged file beside each (none can
  // be under a plain file).
  std::vector<UpdateFile> files(3 * 9);
  std::vector<UpdateFile*> list;
  for (size_t i = 0; i < files.size(); ++i) {
    files[i].path = states[i % 9].name;
    snprintf(files[i].fileDigest, sizeof(files[i].fileDigest), "%s", digest.c_str());
    list.push_back(&files[i]);
    bool staged = i % 9 == 8 || enginetest::WriteFile(dir / files[i].path + kStagedSuffix, "x");
    ASSERT_TRUE(staged) << files[i].path;
  }
  JudgeSettings settings;
  settings.baseDir = dir.base();
  for (size_t workers : {1, 3}) {
    settings.workers = workers;
    settings.removeLeftovers = workers == 3;
    for (UpdateFile& file : files) file.needsUpdate = !file.needsUpdate;  // to be overwritten
    JudgeFiles(settings, list.data(), list.size());
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(files[i].needsUpdate, states[i % 9].needsUpdate) << files[i].path << workers;
      // Leftovers go with removeLeftovers, but for the one behind the refused link.
      bool kept = workers == 1 || files[i].path == std::string("foreign/in");
      EXPECT_EQ(enginetest::Exists(dir / files[i].path + kStagedSuffix), i % 9 != 8 && kept) << i;
    }
  }
}

}  // namespace
