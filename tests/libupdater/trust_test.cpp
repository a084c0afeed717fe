// The trust module: Ed25519 on the RFC 8032 vectors, signature files, key
// files, the claims of a signed document, and the parser's use of them.
#include "trust.h"

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "engine_test_util.h"

namespace {

using enginetest::Doc;
using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// RFC 8032, section 7.1, tests 1 to 3; the key ids were computed with
// `xxd -r -p | openssl dgst -sha256`. Signature files over them verify the
// vectors.
struct Vector {
  const char* publicKey;
  const char* message;
  const char* signature;
  const char* id;
} const kVectors[] = {
    {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "46bd25bf5f0595bbe24655141438e7a100b",
     "21fe31dfa154a261"},
    {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d8c387b2eaeb4302aeeb00d291612bb0c00",
     "39f713d0a644253f"},
    {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "6594a7c15e9716ed28dc027beceea1ec40a",
     "dac073e0123bdea5"},
};

TrustKey KeyOf(const Vector& vector) {
  TrustKey key = {};
  std::string raw = Unhex(vector.publicKey);
  EXPECT_TRUE(trust_key_from_raw(reinterpret_cast<const uint8_t*>(raw.data()), &key));
  return key;
}

std::string Base64(const std::string& bytes) {
  std::vector<unsigned char> text(bytes.size() / 3 * 4 + 5);
  EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<int>(bytes.size()));
  return reinterpret_cast<const char*>(text.data());
}

// A signature line with the given key id and signature bytes.
std::string Line(const std::string& id, const std::string& signature) {
  return "ed25519 " + id + " " + Base64(signature);
}

