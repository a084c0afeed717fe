// Updater::PerformUpdate on real files in a temporary base directory. Every
// pack is put in the pack directory beforehand with its digest in the
// document, so no transfer is needed; the one download attempted goes to a
// loopback port that nobody listens on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hash.h"
#include "rc4.h"
#include "updater.h"

namespace {

std::vector<std::string> g_status;
void RecordStatus(const char* text) { g_status.push_back(text); }
UpdaterCallbacks g_callbacks = {nullptr, nullptr, nullptr, RecordStatus};

std::string Sha256(const std::string& data) {
  char hex[65] = {};
  EXPECT_TRUE(hash_buffer("sha256", data.data(), data.size(), hex, sizeof(hex)));
  return hex;
}

// The pack of `data`: zlib, then RC4 with `key` when it is not empty.
std::string MakePack(const std::string& data, const std::string& key) {
  uLongf length = compressBound(data.size());
  std::string pack(length, '\0');
  compress(reinterpret_cast<Bytef*>(&pack[0]), &length, reinterpret_cast<const Bytef*>(data.data()),
           data.size());
  pack.resize(length);
  if (!key.empty()) {
    Rc4State state = {};
    rc4_set_key(&state, 16, reinterpret_cast<const uint8_t*>(key.c_str()));
    rc4_crypt(&state, pack.size(), reinterpret_cast<const uint8_t*>(pack.data()),
              reinterpret_cast<uint8_t*>(&pack[0]));
  }
  return pack;
}

std::string PackNameSuffix(const std::string& path) {
  char hex[65] = {};
  md5_buffer(path.data(), path.size(), hex);
  return "-" + std::string(hex, 8);
}

struct Entry {
  Entry(std::string path, std::string url, std::string content, std::string key)
      : path(path), url(url), content(content), key(key) {}
  std::string path;
  std::string url;  // relative to FileBase
  std::string content;
  std::string key;
  std::string pack;      // the pack put in place (empty: none)
  std::string sha;       // digest in the document (empty: of content)
  std::string packName;  // file name in the pack directory
  unsigned mode = 0;
  std::string group;
};

class PerformUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/perform_update_testXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    base = root + "/base/";
    mkdir(base.c_str(), 0755);
    g_status.clear();
  }
  void TearDown() override {
    if (root.empty()) return;
    EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
  }

  void Write(const std::string& path, const std::string& data) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(data.data(), 1, data.size(), file);
    fclose(file);
  }
  std::string Read(const std::string& path) {
    std::string data;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return "<missing>";
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) data.append(chunk, got);
    fclose(file);
    return data;
  }
  bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  // Places the packs and parses a version 2 document listing `entries`.
  void Load(std::vector<Entry>& entries, const std::string& extra = "",
            const std::string& fileBase = "http://127.0.0.1:1/") {
    std::string packDir = base + "tmp/updater/";
    ASSERT_EQ(system(("mkdir -p '" + packDir + "'").c_str()), 0);
    std::string doc =
        "<update_info version=\"2\"><info AppName=\"Quillon\" Author=\"T\" URL=\"u\" "
        "FileBase=\"" +
        fileBase + "\"/>" + extra + "<files>";
    for (Entry& e : entries) {
      if (e.pack.empty()) e.pack = MakePack(e.content, e.key);
      if (e.packName.empty()) e.packName = e.url.substr(e.url.rfind('/') + 1);
      Write(packDir + e.packName, e.pack);
      doc += "<f file=\"" + e.path + "\" url=\"" + e.url + "\" size=\"" +
             std::to_string(e.content.size() + 1) + "\" modes=\"" + std::to_string(e.mode) +
             "\" key=\"" + e.key + "\" sha=\"" + (e.sha.empty() ? Sha256(e.content) : e.sha) +
             "\" packsha=\"" + Sha256(e.pack) + "\" group=\"" + e.group + "\"/>";
    }
    doc += "</files><delete><d file=\"old.txt\"/><d file=\"olddir\"/></delete></update_info>";
    updater.Init("http://127.0.0.1:1/x.info", base.c_str(), "updater", ini.c_str(), &g_callbacks);
    updater.infoText = doc;
    ASSERT_TRUE(updater.ParseInfo()) << updater.GetLastError();
  }

  std::string root;
  std::string base;
  std::string ini;
  Updater updater;
};

