// Updater::PerformUpdate through the update pipeline against nginx, Python's
// http.server and a scripted server on loopback.
#include "update_pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "GenLib.h"
#include "cli/e2e_fixture.h"
#include "engine_test_util.h"
#include "resume_note.h"
#include "src/fixtures/http_download.h"
#include "src/fixtures/script_server.h"

namespace {

namespace fs = std::filesystem;
using enginetest::MakePack;
using enginetest::Sha;

const char kKey[] = "0123456789abcdef";

// Every status line and pack progress call, in the order they came.
std::vector<std::string> g_transcript;

void RecordStatus(const char* text) { g_transcript.push_back(text); }
bool RecordProgress(int64_t received, int64_t total, void* name) {
  g_transcript.push_back(std::string(static_cast<const char*>(name)) + " " +
                         std::to_string(received) + "/" + std::to_string(total));
  return true;
}
UpdaterCallbacks g_recording = {nullptr, RecordProgress, nullptr, RecordStatus, nullptr};

struct File {
  std::string path;
  std::string content;
  bool served = true;    // its pack is on the server
  bool rightSha = true;  // the document gives its true digest
};

class Pipeline : public ::testing::Test {
 protected:
  void TearDown() override { SetPipelineTestHooks(true, 1000); }

  // Serves the packs of `files` from `www` (unless empty); their entries.
  static std::string Entries(const std::vector<File>& files, const std::string& www,
                             bool packSha = true) {
    std::string entries;
    for (const File& file : files) {
      std::string pack = MakePack(file.content, kKey);
      std::string name = fs::path(file.path).filename().string() + ".pak";
      EXPECT_TRUE(!file.served || www.empty() || enginetest::WriteFile(www + "/" + name, pack));
      entries += "<f file=\"" + file.path + "\" url=\"" + name + "\" size=\"" +
                 std::to_string(file.content.size()) + "\" key=\"" + kKey + "\" sha=\"" +
                 (file.rightSha ? Sha(file.content) : std::string(64, '0')) + "\" packsha=\"" +
                 (packSha ? Sha(pack) : "") + "\"/>";
    }
    return entries;
  }

  // One PerformUpdate of a fresh model over `base`: "" or the error.
  std::string Run(const std::string& base, int port, const std::string& entries, int retries = 0) {
    g_transcript.clear();
    Updater updater;
    updater.Init("", (base + "/").c_str(), "updater", "", &g_recording);
    TransferSettings transfer;
    transfer.retries = retries;
    updater.SetTransferSettings(transfer);
    updater.infoText =
        "<update_info version=\"2\"><info AppName=\"a\" Author=\"b\" URL=\"c\" "
        "FileBase=\"http://127.0.0.1:" +
        std::to_string(port) + "/\"/><files>" + entries + "</files></update_info>";
    EXPECT_TRUE(updater.ParseInfo()) << updater.GetLastError();
    return updater.PerformUpdate() ? "" : updater.GetLastError();
  }

  uint16_t StartNginx(PeerProcess* server, const std::string& dir) {
    const std::string& d = logs.path;
    std::string conf = "daemon off; master_process off; pid " + d + "/nginx.pid;\n" +
                       "events { worker_connections 16; }\nhttp { access_log off;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      conf += std::string(temp) + "_temp_path " + d + "/tmp;\n";
    }
    conf += "server { listen 127.0.0.1:{port}; root " + dir + "; } }\n";
    return server->StartOnFreePort(
        {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
        d + "/nginx.log", {{d + "/nginx.conf", conf}});
  }