TEST(Trust, SignatureFiles) {
  // Keys 1 and 2 are trusted, key 3 is not; the document is vector 2's.
  const std::vector<TrustKey> keys = {KeyOf(kVectors[0]), KeyOf(kVectors[1])};
  const std::string document = Unhex(kVectors[1].message);
  const std::string sig1 = Unhex(kVectors[0].signature), sig2 = Unhex(kVectors[1].signature);
  const std::string good = Line(kVectors[1].id, sig2);
  const std::string other = Line(kVectors[2].id, Unhex(kVectors[2].signature));
  const std::string wrong = Line(kVectors[0].id, sig1);  // key 1's, over another message
  const std::string base64 = Base64(sig2);
  std::string stray = base64;  // the same bytes with non-zero trailing bits
  stray[85] = stray[85] == 'A' ? 'B' : 'A';
  const std::string malformed = "Malformed signature file (";
  const std::string syntax = "expected \"ed25519 KEYID SIGNATURE\")";
  struct {
    std::string file;
    std::string error;  // "" when the document is accepted
  } cases[] = {
      {good + "\n", ""},
      {good, ""},  // the last line may lack its line feed
      {other + "\n" + good + "\n", ""},
      {wrong + "\n" + good + "\n", ""},  // one valid line suffices (key rotation)
      {"ed25519 39F713D0A644253F " + base64 + "\n", ""},
      {other + "\n",
       "Update info is not signed by a trusted key (trusted: 21fe31dfa154a261, "
       "39f713d0a644253f)"},
      {wrong + "\n", "Update info does not match its signature by key 21fe31dfa154a261"},
      {"", malformed + "the file is empty)"},
      {"\n", malformed + "line 1: " + syntax},
      {good + "\n\n", malformed + "line 2: " + syntax},
      {good + "\r\n", malformed + "line 1: " + syntax},
      {"ed448 39f713d0a644253f " + base64, malformed + "line 1: " + syntax},
      {"ed25519  39f713d0a644253f " + base64, malformed + "line 1: " + syntax},
      {"ed25519 39f713d0a644253f ", malformed + "line 1: " + syntax},
      {"ed25519 39f713d0a64425 " + base64,
       malformed + "line 1: the key id is not 16 hexadecimal digits)"},
      {"ed25519 39f713d0a644253g " + base64,
       malformed + "line 1: the key id is not 16 hexadecimal digits)"},
      {"ed25519 39f713d0a644253f " + base64.substr(1),
       malformed + "line 1: the signature is not Base64)"},
      {"ed25519 39f713d0a644253f !" + base64.substr(1),
       malformed + "line 1: the signature is not Base64)"},
      {"ed25519 39f713d0a644253f " + stray, malformed + "line 1: the signature is not Base64)"},
      {Line(kVectors[1].id, sig2.substr(1)),
       malformed + "line 1: the signature has 63 bytes, not 64)"},
      {Line(kVectors[1].id, sig2 + "x"), malformed + "line 1: the signature has 65 bytes, not 64)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string error;
    EXPECT_EQ(trust_check_signatures(document, c.file, keys, &error) ? "" : error, c.error);
  }
}

// PEM text of DER bytes given in hex (key forms of RFC 8410).
std::string Pem(const std::string& label, const std::string& hex) {
  return "-----BEGIN " + label + "-----\n" + Base64(Unhex(hex)) + "\n-----END " + label + "-----\n";
}

TEST(Trust, KeyFiles) {
  TempDir dir;
  const std::string key = kVectors[0].publicKey;
  struct {
    std::string name;
    std::string content;
    std::string error;  // "" when the key is taken
  } cases[] = {
      {"good.pub", Pem("PUBLIC KEY", "302a300506032b6570032100" + key), ""},
      {"secret.key", Pem("PRIVATE KEY", "302e020100300506032b657004220420" + key),
       dir.path() + "/secret.key holds a private key, not the public key"},
      {"x25519.pub", Pem("PUBLIC KEY", "302a300506032b656e032100" + key),
       dir.path() + "/x25519.pub is not an Ed25519 public key in PEM form"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / c.name, error;
    ASSERT_TRUE(WriteFile(path, c.content));
    TrustKey read = {};
    bool taken = trust_read_key_file(path.c_str(), &read, &error);
    EXPECT_EQ(taken ? "" : error, c.error);
    EXPECT_EQ(taken ? std::string(read.id) : kVectors[0].id, kVectors[0].id);
  }
}

TEST(Trust, Claims) {
  const int64_t now = 1700000000;  // 2023-11-14 22:13:20 UTC
  const char* name = "x.info";
  struct {
    int32_t version;
    const char* document;
    const char* serial;
    const char* expires;
    const char* kept;
    std::string error;  // "" when accepted
  } cases[] = {
      {2, name, "100", nullptr, nullptr, ""},
      {3, name, "100", "1700000000", "100", ""},  // equal serial; expires this second
      {2, name, "0100", nullptr, "99", ""},
      {2, name, "18446744073709551615", nullptr, "18446744073709551614", ""},
      {2, nullptr, "100", nullptr, nullptr, "Update info has no \"document\" attribute"},
      {2, name, nullptr, nullptr, nullptr, "Update info has no \"serial\" attribute"},
      {2, name, "", nullptr, nullptr, "Update info serial \"\" is not a decimal number"},
      {2, name, "-1", nullptr, nullptr, "Update info serial \"-1\" is not a decimal number"},
      {2, name, "18446744073709551616", nullptr, nullptr,
       "Update info serial \"18446744073709551616\" is not a decimal number"},
      {2, name, "100", nullptr, "1x",
       "The serial kept for x.info (\"1x\") is not a decimal number"},
      {2, name, "100", "1699999999", nullptr, "Update info expired on 2023-11-14 22:13:19 UTC"},
      {2, name, "100", "soon", nullptr, "Update info expiry \"soon\" is not a decimal number"},
  };
  for (const auto& c : cases) {
    uint64_t serial = 0;
    std::string error;
    bool accepted = trust_check_claims({c.version, c.document, c.serial, c.expires}, name, c.kept,
                                       now, &serial, &error);
    EXPECT_EQ(accepted ? "" : error, c.error) << (c.serial ? c.serial : "(no serial)");
    EXPECT_EQ(serial, accepted ? std::stoull(c.serial) : 0);
  }
}

// With a trusted key the parsed text must be the one that verified, and its
// serial is kept in the INI file when it grows.
class TrustedParse : public enginetest::ParseFixture {
 protected:
  // Parses a document whose "info" element has `claims` after its usual
  // attributes.
  bool ParseSigned(const std::string& claims, bool verified = true) {
    updater.Init("http://127.0.0.1/updates/x.info", dir.base().c_str(), "updater", ini.c_str(),
                 nullptr);
    Doc doc;
    doc.info += claims;
    doc.files = enginetest::FileV2("a.txt", std::string(64, '0'));
    updater.infoText = doc.Text();
    std::string digest = verified ? enginetest::Sha(updater.infoText) : std::string(64, '0');
    strlcpy(updater.trust.verifiedDigest, digest.c_str(), sizeof(updater.trust.verifiedDigest));
    return updater.ParseInfo();
  }
  std::string ini = dir / ".updater.ini";
};

TEST_F(TrustedParse, KeepsTheHighestSerialAndRefusesUnverifiedText) {
  // Without a trusted key nothing is checked and nothing is kept.
  ASSERT_TRUE(ParseSigned(" serial=\"not a number\"", false)) << Error();
  EXPECT_EQ(ReadFile(ini), "<missing>");

  updater.AddTrustedKey(KeyOf(kVectors[0]));
  auto claims = [](const char* serial, const char* more = "") {
    return std::string(" document=\"x.info\" serial=\"") + serial + "\"" + more;
  };
  const std::string kept = "[serials]\r\nx.info=5\r\n", six = "[serials]\r\nx.info=6\r\n";
  struct {
    std::string claims;
    bool verified;
    std::string error;
    std::string ini;
    bool written;  // the INI file was replaced (a write makes a new file)
  } steps[] = {
      {claims("5"), false, "Update info was not verified against its signature", "<missing>",
       false},
      {claims("5"), true, "", kept, true},
      {claims("5"), true, "", kept, false},
      {claims("6"), true, "", six, true},
      {claims("7", " expires=\"1000000000\""), true,
       "Update info expired on 2001-09-09 01:46:40 UTC", six, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.claims);
    struct stat before = {}, after = {};
    stat(ini.c_str(), &before);
    EXPECT_EQ(ParseSigned(step.claims, step.verified) ? "" : Error(), step.error);
    EXPECT_EQ(updater.GetFirstFile() == nullptr, !step.error.empty());
    EXPECT_EQ(ReadFile(ini), step.ini);
    stat(ini.c_str(), &after);
    EXPECT_EQ(after.st_ino != before.st_ino, step.written);
  }
}

}  // namespace
