// End-to-end runs of the updater's transfers: a release over https with a
// test authority and refused without it, servers that never stop or that
// dribble, cut off at their bounds, and several packs at once with --jobs.
#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, HttpsInstallsOnlyWithTheTrustedAuthority) {
  StartServer(true);
  Publish(StandardRelease(), kStandardDescription);
  // Refused, and not tried again: a certificate does not change.
  ExpectRun(Update({"--server", url_, "--retries", "3"}), 1,
            kBanner + std::string("\nError downloading info files: VDL reports Error Connecting "
                                  "to Host (Certificate verification failed: unable to get local "
                                  "issuer certificate)\n"));
  ExpectBase(Tree());
  ExpectRun(Update({"--server", url_, "--ca-file", root_.path() + "/ca.pem"}), 0,
            FullRun(kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
}

TEST_F(EndToEnd, EndlessAndSlowServersAreCutOff) {
  Publish(StandardRelease(), kStandardDescription);
  const std::string pack = www_ + "/packs/README.txt.pak";
  struct {
    std::string marker;  // the file that makes the server misbehave
    std::vector<std::string> options;
    std::string error;  // how the output ends
  } cases[] = {
      {DocumentPath() + ".endless",
       {},
       "\nError downloading info files: Error reading updater-info.xml! (larger than 67108864 "
       "bytes)\n"},
      {pack + ".endless",
       {},
       "\nError performing update: Pack of README.txt is larger than 25 bytes, the most a file of "
       "12 bytes packs into\n"},
      {pack + ".dribble",
       {"--speed-limit", "100", "--speed-time", "1"},
       "\nError performing update: VDL reports 'Transfer Timed Out (below 100 bytes/s for 1 s)' "
       "while downloading 'README.txt'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.marker);
    ASSERT_TRUE(WriteFile(c.marker, ""));
    PlantScratchFile();
    RunResult result = Update(c.options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(EndsWith(result.out, c.error)) << result.out;
    EXPECT_EQ(result.err, "");
    size_t last = result.out.rfind("\rDownloading: ");  // the document stopped at its bound
    EXPECT_LE(last == std::string::npos ? 0 : std::stoll(result.out.substr(last + 14)), 67108864);
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
    // A pack cut off within its bound is kept, with its note, for the next
    // run; an endless one is not kept, whole or partial.
    const bool kept = c.marker == pack + ".dribble";
    EXPECT_EQ(Exists(base_ + "/tmp/updater/README.txt.pak.updater-resume"), kept);
    EXPECT_EQ(ReadFile(base_ + "/tmp/updater/README.txt.pak").empty(), !kept);
    RemoveTree(c.marker);
  }
}

// Python's http.server, ignoring ranges, that sends every pack in three
// pieces (half at once, a quarter after 0.3 s, the rest after 0.1 s more)
// and errors after 0.15 s, so that transfers are half way when one fails.
const char kSlowServer[] =
    "import functools, http.server, sys, time\n"
    "class Slow(http.server.SimpleHTTPRequestHandler):\n"
    "    def copyfile(self, source, out):\n"
    "        data = source.read()\n"
    "        if not self.path.endswith('.pak'):\n"
    "            return out.write(data)\n"
    "        cuts = [0, len(data) // 2, len(data) * 3 // 4, len(data)]\n"
    "        for i in range(3):\n"
    "            time.sleep([0, 0.3, 0.1][i])\n"
    "            out.write(data[cuts[i]:cuts[i + 1]])\n"
    "            out.flush()\n"
    "    def send_error(self, *args, **kwargs):\n"
    "        time.sleep(0.15)\n"
    "        super().send_error(*args, **kwargs)\n"
    "    def log_message(self, *args):\n"
    "        pass\n"
    "handler = functools.partial(Slow, directory=sys.argv[2])\n"
    "http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), handler).serve_forever()\n";

TEST_F(EndToEnd, ParallelDownloadStopsWithTheFirstFailingFile) {
  Release files;
  std::vector<std::string> paths;
  for (int i = 1; i <= 6; ++i) {
    paths.push_back("d/f" + std::to_string(i) + ".txt");
    files.push_back({paths.back(), std::string(20000 * i, static_cast<char>('a' + i)), 0644});
  }
  // The packs come from the slow server, which lacks that of the third file.
  ASSERT_TRUE(WriteFile(root_.path() + "/slow.py", kSlowServer));
  ServerProcess slow;
  ASSERT_TRUE(slow.StartScript(root_.path() + "/slow.py", {www_}));
  Publish(files, kPlainDescription,
          {"--base-url", "http://127.0.0.1:" + std::to_string(slow.port())});
  const std::string third = www_ + "/packs/" + paths[2] + ".pak", thirdPack = ReadFile(third);
  ASSERT_EQ(remove(third.c_str()), 0);

  RunResult result = Update({"--jobs", "3"});
  const std::string head = Begin() + "\n*** Downloading Updated Files ***\n\n";
  const std::string tail =
      "\nError performing update: VDL reports 'File Not Found' while downloading '" + paths[2] +
      "'\n";
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.out.rfind(head, 0), 0u) << result.out;
  ASSERT_TRUE(EndsWith(result.out, tail)) << result.out;
  // In between, only the line of all transfers, redrawn at 80 columns and
  // ended with a line feed.
  std::string between =
      result.out.substr(head.size(), result.out.size() - head.size() - tail.size());
  EXPECT_TRUE(std::regex_match(between, std::regex("(\r[^\r\n]{79})+\n"))) << between;
  // Nothing installed, no staged file, no directory made for one.
  for (const auto& [path, entry] : ReadTree(base_)) {
    EXPECT_EQ(path.rfind("tmp", 0), 0u) << path;
    EXPECT_EQ(path.find(".updater-part"), std::string::npos) << path;
  }

  // With every pack served again, a run installs them all: the packs stopped
  // on the way are continued, not taken for whole.
  ASSERT_TRUE(WriteFile(third, thirdPack));
  result = Update({"--jobs", "3"});
  EXPECT_EQ(result.status, 0) << result.out;
  for (int i : {0, 1}) {
    EXPECT_NE(result.out.find("Resuming " + paths[i] + " at "), std::string::npos) << result.out;
  }
  ExpectBase(Installed(files, paths));
}

}  // namespace
}  // namespace e2e
