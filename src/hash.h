// Message digests written as lower-case hexadecimal text.
//
// MD5 is computed here; every other digest is reached by name through
// OpenSSL's EVP interface ("sha256" is what the updater uses). Files are read
// in 32768-byte pieces through one fixed buffer. No state is kept between
// calls, so calls on different threads do not interfere. Nothing here loads
// OpenSSL's digest table; the socket layer's library initialisation does.
#ifndef UPDATER_SRC_HASH_H_
#define UPDATER_SRC_HASH_H_

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct DataStream;

struct Md5Context {
  uint32_t state[4];
  uint32_t count[2];  // bits hashed so far, low word first
  uint8_t buffer[64];
};

struct HashContext {
  int64_t digestSize;
  int64_t blockSize;
  EVP_MD_CTX* context;
  const EVP_MD* digest;
};

void md5_init(Md5Context* ctx);
void md5_update(Md5Context* ctx, const void* data, uint32_t length);
// Writes the 16-byte digest and clears the context.
void md5_final(Md5Context* ctx, uint8_t digest[16]);
void md5_transform(uint32_t state[4], const uint8_t block[64]);
// The *hex outputs need 33 bytes; callers use 65-byte buffers.
bool md5_buffer(const void* data, uint32_t length, char* hex);
// Digests the whole stream from its start, its length measured by seeking to
// the end. False on a short read (`hex` then holds the digest of the pieces
// read before it) and when the stream cannot seek or tell.
bool md5_stream(DataStream* stream, char* hex);
// False, with `hex` untouched, when the file cannot be opened ("rb").
bool md5_file(const char* path, char* hex);
// False for a null handle. The handle is read from its start and stays open,
// its position left at the end of what was read.
bool md5_handle(FILE* file, char* hex);

// A new context for the named digest (plain heap, released by hash_final),
// or null when the name is unknown.
HashContext* hash_init(const char* name);
int hash_update(HashContext* ctx, const void* data, size_t length);
// Writes the raw digest (at most outLength bytes) and releases the context.
void hash_final(HashContext* ctx, uint8_t* out, size_t outLength);
// Each writes hex text into `hex` of `hexSize` bytes; false (nothing written)
// when the name is unknown or 2 * digest size + 1 exceeds hexSize. The
// stream, file and handle forms otherwise fail as the md5_ ones do.
bool hash_buffer(const char* name, const void* data, size_t length, char* hex, size_t hexSize);
bool hash_stream(const char* name, DataStream* stream, char* hex, size_t hexSize);
bool hash_file(const char* name, const char* path, char* hex, size_t hexSize);
bool hash_handle(const char* name, FILE* file, char* hex, size_t hexSize);
// Two lower-case hex characters per byte and a zero byte; in and out may
// overlap. At most 65535 bytes are converted. Returns out.
char* hash_to_hex(const void* bytes, size_t count, char* out);

#endif  // UPDATER_SRC_HASH_H_
