// updater-publish's signing: key pairs on disk, loading signing keys,
// signature lines checked by the openssl program, and which lines of an old
// signature file stay while its document is replaced.
#include "signing.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"

using e2e::Exists;
using e2e::ReadFile;
using e2e::RunProgram;
using e2e::TempDir;
using e2e::WriteFile;

namespace {

const char kOpenssl[] = "/usr/bin/openssl";

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The key id of a public key file, computed from its DER form as written
// by the openssl program.
std::string IdOf(const std::string& pub, const TempDir& dir) {
  std::string der = dir.path() + "/id.der";
  if (RunProgram({kOpenssl, "pkey", "-pubin", "-in", pub, "-outform", "DER", "-out", der},
                 dir.path())
          .status != 0) {
    return "";
  }
  std::string raw = ReadFile(der).substr(12);  // after the fixed Ed25519 prefix
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(raw.data(), raw.size(), digest, &length, EVP_sha256(), nullptr);
  char hex[17];
  for (int i = 0; i < 8; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// True when the openssl program verifies `line` ("ed25519 ID BASE64") as
// the signature of `document` by the key in `pub`.
bool OpensslVerifies(const std::string& line, const std::string& document, const std::string& pub,
                     const TempDir& dir) {
  std::istringstream fields(line);
  std::string algorithm, id, base64;
  fields >> algorithm >> id >> base64;
  std::string b64 = dir.path() + "/sig.b64", sig = dir.path() + "/sig.bin";
  std::string data = dir.path() + "/data";
  return algorithm == "ed25519" && WriteFile(b64, base64 + "\n") && WriteFile(data, document) &&
         RunProgram({kOpenssl, "base64", "-d", "-A", "-in", b64, "-out", sig}, dir.path()).status ==
             0 &&
         RunProgram({kOpenssl, "pkeyutl", "-verify", "-pubin", "-inkey", pub, "-rawin", "-in", data,
                     "-sigfile", sig},
                    dir.path())
                 .status == 0;
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
  EXPECT_EQ(id, IdOf(name + ".pub", dir));
  SigningKey key;
  ASSERT_TRUE(LoadSigningKey(name + ".key", &key, &error)) << error;
  EXPECT_EQ(key.publicKey.id, id);

  // Existing files are never overwritten, and a failure leaves nothing.
  ASSERT_TRUE(WriteFile(dir.path() + "/old.pub", "keep"));
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
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(NewKeyPair(c.name, &id, &error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_FALSE(Exists(dir.path() + "/old.key"));
  EXPECT_EQ(ReadFile(dir.path() + "/old.pub"), "keep");
  EXPECT_EQ(IdOf(name + ".pub", dir), key.publicKey.id);
}

TEST(Signing, LoadsOnlyUnencryptedEd25519PrivateKeys) {
  TempDir dir;
  const std::string base = dir.path() + "/";
  std::vector<std::vector<std::string>> make = {
      {"genpkey", "-algorithm", "ed25519", "-out", base + "good.key"},
      {"pkey", "-in", base + "good.key", "-pubout", "-out", base + "good.pub"},
      {"genpkey", "-algorithm", "x25519", "-out", base + "x25519.key"},
      {"genpkey", "-algorithm", "ed25519", "-aes256", "-pass", "pass:secret", "-out",
       base + "locked.key"},
  };
  for (std::vector<std::string>& args : make) {
    args.insert(args.begin(), kOpenssl);
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
    SCOPED_TRACE(c.file);
    SigningKey key;
    std::string error;
    EXPECT_EQ(LoadSigningKey(base + c.file, &key, &error), c.error.empty());
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

TEST_F(SigningKeys, LinesVerifyWithTheOpensslProgram) {
  const std::string document = "<update_info version=\"2\"/>\n";
  std::string lines = Sign({keys_[0], keys_[1]}, document);
  size_t split = lines.find('\n') + 1;
  ASSERT_EQ(lines.size(), 2 * split);
  std::string first = lines.substr(0, split), second = lines.substr(split);
  EXPECT_EQ(first.substr(0, 25), std::string("ed25519 ") + keys_[0].publicKey.id + " ");
  EXPECT_TRUE(OpensslVerifies(first, document, dir_.path() + "/a.pub", dir_));
  EXPECT_TRUE(OpensslVerifies(second, document, dir_.path() + "/b.pub", dir_));
  EXPECT_FALSE(OpensslVerifies(second, document + " ", dir_.path() + "/b.pub", dir_));
}

TEST_F(SigningKeys, OnlyLinesThatStillVerifyStay) {
  const std::string old = "old document\n";
  const std::string byA = Sign({keys_[0]}, old), byC = Sign({keys_[2]}, old);
  const std::string otherText = Sign({keys_[1]}, "another document\n");
  // The publisher signs with a and b; c is not among its keys.
  std::vector<SigningKey> signing = {keys_[0], keys_[1]};
  struct {
    std::string signatures;
    std::string kept;
  } cases[] = {
      {byA, byA},
      {byC + byA, byA},
      {otherText + byA, byA},
      {byA + "garbage\n", ""},  // a malformed file keeps nothing
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signatures);
    EXPECT_EQ(StillValidSignatures(signing, old, c.signatures), c.kept);
  }
}

}  // namespace
