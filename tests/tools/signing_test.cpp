// updater-publish's signing keys: pairs on disk and the private keys that load.
#include "signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "cli/e2e_fixture.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(Signing, NewKeyPairsAndTheKeysThatLoad) {
  e2e::TempDir dir;
  const std::string base = dir.path() + "/", name = base + "vendor";
  mode_t old = umask(0);  // the private key's mode does not rely on the umask
  std::string id, error;
  bool made = NewKeyPair(name, &id, &error);
  umask(old);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(ModeOf(name + ".key"), 0600u);
  EXPECT_EQ(ModeOf(name + ".pub"), 0644u);
  SigningKey key;  // one pair, and the id printed is the public key's
  TrustKey shared;
  ASSERT_TRUE(LoadSigningKey(name + ".key", &key, &error)) << error;
  EXPECT_EQ(std::string(key.publicKey.id), id);
  // Existing files are never overwritten, and a failure leaves nothing.
  ASSERT_TRUE(e2e::WriteFile(base + "old.pub", "keep"));
  struct {
    std::string name;
    std::string error;
  } refusals[] = {
      {name, name + ".key already exists; not overwriting it"},
      {base + "old", base + "old.pub already exists; not overwriting it"},
      {base + "none/x", "cannot create " + base + "none/x.key: No such file or directory"},
  };
  for (const auto& c : refusals) {
    EXPECT_FALSE(NewKeyPair(c.name, &id, &error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_FALSE(e2e::Exists(base + "old.key"));
  EXPECT_EQ(e2e::ReadFile(base + "old.pub"), "keep");
  ASSERT_TRUE(trust_read_key_file((name + ".pub").c_str(), &shared, &error)) << error;
  EXPECT_EQ(std::string(shared.id), std::string(key.publicKey.id));

  ASSERT_EQ(e2e::RunProgram({"/bin/sh", "-c",
                             "openssl genpkey -algorithm x25519 -out x25519.key && openssl genpkey "
                             "-algorithm ed25519 -aes256 -pass pass:secret -out locked.key"},
                            dir.path())
                .status,
            0);
  for (const char* file : {"vendor.pub", "x25519.key", "locked.key"}) {
    EXPECT_FALSE(LoadSigningKey(base + file, &key, &error));
    EXPECT_EQ(error, base + file + " is not an unencrypted Ed25519 private key in PEM form");
  }
  EXPECT_FALSE(LoadSigningKey(base + "missing.key", &key, &error));
  EXPECT_EQ(error, "cannot read " + base + "missing.key: No such file or directory");
}

}  // namespace
