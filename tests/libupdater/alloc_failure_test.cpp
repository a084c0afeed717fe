// Allocation-failure torture: a small update (the document from Python's
// http.server, files of two groups, a pack left by an earlier run, a file up
// to date, an outdated one deleted) is run with its N-th tracked allocation
// failing, N = 1, 2, ... until a run makes fewer than N. Every run must end
// cleanly: a reason for a failed call, no tracked block left, every file old
// or new and whole, the selection kept.
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
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
// The user's selection keeps "docs", which the document would remove.
const char kSelection[] = "[groups]\r\nbase=1\r\ndocs=1\r\n";

std::string PackName(size_t index) { return "p" + std::to_string(index) + ".pak"; }

class AllocFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    enginetest::Doc doc;
    doc.groups =
        enginetest::Group("base", "default=\"1\"") + enginetest::Group("docs", "default=\"2\"");
    for (size_t i = 0; i < std::size(kEntries); ++i) {
      const Entry& entry = kEntries[i];
      packs.push_back(enginetest::MakePack(entry.newContent, kKey));
      ASSERT_TRUE(e2e::WriteFile(serve.path() + "/packs/" + PackName(i), packs[i]));
      doc.files += std::string("<file file=\"") + entry.path + "\" url=\"" + PackName(i) +
                   "\" size=\"" + std::to_string(strlen(entry.newContent)) + "\" key=\"" + kKey +
                   "\" group=\"" + entry.group + "\" sha=\"" + Sha(entry.newContent) +
                   "\" packsha=\"" + Sha(packs[i]) + "\"/>";
    }
    doc.deletes = "<file file=\"old.txt\"/>";
    ASSERT_TRUE(server.StartHttpServer(serve.path()));
    const std::string root = "http://127.0.0.1:" + std::to_string(server.port());
    doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"" + root + "/packs/\"";
    ASSERT_TRUE(e2e::WriteFile(serve.path() + "/updates/x.info", doc.Text()));
    url = root + "/updates/x.info";
  }

  // The old installation, the pack left by an earlier run and the selection.
  void Restore() {
    for (const std::string& dir : {base.path(), work.path()}) {
      std::filesystem::remove_all(dir);
      std::filesystem::create_directory(dir);
    }
    ASSERT_TRUE(e2e::WriteFile(work.path() + "/.updater.ini", kSelection));
    ASSERT_TRUE(e2e::WriteFile(base.path() + "/old.txt", "outdated"));
    for (size_t i = 0; i < packs.size(); ++i) {
      const Entry& e = kEntries[i];
      ASSERT_TRUE(!e.oldContent || e2e::WriteFile(base.path() + "/" + e.path, e.oldContent));
      ASSERT_TRUE(!e.packLeft ||
                  e2e::WriteFile(base.path() + "/tmp/updater/" + PackName(i), packs[i]));
    }
  }

  // The front end's sequence; true when every call succeeded.
  bool Run() {
    enginetest::ChangeDir inside(work.path());
    Updater updater;
    updater.Init(url.c_str(), (base.path() + "/").c_str(), "updater", ".updater.ini",
                 enginetest::RecordingCallbacks());
    for (bool (Updater::*step)() : {&Updater::DownloadInfo, &Updater::ParseInfo,
                                    &Updater::PerformUpdate, &Updater::SaveState}) {
      updater.lastError.clear();
      if (!(updater.*step)()) {
        EXPECT_STRNE(updater.GetLastError(), "") << "a step failed without a reason";
        return false;
      }
    }
    return true;
  }

  // Every file outside the pack directory is old or new and none installed
  // is missing; after a complete run all are new, the outdated file and the
  // packs gone.
  void ExpectWholeFiles(bool complete, uint64_t failing) {
    e2e::Tree tree = e2e::ReadTree(base.path());
    std::map<std::string, std::set<std::string>> allowed;
    if (!complete) allowed["old.txt"] = {"outdated"};
    for (const Entry& entry : kEntries) {
      allowed[entry.path].insert(entry.newContent);
      if (entry.oldContent && !complete) allowed[entry.path].insert(entry.oldContent);
      EXPECT_TRUE(!(complete || entry.oldContent) || tree.count(entry.path) == 1)
          << entry.path << " missing after allocation " << failing;
    }
    for (const auto& [path, found] : tree) {
      if (found.directory || (!complete && path.rfind("tmp/updater/", 0) == 0)) continue;
      EXPECT_EQ(allowed[path].count(found.content), 1u)
          << path << " after allocation " << failing << " failed: \"" << found.content << "\"";
    }
  }

  e2e::TempDir serve, base, work;
  e2e::ServerProcess server;
  std::string url;
  std::vector<std::string> packs;
};

TEST_F(AllocFailure, EveryFailedAllocationEndsCleanly) {
  constexpr uint64_t kLimit = 5000;  // far above the allocations of such a run
  uint64_t failing = 1;
  for (; failing <= kLimit; ++failing) {
    Restore();
    const uint64_t blocks = MemLeakCount();
    MemLeakFailAt(failing);
    const bool complete = Run();
    const bool reached = MemLeakFailAt(0) == 0;
    EXPECT_EQ(MemLeakCount(), blocks) << "tracked blocks left after allocation " << failing;
    ExpectWholeFiles(complete, failing);
    EXPECT_EQ(e2e::ReadFile(work.path() + "/.updater.ini"), kSelection) << failing;
    if (!reached) {
      EXPECT_TRUE(complete) << "a run without a failed allocation failed";
      break;
    }
    if (HasFailure()) break;
  }
  EXPECT_LE(failing, kLimit);
  EXPECT_GT(failing, 20u) << "the scenario makes too few tracked allocations to mean much";
}

}  // namespace
