// updater-publish's signing: key pairs on disk, loading signing keys,
// signature lines the updater's own check accepts, and which lines of an old
// signature file stay while its document is replaced.
#include "signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli/e2e_fixture.h"

using e2e::ReadFile;
using e2e::RunProgram;
using e2e::TempDir;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(Signing, NewKeyPairs) {
  TempDir dir;
  const std::string name = dir.path() + "/vendor";
  mode_t old = umask(0);  // the private key's mode does not rely on the umask
  std::string id, error;
  bool made = NewKeyPair(name, &id, &error);
  umask(old);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(ModeOf(name + ".key"), 0600u);
  EXPECT_EQ(ModeOf(name + ".pub"), 0644u);
  // The two files are one pair, and the id printed is the public key's.
  SigningKey key;
  TrustKey shared;
  ASSERT_TRUE(LoadSigningKey(name + ".key", &key, &error)) << error;
  ASSERT_TRUE(trust_read_key_file((name + ".pub").c_str(), &shared, &error)) << error;
  EXPECT_EQ(std::string(shared.id), id);
  EXPECT_EQ(std::string(key.publicKey.id), id);

  // Existing files are never overwritten, and a failure leaves nothing.
  ASSERT_TRUE(e2e::WriteFile(dir.path() + "/old.pub", "keep"));
  struct {
    std::string name;
    std::string error;
  } cases[] = {
      {name, name + ".key already exists; not overwriting it"},
      {dir.path() + "/old", dir.path() + "/old.pub already exists; not overwriting it"},
      {dir.path() + "/none/x",
       "cannot create " + dir.path() + "/none/x.key: No such file or directory"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(NewKeyPair(c.name, &id, &error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_FALSE(e2e::Exists(dir.path() + "/old.key"));
  EXPECT_EQ(ReadFile(dir.path() + "/old.pub"), "keep");
  ASSERT_TRUE(trust_read_key_file((name + ".pub").c_str(), &shared, &error)) << error;
  EXPECT_EQ(std::string(shared.id), id);
}

TEST(Signing, LoadsOnlyUnencryptedEd25519PrivateKeys) {
  TempDir dir;
  const std::string base = dir.path() + "/";
  const char* openssl = "/usr/bin/openssl";
  std::vector<std::vector<std::string>> make = {
      {openssl, "genpkey", "-algorithm", "ed25519", "-out", base + "good.key"},
      {openssl, "pkey", "-in", base + "good.key", "-pubout", "-out", base + "good.pub"},
      {openssl, "genpkey", "-algorithm", "x25519", "-out", base + "x25519.key"},
      {openssl, "genpkey", "-algorithm", "ed25519", "-aes256", "-pass", "pass:secret", "-out",
       base + "locked.key"},
  };
  for (const std::vector<std::string>& args : make) {
    ASSERT_EQ(RunProgram(args, dir.path()).status, 0);
  }
  const std::string refused = " is not an unencrypted Ed25519 private key in PEM form";
  struct {
    std::string file;
    std::string error;  // "" when loaded
  } cases[] = {
      {"good.key", ""},
      {"good.pub", base + "good.pub" + refused},
      {"x25519.key", base + "x25519.key" + refused},
      {"locked.key", base + "locked.key" + refused},
      {"missing.key", "cannot read " + base + "missing.key: No such file or directory"},
  };
  for (const auto& c : cases) {
    SigningKey key;
    std::string error;
    EXPECT_EQ(LoadSigningKey(base + c.file, &key, &error), c.error.empty()) << c.file;
    EXPECT_EQ(error, c.error);
  }
}

class SigningKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string id, error;
    for (const char* name : {"/a", "/b", "/c"}) {
      SigningKey key;
      ASSERT_TRUE(NewKeyPair(dir_.path() + name, &id, &error)) << error;
      ASSERT_TRUE(LoadSigningKey(dir_.path() + name + ".key", &key, &error)) << error;
      keys_.push_back(key);
    }
  }
  std::string Sign(const std::vector<SigningKey>& keys, const std::string& document) {
    std::string lines, error;
    EXPECT_TRUE(SignDocument(keys, document, &lines, &error)) << error;
    return lines;
  }

  TempDir dir_;
  std::vector<SigningKey> keys_;
};

TEST_F(SigningKeys, OneLinePerKeyThatTheUpdaterAccepts) {
  const std::string document = "<update_info version=\"2\"/>\n";
  std::string lines = Sign({keys_[0], keys_[1]}, document), error;
  ASSERT_EQ(lines.size(), 2 * 114u);  // "ed25519 " ID " " BASE64 "\n"
  EXPECT_EQ(lines.substr(0, 25), std::string("ed25519 ") + keys_[0].publicKey.id + " ");
  EXPECT_EQ(lines.substr(114, 25), std::string("ed25519 ") + keys_[1].publicKey.id + " ");
  for (const SigningKey& key : {keys_[0], keys_[1]}) {
    EXPECT_TRUE(trust_check_signatures(document, lines, {key.publicKey}, &error)) << error;
    EXPECT_FALSE(trust_check_signatures(document + " ", lines, {key.publicKey}, &error));
  }
}

TEST_F(SigningKeys, OnlyLinesThatStillVerifyStay) {
  const std::string old = "old document\n";
  const std::string byA = Sign({keys_[0]}, old), byC = Sign({keys_[2]}, old);
  const std::string otherText = Sign({keys_[1]}, "another document\n");
  std::string misnamed = byA;  // a's signature under c's id
  misnamed.replace(8, 16, keys_[2].publicKey.id);
  // The publisher signs with a and b; c is not among its keys.
  std::vector<SigningKey> signing = {keys_[0], keys_[1]};
  struct {
    std::string signatures;
    std::string kept;
  } cases[] = {
      {byA, byA},     {byC + byA, byA},  {otherText + byA, byA},
      {misnamed, ""}, {byA + "x\n", ""},  // a malformed file keeps nothing
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StillValidSignatures(signing, old, c.signatures), c.kept) << c.signatures;
  }
}

}  // namespace
