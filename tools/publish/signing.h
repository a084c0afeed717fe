// Signing update-info documents for updater-publish: Ed25519 key pairs made
// and loaded through OpenSSL's EVP interface, and the lines of the signature
// file published beside a document ("<document>.sig": one line
// "ed25519 KEYID BASE64-SIGNATURE" per key, the format the updater's trust
// module reads; see libupdater/trust.h). No shared state; safe on any thread
// for different keys and files.
#ifndef UPDATER_TOOLS_PUBLISH_SIGNING_H_
#define UPDATER_TOOLS_PUBLISH_SIGNING_H_

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "trust.h"

// A private signing key and its public half (raw bytes and key id).
struct SigningKey {
  std::shared_ptr<EVP_PKEY> key;
  TrustKey publicKey;
};

// Makes a fresh key pair and writes NAME.key (the private key, PEM, created
// with mode 0600 so that it is never readable by others) and NAME.pub (the
// public key, PEM, mode 0644). Refuses to overwrite either file. True with
// `id` set to the key id; false with `error` set, and nothing left behind.
bool NewKeyPair(const std::string& name, std::string* id, std::string* error);

// Reads an unencrypted Ed25519 private key in PEM form from `path`. False
// with `error` set (naming the path) for anything else.
bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error);

// One signature line per key over the exact bytes of `document`. False
// with `error` set when OpenSSL fails.
bool SignDocument(const std::vector<SigningKey>& keys, const std::string& document,
                  std::string* lines, std::string* error);

// The lines of an existing signature file `signatures` that are valid
// signatures of `document` by one of `keys`, or "" (also when the file is
// malformed). Used to keep the served document verifiable while it is
// being replaced.
std::string StillValidSignatures(const std::vector<SigningKey>& keys, const std::string& document,
                                 const std::string& signatures);

#endif  // UPDATER_TOOLS_PUBLISH_SIGNING_H_
