// The judgement of installed files on a table of installed states, with one
// worker and with several, against real files in a temporary directory.
#include "file_judge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base_dir.h"
#include "engine_test_util.h"

using enginetest::Digest;

namespace {

const char kContent[] = "installed content";

// An entry's name under the prepared directory, and whether it needs an
// update; every entry expects the digest of kContent.
struct State {
  const char* name;
  bool needsUpdate;
};

const State kStates[] = {
    {"missing", true},    {"same", false},     {"different", true},
    {"directory", true},  {"fifo", true},      {"link", true},
    {"foreign/in", true}, {"owned/in", false}, {"plain/in", true},
};

class FileJudge : public ::testing::Test {
 protected:
  // Lays out every state under `sub`, a leftover staged file beside each
  // entry (but the one under a plain file), and appends the entries.
  void Prepare(const std::string& sub, bool sha256) {
    const std::string at = dir / sub;
    ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
    for (const char* name : {"directory", "real", "alien"}) {
      ASSERT_EQ(mkdir((at + "/" + name).c_str(), 0755), 0);
    }
    for (const char* name : {"same", "plain", "target", "real/in", "alien/in", "different"}) {
      ASSERT_TRUE(enginetest::WriteFile(at + "/" + name, name[0] == 'd' ? "other" : kContent));
    }
    ASSERT_EQ(mkfifo((at + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("target", (at + "/link").c_str()), 0);
    ASSERT_EQ(symlink("real", (at + "/owned").c_str()), 0);
    ASSERT_EQ(symlink("alien", (at + "/foreign").c_str()), 0);
    ASSERT_EQ(lchown((at + "/foreign").c_str(), 4242, 4242), 0);
    const std::string digest = Digest(sha256 ? "sha256" : "md5", kContent);
    for (const State& state : kStates) {
      UpdateFile file;
      file.path = sub + "/" + state.name;
      snprintf(file.fileDigest, sizeof(file.fileDigest), "%s", digest.c_str());
      files.push_back(file);
      bool made = file.path.find("plain/") == std::string::npos;
      ASSERT_TRUE(!made || enginetest::WriteFile(dir / file.path + kStagedSuffix, "left over"));
    }
  }

  // Judges every entry and checks it against the table.
  void Judge(const JudgeSettings& settings) {
    std::vector<UpdateFile*> list;
    for (UpdateFile& file : files) {
      file.needsUpdate = !file.needsUpdate;  // a stale value, to be overwritten
      list.push_back(&file);
    }
    JudgeFiles(settings, list.data(), list.size());
    const size_t count = sizeof(kStates) / sizeof(kStates[0]);
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(files[i].needsUpdate, kStates[i % count].needsUpdate)
          << files[i].path << " with " << settings.workers << " workers";
    }
  }

  enginetest::TempDir dir;
  std::vector<UpdateFile> files;
};

// Several directories of every state: more entries than workers, each
// walking in and out of directories.
TEST_F(FileJudge, EveryWorkerCountJudgesAsOneWorkerDoes) {
  for (bool sha256 : {true, false}) {
    files.clear();
    for (const char* sub : {"one", "two", "three"}) {
      Prepare(sha256 ? std::string(sub) : std::string("m") + sub, sha256);
    }
    for (size_t workers : {1, 2, 3, 0}) {
      JudgeSettings settings;
      settings.baseDir = dir.base();
      settings.sha256 = sha256;
      settings.removeLeftovers = false;
      settings.workers = workers;
      Judge(settings);
    }
  }
  // Leftovers stay while removeLeftovers is off; then they go, but for the
  // one behind the refused link.
  JudgeSettings settings;
  settings.baseDir = dir.base();
  settings.sha256 = false;  // the entries left are the MD5 ones
  for (bool remove : {false, true}) {
    settings.removeLeftovers = remove;
    Judge(settings);
    for (const UpdateFile& file : files) {
      bool kept = !remove || file.path.find("foreign/") != std::string::npos;
      bool made = file.path.find("plain/") == std::string::npos;
      EXPECT_EQ(enginetest::Exists(dir / file.path + kStagedSuffix), made && kept) << file.path;
    }
  }
  // A base directory that cannot be opened leaves every entry needing work.
  settings.baseDir = dir / "absent/";
  std::vector<UpdateFile*> list;
  for (UpdateFile& file : files) list.push_back(&file);
  JudgeFiles(settings, list.data(), list.size());
  for (const UpdateFile& file : files) EXPECT_TRUE(file.needsUpdate) << file.path;
}

}  // namespace