TEST_F(PerformUpdateTest, InstallsPacksWithOneFileNameAndMasksModes) {
  ini = root + "/state.ini";
  Write(base + "old.txt", "old");
  mkdir((base + "olddir").c_str(), 0755);
  Write(base + "olddir/keep", "x");  // a directory that cannot be deleted
  std::vector<Entry> entries = {
      {"a/x.pak", "p1/x.pak", "content A", "0123456789abcdef"},
      {"b/x.pak", "p2/x.pak", "content B", ""},
      {"tools/run.sh", "run.sh", "#!/bin/sh\n", ""},
  };
  entries[0].packName = "x.pak" + PackNameSuffix("a/x.pak");
  entries[1].packName = "x.pak" + PackNameSuffix("b/x.pak");
  entries[2].mode = 06755;  // set-user-ID and set-group-ID are dropped
  Load(entries, "<groups><group name=\"Base\" default=\"1\"/></groups>");
  ASSERT_TRUE(updater.PerformUpdate()) << updater.GetLastError();

  EXPECT_EQ(Read(base + "a/x.pak"), "content A");
  EXPECT_EQ(Read(base + "b/x.pak"), "content B");
  struct stat info;
  ASSERT_EQ(stat((base + "tools/run.sh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_FALSE(Exists(base + "tmp/updater/" + entries[0].packName));
  EXPECT_FALSE(Exists(base + "tmp/updater/" + entries[1].packName));
  EXPECT_FALSE(Exists(base + "old.txt"));
  // The selection was written before anything was installed.
  EXPECT_NE(Read(ini).find("Base=1"), std::string::npos) << Read(ini);
  std::vector<std::string> expected = {"*** Downloading Updated Files ***",
                                       "",
                                       "Already have a/x.pak, skipping download...",
                                       "Already have b/x.pak, skipping download...",
                                       "Already have tools/run.sh, skipping download...",
                                       "",
                                       "*** Installing Updated Files ***",
                                       "",
                                       "Unpacking a/x.pak ...",
                                       "Installing a/x.pak ... ",
                                       "Unpacking b/x.pak ...",
                                       "Installing b/x.pak ... ",
                                       "Unpacking tools/run.sh ...",
                                       "Installing tools/run.sh ... ",
                                       "",
                                       "*** Deleting Outdated Files ***",
                                       "",
                                       "Deleting old.txt: OK",
                                       "Deleting olddir: ERROR"};
  EXPECT_EQ(g_status, expected);
}

TEST_F(PerformUpdateTest, BadPackOrDigestLeavesTheInstalledFile) {
  mkdir((base + "a").c_str(), 0755);
  Write(base + "a/data.bin", "mine");
  std::vector<Entry> damaged = {{"a/data.bin", "data.bin", "new data", "0123456789abcdef"}};
  damaged[0].pack = MakePack("new data", "0123456789abcdef");
  damaged[0].pack.resize(damaged[0].pack.size() - 3);
  Load(damaged);
  std::string pack = base + "tmp/updater/data.bin";
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(std::string(updater.GetLastError()), "Error unpacking " + pack);
  EXPECT_EQ(Read(base + "a/data.bin"), "mine");
  EXPECT_FALSE(Exists(pack));
  EXPECT_EQ(g_status.back(), "Unpacking a/data.bin ...");

  std::vector<Entry> wrongKey = {{"a/data.bin", "data.bin", "new data", "0123456789abcdef"}};
  wrongKey[0].pack = MakePack("new data", "0123456789abcdeX");
  Load(wrongKey);
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(std::string(updater.GetLastError()), "Error unpacking " + pack);
  EXPECT_EQ(Read(base + "a/data.bin"), "mine");

  std::vector<Entry> wrongDigest = {{"a/data.bin", "data.bin", "new data", ""}};
  wrongDigest[0].sha = std::string(64, 'a');
  Load(wrongDigest);
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(std::string(updater.GetLastError()), "Checksum does not match for file 'data.bin'!");
  EXPECT_EQ(Read(base + "a/data.bin"), "mine");
  EXPECT_FALSE(Exists(pack));
  EXPECT_EQ(g_status.back(), "Unpacking a/data.bin ...");
}

TEST_F(PerformUpdateTest, SelfAndUndeletableFilesGoBesideAsUpd) {
  Write(base + "updater", "running program");
  mkdir((base + "busy").c_str(), 0755);
  Write(base + "busy/inside", "x");  // a non-empty directory cannot be deleted
  Write(base + "busy.upd", "older copy");
  std::vector<Entry> entries = {{"updater", "updater.pak", "new program", ""},
                                {"busy", "busy.pak", "new busy", ""}};
  Load(entries);
  ASSERT_TRUE(updater.PerformUpdate()) << updater.GetLastError();
  EXPECT_EQ(Read(base + "updater"), "running program");
  EXPECT_EQ(Read(base + "updater.upd"), "new program");
  EXPECT_EQ(Read(base + "busy.upd"), "new busy");
  std::vector<std::string> expected = {
      "*** Downloading Updated Files ***",
      "",
      "Already have updater, skipping download...",
      "Already have busy, skipping download...",
      "",
      "*** Installing Updated Files ***",
      "",
      "Note: the following file will install to updater.upd, Wavekeeper will automatically "
      "rename it to the proper thing next time it is run, or you can manually rename it if "
      "you wish",
      "Unpacking updater ...",
      "Installing updater ... ",
      "Unpacking busy ...",
      "Note: the following file will install to busy.upd. You can rename it after the program "
      "has closed.",
      "Installing busy ... "};
  EXPECT_EQ(g_status, expected);
}

TEST_F(PerformUpdateTest, MarkedFilesAreDeletedAndDownloadsReportFailures) {
  Write(base + "extra.dat", "extra");
  std::vector<Entry> entries = {{"extra.dat", "extra.pak", "extra", ""}};
  entries[0].group = "Extras";
  Load(entries, "<groups><group name=\"Extras\" default=\"2\"/></groups>");
  ASSERT_TRUE(updater.PerformUpdate()) << updater.GetLastError();
  EXPECT_FALSE(Exists(base + "extra.dat"));
  std::vector<std::string> expected = {"", "*** Deleting Marked Files ***", "",
                                       "Deleting file: extra.dat"};
  EXPECT_EQ(g_status, expected);

  // No pack in place and nobody at the server's port.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  std::vector<Entry> missing = {{"new.dat", "new.pak", "new", ""}};
  missing[0].packName = "unused";
  Load(missing, "", "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(std::string(updater.GetLastError()),
            "VDL reports 'Error Connecting to Host' while downloading 'new.dat'");
  EXPECT_FALSE(Exists(base + "new.dat"));
}

}  // namespace
