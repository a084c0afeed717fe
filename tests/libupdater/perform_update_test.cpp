// Updater::PerformUpdate on real files in a temporary base directory: packs
// put in the pack directory beforehand are reused under names that stay
// distinct, a failed transfer is reported and its pack deleted, installed
// files are replaced in one rename, links planted on the way neither
// redirect a write nor a deletion, and leftovers of an interrupted run go.
// Most of the console output is covered by the end-to-end tests.
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "loopback_port.h"

using enginetest::Exists;
using enginetest::ReadFile;
using enginetest::Sha;

namespace {

const char kKey[] = "0123456789abcdef";

// A document whose FileBase is a loopback port that was free a moment ago.
enginetest::Doc ClosedServerDoc() {
  enginetest::Doc doc;
  doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://127.0.0.1:" +
             std::to_string(FreeLoopbackPort()) + "/\"";
  return doc;
}

class PerformUpdate : public enginetest::ParseFixture {
 protected:
  // Installs a new "app" over an old one from a pack already in the pack
  // directory, and checks that nothing of the staging is left beside it.
  void ReplaceAppFromPack() {
    Put("app", "old program");
    enginetest::Doc doc = ClosedServerDoc();
    doc.files = Entry("app", "app.pak", "new program", "app.pak");
    ASSERT_TRUE(Parse(doc)) << Error();
    EXPECT_TRUE(updater.PerformUpdate()) << Error();
    EXPECT_EQ(ReadFile(dir / "app"), "new program");
    EXPECT_FALSE(Exists(dir / "app.updater-part"));
  }

  // The document entry of `path`; its pack is put in the pack directory as
  // `packName` unless that is empty.
  std::string Entry(const std::string& path, const std::string& url, const std::string& content,
                    const std::string& packName) {
    std::string pack = enginetest::MakePack(content, kKey);
    if (!packName.empty()) {
      updater.MakeDirs((dir / "tmp/updater").c_str());
      Put("tmp/updater/" + packName, pack);
    }
    return "<f file=\"" + path + "\" url=\"" + url + "\" size=\"" + std::to_string(content.size()) +
           "\" key=\"" + kKey + "\" sha=\"" + Sha(content) + "\" packsha=\"" + Sha(pack) + "\"/>";
  }
};

TEST_F(PerformUpdate, SameFileNamesGetDistinctPackNamesThatAreReused) {
  // The URL's file name and the start of the MD5 of the path.
  std::string a = "x.pak-" + enginetest::Digest("md5", "a/x.pak").substr(0, 8);
  std::string b = "x.pak-" + enginetest::Digest("md5", "b/x.pak").substr(0, 8);
  enginetest::Doc doc = ClosedServerDoc();
  doc.files =
      Entry("a/x.pak", "p1/x.pak", "content A", a) + Entry("b/x.pak", "p2/x.pak", "content B", b);
  ASSERT_TRUE(Parse(doc)) << Error();
  ASSERT_TRUE(updater.PerformUpdate()) << Error();
  EXPECT_EQ(ReadFile(dir / "a/x.pak"), "content A");
  EXPECT_EQ(ReadFile(dir / "b/x.pak"), "content B");
  EXPECT_FALSE(Exists(dir / ("tmp/updater/" + a)));
  EXPECT_FALSE(Exists(dir / ("tmp/updater/" + b)));
  EXPECT_EQ(
      enginetest::StatusLines(),
      (std::vector<std::string>{
          "*** Downloading Updated Files ***", "", "Already have a/x.pak, skipping download...",
          "Already have b/x.pak, skipping download...", "", "*** Installing Updated Files ***", "",
          "Unpacking a/x.pak ...", "Installing a/x.pak ... ", "Unpacking b/x.pak ...",
          "Installing b/x.pak ... "}));
}

TEST_F(PerformUpdate, FileInstalledAtItsOwnPackPathStays) {
  // The document places the file where its pack is downloaded to: after the
  // rename the pack path names the installed file, which must not be removed.
  enginetest::Doc doc = ClosedServerDoc();
  doc.files = Entry("./tmp/updater/app.pak", "app.pak", "new program", "app.pak");
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_TRUE(updater.PerformUpdate()) << Error();
  EXPECT_EQ(ReadFile(dir / "tmp/updater/app.pak"), "new program");
}

TEST_F(PerformUpdate, FailedTransferIsReportedAndItsPackDeleted) {
  enginetest::Doc doc = ClosedServerDoc();
  doc.files = Entry("new.dat", "new.pak", "new", "");
  updater.MakeDirs((dir / "tmp/updater").c_str());
  Put("tmp/updater/new.pak", "a stale pack");
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(Error(), "VDL reports 'Error Connecting to Host' while downloading 'new.dat'");
  EXPECT_FALSE(Exists(dir / "new.dat"));
  EXPECT_FALSE(Exists(dir / "tmp/updater/new.pak"));
}

TEST_F(PerformUpdate, PackDirectoryOnAnotherMountStillReplacesTheFile) {
  // tmp/ under the base directory is a mount of its own: a memory
  // filesystem, or a second mount of the same filesystem (the device numbers
  // agree, yet a rename from it fails with EXDEV). The mounts live in a
  // private mount namespace of this process only.
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  ASSERT_EQ(mkdir((dir / "elsewhere").c_str(), 0755), 0);
  struct Case {
    std::string source;
    const char* type;
    unsigned long flags;
  } cases[] = {{"tmpfs", "tmpfs", 0}, {dir / "elsewhere", nullptr, MS_BIND}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    SetUp();  // a fresh model
    ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0755), 0);
    ASSERT_EQ(mount(c.source.c_str(), (dir / "tmp").c_str(), c.type, c.flags, nullptr), 0);
    ReplaceAppFromPack();
    EXPECT_FALSE(Exists(dir / "tmp/updater/app.pak"));
    EXPECT_EQ(umount((dir / "tmp").c_str()), 0);
    ASSERT_EQ(rmdir((dir / "tmp").c_str()), 0);
  }
}

