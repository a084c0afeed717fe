// The trust module: Ed25519 on the RFC 8032 vectors, signature files, key
// files, the claims of a signed document, and the parser's use of them.
#include "trust.h"

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "engine_test_util.h"

namespace {

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

// RFC 8032, section 7.1, tests 1 and 2; the key ids were computed with
// `xxd -r -p | openssl dgst -sha256`.
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

std::string Line(const std::string& id, const std::string& signature) {
  return "ed25519 " + id + " " + Base64(signature);
}

TEST(Trust, SignatureFiles) {
  // Keys 1 and 2 are trusted; the document is vector 2's.
  const std::vector<TrustKey> keys = {KeyOf(kVectors[0]), KeyOf(kVectors[1])};
  const std::string document = Unhex(kVectors[1].message);
  const std::string sig1 = Unhex(kVectors[0].signature), sig2 = Unhex(kVectors[1].signature);
  const std::string good = Line(kVectors[1].id, sig2);
  const std::string other = Line("0123456789abcdef", sig2);  // no trusted key's
  const std::string wrong = Line(kVectors[0].id, sig1);      // key 1's, over another message
  const std::string base64 = Base64(sig2);
  std::string stray = base64;  // the same bytes with non-zero trailing bits
  stray[85] = stray[85] == 'A' ? 'B' : 'A';
  const std::string malformed = "Malformed signature file (";
  const std::string syntax = malformed + "line 1: expected \"ed25519 KEYID SIGNATURE\")";
  const std::string notId = malformed + "line 1: the key id is not 16 hexadecimal digits)";
  const std::string notBase64 = malformed + "line 1: the signature is not Base64)";
  const std::string head = "ed25519 39f713d0a644253f ";
  struct {
    std::string file;
    std::string error;  // "" when the document is accepted
  } cases[] = {
      {good + "\n", ""},
      {good, ""},                        // the last line may lack its line feed
      {wrong + "\n" + good + "\n", ""},  // one valid line suffices (key rotation)
      {"ed25519 39F713D0A644253F " + base64 + "\n", ""},
      {other + "\n",
       "Update info is not signed by a trusted key (trusted: 21fe31dfa154a261, "
       "39f713d0a644253f)"},
      {"", malformed + "the file is empty)"},
      {good + "\n\n", malformed + "line 2: expected \"ed25519 KEYID SIGNATURE\")"},
      {good + "\r\n", syntax},
      {"ed448 39f713d0a644253f " + base64, syntax},
      {"ed25519  39f713d0a644253f " + base64, syntax},
      {head, syntax},
      {"ed25519 39f713d0a64425 " + base64, notId},
      {"ed25519 39f713d0a644253g " + base64, notId},
      {head + base64.substr(1), notBase64},
      {head + "!" + base64.substr(1), notBase64},
      {head + stray, notBase64},
      {Line(kVectors[1].id, sig2.substr(1)),
       malformed + "line 1: the signature has 63 bytes, not 64)"},
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

// A private key, the likeliest mistake, is named as such.
TEST(Trust, PrivateKeyFileIsRefused) {
  TempDir dir;
  const std::string path = dir / "secret.key", raw = kVectors[0].publicKey;
  ASSERT_TRUE(WriteFile(path, Pem("PRIVATE KEY", "302e020100300506032b657004220420" + raw)));
  TrustKey read = {};
  std::string error;
  EXPECT_FALSE(trust_read_key_file(path.c_str(), &read, &error));
  EXPECT_EQ(error, path + " holds a private key, not the public key");
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
      {3, name, "100", "1700000000", "100", ""},  // equal serial; expires this second
      {2, name, "18446744073709551615", nullptr, "18446744073709551614", ""},
      {2, nullptr, "100", nullptr, nullptr, "Update info has no \"document\" attribute"},
      {2, name, nullptr, nullptr, nullptr, "Update info has no \"serial\" attribute"},
      {2, name, "", nullptr, nullptr, "Update info serial \"\" is not a decimal number"},
      {2, name, "18446744073709551616", nullptr, nullptr,
       "Update info serial \"18446744073709551616\" is not a decimal number"},
      {2, name, "100", nullptr, "1x",
       "The serial kept for x.info (\"1x\") is not a decimal number"},
      {2, name, "100", "1699999999", nullptr, "Update info expired on 2023-11-14 22:13:19 UTC"},
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

// With a trusted key only the text that verified is parsed; its serial is kept.
using TrustedParse = enginetest::ParseFixture;

TEST_F(TrustedParse, RefusesUnverifiedTextAndKeepsTheSerial) {
  const std::string ini = dir / ".updater.ini";
  enginetest::Doc doc;
  doc.info += " document=\"x.info\" serial=\"5\"";
  doc.files = enginetest::FileV2("a.txt", std::string(64, '0'));
  for (int run = 0; run < 3; ++run) {
    updater.Init("http://127.0.0.1/updates/x.info", dir.base().c_str(), "", ini.c_str(), nullptr);
    if (run == 0) updater.AddTrustedKey(KeyOf(kVectors[0]));
    updater.infoText = doc.Text();
    std::string digest = run == 0 ? std::string(64, '0') : enginetest::Sha(updater.infoText);
    strlcpy(updater.trust.verifiedDigest, digest.c_str(), sizeof(updater.trust.verifiedDigest));
    EXPECT_EQ(updater.ParseInfo() ? "" : Error(),
              run == 0 ? "Update info was not verified against its signature" : "");
    EXPECT_EQ(ReadFile(ini), run == 0 ? "<missing>" : "[serials]\r\nx.info=5\r\n");
  }
}

}  // namespace
