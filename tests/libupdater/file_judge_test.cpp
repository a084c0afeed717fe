// The judgement of installed files on a table of installed states, with one
// worker and with several, against real files in a temporary directory.
#include "file_judge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base_dir.h"
#include "engine_test_util.h"

namespace {

const char kContent[] = "installed content";

// An entry's name under the prepared directory, and whether it needs an
// update; every entry expects the digest of kContent.
const struct {
  const char* name;
  bool needsUpdate;
} kStates[] = {
    {"missing", true},    {"same", false},     {"different", true},
    {"directory", true},  {"fifo", true},      {"link", true},
    {"foreign/in", true}, {"owned/in", false}, {"plain/in", true},
};

// Lays out every state under `at`, with a leftover staged file beside each
// entry (but the one under a plain file), and appends the entries with
// `digest` to `files`.
void Prepare(const std::string& base, const std::string& sub, const std::string& digest,
             std::vector<UpdateFile>* files) {
  const std::string at = base + sub;
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
  for (const auto& state : kStates) {
    UpdateFile file;
    file.path = sub + "/" + state.name;
    snprintf(file.fileDigest, sizeof(file.fileDigest), "%s", digest.c_str());
    files->push_back(file);
    if (file.path.find("plain/") != std::string::npos) continue;
    ASSERT_TRUE(enginetest::WriteFile(base + file.path + kStagedSuffix, "left over"));
  }
}

// Judges every entry, each first given the wrong answer, and checks it
// against the table.
void Judge(const JudgeSettings& settings, std::vector<UpdateFile>* files) {
  std::vector<UpdateFile*> list;
  for (UpdateFile& file : *files) {
    file.needsUpdate = !file.needsUpdate;
    list.push_back(&file);
  }
  JudgeFiles(settings, list.data(), list.size());
  for (size_t i = 0; i < files->size(); ++i) {
    EXPECT_EQ((*files)[i].needsUpdate, kStates[i % 9].needsUpdate)
        << (*files)[i].path << " with " << settings.workers << " workers";
  }
}

// Several directories of every state: more entries than workers, each
// walking in and out of directories. Digests match without regard to case.
TEST(FileJudge, EveryWorkerCountJudgesAsOneWorkerDoes) {
  enginetest::TempDir dir;
  std::string upper = enginetest::Digest("sha256", kContent);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  JudgeSettings settings;
  settings.baseDir = dir.base();
  settings.removeLeftovers = false;
  for (bool sha256 : {true, false}) {
    std::vector<UpdateFile> files;
    for (const char* sub : {"1", "2", "3"}) {
      Prepare(dir.base(), (sha256 ? "s" : "m") + std::string(sub),
              sha256 ? upper : enginetest::Digest("md5", kContent), &files);
    }
    settings.sha256 = sha256;
    for (size_t workers : {1, 2, 3, 0}) {
      settings.workers = workers;
      Judge(settings, &files);
    }
    if (sha256) continue;
    // Leftovers go once removeLeftovers is on, but for the one behind the
    // refused link; a base directory that cannot be opened leaves every entry
    // needing work.
    settings.removeLeftovers = true;
    Judge(settings, &files);
    for (const UpdateFile& file : files) {
      bool kept = file.path.find("foreign/") != std::string::npos;
      bool made = file.path.find("plain/") == std::string::npos;
      EXPECT_EQ(enginetest::Exists(dir / file.path + kStagedSuffix), made && kept) << file.path;
    }
    settings.baseDir = dir / "absent/";
    std::vector<UpdateFile*> list;
    for (UpdateFile& file : files) list.push_back(&file);
    JudgeFiles(settings, list.data(), list.size());
    for (const UpdateFile& file : files) EXPECT_TRUE(file.needsUpdate) << file.path;
  }
}

}  // namespace