TEST_F(PerformUpdate, ReplacesTheInstalledFileInOneRename) {
  // Watched through the kernel: the old file is never deleted, the new one
  // arrives by one rename from its staged name beside it.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO),
            0);
  ReplaceAppFromPack();
  std::vector<std::string> events;
  alignas(inotify_event) char buffer[4096];
  ssize_t length;
  while ((length = read(watch, buffer, sizeof(buffer))) > 0) {
    for (char* at = buffer; at < buffer + length;) {
      const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
      const char* kind = (event->mask & IN_DELETE)       ? "delete "
                         : (event->mask & IN_MOVED_FROM) ? "from "
                                                         : "to ";
      events.push_back(kind + std::string(event->len > 0 ? event->name : ""));
      at += sizeof(inotify_event) + event->len;
    }
  }
  close(watch);
  EXPECT_EQ(events, (std::vector<std::string>{"from app.updater-part", "to app"}));
}

TEST_F(PerformUpdate, ParsingRemovesLeftoversOfAnInterruptedRun) {
  Put("app", "current");
  Put("app.updater-part", "half written");
  ASSERT_EQ(mkdir((dir / "lib").c_str(), 0755), 0);
  Put("lib/missing.so.updater-part", "half written");
  Put("unlisted.updater-part", "not ours to judge");
  enginetest::Doc doc;
  doc.files =
      enginetest::FileV2("app", Sha("current")) + enginetest::FileV2("lib/missing.so", Sha("x"));
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_FALSE(Exists(dir / "app.updater-part"));
  EXPECT_FALSE(Exists(dir / "lib/missing.so.updater-part"));
  EXPECT_TRUE(Exists(dir / "unlisted.updater-part"));
  EXPECT_EQ(ReadFile(dir / "app"), "current");
  EXPECT_FALSE(FileAt(0)->needsUpdate);
}

// A link planted on the way to a file to install, or a FIFO in its place.
// "{base}" stands for the base directory, "{out}" for a directory outside it.
struct Link {
  const char* path;  // under the base directory
  const char* target;
  uid_t owner;
};
struct PlantCase {
  const char* name;
  std::vector<Link> links;
  const char* path;    // the file to install
  const char* packAt;  // where its valid pack is written beforehand
  const char* error;   // "" for success
  const char* installedAt;
};

void PrintTo(const PlantCase& c, std::ostream* out) { *out << c.name; }

class Planted : public PerformUpdate, public ::testing::WithParamInterface<PlantCase> {
 protected:
  std::string Expand(std::string text) const {
    for (const auto& [from, to] :
         {std::make_pair("{base}", dir.path()), std::make_pair("{out}", out.path())}) {
      size_t at = text.find(from);
      if (at != std::string::npos) text.replace(at, strlen(from), to);
    }
    return text;
  }
  enginetest::TempDir out;
};

