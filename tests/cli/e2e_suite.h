// The fixture of the end-to-end tests: a served directory, a working
// directory and a base directory under one temporary directory, Python's
// http.server over the served directory, and helpers that publish releases
// with updater-publish, run the updater, and build the expected console text
// and base directory. Single-threaded; everything is stopped and removed in
// the fixture's destructor.
#ifndef UPDATER_TESTS_CLI_E2E_SUITE_H_
#define UPDATER_TESTS_CLI_E2E_SUITE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"

namespace e2e {

inline const char kDocument[] = "/updates/quillon5-full-centos7.x86_64.info";
inline const char kOpenssl[] = "/usr/bin/openssl";
inline const char kSelfNote[] =
    "Note: the following file will install to %s.upd, Wavekeeper will automatically rename it "
    "to the proper thing next time it is run, or you can manually rename it if you wish";
inline const char kBusyNote[] =
    "Note: the following file will install to %s.upd. You can rename it after the program has "
    "closed.";

struct ReleaseFile {
  std::string path;
  std::string content;
  mode_t mode;
};
typedef std::vector<ReleaseFile> Release;

inline const char kStandardDescription[] =
    "# The standard test release\n"
    "[release]\n"
    "generation = 2\n"
    "AppName = Quillon\n"
    "Author = Tessaworks\n"
    "URL = http://www.example.com/quillon/\n"
    "\n"
    "[group base]\n"
    "dispName = Base program\n"
    "menu = Program\n"
    "desc = The bot and its configuration.\\nAlways needed.\n"
    "priority = 90\n"
    "default = 1\n"
    "defaultgrp = 1\n"
    "\n"
    "[group docs]\n"
    "dispName = Documentation\n"
    "priority = 10\n"
    "default = 1\n"
    "\n"
    "[group extras]\n"
    "dispName = Extra plugins\n"
    "default = 0\n"
    "\n"
    "[files]\n"
    "bin/* = base\n"
    "conf/* = base\n"
    "docs/* = docs\n"
    "extras/* = extras\n";

// Groups in display order: base (90), extras (50), docs (10).
inline const char kStandardIni[] = "[groups]\r\nbase=1\r\nextras=0\r\ndocs=1\r\n";

inline Release StandardRelease() {
  return {{"README.txt", "Quillon 1.0\n", 0644},
          {"bin/quillon", "#!/bin/sh\necho quillon 1.0\n", 0755},
          {"conf/quillon.conf", "port=7000\n", 0640},
          {"docs/manual.txt", "How to run the bot.\n", 0644},
          {"extras/plugin.so", "plugin 1.0\n", 0755}};
}

// The files of the standard release that a fresh install brings (extras is
// not selected).
inline const std::vector<std::string> kStandardInstalled = {"README.txt", "bin/quillon",
                                                            "conf/quillon.conf", "docs/manual.txt"};

inline std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

inline std::string Format(const char* format, const std::string& argument) {
  char text[512];
  snprintf(text, sizeof text, format, argument.c_str());
  return text;
}

// The value of attribute `name` of the file entry for `path` in a document.
inline std::string EntryAttribute(const std::string& document, const std::string& path,
                                  const std::string& name) {
  size_t entry = document.find("file=\"" + path + "\"");
  size_t end = document.find("/>", entry);
  size_t at = document.find(" " + name + "=\"", entry);
  if (entry == std::string::npos || at == std::string::npos || at > end) return "";
  at += name.size() + 3;
  return document.substr(at, document.find('"', at) - at);
}

inline std::string SetEntryAttribute(std::string document, const std::string& path,
                                     const std::string& name, const std::string& value) {
  std::string old = EntryAttribute(document, path, name);
  size_t entry = document.find("file=\"" + path + "\"");
  size_t at = document.find(" " + name + "=\"" + old + "\"", entry);
  if (entry != std::string::npos && at != std::string::npos) {
    document.replace(at, name.size() + old.size() + 4, " " + name + "=\"" + value + "\"");
  }
  return document;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    ASSERT_FALSE(root_.path().empty());
    const char* binaries = getenv("UPDATER_BINARY_DIR");
    ASSERT_NE(binaries, nullptr) << "UPDATER_BINARY_DIR is not set";
    updater_ = std::string(binaries) + "/cli/updater";
    publisher_ = std::string(binaries) + "/tools/updater-publish";
    www_ = root_.path() + "/www";
    work_ = root_.path() + "/work";
    base_ = root_.path() + "/base";
    for (const std::string& dir : {www_, work_, base_}) ASSERT_TRUE(e2e::MakeDirs(dir));
    ASSERT_TRUE(server_.StartHttpServer(www_));
  }

