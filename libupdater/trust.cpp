#define MEMLEAK_SOURCE "libupdater"
// Which update-info document to trust: trusted keys, the signature file, the
// claims of a signed document, and the Updater's side of both checks
// (remembering which text verified, keeping the highest serial).
#include "trust.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "GenLib.h"
#include "hash.h"
#include "ini-reader.h"
#include "memleak.h"
#include "text_format.h"
#include "updater.h"

namespace {

const char kAlgorithm[] = "ed25519";
// The INI section that keeps, per document name, the highest serial seen.
const char kSerialsSection[] = "serials";
// A key file is a few hundred bytes; anything larger is no key.
constexpr size_t kMaxKeyFileSize = 64 * 1024;
// Base64 text of a 64-byte signature: 4 * ceil(64 / 3) characters.
constexpr size_t kSignatureTextSize = 88;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
typedef std::unique_ptr<EVP_PKEY, PkeyFree> PkeyPtr;

bool IsHex(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }

// Strict decimal: one to twenty digits, nothing else, no overflow.
bool ParseDecimal(const char* text, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t result = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (__builtin_mul_overflow(result, 10u, &result) ||
        __builtin_add_overflow(result, static_cast<uint64_t>(*p - '0'), &result)) {
      return false;
    }
  }
  *value = result;
  return true;
}

// Decodes canonical Base64 (what EVP_EncodeBlock writes) into `out`. False
// for anything else: bad characters, bad length or padding, stray bits.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>* out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::vector<uint8_t> bytes(text.size() / 4 * 3 + 1);
  int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  size_t padding = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  if (decoded < static_cast<int>(padding)) return false;
  bytes.resize(static_cast<size_t>(decoded) - padding);
  // EVP_DecodeBlock tolerates blanks and non-zero trailing bits; only the
  // one text that encodes these bytes back is accepted.
  std::vector<unsigned char> again(bytes.size() / 3 * 4 + 5);
  EVP_EncodeBlock(again.data(), bytes.data(), static_cast<int>(bytes.size()));
  if (text != reinterpret_cast<const char*>(again.data())) return false;
  *out = std::move(bytes);
  return true;
}

// Parses one line (without its line feed). Empty `*error` on success.
void ParseLine(const std::string& line, TrustSignature* out, std::string* error) {
  for (char c : line) {
    if (c != ' ' && (c < 0x21 || c > 0x7e)) {
      *error = "expected \"ed25519 KEYID SIGNATURE\"";
      return;
    }
  }
  size_t first = line.find(' ');
  size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos ||
      line.compare(0, first, kAlgorithm) != 0 || second == line.size() - 1) {
    *error = "expected \"ed25519 KEYID SIGNATURE\"";
    return;
  }
  std::string id = line.substr(first + 1, second - first - 1);
  if (id.size() != 16 || !std::all_of(id.begin(), id.end(), IsHex)) {
    *error = "the key id is not 16 hexadecimal digits";
    return;
  }
  std::vector<uint8_t> signature;
  if (!DecodeBase64(line.substr(second + 1), &signature)) {
    *error = "the signature is not Base64";
    return;
  }
  if (signature.size() != kTrustSignatureSize) {
    *error = Format("the signature has %zu bytes, not 64", signature.size());
    return;
  }
  strlcpy(out->keyId, id.c_str(), sizeof(out->keyId));
  memcpy(out->signature, signature.data(), kTrustSignatureSize);
}

std::string TrustedIds(const std::vector<TrustKey>& keys) {
  std::string ids;
  for (const TrustKey& key : keys) ids += (ids.empty() ? "" : ", ") + std::string(key.id);
  return ids;
}

// "YYYY-MM-DD HH:MM:SS UTC" for a time in the past.
std::string UtcText(uint64_t seconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm parts;
  char text[64] = "?";
  if (gmtime_r(&when, &parts) != nullptr) strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
  return std::string(text) + " UTC";
}

