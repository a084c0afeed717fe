#define MEMLEAK_SOURCE "libupdater"
// Unpacking: a pack is a zlib stream of the whole file, enciphered with RC4
// when the file has a key. It is deciphered and inflated in memory in one
// pass each.
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "GenLib.h"
#include "memleak.h"
#include "rc4.h"
#include "updater.h"

namespace {

// Reads the whole file at `path` into a tracked block; `length` receives its
// size. A zero-length file gives a one-byte block. Null on failure, with
// `opened` telling whether the file could be opened at all.
uint8_t* ReadWhole(const char* path, uint32_t* length, bool* opened) {
  FILE* file = fopen(path, "rb");
  *opened = file != nullptr;
  if (file == nullptr) return nullptr;
  int64_t size = -1;
  if (fseek64(file, 0, SEEK_END) == 0) size = ftell64(file);
  fseek64(file, 0, SEEK_SET);
  uint8_t* data = nullptr;
  // The tracked allocator takes 32-bit sizes; larger packs count as unreadable.
  if (size >= 0 && size < 0xFFFFFFFFLL) data = static_cast<uint8_t*>(zmalloc(size + 1));
  if (data == nullptr || fread(data, 1, size, file) != static_cast<size_t>(size)) {
    if (errno == 0) errno = EIO;
    if (data != nullptr) zfree(data);
    data = nullptr;
  }
  fclose(file);
  *length = static_cast<uint32_t>(size);
  return data;
}

}  // namespace

bool Updater::UnpackFile(const char* source, const char* destination, const char* key,
                         uint32_t size) {
  ScopedLock lock(this->lock);
  uint32_t packLength = 0;
  bool opened = false;
  errno = 0;
  uint8_t* pack = ReadWhole(source, &packLength, &opened);
  if (!opened) {
    SetError("Error opening %s for read!", source);
    return false;
  }
  if (pack == nullptr) {
    SetError("Error reading file data! (%s)", strerror(errno));
    return false;
  }
  // The source is closed before the destination is opened, so both may be
  // one path.
  FILE* out = fopen(destination, "wb");
  if (out == nullptr) {
    zfree(pack);
    SetError("Error opening %s for write!", destination);
    return false;
  }
  if (key != nullptr && key[0] != '\0') {
    // The key field holds 16 bytes; a shorter key text is padded with zeros.
    uint8_t keyBytes[16] = {};
    memcpy(keyBytes, key, strnlen(key, sizeof(keyBytes)));
    Rc4State state;
    memset(&state, 0, sizeof(state));
    rc4_set_key(&state, sizeof(keyBytes), keyBytes);
    rc4_crypt(&state, packLength, pack, pack);
  }
  // zmalloc refuses size 0; one spare byte keeps the buffer valid then.
  uint8_t* plain = static_cast<uint8_t*>(zmalloc(size == 0xFFFFFFFFu ? size : size + 1));
  uLongf plainLength = size;
  int result = plain != nullptr ? uncompress(plain, &plainLength, pack, packLength) : Z_MEM_ERROR;
  zfree(pack);
  bool ok = result == Z_OK;
  if (!ok) {
    SetError("Error uncompressing data (%d)", result);
  } else if (fwrite(plain, 1, plainLength, out) != plainLength || fflush(out) != 0) {
    SetError("Error writing file data! (%s)", strerror(errno));
    ok = false;
  }
  if (plain != nullptr) zfree(plain);
  if (fclose(out) != 0 && ok) {
    SetError("Error writing file data! (%s)", strerror(errno));
    ok = false;
  }
  return ok;
}
