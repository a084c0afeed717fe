// BaseDir's walks on real directories and links in a temporary directory:
// "base" is the base directory, "out" a directory outside it that links
// point to. The tests run as root, so a link "planted by another account" is
// one whose owner is changed with lchown.
#include "base_dir.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine_test_util.h"

namespace {

const uid_t kOther = 4242;  // an account other than root and the tester

// An entry to make: 'd' a directory, 'f' a file holding `text`, 'l' a link to
// `text` owned by `owner`; "@" stands for the temporary directory.
struct Entry {
  char kind;
  const char* path;
  const char* text = "";
  uid_t owner = 0;
};

std::string At(std::string text, const std::string& tmp) {
  size_t at = text.find('@');
  return at == std::string::npos ? text : text.replace(at, 1, tmp);
}

void Make(const std::string& tmp, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    std::string path = tmp + "/" + e.path, text = At(e.text, tmp);
    bool made = e.kind == 'd'   ? mkdir(path.c_str(), 0755) == 0
                : e.kind == 'f' ? enginetest::WriteFile(path, text)
                                : symlink(text.c_str(), path.c_str()) == 0 &&
                                      lchown(path.c_str(), e.owner, e.owner) == 0;
    ASSERT_TRUE(made) << e.path;
  }
}

TEST(BaseDir, WalksDirectoriesByTheLinkRules) {
  struct Case {
    std::vector<Entry> setup;
    const char* relative;
    bool create;
    const char* want;               // "ok" or the error text
    const char* reached = nullptr;  // on success: the directory reached
  } cases[] = {
      {{{'d', "base/a"}, {'d', "base/a/b"}}, "a//./b/", false, "ok", "base/a/b"},
      {{}, "new/deeper", true, "ok", "base/new/deeper"},
      {{}, "new/deeper", false, "No such file or directory"},
      {{{'f', "base/f", "x"}}, "f/x", true, "Not a directory"},
      {{}, "a/../../out", true, "Invalid argument"},
      // Links of root are followed, relative or absolute, also in chains.
      {{{'l', "base/abs", "@/out"}}, "abs", false, "ok", "out"},
      {{{'l', "base/l1", "l2"}, {'l', "base/l2", "../out"}}, "l1", false, "ok", "out"},
      // A dangling link of root: its target is made.
      {{{'l', "base/logs", "../out/logs"}}, "logs/x", true, "ok", "out/logs/x"},
      // A planted link is refused, also inside an allowed link's target.
      {{{'l', "out/evil", "@/out", kOther}, {'l', "base/via", "../out/evil"}},
       "via/x",
       true,
       "Refusing to follow symbolic link @/base/../out/evil (owned by uid 4242)"},
      {{{'l', "base/x", "y"}, {'l', "base/y", "x"}},
       "x",
       false,
       "Too many levels of symbolic links"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    enginetest::TempDir tmp;
    Make(tmp.path(), {{'d', "base"}, {'d', "out"}});
    Make(tmp.path(), c.setup);
    BaseDir base;
    PathError error;
    ASSERT_TRUE(base.Open(tmp / "base", &error));
    int fd = base.OpenDir(c.relative, LinkRule::kOwnedOnly, c.create, &error);
    EXPECT_EQ(fd >= 0 ? "ok" : error.text, At(c.want, tmp.path()));
    struct stat got, want;
    EXPECT_TRUE(fd < 0 || (fstat(fd, &got) == 0 && stat((tmp / c.reached).c_str(), &want) == 0 &&
                           got.st_ino == want.st_ino));
    if (fd >= 0) close(fd);
    EXPECT_FALSE(enginetest::Exists(tmp / "out/x")) << "nothing is made behind a refused link";
  }
}

TEST(BaseDir, StagedNamesFitInAFileName) {
  EXPECT_EQ(StagedName("app"), "app.updater-part");
  EXPECT_EQ(StagedName(std::string(NAME_MAX, 'n')),
            std::string(NAME_MAX - 13, 'n') + ".updater-part");
}

}  // namespace