  ::TempDir logs;
};

TEST_F(Pipeline, SameOutputAndResultsWhetherStagedAheadOrInTurn) {
  ::TempDir www;
  e2e::ServerProcess server;
  ASSERT_TRUE(server.StartHttpServer(www.path));
  // "new/" and "new/deeper/" do not exist before; "sub/" does.
  std::vector<File> good = {{"a.txt", "first file\n"},
                            {"sub/b.bin", std::string(3000, 'b')},
                            {"new/c.txt", "third\n"},
                            {"new/deeper/d.txt", "fourth\n"},
                            {"e.txt", "fifth\n"}};
  struct {
    const char* what;
    int badSha;    // index of a file with a wrong digest, -1 for none
    int unserved;  // index of a file whose pack is missing, -1 for none
    std::string error;
  } cases[] = {
      {"all good", -1, -1, ""},
      {"third file's digest", 2, -1, "Checksum does not match for file 'c.txt'!"},
      {"fourth pack missing, third bad", 2, 3,
       "VDL reports 'File Not Found' while downloading 'new/deeper/d.txt'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<File> files = good;
    if (c.badSha >= 0) files[c.badSha].rightSha = false;
    if (c.unserved >= 0) files[c.unserved].served = false;
    fs::remove_all(www.path);
    fs::create_directory(www.path);
    std::string entries = Entries(files, www.path);
    std::vector<std::string> transcripts[2];
    e2e::Tree trees[2];
    for (bool ahead : {false, true}) {
      enginetest::TempDir base;
      fs::create_directory(base / "sub");
      ASSERT_TRUE(enginetest::WriteFile(base / "sub/b.bin", "old b"));
      SetPipelineTestHooks(ahead, 1000);
      EXPECT_EQ(Run(base.path(), server.port(), entries), c.error);
      transcripts[ahead] = g_transcript;
      trees[ahead] = e2e::ReadTree(base.path());
    }
    EXPECT_EQ(transcripts[1], transcripts[0]);
    EXPECT_EQ(trees[1], trees[0]);
    // No staged file is left, nor a directory made for a file not installed.
    for (const auto& entry : trees[1]) {
      EXPECT_EQ(entry.first.find(kStagedSuffix), std::string::npos) << entry.first;
    }
    EXPECT_EQ(trees[1].count("new"), c.error.empty() ? 1u : 0u);
  }
}

TEST_F(Pipeline, PartialPackIsContinuedWhenItsNoteSaysSo) {
  ::TempDir www;
  PeerProcess nginx;
  e2e::ServerProcess python;
  uint16_t ranges = StartNginx(&nginx, www.path);
  ASSERT_NE(ranges, 0);
  ASSERT_TRUE(python.StartHttpServer(www.path));
  const uint16_t whole = python.port();
  const File big = {"big.bin", PseudoRandomBytes(200000, 7)};
  const std::string pack = MakePack(big.content, kKey);
  const int64_t size = static_cast<int64_t>(pack.size()), half = size / 2;
  struct {
    const char* what;
    uint16_t port;
    int64_t left;         // bytes of the pack left by the earlier run
    bool noteMatches;     // its note names this entry, so it is resumed
    bool packSha;         // the document gives the pack's digest
    int64_t from;         // where the transfer starts
    std::string trailer;  // bytes the served pack has after the document's
    bool fails = false;
  } cases[] = {
      {"nginx sends the rest", ranges, half, true, true, half, ""},
      {"http.server sends it all", whole, half, true, true, 0, ""},
      {"a note of another pack", ranges, half, false, true, 0, ""},
      // Without the pack's digest a whole pack looks partial; nginx answers
      // 416, so it comes again from the start.
      {"nothing left to send", ranges, size, true, false, 0, ""},
      // The file would inflate all the same.
      {"continued pack not the document's", ranges, half, true, true, half, "x", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string entries = Entries({big}, www.path, c.packSha);
    ASSERT_TRUE(enginetest::WriteFile(www.path + "/big.bin.pak", pack + c.trailer));
    enginetest::TempDir base;
    fs::create_directories(base / "tmp/updater");
    ASSERT_TRUE(enginetest::WriteFile(base / "tmp/updater/big.bin.pak", pack.substr(0, c.left)));
    UpdateFile entry;
    entry.url = "http://127.0.0.1:" + std::to_string(c.port) + "/big.bin.pak";
    if (!c.noteMatches) entry.url += "?other";
    strlcpy(entry.fileDigest, Sha(big.content).c_str(), sizeof(entry.fileDigest));
    strlcpy(entry.packDigest, c.packSha ? Sha(pack).c_str() : "", sizeof(entry.packDigest));
    entry.size = static_cast<int64_t>(big.content.size());
    int packDir = open((base / "tmp/updater").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(WriteResumeNote(packDir, "big.bin.pak", ResumeNoteText(entry)));
    close(packDir);

    std::string error = c.fails ? "Error unpacking " + (base / "tmp/updater/big.bin.pak") : "";
    EXPECT_EQ(Run(base.path(), c.port, entries), error);
    std::vector<std::string> want = {"big.bin " + std::to_string(c.from) + "/" +
                                     std::to_string(size + c.trailer.size())};
    if (c.noteMatches) {
      want.insert(want.begin(), "Resuming big.bin at " + std::to_string(c.left) + " bytes...");
    }
    ASSERT_GE(g_transcript.size(), 2 + want.size());
    EXPECT_EQ(
        std::vector<std::string>(g_transcript.begin() + 2, g_transcript.begin() + 2 + want.size()),
        want);
    EXPECT_EQ(enginetest::ReadFile(base / "big.bin"), c.fails ? "<missing>" : big.content);
    EXPECT_EQ(e2e::ReadTree(base / "tmp/updater").size(), 0u);
  }
}

TEST_F(Pipeline, TransientFailuresAreTriedAgainAndOthersAreNot) {
  SetPipelineTestHooks(true, 1);  // a "second" of pause lasts a millisecond
  const File file = {"x.txt", PseudoRandomBytes(3000, 9)};
  const std::string pack = MakePack(file.content, kKey), entries = Entries({file}, "");
  const size_t half = pack.size() / 2;
  const std::string length = std::to_string(pack.size()), from = std::to_string(half);
  std::map<char, std::string> replies = {
      {'u', "HTTP/1.0 503 Service Unavailable\r\n\r\n"},
      {'o', Ok(pack)},
      {'c', "HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + pack.substr(0, half)},
      {'r', "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + from + "-" +
                std::to_string(pack.size() - 1) + "/" + length + "\r\nContent-Length: " +
                std::to_string(pack.size() - half) + "\r\n\r\n" + pack.substr(half)},
      {'n', "HTTP/1.0 404 Not Found\r\n\r\n"}};
  const std::string retry = "Transfer of x.txt failed (Invalid Response: ";
  const std::string busy = retry + "server answered 503), trying again in ";
  const std::string cut =
      retry + "connection closed after " + from + " of " + length + " bytes), trying again in ";
  const std::string invalid = "VDL reports 'Invalid Response' while downloading 'x.txt'";
  struct {
    const char* what;
    int retries;
    std::string replies;  // one connection each, by the letters above
    std::string error;
    std::vector<std::string> retryLines;
    bool partLeft = false;  // the half pack is left for the next run
  } cases[] = {
      {"503 twice, then the pack", 2, "uuo", "", {busy + "1 s (1 of 2)", busy + "2 s (2 of 2)"}},
      {"more 503s than tries", 1, "uu", invalid, {busy + "1 s (1 of 1)"}},
      {"cut off, then the rest", 1, "cr", "", {cut + "1 s (1 of 1)"}},
      {"cut off, no tries left", 0, "c", invalid, {}, true},
      {"404 is final", 2, "n", "VDL reports 'File Not Found' while downloading 'x.txt'", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server;
    for (char reply : c.replies) server.Accept().ReadRequest().Send(replies[reply]).Close();
    ASSERT_TRUE(server.Start());
    enginetest::TempDir base;
    EXPECT_EQ(Run(base.path(), server.Port(), entries, c.retries), c.error);
    EXPECT_EQ(server.Finish(), "");
    std::vector<std::string> retries;
    for (const std::string& line : g_transcript) {
      if (line.rfind("Transfer of ", 0) == 0) retries.push_back(line);
    }
    EXPECT_EQ(retries, c.retryLines);
    EXPECT_EQ(enginetest::ReadFile(base / "x.txt"), c.error.empty() ? file.content : "<missing>");
    EXPECT_EQ(enginetest::ReadFile(base / "tmp/updater/x.txt.pak"),
              c.partLeft ? pack.substr(0, half) : "<missing>");
    // A pack left for the next run has the note that lets it be continued.
    EXPECT_EQ(enginetest::Exists(base / ("tmp/updater/x.txt.pak" + std::string(kResumeNoteSuffix))),
              c.partLeft);
    EXPECT_TRUE(c.replies != "cr" ||
                server.Received(1).find("Range: bytes=" + from + "-\r\n") != std::string::npos);
  }
}

}  // namespace
