// Which update-info document to trust. Every rule lives here: the Ed25519
// keys the installation trusts, the signature file published beside the
// document ("<document>.sig", one line "ed25519 KEYID BASE64-SIGNATURE" per
// key), and what a signed document must say about itself (its schema
// generation, the document it is meant to be, a serial that never goes back,
// an expiry that has not passed). The fetch step calls the Updater's
// signature check once; the parser calls the claims check once, right after
// the "info" element is read. Without a trusted key neither check does
// anything, so unsigned servers and installations work as they always have.
//
// The free functions are pure (OpenSSL's EVP interface only, no shared
// state) and safe on any thread. The Updater's trust methods run under the
// Updater's lock like its other operations.
#ifndef UPDATER_LIBUPDATER_TRUST_H_
#define UPDATER_LIBUPDATER_TRUST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kTrustKeySize = 32;        // raw Ed25519 public key
constexpr size_t kTrustSignatureSize = 64;  // raw Ed25519 signature
// The signature file is read whole into memory; a larger one is refused.
constexpr size_t kMaxSignatureFileSize = 64 * 1024;

// A trusted public key and its id: the first 16 hex digits (lower case) of
// the SHA-256 of the raw key. A plain record; copy it freely.
struct TrustKey {
  uint8_t raw[kTrustKeySize];
  char id[17];
};

// One line of a signature file.
struct TrustSignature {
  char keyId[17];  // as written; compared without regard to case
  uint8_t signature[kTrustSignatureSize];
};

// What a document says about itself, taken from its "info" element. Null
// texts are absent attributes. The texts stay the caller's.
struct TrustClaims {
  int32_t version;       // the document's schema version
  const char* document;  // "document": the file name it was published as
  const char* serial;    // "serial": decimal, grows with every release
  const char* expires;   // "expires": seconds since 1970, optional
};

// The trust state an Updater carries. Keys, once added, stay for the
// Updater's life, so that no later Init or Reset can turn verification off.
struct UpdaterTrust {
  std::vector<TrustKey> keys;    // empty: documents are taken unsigned
  char verifiedDigest[65] = {};  // SHA-256 of the document whose signature
                                 // verified last; empty when none did
};

// Fills `key` (raw bytes and id) from the 32 raw bytes of an Ed25519 public
// key. False when OpenSSL refuses them.
bool trust_key_from_raw(const uint8_t* raw, TrustKey* key);

// Reads an Ed25519 public key from PEM text ("PUBLIC KEY"). False with
// `error` set ("not an Ed25519 public key ...") for anything else,
// including private keys and keys of other algorithms.
bool trust_key_from_pem(const std::string& pem, TrustKey* key, std::string* error);

// Reads the PEM file at `path` (at most 64 KiB) into `key`. False with
// `error` set, naming the path, when the file cannot be read or does not
// hold an Ed25519 public key.
bool trust_read_key_file(const char* path, TrustKey* key, std::string* error);

// Parses a whole signature file: lines of exactly "ed25519", one blank, 16
// hex digits, one blank and the 88-character canonical Base64 text of a
// 64-byte signature, each ended by a line feed (the last one may lack it).
// False with `error` set ("line N: what is wrong") when the file is empty or
// any line is malformed; `out` then holds nothing useful.
bool trust_parse_signatures(const std::string& text, std::vector<TrustSignature>* out,
                            std::string* error);

// The line for one signature, ending in a line feed.
std::string trust_format_signature(const TrustSignature& signature);

// True when `signature` is `key`'s Ed25519 signature over `size` bytes.
bool trust_verify(const TrustKey& key, const uint8_t* signature, const void* data, size_t size);

// The signature decision: true when some line of `signatures` is a valid
// signature of `document` by one of `keys` (a line's key id picks the key;
// lines for other key ids are skipped). Otherwise false with `error` saying
// why: the file is malformed, no line is by a trusted key, or the signature
// does not match.
bool trust_check_signatures(const std::string& document, const std::string& signatures,
                            const std::vector<TrustKey>& keys, std::string* error);

// The claims decision for a document whose signature verified: version 2 or
// higher; "document" equal to `requested`; a decimal "serial" not below
// `keptSerial` (null: none kept); an "expires" (when present) not before
// `now`. True with `serial` set, or false with `error` set.
bool trust_check_claims(const TrustClaims& claims, const char* requested, const char* keptSerial,
                        int64_t now, uint64_t* serial, std::string* error);

#endif  // UPDATER_LIBUPDATER_TRUST_H_
