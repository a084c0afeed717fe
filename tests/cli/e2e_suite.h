// The end-to-end fixture: the real updater against releases of updater-publish
// served by tests/file_server.py on 127.0.0.1, its output, status, base and
// ".updater.ini" compared byte for byte. Single-threaded; all cleaned up.
#ifndef UPDATER_TESTS_CLI_E2E_SUITE_H_
#define UPDATER_TESTS_CLI_E2E_SUITE_H_

#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "console.h"
#include "test_authority.h"

namespace e2e {

inline const char kDocument[] = "/updates/quillon5-full-centos7.x86_64.info";
inline const char kSerials[] = "[serials]\r\nquillon5-full-centos7.x86_64.info=";
inline const char kBanner[] =
    "*** Tessaworks' Updater 2.01 (CLI) ***\n\nDownloading update info files for: "
    "centos7.x86_64\n";

struct ReleaseFile {
  std::string path;
  std::string content;
  mode_t mode;
};
typedef std::vector<ReleaseFile> Release;

inline const char kPlainDescription[] =
    "[release]\nAppName = Quillon\nAuthor = Tessaworks\nURL = http://www.example.com/\n";
// Groups in display order: base (90), extras (50), docs (10).
inline const std::string kStandardDescription =
    std::string(kPlainDescription) +
    "generation = 2\n[group base]\npriority = 90\ndefault = 1\ndefaultgrp = 1\n"
    "[group docs]\npriority = 10\ndefault = 1\n[group extras]\ndefault = 0\n"
    "[files]\nbin/* = base\nconf/* = base\ndocs/* = docs\nextras/* = extras\n";
inline const char kStandardIni[] = "[groups]\r\nbase=1\r\nextras=0\r\ndocs=1\r\n";

inline Release StandardRelease() {
  return {{"README.txt", "Quillon 1.0\n", 0644},
          {"bin/quillon", "#!/bin/sh\necho quillon 1.0\n", 0755},
          {"conf/quillon.conf", "port=7000\n", 0640},
          {"docs/manual.txt", "How to run the bot.\n", 0644},
          {"extras/plugin.so", "plugin 1.0\n", 0755}};
}
// What a fresh install of the standard release brings (extras is off).
inline const std::vector<std::string> kStandardInstalled = {"README.txt", "bin/quillon",
                                                            "conf/quillon.conf", "docs/manual.txt"};

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Progress lines as drawn when standard output is no terminal: 80 columns.
inline std::string PlainBar(uint64_t received, uint64_t total) {
  char line[82];
  return std::string(line, BuildPlainBar(line, sizeof line, 80, received, total));
}
inline std::string NamedBar(const std::string& name, uint64_t received, uint64_t total) {
  char line[82];
  return std::string(line, BuildNamedBar(line, sizeof line, 80, name.c_str(), received, total));
}
// A transfer of the document: the bar at the header and at the end.
inline std::string InfoTransfer(uint64_t size) { return PlainBar(0, size) + PlainBar(size, size); }
inline std::string Installs(const std::vector<std::string>& paths) {
  std::string text = "\n*** Installing Updated Files ***\n\n";
  for (const std::string& path : paths) {
    text += "Unpacking " + path + " ...\nInstalling " + path + " ... \n";
  }
  return text;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    ASSERT_FALSE(root_.path().empty());
    for (const std::string& dir : {www_, work_, base_}) ASSERT_TRUE(MakeDirs(dir));
    StartServer(false);
  }