// A document name becomes a key of the INI file; only names that read back
// unchanged can be kept there.
bool IsKeepableName(const char* name) {
  if (*name == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    if (!isalnum(static_cast<unsigned char>(*p)) && *p != '.' && *p != '-' && *p != '_') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool trust_key_from_raw(const uint8_t* raw, TrustKey* key) {
  PkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, kTrustKeySize));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (pkey == nullptr ||
      EVP_Digest(raw, kTrustKeySize, digest, &length, EVP_sha256(), nullptr) != 1) {
    ERR_clear_error();
    return false;
  }
  memcpy(key->raw, raw, kTrustKeySize);
  for (int i = 0; i < 8; ++i) snprintf(key->id + 2 * i, 3, "%02x", digest[i]);
  return true;
}

bool trust_key_from_pem(const std::string& pem, TrustKey* key, std::string* error) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  PkeyPtr pkey(bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr);
  BIO_free(bio);
  uint8_t raw[kTrustKeySize];
  size_t length = sizeof(raw);
  bool ok = pkey != nullptr && EVP_PKEY_is_a(pkey.get(), "ED25519") &&
            EVP_PKEY_get_raw_public_key(pkey.get(), raw, &length) == 1 && length == sizeof(raw) &&
            trust_key_from_raw(raw, key);
  ERR_clear_error();
  if (!ok) *error = "not an Ed25519 public key in PEM form";
  return ok;
}

bool trust_read_key_file(const char* path, TrustKey* key, std::string* error) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *error = Format("cannot read %s: %s", path, strerror(errno));
    return false;
  }
  std::string pem(kMaxKeyFileSize + 1, '\0');
  size_t got = fread(&pem[0], 1, pem.size(), file);
  bool failed = ferror(file) != 0;
  int saved = errno;
  fclose(file);
  if (failed) {
    *error = Format("cannot read %s: %s", path, strerror(saved));
    return false;
  }
  pem.resize(got);
  if (got > kMaxKeyFileSize || !trust_key_from_pem(pem, key, error)) {
    // The vendor's private key is the likeliest mistake; say so.
    bool secret = pem.find("PRIVATE KEY-----") != std::string::npos;
    *error = Format(secret ? "%s holds a private key, not the public key"
                           : "%s is not an Ed25519 public key in PEM form",
                    path);
    return false;
  }
  return true;
}

bool trust_parse_signatures(const std::string& text, std::vector<TrustSignature>* out,
                            std::string* error) {
  out->clear();
  if (text.empty()) {
    *error = "the file is empty";
    return false;
  }
  int number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++number;
    TrustSignature signature;
    std::string problem;
    ParseLine(text.substr(start, end - start), &signature, &problem);
    if (!problem.empty()) {
      *error = Format("line %d: %s", number, problem.c_str());
      return false;
    }
    out->push_back(signature);
    start = end + 1;
  }
  return true;
}

std::string trust_format_signature(const TrustSignature& signature) {
  unsigned char text[kSignatureTextSize + 1];
  EVP_EncodeBlock(text, signature.signature, kTrustSignatureSize);
  return std::string(kAlgorithm) + " " + signature.keyId + " " +
         reinterpret_cast<const char*>(text) + "\n";
}

bool trust_verify(const TrustKey& key, const uint8_t* signature, const void* data, size_t size) {
  PkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.raw, kTrustKeySize));
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = pkey != nullptr && context != nullptr &&
            EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey.get()) == 1 &&
            EVP_DigestVerify(context, signature, kTrustSignatureSize,
                             static_cast<const unsigned char*>(data), size) == 1;
  EVP_MD_CTX_free(context);
  ERR_clear_error();
  return ok;
}

bool trust_check_signatures(const std::string& document, const std::string& signatures,
                            const std::vector<TrustKey>& keys, std::string* error) {
  std::vector<TrustSignature> lines;
  std::string problem;
  if (!trust_parse_signatures(signatures, &lines, &problem)) {
    *error = "Malformed signature file (" + problem + ")";
    return false;
  }
  const char* mismatch = nullptr;
  for (const TrustSignature& line : lines) {
    for (const TrustKey& key : keys) {
      if (strcasecmp(line.keyId, key.id) != 0) continue;
      if (trust_verify(key, line.signature, document.data(), document.size())) return true;
      mismatch = key.id;
    }
  }
  if (mismatch != nullptr) {
    *error = Format("Update info does not match its signature by key %s", mismatch);
  } else {
    *error = "Update info is not signed by a trusted key (trusted: " + TrustedIds(keys) + ")";
  }
  return false;
}