TEST_P(Planted, NeitherRedirectsNorHangs) {
  const PlantCase& c = GetParam();
  const std::string content = "new program";
  ASSERT_TRUE(enginetest::WriteFile(out / "victim", content));
  ASSERT_EQ(chmod((out / "victim").c_str(), 0600), 0);
  for (const Link& link : c.links) {
    std::string path = dir / link.path;
    updater.MakeDirs(path.substr(0, path.rfind('/')).c_str());
    ASSERT_EQ(symlink(Expand(link.target).c_str(), path.c_str()), 0);
    ASSERT_EQ(lchown(path.c_str(), link.owner, link.owner), 0);
  }
  if (c.links.empty()) {
    ASSERT_EQ(mkfifo((dir / c.path).c_str(), 0644), 0);
  }
  enginetest::Doc doc = ClosedServerDoc();
  doc.files = Entry(c.path, "app.pak", content, "");
  std::string pack = Expand(c.packAt);
  updater.MakeDirs(pack.substr(0, pack.rfind('/')).c_str());
  ASSERT_TRUE(enginetest::WriteFile(pack, enginetest::MakePack(content, kKey)));
  enginetest::InterruptAfter bound(5);
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_TRUE(FileAt(0)->needsUpdate);
  EXPECT_EQ(updater.PerformUpdate() ? "" : Error(), Expand(c.error));
  EXPECT_FALSE(bound.fired()) << "blocked on what was planted";

  std::string installed = Expand(c.installedAt);
  if (!installed.empty()) {
    struct stat info;
    ASSERT_EQ(lstat(installed.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(ReadFile(installed), content);
  }
  if (installed != out / "app") {
    EXPECT_FALSE(Exists(out / "app")) << "nothing is written outside unless a link of root says so";
  }
  EXPECT_FALSE(Exists(out / "app.updater-part"));
  EXPECT_FALSE(Exists(dir / "app.updater-part"));
  struct stat victim;
  ASSERT_EQ(stat((out / "victim").c_str(), &victim), 0);
  EXPECT_EQ(victim.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(out / "victim"), content);
  EXPECT_EQ(ReadFile(out / "stash.pak"), c.packAt == std::string("{out}/stash.pak")
                                             ? enginetest::MakePack(content, kKey)
                                             : "<missing>");
}

const char kPackPath[] = "{base}/tmp/updater/app.pak";

INSTANTIATE_TEST_SUITE_P(
    PerformUpdate, Planted,
    ::testing::Values(
        PlantCase{"DirectoryLinkOfAnotherAccount",
                  {{"dir", "{out}", 4242}},
                  "dir/app",
                  kPackPath,
                  "Refusing to follow symbolic link {base}/dir (owned by uid 4242)",
                  ""},
        PlantCase{
            "DirectoryLinkOfRoot", {{"dir", "{out}", 0}}, "dir/app", kPackPath, "", "{out}/app"},
        PlantCase{"LinkedTmp",
                  {{"tmp", "{out}", 0}},
                  "app",
                  "{out}/updater/app.pak",
                  "Refusing to follow symbolic link {base}/tmp (owned by uid 0)",
                  ""},
        PlantCase{"LinkedPackDirectory",
                  {{"tmp/updater", "{out}", 0}},
                  "app",
                  "{out}/app.pak",
                  "Refusing to follow symbolic link {base}/tmp/updater (owned by uid 0)",
                  ""},
        // Not taken for a pack already there: the download is tried (and
        // fails here), and the link itself is deleted.
        PlantCase{"LinkAtThePackPath",
                  {{"tmp/updater/app.pak", "{out}/stash.pak", 4242}},
                  "app",
                  "{out}/stash.pak",
                  "VDL reports 'Error Connecting to Host' while downloading 'app'",
                  ""},
        // A link to a file with the right content still needs an update, and
        // the link is replaced by the file.
        PlantCase{"LinkAtTheFilePath",
                  {{"app", "{out}/victim", 4242}},
                  "app",
                  kPackPath,
                  "",
                  "{base}/app"},
        PlantCase{"FifoAtTheFilePath", {}, "app", kPackPath, "", "{base}/app"}),
    [](const ::testing::TestParamInfo<PlantCase>& info) { return std::string(info.param.name); });

TEST_F(PerformUpdate, DeletionsBehindPlantedLinksAreReportedAndSkipped) {
  enginetest::TempDir out;
  ASSERT_TRUE(enginetest::WriteFile(out / "x", "x"));
  ASSERT_EQ(symlink(out.path().c_str(), (dir / "dir").c_str()), 0);
  ASSERT_EQ(lchown((dir / "dir").c_str(), 4242, 4242), 0);
  Put("old.txt", "old");
  enginetest::Doc doc;
  doc.groups = enginetest::Group("gone", "default=\"2\"");
  doc.files = enginetest::FileV2("dir/x", Sha("x"), "group=\"gone\"");
  doc.deletes = "<f file=\"dir/x\"/><f file=\"old.txt\"/>";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_TRUE(updater.HasWork());
  EXPECT_TRUE(updater.PerformUpdate()) << Error();
  const std::string refusal =
      "Refusing to follow symbolic link " + dir.path() + "/dir (owned by uid 4242)";
  EXPECT_EQ(enginetest::StatusLines(),
            (std::vector<std::string>{"", "*** Deleting Marked Files ***", "",
                                      "Deleting file: dir/x", "Error deleting file: " + refusal, "",
                                      "*** Deleting Outdated Files ***", "",
                                      "Deleting dir/x: ERROR", refusal, "Deleting old.txt: OK"}));
  EXPECT_TRUE(Exists(out / "x"));
  EXPECT_FALSE(Exists(dir / "old.txt"));
}

}  // namespace
