// Updater::PerformUpdate through the update pipeline, against real servers on
// loopback: the same console output and results whether packs are staged
// ahead or only at their turn; a partial pack left by an earlier run
// continued from nginx (which honours ranges) and from Python's http.server
// (which sends the whole file); transfers tried again after failures that may
// pass, against a scripted server, and a 404 that is not.
#include "update_pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "GenLib.h"
#include "engine_test_util.h"
#include "resume_note.h"
#include "src/fixtures/http_download.h"
#include "src/fixtures/script_server.h"

namespace {

namespace fs = std::filesystem;
using enginetest::MakePack;
using enginetest::Sha;

const char kKey[] = "0123456789abcdef";

// Every status line and every pack progress call, in the order they came.
std::vector<std::string>& Transcript() {
  static std::vector<std::string> lines;
  return lines;
}
// Staged files under g_watched when the install phase begins.
std::string g_watched;
int g_stagedAtInstall = -1;

int CountStaged(const std::string& root) {
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    count += entry.path().string().find(kStagedSuffix) != std::string::npos;
  }
  return count;
}

void RecordStatus(const char* text) {
  Transcript().push_back(text);
  if (!g_watched.empty() && Transcript().back() == "*** Installing Updated Files ***") {
    g_stagedAtInstall = CountStaged(g_watched);
  }
}
bool RecordProgress(int64_t received, int64_t total, void* name) {
  Transcript().push_back(std::string(static_cast<const char*>(name)) + " " +
                         std::to_string(received) + "/" + std::to_string(total));
  return true;
}
UpdaterCallbacks g_recording = {nullptr, RecordProgress, nullptr, RecordStatus, nullptr};

// Every file under `root`, with its content ("dir" for directories).
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string path = fs::relative(entry.path(), root).string();
    tree[path] = entry.is_directory() ? "dir" : enginetest::ReadFile(entry.path().string());
  }
  return tree;
}

struct File {
  std::string path;
  std::string content;
  bool served = true;    // its pack is on the server
  bool rightSha = true;  // the document gives its true digest
};

class Pipeline : public ::testing::Test {
 protected:
  void TearDown() override { SetPipelineTestHooks(true, 1000); }

  // Puts the packs of `files` under the served directory (when `www` is not
  // empty) and returns the document's entries for them.
  static std::string Entries(const std::vector<File>& files, const std::string& www,
                             bool packSha = true) {
    std::string entries;
    for (const File& file : files) {
      std::string pack = MakePack(file.content, kKey);
      std::string name = fs::path(file.path).filename().string() + ".pak";
      if (file.served && !www.empty()) {
        EXPECT_TRUE(enginetest::WriteFile(www + "/" + name, pack));
      }
      entries += "<f file=\"" + file.path + "\" url=\"" + name + "\" size=\"" +
                 std::to_string(file.content.size()) + "\" key=\"" + kKey + "\" sha=\"" +
                 (file.rightSha ? Sha(file.content) : std::string(64, '0')) + "\" packsha=\"" +
                 (packSha ? Sha(pack) : "") + "\"/>";
    }
    return entries;
  }

  // One PerformUpdate of a fresh model over `base`: "" on success, else the
  // error. The transcript holds what it reported.
  std::string Run(const std::string& base, int port, const std::string& entries, int retries = 0) {
    Transcript().clear();
    Updater updater;
    updater.Init("", (base + "/").c_str(), "updater", "", &g_recording);
    TransferSettings transfer;
    transfer.retries = retries;
    updater.SetTransferSettings(transfer);
    enginetest::Doc doc;
    doc.info =
        "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://127.0.0.1:" + std::to_string(port) +
        "/\"";
    doc.files = entries;
    updater.infoText = doc.Text();
    EXPECT_TRUE(updater.ParseInfo()) << updater.GetLastError();
    return updater.PerformUpdate() ? "" : updater.GetLastError();
  }

