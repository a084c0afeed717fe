// BaseDir and StagedFile on real directories, files, FIFOs and links in a
// temporary directory: "base" is the base directory, "out" a directory
// outside it that planted links point to. The tests run as root, so a link
// "planted by another account" is one whose owner is changed with lchown.
#include "base_dir.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine_test_util.h"

using enginetest::Exists;
using enginetest::ReadFile;

namespace {

const uid_t kOther = 4242;  // an account other than root and the tester

// An entry to make: 'd' a directory, 'f' a file holding `text`, 'p' a FIFO,
// 'l' a link to `text` owned by `owner`; "@" stands for the temporary one.
struct Entry {
  char kind;
  const char* path;
  const char* text = nullptr;
  uid_t owner = 0;
};

// A temporary directory with "base" (opened) and "out", and a case's entries.
class Scene {
 public:
  explicit Scene(const std::vector<Entry>& entries = {}) {
    Make({{'d', "base"}, {'d', "out"}});
    Make(entries);
    PathError error;
    opened = base.Open(tmp / "base", &error);
  }

  void Make(const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
      std::string path = tmp / e.path;
      std::string text = e.text != nullptr ? At(e.text) : "";
      bool made = e.kind == 'd'   ? mkdir(path.c_str(), 0755) == 0
                  : e.kind == 'f' ? enginetest::WriteFile(path, text)
                  : e.kind == 'p' ? mkfifo(path.c_str(), 0644) == 0
                                  : symlink(text.c_str(), path.c_str()) == 0 &&
                                        lchown(path.c_str(), e.owner, e.owner) == 0;
      EXPECT_TRUE(made) << e.path;
    }
  }

  std::string At(std::string text) const {
    size_t at = text.find('@');
    return at == std::string::npos ? text : text.replace(at, 1, tmp.path());
  }
  std::string operator/(const std::string& path) const { return tmp / path; }

  // True when `fd` is the entry at `path` under the temporary directory.
  bool Is(int fd, const std::string& path) const {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat((tmp / path).c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
  }

  enginetest::TempDir tmp;
  BaseDir base;
  bool opened = false;
};

// What an operation gave: "ok", or the error text.
std::string Outcome(bool ok, const PathError& error) { return ok ? "ok" : error.text; }

TEST(BaseDir, WalksDirectoriesByTheLinkRules) {
  const LinkRule owned = LinkRule::kOwnedOnly;
  struct Case {
    std::vector<Entry> setup;
    const char* relative;
    LinkRule rule;
    bool create;
    const char* want;               // "ok" or the error text
    const char* reached = nullptr;  // on success: the directory reached
  } cases[] = {
      {{{'d', "base/a"}, {'d', "base/a/b"}}, "a//./b/", owned, false, "ok", "base/a/b"},
      {{}, "new/deeper", owned, true, "ok", "base/new/deeper"},
      {{}, "new/deeper", owned, false, "No such file or directory"},
      {{{'f', "base/f", "x"}}, "f/x", owned, true, "Not a directory"},
      {{}, "a/../../out", owned, true, "Invalid argument"},
      // Links of root are followed, relative or absolute, also in chains.
      {{{'l', "base/abs", "@/out", 0}}, "abs", owned, false, "ok", "out"},
      {{{'l', "base/l1", "l2", 0}, {'l', "base/l2", "../out", 0}}, "l1", owned, false, "ok", "out"},
      // A dangling link of root: its target is made.
      {{{'l', "base/logs", "../out/logs", 0}}, "logs/x", owned, true, "ok", "out/logs/x"},
      // A planted link is refused, also inside an allowed link's target.
      {{{'l', "out/evil", "@/out", kOther}, {'l', "base/via", "../out/evil", 0}},
       "via/x",
       owned,
       true,
       "Refusing to follow symbolic link @/base/../out/evil (owned by uid 4242)"},
      {{{'l', "base/x", "y", 0}, {'l', "base/y", "x", 0}},
       "x",
       owned,
       false,
       "Too many levels of symbolic links"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    Scene scene(c.setup);
    ASSERT_TRUE(scene.opened);
    PathError error;
    int fd = scene.base.OpenDir(c.relative, c.rule, c.create, &error);
    EXPECT_EQ(Outcome(fd >= 0, error), scene.At(c.want));
    if (fd >= 0) {
      EXPECT_TRUE(scene.Is(fd, c.reached));
      close(fd);
    }
    EXPECT_FALSE(Exists(scene / "out/x")) << "nothing is made behind a refused link";
  }
}

TEST(BaseDir, StagedNamesFitInAFileName) {
  EXPECT_EQ(StagedName("app"), "app.updater-part");
  std::string longest(NAME_MAX, 'n');
  EXPECT_EQ(StagedName(longest).size(), static_cast<size_t>(NAME_MAX));
  EXPECT_EQ(StagedName(longest), std::string(NAME_MAX - 13, 'n') + ".updater-part");
}

// Writes `content` into a staged file for `relative` and places it.
StagedFile::Outcome Stage(Scene* scene, const std::string& relative, const std::string& content,
                          mode_t bits, PathError* error) {
  StagedFile staged;
  if (!staged.Create(scene->base, relative, error)) return StagedFile::kFailed;
  if (write(staged.fd(), content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
      !staged.Seal(bits, error)) {
    return StagedFile::kFailed;
  }
  return staged.Place(error);
}

TEST(StagedFile, ReplacesWhateverIsAtTheDestination) {
  struct Case {
    std::vector<Entry> setup;
    StagedFile::Outcome want;
  } cases[] = {
      {{}, StagedFile::kPlaced},
      {{{'f', "base/d/app", "old"}}, StagedFile::kPlaced},
      {{{'d', "base/d/app"}}, StagedFile::kPlaced},  // deleted, then renamed
      {{{'d', "base/d/app"}, {'f', "base/d/app/keep", "k"}}, StagedFile::kBlocked},
      // A stale staged file, even a planted link, is replaced, not written through.
      {{{'l', "base/d/app.updater-part", "../../out/victim", kOther}}, StagedFile::kPlaced},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setup.empty() ? "nothing" : c.setup.back().path);
    Scene scene({{'d', "base/d"}, {'f', "out/victim", "victim"}});
    scene.Make(c.setup);
    PathError error;
    EXPECT_EQ(Stage(&scene, "d/app", "new", 0751, &error), c.want) << error.text;
    if (c.want == StagedFile::kPlaced) {
      struct stat info;
      ASSERT_EQ(lstat((scene / "base/d/app").c_str(), &info), 0);
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(info.st_mode & 07777, 0751u);
      EXPECT_EQ(ReadFile(scene / "base/d/app"), "new");
    }
    EXPECT_FALSE(Exists(scene / "base/d/app.updater-part"));
    EXPECT_EQ(ReadFile(scene / "out/victim"), "victim");
  }
}

TEST(StagedFile, ModeZeroKeepsTheBitsItWasMadeWith) {
  Scene scene;
  PathError error;
  // Mode 0 keeps the bits the file was made with: 0666 less the umask.
  mode_t mask = umask(027);
  EXPECT_EQ(Stage(&scene, "fresh", "x", 0, &error), StagedFile::kPlaced);
  umask(mask);
  struct stat info;
  ASSERT_EQ(stat((scene / "base/fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

}  // namespace
