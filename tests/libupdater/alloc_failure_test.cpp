// Allocation-failure torture: a small update (fetching the document from a
// real HTTP server on loopback, parsing it, installing two files of two
// groups, one of them from a pack left by an earlier run, keeping one that is
// up to date and deleting an outdated one) is run again and again, and run
// number N makes the N-th tracked allocation fail, until a run makes fewer
// than N. Every run must end cleanly: a failed call leaves a reason, no
// tracked block is left over, and every file under the base directory is
// either its old content or its new, verified content.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"
#include "memleak.h"

using enginetest::Sha;

namespace {

const char kKey[] = "0123456789abcdef";

struct Entry {
  const char* path;
  const char* group;       // "" for none
  const char* oldContent;  // installed before the update; null when absent
  const char* newContent;
  bool packLeft;  // the pack is already in the pack directory from an earlier run
};

const Entry kEntries[] = {
    {"bin/app", "base", "old program", "new program, version 2", false},
    {"conf/app.conf", "base", "port = 7000\n", "port = 7000\n", false},  // up to date
    {"docs/manual.txt", "docs", "old manual", "the new manual", true},
    {"data/new.dat", "", nullptr, "fresh data", false},
};
const char kOutdated[] = "old.txt";
const char kSelection[] = "[groups]\r\nbase=1\r\ndocs=1\r\n";
const char kOutdatedContent[] = "outdated";

std::string PackName(size_t index) { return "p" + std::to_string(index) + ".pak"; }

class AllocFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < sizeof(kEntries) / sizeof(kEntries[0]); ++i) {
      packs.push_back(enginetest::MakePack(kEntries[i].newContent, kKey));
      ASSERT_TRUE(e2e::WriteFile(serve.path() + "/packs/" + PackName(i), packs[i]));
    }
    ASSERT_TRUE(server.StartHttpServer(serve.path()));
    const std::string root = "http://127.0.0.1:" + std::to_string(server.port());
    ASSERT_TRUE(e2e::WriteFile(serve.path() + "/updates/x.info", Document(root + "/packs/")));
    url = root + "/updates/x.info";
  }

  std::string Document(const std::string& fileBase) const {
    enginetest::Doc doc;
    doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"" + fileBase + "\"";
    // The user's INI file selects "docs", which the document would remove.
    doc.groups =
        enginetest::Group("base", "default=\"1\"") + enginetest::Group("docs", "default=\"2\"");
    for (size_t i = 0; i < packs.size(); ++i) {
      const Entry& entry = kEntries[i];
      doc.files += std::string("<file file=\"") + entry.path + "\" url=\"" + PackName(i) +
                   "\" size=\"" + std::to_string(strlen(entry.newContent)) + "\" key=\"" + kKey +
                   "\" group=\"" + entry.group + "\" sha=\"" + Sha(entry.newContent) +
                   "\" packsha=\"" + Sha(packs[i]) + "\"/>";
    }
    doc.deletes = std::string("<file file=\"") + kOutdated + "\"/>";
    return doc.Text();
  }

  // A fresh base directory holding the old installation and the pack left
  // by an earlier run, and a fresh working directory holding the user's
  // selection.
  void Restore() {
    base.reset(new e2e::TempDir);
    work.reset(new e2e::TempDir);
    std::vector<std::pair<std::string, std::string>> files = {
        {work->path() + "/.updater.ini", kSelection},
        {base->path() + "/" + kOutdated, kOutdatedContent}};
    for (size_t i = 0; i < packs.size(); ++i) {
      const Entry& entry = kEntries[i];
      if (entry.oldContent != nullptr)
        files.push_back({base->path() + "/" + entry.path, entry.oldContent});
      if (entry.packLeft) files.push_back({base->path() + "/tmp/updater/" + PackName(i), packs[i]});
    }
    for (const auto& [path, content] : files) ASSERT_TRUE(e2e::WriteFile(path, content)) << path;
  }

  // The front end's sequence; true when every call succeeded. A failed call
  // must have set a reason.
  bool Run() {
    enginetest::ChangeDir inside(work->path());
    static UpdaterCallbacks callbacks = {nullptr, nullptr, [](const char*) {}, [](const char*) {},
                                         nullptr};
    Updater updater;
    updater.Init(url.c_str(), (base->path() + "/").c_str(), "updater", ".updater.ini", &callbacks);
    struct {
      const char* name;
      bool (Updater::*call)();
    } steps[] = {{"DownloadInfo", &Updater::DownloadInfo},
                 {"ParseInfo", &Updater::ParseInfo},
                 {"PerformUpdate", &Updater::PerformUpdate},
                 {"SaveState", &Updater::SaveState}};
    for (const auto& step : steps) {
      updater.lastError.clear();
      if (!(updater.*step.call)()) {
        EXPECT_STRNE(updater.GetLastError(), "") << step.name << " failed without a reason";
        return false;
      }
    }
    return true;
  }

  // Every file under the base directory outside the pack directory is its
  // old or its new content, and none that was installed is missing; after a
  // complete run, all of them are new and the outdated file and the
  // installed packs are gone.
  void ExpectWholeFiles(bool complete, uint64_t failing) {
    e2e::Tree tree = e2e::ReadTree(base->path());
    for (const auto& [path, found] : tree) {
      if (found.directory || path.rfind("tmp/updater/", 0) == 0) {
        EXPECT_FALSE(complete && !found.directory) << path << " left after allocation " << failing;
        continue;
      }
      std::vector<std::string> allowed;
      if (path == kOutdated && !complete) allowed.push_back(kOutdatedContent);
      for (const Entry& entry : kEntries) {
        if (path != entry.path) continue;
        allowed.push_back(entry.newContent);
        if (entry.oldContent != nullptr && !complete) allowed.push_back(entry.oldContent);
      }
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), found.content), allowed.end())
          << path << " after allocation " << failing << " failed: \"" << found.content << "\"";
    }
    // Nothing installed is lost on the way.
    for (const Entry& entry : kEntries) {
      bool needed = complete || entry.oldContent != nullptr;
      EXPECT_TRUE(!needed || tree.count(entry.path) == 1)
          << entry.path << " missing after allocation " << failing;
    }
  }

  e2e::TempDir serve;
  e2e::ServerProcess server;
  std::string url;
  std::vector<std::string> packs;
  std::unique_ptr<e2e::TempDir> base;
  std::unique_ptr<e2e::TempDir> work;
};

TEST_F(AllocFailure, EveryFailedAllocationEndsCleanly) {
  // Bounded far above the allocations such a run makes.
  constexpr uint64_t kLimit = 5000;
  uint64_t failing = 1;
  for (; failing <= kLimit; ++failing) {
    Restore();
    const uint64_t blocks = MemLeakCount();
    MemLeakFailAt(failing);
    const bool complete = Run();
    const bool reached = MemLeakFailAt(0) == 0;
    EXPECT_EQ(MemLeakCount(), blocks) << "tracked blocks left after allocation " << failing;
    ExpectWholeFiles(complete, failing);
    // Written back unchanged or not at all: the selection is never lost.
    EXPECT_EQ(e2e::ReadFile(work->path() + "/.updater.ini"), kSelection) << failing;
    if (!reached) {
      EXPECT_TRUE(complete) << "a run without a failed allocation failed";
      break;
    }
    if (HasFailure()) break;
  }
  EXPECT_LE(failing, kLimit);
  EXPECT_GT(failing, 20u) << "the scenario makes too few tracked allocations to mean much";
  RecordProperty("allocations", static_cast<int>(failing - 1));
}

}  // namespace
