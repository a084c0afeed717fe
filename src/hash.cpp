// Digests of memory blocks, streams, files and open handles as hex text: MD5
// from md5.cpp and every other digest by name through OpenSSL's EVP interface.
#include "hash.h"

#include <cstdlib>
#include <cstring>

#include "streams.h"

namespace {

// Streams are hashed in pieces of this size through one fixed buffer.
constexpr size_t kPieceSize = 32768;
// hash_to_hex never converts more bytes than this.
constexpr size_t kMaxHexBytes = 65535;

// Adds one piece to the digest in progress.
using AddPiece = void (*)(void* digest, const uint8_t* data, size_t length);

void AddMd5Piece(void* digest, const uint8_t* data, size_t length) {
  md5_update(static_cast<Md5Context*>(digest), data, static_cast<uint32_t>(length));
}

void AddHashPiece(void* digest, const uint8_t* data, size_t length) {
  hash_update(static_cast<HashContext*>(digest), data, length);
}

// Feeds the whole stream, measured by seeking to its end, to `add`. False on
// a short read, after the pieces before it were added, and when the stream
// cannot be measured (a pipe, say), so a failure is never taken for the digest
// of empty input.
bool DigestStream(DataStream* stream, AddPiece add, void* digest) {
  if (stream->seek(stream, 0, 2) != 0) return false;
  int64_t remaining = stream->tell(stream);
  if (remaining < 0 || stream->seek(stream, 0, 0) != 0) return false;

  uint8_t piece[kPieceSize];
  while (remaining > 0) {
    uint64_t want = remaining < static_cast<int64_t>(kPieceSize) ? remaining : kPieceSize;
    if (stream->read(piece, want, stream) != static_cast<int64_t>(want)) return false;
    add(digest, piece, want);
    remaining -= static_cast<int64_t>(want);
  }
  return true;
}

// Starts the named digest and checks that its hex text fits in hexSize bytes;
// null when the name is unknown or the output too small.
HashContext* StartNamedDigest(const char* name, size_t hexSize) {
  HashContext* ctx = hash_init(name);
  if (ctx == nullptr) return nullptr;
  if (2 * static_cast<uint64_t>(ctx->digestSize) + 1 > hexSize) {
    EVP_MD_CTX_destroy(ctx->context);
    free(ctx);
    return nullptr;
  }
  return ctx;
}

// Finishes the digest and writes its hex text, which fits by StartNamedDigest.
void FinishNamedDigest(HashContext* ctx, char* hex) {
  uint8_t raw[EVP_MAX_MD_SIZE];
  size_t size = static_cast<size_t>(ctx->digestSize);
  hash_final(ctx, raw, sizeof(raw));
  hash_to_hex(raw, size, hex);
}

void FinishMd5(Md5Context* ctx, char* hex) {
  uint8_t raw[16];
  md5_final(ctx, raw);
  hash_to_hex(raw, sizeof(raw), hex);
}

}  // namespace

// ---- MD5 ------------------------------------------------------------------

bool md5_buffer(const void* data, uint32_t length, char* hex) {
  Md5Context ctx;
  md5_init(&ctx);
  md5_update(&ctx, data, length);
  FinishMd5(&ctx, hex);
  return true;
}

bool md5_stream(DataStream* stream, char* hex) {
  if (stream == nullptr) return false;
  Md5Context ctx;
  md5_init(&ctx);
  bool complete = DigestStream(stream, AddMd5Piece, &ctx);
  FinishMd5(&ctx, hex);
  return complete;
}

bool md5_file(const char* path, char* hex) {
  DataStream* stream = stream_open_file(path, "rb");
  if (stream == nullptr) return false;
  bool complete = md5_stream(stream, hex);
  stream->close(stream);
  return complete;
}

bool md5_handle(FILE* file, char* hex) {
  DataStream* stream = stream_from_handle(file, false);
  if (stream == nullptr) return false;
  bool complete = md5_stream(stream, hex);
  stream->close(stream);
  return complete;
}

// ---- digests by name ---------------------------------------------------------

HashContext* hash_init(const char* name) {
  if (name == nullptr) return nullptr;
  EVP_MD_CTX* context = EVP_MD_CTX_create();
  if (context == nullptr) return nullptr;
  const EVP_MD* digest = EVP_get_digestbyname(name);
  if (digest == nullptr || EVP_DigestInit_ex(context, digest, nullptr) != 1) {
    EVP_MD_CTX_destroy(context);
    return nullptr;
  }
  HashContext* ctx = static_cast<HashContext*>(calloc(1, sizeof(HashContext)));
  if (ctx == nullptr) {
    EVP_MD_CTX_destroy(context);
    return nullptr;
  }
  ctx->digestSize = EVP_MD_size(digest);
  ctx->blockSize = EVP_MD_block_size(digest);
  ctx->context = context;
  ctx->digest = digest;
  return ctx;
}

int hash_update(HashContext* ctx, const void* data, size_t length) {
  if (ctx == nullptr) return 0;
  return EVP_DigestUpdate(ctx->context, data, length);
}

void hash_final(HashContext* ctx, uint8_t* out, size_t outLength) {
  if (ctx == nullptr) return;
  uint8_t raw[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx->context, raw, &size) == 1 && out != nullptr) {
    memcpy(out, raw, size < outLength ? size : outLength);
  }
  EVP_MD_CTX_destroy(ctx->context);
  free(ctx);
}

bool hash_buffer(const char* name, const void* data, size_t length, char* hex, size_t hexSize) {
  HashContext* ctx = StartNamedDigest(name, hexSize);
  if (ctx == nullptr) return false;
  hash_update(ctx, data, length);
  FinishNamedDigest(ctx, hex);
  return true;
}

bool hash_stream(const char* name, DataStream* stream, char* hex, size_t hexSize) {
  if (stream == nullptr) return false;
  HashContext* ctx = StartNamedDigest(name, hexSize);
  if (ctx == nullptr) return false;
  bool complete = DigestStream(stream, AddHashPiece, ctx);
  FinishNamedDigest(ctx, hex);
  return complete;
}

bool hash_file(const char* name, const char* path, char* hex, size_t hexSize) {
  DataStream* stream = stream_open_file(path, "rb");
  if (stream == nullptr) return false;
  bool complete = hash_stream(name, stream, hex, hexSize);
  stream->close(stream);
  return complete;
}

bool hash_handle(const char* name, FILE* file, char* hex, size_t hexSize) {
  DataStream* stream = stream_from_handle(file, false);
  if (stream == nullptr) return false;
  bool complete = hash_stream(name, stream, hex, hexSize);
  stream->close(stream);
  return complete;
}

char* hash_to_hex(const void* bytes, size_t count, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  if (count > kMaxHexBytes) count = kMaxHexBytes;
  // The input is copied first, so it may share storage with the output.
  uint8_t small[64];
  uint8_t* copy = count <= sizeof(small) ? small : static_cast<uint8_t*>(malloc(count));
  if (copy == nullptr) {
    out[0] = '\0';
    return out;
  }
  if (count > 0) memcpy(copy, bytes, count);
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = kDigits[copy[i] >> 4];
    out[2 * i + 1] = kDigits[copy[i] & 15];
  }
  out[2 * count] = '\0';
  if (copy != small) free(copy);
  return out;
}