bool trust_check_claims(const TrustClaims& claims, const char* requested, const char* keptSerial,
                        int64_t now, uint64_t* serial, std::string* error) {
  uint64_t value = 0, kept = 0, expires = 0;
  if (claims.version < 2) {
    *error = Format("Signed update info must be version 2 or higher (this is version %d)",
                    claims.version);
  } else if (claims.document == nullptr) {
    *error = "Update info has no \"document\" attribute";
  } else if (strcmp(claims.document, requested) != 0) {
    *error = Format("Update info is for \"%s\", not for \"%s\"", claims.document, requested);
  } else if (claims.serial == nullptr) {
    *error = "Update info has no \"serial\" attribute";
  } else if (!ParseDecimal(claims.serial, &value)) {
    *error = Format("Update info serial \"%s\" is not a decimal number", claims.serial);
  } else if (keptSerial != nullptr && !ParseDecimal(keptSerial, &kept)) {
    *error =
        Format("The serial kept for %s (\"%s\") is not a decimal number", requested, keptSerial);
  } else if (keptSerial != nullptr && value < kept) {
    *error = Format(
        "Update info serial %llu is older than the release already installed "
        "(serial %llu)",
        static_cast<unsigned long long>(value), static_cast<unsigned long long>(kept));
  } else if (claims.expires != nullptr && !ParseDecimal(claims.expires, &expires)) {
    *error = Format("Update info expiry \"%s\" is not a decimal number", claims.expires);
  } else if (claims.expires != nullptr && now >= 0 && expires < static_cast<uint64_t>(now)) {
    *error = "Update info expired on " + UtcText(expires);
  } else {
    *serial = value;
    return true;
  }
  return false;
}

void Updater::AddTrustedKey(const TrustKey& key) {
  ScopedLock hold(lock);
  trust.keys.push_back(key);
}

bool Updater::AcceptSignatures(const std::string& document, const std::string& signatures) {
  ScopedLock hold(lock);
  std::string error;
  trust.verifiedDigest[0] = '\0';
  if (!trust_check_signatures(document, signatures, trust.keys, &error)) {
    SetError("%s", error.c_str());
    return false;
  }
  if (!hash_buffer("sha256", document.data(), document.size(), trust.verifiedDigest,
                   sizeof(trust.verifiedDigest))) {
    trust.verifiedDigest[0] = '\0';
    SetError("Cannot digest the update info");
    return false;
  }
  return true;
}

bool Updater::AcceptInfo(const TrustClaims& claims) {
  ScopedLock hold(lock);
  if (trust.keys.empty()) return true;
  // The text parsed must be the very text whose signature verified.
  char digest[65] = {};
  if (trust.verifiedDigest[0] == '\0' ||
      !hash_buffer("sha256", infoText.data(), infoText.size(), digest, sizeof(digest)) ||
      strcmp(digest, trust.verifiedDigest) != 0) {
    SetError("Update info was not verified against its signature");
    return false;
  }
  const char* requested = GetFileName(infoUrl.c_str());
  char kept[64] = "";
  if (!iniFile.empty()) {
    if (!IsKeepableName(requested)) {
      SetError("Document name \"%s\" cannot be kept in %s", requested, iniFile.c_str());
      return false;
    }
    if (IniGetString(iniFile.c_str(), kSerialsSection, requested, kept, sizeof(kept), "") ==
        nullptr) {
      SetError("Cannot read the serial kept in %s", iniFile.c_str());
      return false;
    }
  }
  uint64_t serial = 0;
  std::string error;
  if (!trust_check_claims(claims, requested, kept[0] != '\0' ? kept : nullptr,
                          static_cast<int64_t>(time(nullptr)), &serial, &error)) {
    SetError("%s", error.c_str());
    return false;
  }
  return StoreSerial(requested, serial, kept);
}

bool Updater::StoreSerial(const char* document, uint64_t serial, const char* kept) {
  char text[32];
  snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(serial));
  // A dry run has checked the serial against the kept one; it keeps nothing.
  if (iniFile.empty() || dryRun || strcmp(text, kept) == 0) return true;
  if (IniWriteString(iniFile.c_str(), kSerialsSection, document, text) != 0) {
    SetError("Cannot keep the serial of %s in %s", document, iniFile.c_str());
    return false;
  }
  return true;
}