  // Writes `files` under a fresh release directory and publishes it with
  // the given description and further options into `output` (by default
  // the served directory).
  void Publish(const Release& files, const std::string& description,
               const std::vector<std::string>& options = {}, const std::string& output = "") {
    std::string release = root_.path() + "/release" + std::to_string(++releases_);
    for (const ReleaseFile& file : files) {
      ASSERT_TRUE(WriteFile(release + "/" + file.path, file.content, file.mode));
    }
    std::string descriptionPath = release + ".desc";
    ASSERT_TRUE(WriteFile(descriptionPath, description));
    std::vector<std::string> argv = {publisher_, "-q", "--base-url",
                                     "http://127.0.0.1:" + std::to_string(server_.port())};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {release, descriptionPath, output.empty() ? www_ : output});
    RunResult result = e2e::RunProgram(argv, root_.path());
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.err, "");
  }

  // A signing key pair made with updater-publish --new-key.
  struct Key {
    std::string secret;  // NAME.key
    std::string shared;  // NAME.pub
    std::string id;      // as updater-publish printed it
  };
  Key NewKey(const std::string& name) {
    std::string prefix = root_.path() + "/" + name;
    RunResult result = e2e::RunProgram({publisher_, "--new-key", prefix}, root_.path());
    EXPECT_EQ(result.status, 0) << result.err;
    size_t at = result.out.find("key id ");
    EXPECT_NE(at, std::string::npos) << result.out;
    return {prefix + ".key", prefix + ".pub",
            at == std::string::npos ? "" : result.out.substr(at + 7, 16)};
  }
  // A signature line over `document` by `key`, made with the openssl program
  // rather than the publisher.
  std::string SignLine(const std::string& document, const Key& key) {
    std::string data = root_.path() + "/to-sign", signature = root_.path() + "/signature";
    EXPECT_TRUE(WriteFile(data, document));
    RunResult sign = e2e::RunProgram({kOpenssl, "pkeyutl", "-sign", "-inkey", key.secret, "-rawin",
                                      "-in", data, "-out", signature},
                                     root_.path());
    EXPECT_EQ(sign.status, 0) << sign.err;
    RunResult base64 = e2e::RunProgram({kOpenssl, "base64", "-A", "-in", signature}, root_.path());
    EXPECT_EQ(base64.status, 0) << base64.err;
    return "ed25519 " + key.id + " " + base64.out + "\n";
  }

  RunResult Update(const std::vector<std::string>& options = {}, int port = 0) {
    std::vector<std::string> argv = {updater_, "--server",
                                     "127.0.0.1:" + std::to_string(port ? port : server_.port()),
                                     "-d", base_};
    argv.insert(argv.end(), options.begin(), options.end());
    return e2e::RunProgram(argv, work_);
  }

  std::string DocumentPath() const { return www_ + kDocument; }
  uint64_t PackSize(const std::string& path) const {
    return FileSize(www_ + "/packs/" + path + ".pak");
  }

  // The output up to and including the parser's messages.
  Console Begin(int version, const char* platform = "centos7.x86_64") {
    Console console;
    console.Start(platform);
    console.InfoTransfer(FileSize(DocumentPath()));
    console.Raw("\nGot info files... parsing...\n");
    console.Line("Info version: " + std::to_string(version));
    console.Line("Building file list...");
    return console;
  }
  void Downloads(Console* console, const std::vector<std::string>& paths) {
    console->Line("*** Downloading Updated Files ***");
    console->Line("");
    for (const std::string& path : paths) console->FileTransfer(BaseName(path), PackSize(path));
  }
  static void Installs(Console* console, const std::vector<std::string>& paths) {
    console->Banner("*** Installing Updated Files ***");
    for (const std::string& path : paths) console->Install(path);
  }
  // A whole successful run that installs `paths`.
  Console FullRun(int version, const std::vector<std::string>& paths) {
    Console console = Begin(version);
    console.Raw("\n");
    Downloads(&console, paths);
    Installs(&console, paths);
    console.Raw("\nUpdate Complete!\n");
    return console;
  }

  // The base directory after installing `paths` of `files` (and the pack
  // directory, which stays).
  static Tree Installed(const Release& files, const std::vector<std::string>& paths) {
    Tree tree;
    for (const ReleaseFile& file : files) {
      for (const std::string& path : paths) {
        if (path == file.path) AddFile(&tree, file.path, file.content, file.mode);
      }
    }
    AddDir(&tree, "tmp/updater");
    return tree;
  }

  void ExpectRun(const RunResult& result, int status, const Console& console) {
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.out, console.text());
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
  }
  void ExpectBase(const Tree& expected) {
    EXPECT_EQ(DescribeTree(ReadTree(base_)), DescribeTree(expected));
  }
  std::string Ini() const { return ReadFile(work_ + "/.updater.ini"); }

  // A stale scratch document that every run must leave deleted.
  void PlantScratchFile() { ASSERT_TRUE(WriteFile(work_ + "/updater-info.xml", "stale")); }

  e2e::TempDir root_;
  e2e::ServerProcess server_;
  std::string updater_, publisher_, www_, work_, base_;
  int releases_ = 0;
};

inline const char kPlainDescription[] =
    "[release]\n"
    "AppName = Quillon\n"
    "Author = Tessaworks\n"
    "URL = http://www.example.com/\n";

}  // namespace e2e

#endif  // UPDATER_TESTS_CLI_E2E_SUITE_H_
