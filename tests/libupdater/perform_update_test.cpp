// Updater::PerformUpdate on real files in a temporary base directory: the
// installed file replaced in one rename, failures that leave it as it was,
// overlong paths, planted links that redirect nothing.
#include <limits.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "loopback_port.h"

using enginetest::Exists;
using enginetest::ReadFile;
using enginetest::Sha;

namespace {

const char kKey[] = "0123456789abcdef";

// The document entry of `path` holding `content`.
std::string Entry(const std::string& path, const std::string& url, const std::string& content,
                  const std::string& attributes = "") {
  std::string pack = enginetest::MakePack(content, kKey);
  return "<f file=\"" + path + "\" url=\"" + url + "\" size=\"" + std::to_string(content.size()) +
         "\" key=\"" + kKey + "\" sha=\"" + Sha(content) + "\" packsha=\"" + Sha(pack) + "\" " +
         attributes + "/>";
}

class PerformUpdate : public enginetest::ParseFixture {
 protected:
  // Puts the pack of `content` in the pack directory under `base` as `name`.
  void PutPack(const std::string& base, const std::string& name, const std::string& content) {
    updater.MakeDirs((base + "tmp/updater").c_str());
    ASSERT_TRUE(
        enginetest::WriteFile(base + "tmp/updater/" + name, enginetest::MakePack(content, kKey)));
  }
  // Parses a document of `files` whose FileBase is a closed loopback port.
  bool Ready(const std::string& files, const std::string& groups = "-") {
    enginetest::Doc doc;
    doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://127.0.0.1:" +
               std::to_string(FreeLoopbackPort()) + "/\"";
    doc.groups = groups;
    doc.files = files;
    return Parse(doc);
  }
  std::string Perform() { return updater.PerformUpdate() ? "" : Error(); }
};

TEST_F(PerformUpdate, ReplacesTheInstalledFileInOneRename) {
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO),
            0);
  ASSERT_TRUE(enginetest::WriteFile(dir / "app", "old program"));
  PutPack(dir.base(), "app.pak", "new program");
  ASSERT_TRUE(Ready(Entry("app", "app.pak", "new program"))) << Error();
  EXPECT_EQ(Perform(), "");
  EXPECT_EQ(ReadFile(dir / "app"), "new program");
  // The old file is never deleted: the new one arrives by one rename.
  std::vector<std::string> events;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t length; (length = read(watch, buffer, sizeof(buffer))) > 0;) {
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

TEST_F(PerformUpdate, FailureKeepsTheInstalledFileAndTheSavedSelection) {
  // Mounts private to this process, where that is allowed.
  const bool mounts =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  struct {
    const char* what;
    char atPackPath;  // 's' a stale pack, 'd' a directory in the way, 'p' the pack
    bool busy;        // "app" and "app.upd" are mount points, which no rename replaces
    std::string error;
  } cases[] = {
      {"transfer fails", 's', false,
       "VDL reports 'Error Connecting to Host' while downloading 'app'"},
      {"pack cannot be made", 'd', false, "Error opening " + dir.base() + "tmp/updater/app.pak"},
      {"final rename fails", 'p', true,
       "Error renaming " + (dir / "app.updater-part") + " to " + dir.base() +
           "app.upd (Device or resource busy)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.busy && !mounts) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      std::filesystem::remove_all(entry.path());
    }
    // The group is to be removed, but the administrator chose to install it.
    updater.Init("", dir.base().c_str(), "updater", (dir / "sel.ini").c_str(), nullptr);
    Put("app", "old program");
    Put("app.upd", "older copy");
    PutPack(dir.base(), "app.pak", "new program");
    if (c.atPackPath == 's') Put("tmp/updater/app.pak", "a stale pack");
    if (c.atPackPath == 'd') {
      ASSERT_EQ(remove((dir / "tmp/updater/app.pak").c_str()), 0);
      ASSERT_EQ(mkdir((dir / "tmp/updater/app.pak").c_str(), 0755), 0);
      Put("tmp/updater/app.pak/x", "x");
    }
    for (const char* name : {"app", "app.upd"}) {
      std::string path = dir / name;
      ASSERT_TRUE(!c.busy || mount(path.c_str(), path.c_str(), "", MS_BIND, "") == 0);
    }
    ASSERT_TRUE(Ready(Entry("app", "app.pak", "new program", "group=\"g\""),
                      enginetest::Group("g", "default=\"2\"")))
        << Error();
    updater.SetGroupState(updater.GetFirstGroup(), Install);
    EXPECT_EQ(Perform(), c.error);
    for (const char* name : {"app", "app.upd"}) {
      EXPECT_TRUE(!c.busy || umount((dir / name).c_str()) == 0);
    }
    EXPECT_EQ(ReadFile(dir / "app"), "old program");
    EXPECT_EQ(ReadFile(dir / "app.upd"), "older copy");
    EXPECT_FALSE(Exists(dir / "app.updater-part"));
    EXPECT_EQ(Exists(dir / "tmp/updater/app.pak"), c.atPackPath == 'd');
    EXPECT_EQ(ReadFile(dir / "sel.ini"), "[groups]\r\ng=1\r\n");
  }
}

// A directory under `root` whose path, with a trailing '/', is `length` long.
std::string DeepDir(const std::string& root, size_t length) {
  std::string path = root;
  while (path.size() + 1 < length) {
    path += "/" + std::string(std::min<size_t>(200, length - path.size() - 2), 'd');
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  return path + "/";
}

TEST_F(PerformUpdate, OverlongPathsAreRefusedBeforeAnythingIsReplaced) {
  // In a base directory of 1002 characters a path of 20 fits in 1024 bytes,
  // but not with ".upd" after it.
  const std::string name(20, 'n');
  struct {
    std::string path, url;
    bool self;     // the file is the running program
    bool blocked;  // a directory that cannot be deleted is in its place
    std::string error;
  } cases[] = {
      {name, "u", true, false, "Destination path for " + name + " is too long"},
      {name, "u", false, true, "Destination path for " + name + " is too long"},
      {"a", name + ".pak", false, false, "Pack path for a is too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    enginetest::TempDir root;
    const std::string base = DeepDir(root.path(), 1002);
    if (c.blocked) {
      ASSERT_EQ(mkdir((base + c.path).c_str(), 0755), 0);
      ASSERT_TRUE(enginetest::WriteFile(base + c.path + "/keep", "k"));
    }
    PutPack(base, "u", "new");
    updater.Init("", base.c_str(), c.self ? name.c_str() : "updater", "", nullptr);
    ASSERT_TRUE(Ready(Entry(c.path, c.url, "new"))) << Error();
    EXPECT_EQ(Perform(), c.error);
    EXPECT_EQ(ReadFile(base + c.path + (c.blocked ? "/keep" : "")), c.blocked ? "k" : "<missing>");
    EXPECT_FALSE(Exists(base + c.path + ".upd") || Exists(base + c.path + ".updater-part"));
  }
}

TEST_F(PerformUpdate, PlantedLinksNeitherRedirectNorHang) {
  const char* packPath = "@/tmp/updater/app.pak";
  const std::string content = "new program", longest(NAME_MAX, 'n');
  // A link planted on the way, or a FIFO in the file's place (no link); "@"
  // stands for the base directory, "%" for a directory outside.
  struct {
    const char* link;  // under the base directory
    const char* target;
    uid_t owner;
    std::string path;    // the file to install
    const char* packAt;  // where its valid pack is written beforehand
    const char* error;   // "" for success
    std::string installedAt;
  } cases[] = {
      {"dir", "%", 4242, "dir/app", packPath,
       "Refusing to follow symbolic link @/dir (owned by uid 4242)", ""},
      {"dir", "%", 0, "dir/app", packPath, "", "%/app"},
      {"tmp", "%", 0, "app", "%/updater/app.pak",
       "Refusing to follow symbolic link @/tmp (owned by uid 0)", ""},
      {"tmp/updater", "%", 0, "app", "%/app.pak",
       "Refusing to follow symbolic link @/tmp/updater (owned by uid 0)", ""},
      // Not taken for a pack already there: the download is tried (and fails
      // here), and the link itself is deleted.
      {"tmp/updater/app.pak", "%/stash.pak", 4242, "app", "%/stash.pak",
       "VDL reports 'Error Connecting to Host' while downloading 'app'", ""},
      // A link to a file with the right content still needs an update.
      {"app", "%/victim", 4242, "app", packPath, "", "@/app"},
      {nullptr, "", 0, "app", packPath, "", "@/app"},
      // Nothing planted: the longest name, and a file installed at its own pack path.
      {"", "", 0, longest, packPath, "", "@/" + longest},
      {"", "", 0, "./tmp/updater/app.pak", packPath, "", "@/tmp/updater/app.pak"},
      // A stale staged file, even a planted link, is replaced, not written through.
      {"app.updater-part", "%/victim", 4242, "app", packPath, "", "@/app"},
      // Links of root are followed in chains and made where they dangle, but
      // not to a planted link, nor round in a loop.
      {"dir", "%/root", 0, "dir/app", packPath, "", "%/app"},
      {"dir", "%/new", 0, "dir/app", packPath, "", "%/new/app"},
      {"dir", "%/evil", 0, "dir/app", packPath,
       "Refusing to follow symbolic link %/evil (owned by uid 4242)", ""},
      {"dir", "@/dir", 0, "dir/app", packPath,
       "Error renaming @/dir/app.updater-part to @/dir/app (Too many levels of "
       "symbolic links)\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.link ? c.link : "FIFO") + " to " + c.target + ", " +
                 c.path.substr(0, 9));
    enginetest::TempDir base, out;
    auto expand = [&](const std::string& text) {
      std::string expanded;
      for (char ch : text)
        expanded += ch == '@' ? base.path() : ch == '%' ? out.path() : std::string(1, ch);
      return expanded;
    };
    updater.Init("", base.base().c_str(), "updater", "", nullptr);
    ASSERT_TRUE(enginetest::WriteFile(out / "victim", content));
    ASSERT_EQ(chmod((out / "victim").c_str(), 0600), 0);
    // In "out" a link of root (relative) and a planted one, both to "out".
    ASSERT_EQ(symlink(".", (out / "root").c_str()), 0);
    ASSERT_EQ(symlink(out.path().c_str(), (out / "evil").c_str()), 0);
    ASSERT_EQ(lchown((out / "evil").c_str(), 4242, 4242), 0);
    if (c.link == nullptr) {
      ASSERT_EQ(mkfifo((base / c.path).c_str(), 0644), 0);
    } else if (*c.link != '\0') {
      std::string path = base / c.link;
      updater.MakeDirs(path.substr(0, path.rfind('/')).c_str());
      ASSERT_EQ(symlink(expand(c.target).c_str(), path.c_str()), 0);
      ASSERT_EQ(lchown(path.c_str(), c.owner, c.owner), 0);
    }
    std::string pack = expand(c.packAt);
    updater.MakeDirs(pack.substr(0, pack.rfind('/')).c_str());
    ASSERT_TRUE(enginetest::WriteFile(pack, enginetest::MakePack(content, kKey)));
    enginetest::InterruptAfter bound(5);
    ASSERT_TRUE(Ready(Entry(c.path, "app.pak", content))) << Error();
    EXPECT_EQ(Perform(), expand(c.error));
    EXPECT_FALSE(bound.fired()) << "blocked on what was planted";
    std::string installed = expand(c.installedAt);
    struct stat info;
    EXPECT_TRUE(installed.empty() || (lstat(installed.c_str(), &info) == 0 &&
                                      S_ISREG(info.st_mode) && ReadFile(installed) == content));
    // Nothing is written outside unless a link of root says so.
    EXPECT_EQ(Exists(out / "app"), installed == out / "app");
    EXPECT_FALSE(Exists(out / "app.updater-part") || Exists(base / "app.updater-part"));
    EXPECT_TRUE(stat((out / "victim").c_str(), &info) == 0 && (info.st_mode & 07777) == 0600);
    EXPECT_EQ(ReadFile(out / "victim"), content);
    EXPECT_EQ(ReadFile(out / "stash.pak"), c.packAt == std::string("%/stash.pak")
                                               ? enginetest::MakePack(content, kKey)
                                               : "<missing>");
  }
}

TEST_F(PerformUpdate, DeletionsBehindPlantedLinksAreReportedAndSkipped) {
  enginetest::TempDir out;
  ASSERT_TRUE(enginetest::WriteFile(out / "x", "x"));
  ASSERT_EQ(symlink(out.path().c_str(), (dir / "dir").c_str()), 0);
  ASSERT_EQ(lchown((dir / "dir").c_str(), 4242, 4242), 0);
  ASSERT_EQ(symlink((out / "x").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(lchown((dir / "link").c_str(), 4242, 4242), 0);
  Put("old.txt", "old");
  enginetest::Doc doc;
  doc.groups = enginetest::Group("gone", "default=\"2\"");
  doc.files = enginetest::FileV2("dir/x", Sha("x"), "group=\"gone\"");
  doc.deletes = "<f file=\"dir/x\"/><f file=\"link\"/><f file=\"old.txt\"/>";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_TRUE(updater.PerformUpdate()) << Error();
  const std::string refusal =
      "Refusing to follow symbolic link " + dir.path() + "/dir (owned by uid 4242)";
  EXPECT_EQ(enginetest::StatusLines(),
            (std::vector<std::string>{
                "", "*** Deleting Marked Files ***", "", "Deleting file: dir/x",
                "Error deleting file: " + refusal, "", "*** Deleting Outdated Files ***", "",
                "Deleting dir/x: ERROR", refusal, "Deleting link: OK", "Deleting old.txt: OK"}));
  EXPECT_TRUE(Exists(out / "x"));
  EXPECT_FALSE(Exists(dir / "old.txt") || Exists(dir / "link"));
}

}  // namespace
