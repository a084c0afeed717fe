// Ed25519 key pairs and document signatures for updater-publish.
#include "signing.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "GenLib.h"

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// The public half of `key` as a trusted-key record (raw bytes and id).
bool PublicHalf(EVP_PKEY* key, TrustKey* out) {
  uint8_t raw[kTrustKeySize];
  size_t length = sizeof(raw);
  return EVP_PKEY_get_raw_public_key(key, raw, &length) == 1 && length == sizeof(raw) &&
         trust_key_from_raw(raw, out);
}

// Creates `path` exclusively with `mode` (no link followed) and writes the
// key with `write`. On failure the file is removed again.
template <typename Writer>
bool WriteNewPem(const std::string& path, mode_t mode, Writer write, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = SystemError("cannot create", path);
    return false;
  }
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    *error = SystemError("cannot create", path);
    close(fd);
    unlink(path.c_str());
    return false;
  }
  bool ok = write(file) == 1;
  ok = fclose(file) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + path;
    unlink(path.c_str());
  }
  return ok;
}

// Never asks for a passphrase: an encrypted key simply fails to load.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

bool NewKeyPair(const std::string& name, std::string* id, std::string* error) {
  const std::string secret = name + ".key", shared = name + ".pub";
  struct stat info;
  for (const std::string& path : {secret, shared}) {
    if (lstat(path.c_str(), &info) == 0) {
      *error = path + " already exists; not overwriting it";
      return false;
    }
  }
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  TrustKey publicKey;
  if (key == nullptr || !PublicHalf(key.get(), &publicKey)) {
    ERR_clear_error();
    *error = "cannot make an Ed25519 key";
    return false;
  }
  EVP_PKEY* raw = key.get();
  if (!WriteNewPem(
          secret, 0600,
          [raw](FILE* f) {
            return PEM_write_PrivateKey(f, raw, nullptr, nullptr, 0, nullptr, nullptr);
          },
          error)) {
    return false;
  }
  if (!WriteNewPem(
          shared, 0644, [raw](FILE* f) { return PEM_write_PUBKEY(f, raw); }, error)) {
    unlink(secret.c_str());
    return false;
  }
  *id = publicKey.id;
  return true;
}

bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = SystemError("cannot read", path);
    return false;
  }
  EVP_PKEY* loaded = PEM_read_PrivateKey(file, nullptr, NoPassphrase, nullptr);
  fclose(file);
  key->key.reset(loaded, EVP_PKEY_free);
  bool ok =
      loaded != nullptr && EVP_PKEY_is_a(loaded, "ED25519") && PublicHalf(loaded, &key->publicKey);
  ERR_clear_error();
  if (!ok) *error = path + " is not an unencrypted Ed25519 private key in PEM form";
  return ok;
}

bool SignDocument(const std::vector<SigningKey>& keys, const std::string& document,
                  std::string* lines, std::string* error) {
  lines->clear();
  for (const SigningKey& key : keys) {
    TrustSignature line;
    strlcpy(line.keyId, key.publicKey.id, sizeof(line.keyId));
    size_t length = sizeof(line.signature);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr &&
              EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key.key.get()) == 1 &&
              EVP_DigestSign(context, line.signature, &length,
                             reinterpret_cast<const unsigned char*>(document.data()),
                             document.size()) == 1 &&
              length == sizeof(line.signature);
    EVP_MD_CTX_free(context);
    ERR_clear_error();
    if (!ok) {
      *error = std::string("cannot sign with key ") + key.publicKey.id;
      return false;
    }
    *lines += trust_format_signature(line);
  }
  return true;
}

std::string StillValidSignatures(const std::vector<SigningKey>& keys, const std::string& document,
                                 const std::string& signatures) {
  std::vector<TrustSignature> lines;
  std::string error, kept;
  if (!trust_parse_signatures(signatures, &lines, &error)) return "";
  for (const TrustSignature& line : lines) {
    for (const SigningKey& key : keys) {
      if (strcasecmp(line.keyId, key.publicKey.id) == 0 &&
          trust_verify(key.publicKey, line.signature, document.data(), document.size())) {
        kept += trust_format_signature(line);
        break;
      }
    }
  }
  return kept;
}
