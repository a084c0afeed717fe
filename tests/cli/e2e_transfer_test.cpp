// End-to-end tests of the updater's transfers (see e2e_test.cpp) against
// tests/file_server.py: a release over https with a test authority, refused
// without it, and servers that never stop or that dribble, cut off at their
// bounds with nothing left behind.
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/e2e_suite.h"
#include "test_authority.h"

namespace e2e {
namespace {

class Transfers : public EndToEnd {
 protected:
  // Starts the file server over the served directory, with a certificate of
  // a test authority when `tls`, and publishes the standard release there.
  void Serve(bool tls) {
    ASSERT_TRUE(MakeTestAuthority(root_.path()));
    std::vector<std::string> args = {www_};
    if (tls) args.insert(args.end(), {root_.path() + "/good.pem", root_.path() + "/leaf-key.pem"});
    ASSERT_TRUE(files_.StartScript(
        std::string(getenv("UPDATER_SOURCE_DIR")) + "/tests/file_server.py", args));
    server_url_ =
        (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(files_.port());
    Publish(StandardRelease(), kStandardDescription, {"--base-url", server_url_});
  }

  ServerProcess files_;
  std::string server_url_;
};

TEST_F(Transfers, HttpsInstallsOnlyWithTheTrustedAuthority) {
  Serve(true);
  Console refused;  // and not tried again: a certificate does not change
  refused.Start();
  refused.Raw(
      "\nError downloading info files: VDL reports Error Connecting to Host (Certificate "
      "verification failed: unable to get local issuer certificate)\n");
  ExpectRun(Update({"--server", server_url_, "--retries", "3"}), 1, refused);
  ExpectBase(Tree());

  ExpectRun(Update({"--server", server_url_, "--ca-file", root_.path() + "/ca.pem"}), 0,
            FullRun(2, kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
}

TEST_F(Transfers, EndlessAndSlowServersAreCutOff) {
  Serve(false);
  const std::string pack = www_ + "/packs/README.txt.pak";
  struct Case {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.marker);
    ASSERT_TRUE(WriteFile(c.marker, ""));
    PlantScratchFile();
    RunResult result = Update(c.options, files_.port());
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 1);
    ASSERT_GE(result.out.size(), c.error.size());
    EXPECT_EQ(result.out.substr(result.out.size() - c.error.size()), c.error);
    EXPECT_EQ(result.err, "");
    // The document's transfer stopped at its bound.
    size_t last = result.out.rfind("\rDownloading: ");
    if (last != std::string::npos) {
      EXPECT_LE(std::stoll(result.out.substr(last + 14)), 67108864);
    }
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
    if (c.marker == pack + ".dribble") {
      // Cut off within its bound: kept, with its note, for the next run.
      EXPECT_TRUE(Exists(base_ + "/tmp/updater/README.txt.pak.updater-resume"));
      EXPECT_GT(ReadFile(base_ + "/tmp/updater/README.txt.pak").size(), 0u);
    } else {
      Tree expected;  // an endless pack is not kept, whole or partial
      if (c.marker != DocumentPath() + ".endless") AddDir(&expected, "tmp/updater");
      ExpectBase(expected);
    }
    RemoveTree(c.marker);
  }
}

}  // namespace
}  // namespace e2e