  // Python's http.server over `dir`, which answers every request whole.
  uint16_t StartPython(PeerProcess* server, const std::string& dir) {
    return server->StartOnFreePort({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                                    "--directory", dir, "{port}"},
                                   logs.path + "/python.log");
  }
  // nginx serving `dir`, which answers ranges.
  uint16_t StartNginx(PeerProcess* server, const std::string& dir) {
    const std::string& d = logs.path;
    std::string temp = " " + d + "/tmp;";
    std::string conf = "daemon off; master_process off; pid " + d + "/nginx.pid;\n" +
                       "events { worker_connections 16; }\nhttp { access_log off;" +
                       " client_body_temp_path" + temp + " proxy_temp_path" + temp +
                       " fastcgi_temp_path" + temp + " uwsgi_temp_path" + temp + " scgi_temp_path" +
                       temp + "\n  server { listen 127.0.0.1:{port}; root " + dir + "; } }\n";
    return server->StartOnFreePort(
        {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
        d + "/nginx.log", {{d + "/nginx.conf", conf}});
  }

  ::TempDir logs;
};

TEST_F(Pipeline, SameOutputAndResultsWhetherStagedAheadOrInTurn) {
  ::TempDir www;
  PeerProcess server;
  uint16_t port = StartPython(&server, www.path);
  ASSERT_NE(port, 0);
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
    std::map<std::string, std::string> trees[2];
    for (bool ahead : {false, true}) {
      enginetest::TempDir base;
      fs::create_directory(base / "sub");
      ASSERT_TRUE(enginetest::WriteFile(base / "sub/b.bin", "old b"));
      SetPipelineTestHooks(ahead, 1000);
      g_watched = base.path();
      g_stagedAtInstall = -1;
      EXPECT_EQ(Run(base.path(), port, entries), c.error);
      g_watched.clear();
      // In turn, nothing is staged before the install phase.
      if (!ahead && c.unserved < 0) {
        EXPECT_EQ(g_stagedAtInstall, 0);
      }
      transcripts[ahead] = Transcript();
      trees[ahead] = Tree(base.path());
    }
    EXPECT_EQ(transcripts[1], transcripts[0]);
    EXPECT_EQ(trees[1], trees[0]);
    // Nothing staged is left behind, nor a directory made only for a file
    // that was not installed.
    for (const auto& [path, content] : trees[1]) {
      EXPECT_EQ(path.find(kStagedSuffix), std::string::npos) << path;
    }
    EXPECT_EQ(trees[1].count("new"), c.error.empty() ? 1u : 0u);
  }
}

TEST_F(Pipeline, PartialPackIsContinuedWhenItsNoteSaysSo) {
  ::TempDir www;
  PeerProcess nginx, python;
  uint16_t ranges = StartNginx(&nginx, www.path);
  uint16_t whole = StartPython(&python, www.path);
  ASSERT_NE(ranges, 0);
  ASSERT_NE(whole, 0);
  const File big = {"big.bin", PseudoRandomBytes(200000, 7)};
  const std::string pack = MakePack(big.content, kKey);
  const int64_t size = static_cast<int64_t>(pack.size()), half = size / 2;
  const std::string total = "/" + std::to_string(size);
  struct {
    const char* what;
    uint16_t port;
    int64_t left;               // bytes of the pack left by the earlier run
    bool noteMatches;           // its note names this entry
    bool packSha;               // the document gives the pack's digest
    std::string resumed;        // the line saying so, "" for none
    std::string firstProgress;  // where the transfer started
    std::string trailer = "";   // bytes the served pack has after the document's
    std::string error = "";
  } cases[] = {
      {"nginx sends the rest", ranges, half, true, true,
       "Resuming big.bin at " + std::to_string(half) + " bytes...",
       "big.bin " + std::to_string(half) + total},
      {"http.server sends it all", whole, half, true, true,
       "Resuming big.bin at " + std::to_string(half) + " bytes...", "big.bin 0" + total},
      {"a note of another pack", ranges, half, false, true, "", "big.bin 0" + total},
      // Without the pack's digest a whole pack looks partial; the server has
      // nothing after its end (416), so it comes again from the start.
      {"nothing left to send", ranges, size, true, false,
       "Resuming big.bin at " + std::to_string(size) + " bytes...", "big.bin 0" + total},
      // The file would inflate all the same (zlib ignores what follows its
      // stream, and one byte more is still within the pack's bound), but a
      // continued pack must be the document's own.
      {"continued pack not the document's", ranges, half, true, true,
       "Resuming big.bin at " + std::to_string(half) + " bytes...",
       "big.bin " + std::to_string(half) + "/" + std::to_string(size + 1), "x",
       "Error unpacking " + std::string("{base}/tmp/updater/big.bin.pak")},
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

    std::string error = c.error;
    if (!error.empty()) error.replace(error.find("{base}"), 6, base.path());
    EXPECT_EQ(Run(base.path(), c.port, entries), error);
    const std::vector<std::string>& lines = Transcript();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], c.resumed.empty() ? c.firstProgress : c.resumed);
    if (!c.resumed.empty()) {
      EXPECT_EQ(lines[3], c.firstProgress);
    }
    EXPECT_EQ(enginetest::ReadFile(base / "big.bin"), error.empty() ? big.content : "<missing>");
    EXPECT_EQ(Tree(base / "tmp/updater"), (std::map<std::string, std::string>{}));
  }
}

