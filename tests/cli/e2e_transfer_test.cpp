// End-to-end tests of the updater's transfers (see e2e_test.cpp) against
// tests/file_server.py: a release installed over https with a test
// authority, the same run refused without it, and servers that never stop
// or that dribble cut off at their bounds with nothing left behind.
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/e2e_suite.h"
#include "test_authority.h"

namespace e2e {
namespace {

class Transfers : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    ASSERT_TRUE(MakeTestAuthority(root_.path()));
  }
  // Starts the file server over the served directory, with the test
  // authority's certificate when `tls`; returns its base URL.
  std::string Serve(bool tls) {
    const char* source = getenv("UPDATER_SOURCE_DIR");
    std::string script = std::string(source != nullptr ? source : ".") + "/tests/file_server.py";
    std::vector<std::string> args = {www_};
    if (tls) args.insert(args.end(), {root_.path() + "/good.pem", root_.path() + "/leaf-key.pem"});
    EXPECT_TRUE(files_.StartScript(script, args));
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(files_.port());
  }

  ServerProcess files_;
};

TEST_F(Transfers, HttpsInstallsOnlyWithTheTrustedAuthority) {
  const std::string server = Serve(true);
  Publish(StandardRelease(), kStandardDescription, {"--base-url", server});
  Console refused;
  refused.Start();
  refused.Raw(
      "\nError downloading info files: VDL reports Error Connecting to Host (Certificate "
      "verification failed: unable to get local issuer certificate)\n");
  ExpectRun(Update({"--server", server}), 1, refused);
  ExpectBase(Tree());

  ExpectRun(Update({"--server", server, "--ca-file", root_.path() + "/ca.pem"}), 0,
            FullRun(2, kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
}

TEST_F(Transfers, EndlessAndSlowServersAreCutOffLeavingNothing) {
  const std::string server = Serve(false);
  Publish(StandardRelease(), kStandardDescription, {"--base-url", server});
  const std::string pack = www_ + "/packs/README.txt.pak";
  struct Case {
    std::string marker;  // the file that makes the server misbehave
    std::vector<std::string> options;
    std::string error;  // the output's last line
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
  const uint16_t port = static_cast<uint16_t>(std::stoi(server.substr(server.rfind(':') + 1)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.marker);
    ASSERT_TRUE(WriteFile(c.marker, ""));
    PlantScratchFile();
    RunResult result = Update(c.options, port);
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
    // No pack is left, whole or partial.
    Tree expected;
    if (c.marker != DocumentPath() + ".endless") AddDir(&expected, "tmp/updater");
    ExpectBase(expected);
    RemoveTree(c.marker);
  }
}

TEST_F(Transfers, DocumentTriedAgainSaysSo) {
  const std::string server = Serve(false);
  Publish(StandardRelease(), kStandardDescription, {"--base-url", server});
  ASSERT_TRUE(WriteFile(DocumentPath() + ".fail", "1"));
  Console console;
  console.Start();
  console.Line("Transfer of " + server + kDocument +
               " failed (Invalid Response: server answered 503), trying again in 1 s (1 of 1)");
  Console rest = FullRun(2, kStandardInstalled);
  Console begin;
  begin.Start();
  console.Raw(rest.text().substr(begin.text().size()));
  const uint16_t port = static_cast<uint16_t>(std::stoi(server.substr(server.rfind(':') + 1)));
  ExpectRun(Update({"--retries", "1"}, port), 0, console);
}

}  // namespace
}  // namespace e2e