  // (Re)starts the file server, with a test authority's certificate if `tls`.
  void StartServer(bool tls) {
    std::vector<std::string> args = {www_};
    if (tls) {
      ASSERT_TRUE(MakeTestAuthority(root_.path()));
      args.insert(args.end(), {root_.path() + "/good.pem", root_.path() + "/leaf-key.pem"});
    }
    ASSERT_TRUE(server_.StartScript(sources_ + "/tests/file_server.py", args));
    url_ = (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(server_.port());
  }

  // Publishes `files` with `description` and `options` to the served directory.
  void Publish(const Release& files, const std::string& description,
               const std::vector<std::string>& options = {}) {
    std::string release = root_.path() + "/release" + std::to_string(++releases_);
    for (const ReleaseFile& file : files) {
      ASSERT_TRUE(WriteFile(release + "/" + file.path, file.content, file.mode));
    }
    ASSERT_TRUE(WriteFile(release + ".desc", description));
    std::vector<std::string> argv = {binaries_ + "/tools/updater-publish", "-q", "--base-url",
                                     url_};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {release, release + ".desc", www_});
    RunResult result = RunProgram(argv, root_.path());
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.err, "");
  }

  // A key pair made with updater-publish --new-key.
  struct Key {
    std::string secret, shared, id;
  };
  Key NewKey(const std::string& name) {
    std::string prefix = root_.path() + "/" + name;
    RunResult result =
        RunProgram({binaries_ + "/tools/updater-publish", "--new-key", prefix}, root_.path());
    size_t at = result.out.find("key id ");
    EXPECT_NE(at, std::string::npos) << result.out << result.err;
    return {prefix + ".key", prefix + ".pub",
            at == std::string::npos ? "" : result.out.substr(at + 7, 16)};
  }
  // A run on the base directory; `options` may replace the defaults.
  RunResult Update(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {updater_, "--server",
                                     "127.0.0.1:" + std::to_string(server_.port()), "-d", base_};
    argv.insert(argv.end(), options.begin(), options.end());
    return RunProgram(argv, work_);
  }

  std::string DocumentPath() const { return www_ + kDocument; }

  // The output up to and including the parser's messages.
  std::string Begin() {
    return kBanner + InfoTransfer(ReadFile(DocumentPath()).size()) +
           "\nGot info files... parsing...\nInfo version: 2\nBuilding file list...\n";
  }
  // The downloads of `paths`; a name like the one before in any case shares a line.
  std::string Downloads(const std::vector<std::string>& paths) {
    std::string text = "\n*** Downloading Updated Files ***\n\n", last;
    for (const std::string& path : paths) {
      std::string name = path.substr(path.rfind('/') + 1);
      uint64_t size = ReadFile(www_ + "/packs/" + path + ".pak").size();
      if (!last.empty() && strcasecmp(name.c_str(), last.c_str()) != 0) text += "\n";
      if (strcasecmp(name.c_str(), last.c_str()) != 0) last = name;
      text += NamedBar(name, 0, size) + NamedBar(name, size, size);
    }
    return text;
  }
  // A whole successful run that installs `paths`.
  std::string FullRun(const std::vector<std::string>& paths) {
    return Begin() + Downloads(paths) + Installs(paths) + "\nUpdate Complete!\n";
  }

  // The base after installing `paths` (all when empty) of `files`, packs gone.
  static Tree Installed(const Release& files, const std::vector<std::string>& paths = {}) {
    Tree tree;
    AddDir(&tree, "tmp/updater");
    for (const ReleaseFile& file : files) {
      if (paths.empty() || std::count(paths.begin(), paths.end(), file.path) > 0) {
        AddFile(&tree, file.path, file.content, file.mode);
      }
    }
    return tree;
  }

  void ExpectRun(const RunResult& result, int status, const std::string& out) {
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
  }
  void ExpectBase(const Tree& expected) { EXPECT_EQ(ReadTree(base_), expected); }
  std::string Ini() const { return ReadFile(work_ + "/.updater.ini"); }
  // A stale scratch document that every run must leave deleted.
  void PlantScratchFile() { ASSERT_TRUE(WriteFile(work_ + "/updater-info.xml", "stale")); }

  TempDir root_;
  ServerProcess server_;
  std::string sources_ = getenv("UPDATER_SOURCE_DIR"), binaries_ = getenv("UPDATER_BINARY_DIR"),
              updater_ = binaries_ + "/cli/updater", url_, www_ = root_.path() + "/www",
              work_ = root_.path() + "/work", base_ = root_.path() + "/base";
  int releases_ = 0;
};

}  // namespace e2e

#endif  // UPDATER_TESTS_CLI_E2E_SUITE_H_