TEST_F(Pipeline, TransientFailuresAreTriedAgainAndOthersAreNot) {
  SetPipelineTestHooks(true, 1);  // a "second" of pause lasts a millisecond
  const File file = {"x.txt", PseudoRandomBytes(3000, 9)};
  const std::string pack = MakePack(file.content, kKey);
  const std::string entries = Entries({file}, "");
  const size_t half = pack.size() / 2;
  const std::string length = std::to_string(pack.size());
  const std::string unavailable = "HTTP/1.0 503 Service Unavailable\r\n\r\n";
  const std::string rest = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " +
                           std::to_string(half) + "-" + std::to_string(pack.size() - 1) + "/" +
                           length + "\r\nContent-Length: " + std::to_string(pack.size() - half) +
                           "\r\n\r\n" + pack.substr(half);
  const std::string cutOff =
      "HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + pack.substr(0, half);
  const std::string retry = "Transfer of x.txt failed (Invalid Response: ";
  const std::string invalid = "VDL reports 'Invalid Response' while downloading 'x.txt'";
  struct {
    const char* what;
    int retries;
    std::vector<std::string> replies;  // one connection each
    std::string error;
    std::vector<std::string> retryLines;
    std::string left;  // the pack left for the next run
  } cases[] = {
      {"503 twice, then the pack",
       2,
       {unavailable, unavailable, Ok(pack)},
       "",
       {retry + "server answered 503), trying again in 1 s (1 of 2)",
        retry + "server answered 503), trying again in 2 s (2 of 2)"},
       "<missing>"},
      {"more 503s than tries",
       1,
       {unavailable, unavailable},
       invalid,
       {retry + "server answered 503), trying again in 1 s (1 of 1)"},
       "<missing>"},
      {"cut off, then the rest",
       1,
       {cutOff, rest},
       "",
       {retry + "connection closed after " + std::to_string(half) + " of " + length +
        " bytes), trying again in 1 s (1 of 1)"},
       "<missing>"},
      {"cut off, no tries left", 0, {cutOff}, invalid, {}, pack.substr(0, half)},
      {"longer than any pack of the file",
       0,
       {Ok(pack + std::string(100000, 'x'))},
       "Pack of x.txt is larger than 3013 bytes, the most a file of 3000 bytes packs into",
       {},
       "<missing>"},
      {"404 is final",
       2,
       {"HTTP/1.0 404 Not Found\r\n\r\n"},
       "VDL reports 'File Not Found' while downloading 'x.txt'",
       {},
       "<missing>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server;
    for (const std::string& reply : c.replies) server.Accept().ReadRequest().Send(reply).Close();
    ASSERT_TRUE(server.Start());
    enginetest::TempDir base;
    EXPECT_EQ(Run(base.path(), server.Port(), entries, c.retries), c.error);
    EXPECT_EQ(server.Finish(), "");
    std::vector<std::string> retries;
    for (const std::string& line : Transcript()) {
      if (line.rfind("Transfer of ", 0) == 0) retries.push_back(line);
    }
    EXPECT_EQ(retries, c.retryLines);
    EXPECT_EQ(enginetest::ReadFile(base / "x.txt"), c.error.empty() ? file.content : "<missing>");
    EXPECT_EQ(enginetest::ReadFile(base / "tmp/updater/x.txt.pak"), c.left);
    // A pack left for the next run has the note that lets it be continued.
    EXPECT_EQ(enginetest::Exists(base / ("tmp/updater/x.txt.pak" + std::string(kResumeNoteSuffix))),
              c.left != "<missing>");
    if (c.replies.size() > 1 && c.replies[0] == cutOff) {
      EXPECT_NE(server.Received(1).find("Range: bytes=" + std::to_string(half) + "-\r\n"),
                std::string::npos);
    }
  }
}

}  // namespace
