// updater-publish's signing: key pairs on disk, loading signing keys, and
// which lines of an old signature file stay while its document is replaced.
// Signed publishing is in publish_test.cpp.
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
  EXPECT_EQ(std::string(shared.id), id);  // not overwritten by the refused call
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

TEST(Signing, OnlyLinesThatStillVerifyStay) {
  TempDir dir;
  std::vector<SigningKey> keys(3);  // the publisher signs with a and b, not c
  std::string byA, byC, otherText, id, error;
  const std::string old = "old document\n";
  for (int i = 0; i < 3; ++i) {
    const std::string name = dir.path() + "/" + std::to_string(i);
    ASSERT_TRUE(NewKeyPair(name, &id, &error)) << error;
    ASSERT_TRUE(LoadSigningKey(name + ".key", &keys[i], &error)) << error;
  }
  ASSERT_TRUE(SignDocument({keys[0]}, old, &byA, &error) &&
              SignDocument({keys[2]}, old, &byC, &error) &&
              SignDocument({keys[1]}, "another document\n", &otherText, &error));
  std::string misnamed = byA;  // a's signature under c's id
  misnamed.replace(8, 16, keys[2].publicKey.id);
  struct {
    std::string signatures;
    std::string kept;
  } cases[] = {
      {byA, byA},     {byC + byA, byA},  {otherText + byA, byA},
      {misnamed, ""}, {byA + "x\n", ""},  // a malformed file keeps nothing
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StillValidSignatures({keys[0], keys[1]}, old, c.signatures), c.kept) << c.signatures;
  }
}

}  // namespace
