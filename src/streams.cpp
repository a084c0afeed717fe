// DataStream constructors and the operations of file, handle and memory
// streams. Records, memory blocks and autoClose flags come from the plain heap
// (calloc), so a memory stream may be larger than a tracked block can be.
#include "streams.h"

#include <cstdlib>
#include <cstring>

namespace {

// ---- streams over a stdio handle ----------------------------------------

FILE* FileOf(DataStream* stream) { return static_cast<FILE*>(stream->handle); }

int32_t FileSeek(DataStream* stream, int64_t offset, int32_t whence) {
  return fseeko64(FileOf(stream), offset, whence);
}

int64_t FileRead(void* buffer, uint64_t count, DataStream* stream) {
  return static_cast<int64_t>(fread(buffer, 1, count, FileOf(stream)));
}

int64_t FileWrite(const void* buffer, uint64_t count, DataStream* stream) {
  return static_cast<int64_t>(fwrite(buffer, 1, count, FileOf(stream)));
}

int64_t FileTell(DataStream* stream) { return ftello64(FileOf(stream)); }

int32_t FileFlush(DataStream* stream) { return fflush(FileOf(stream)); }

// A stream opened by path owns its file.
int32_t FileClose(DataStream* stream) {
  FILE* file = FileOf(stream);
  free(stream);
  return fclose(file);
}

// A wrapped handle stays the caller's unless autoClose was asked for.
int32_t HandleClose(DataStream* stream) {
  FILE* file = FileOf(stream);
  bool closeFile = stream->autoClose != nullptr && *stream->autoClose;
  free(stream->autoClose);
  free(stream);
  return closeFile ? fclose(file) : 0;
}

// ---- streams over a memory block ------------------------------------------

MemoryBlock* BlockOf(DataStream* stream) { return static_cast<MemoryBlock*>(stream->handle); }

// The number of bytes a transfer of `count` may move from the position on.
uint64_t MemoryRoom(const MemoryBlock* block, uint64_t count) {
  if (block->position >= block->size) return 0;
  uint64_t room = static_cast<uint64_t>(block->size - block->position);
  return count < room ? count : room;
}

int32_t MemorySeek(DataStream* stream, int64_t offset, int32_t whence) {
  MemoryBlock* block = BlockOf(stream);
  int64_t base;
  switch (whence) {
    case 0:
      base = 0;
      break;
    case 1:
      base = block->position;
      break;
    case 2:
      base = block->size;
      break;
    default:
      return 0;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? 0 : block->size;
  // The end itself is a valid position, so seek-to-end then tell gives the size.
  if (target > block->size) target = block->size;
  if (target < 0) target = 0;
  block->position = target;
  return 0;
}

int64_t MemoryRead(void* buffer, uint64_t count, DataStream* stream) {
  MemoryBlock* block = BlockOf(stream);
  uint64_t n = MemoryRoom(block, count);
  if (n == 0) return 0;
  memcpy(buffer, block->data + block->position, n);
  block->position += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

// The block never grows: only what fits is stored.
int64_t MemoryWrite(const void* buffer, uint64_t count, DataStream* stream) {
  MemoryBlock* block = BlockOf(stream);
  uint64_t n = MemoryRoom(block, count);
  if (n == 0) return 0;
  memcpy(block->data + block->position, buffer, n);
  block->position += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

int64_t MemoryTell(DataStream* stream) { return BlockOf(stream)->position; }

// Memory holds no buffered data; flushing has nothing to do.
int32_t MemoryFlush(DataStream* stream) { return 0; }

int32_t MemoryClose(DataStream* stream) {
  MemoryBlock* block = BlockOf(stream);
  if (block->owned) free(block->data);
  free(block);
  free(stream);
  return 0;
}

DataStream* NewFileStream(FILE* file) {
  DataStream* stream = static_cast<DataStream*>(calloc(1, sizeof(DataStream)));
  if (stream == nullptr) return nullptr;
  stream->seek = FileSeek;
  stream->read = FileRead;
  stream->write = FileWrite;
  stream->tell = FileTell;
  stream->flush = FileFlush;
  stream->close = FileClose;
  stream->handle = file;
  return stream;
}

DataStream* NewMemoryStream(uint8_t* data, int64_t size, bool owned) {
  DataStream* stream = static_cast<DataStream*>(calloc(1, sizeof(DataStream)));
  MemoryBlock* block = static_cast<MemoryBlock*>(calloc(1, sizeof(MemoryBlock)));
  if (stream == nullptr || block == nullptr) {
    free(stream);
    free(block);
    return nullptr;
  }
  block->data = data;
  block->owned = owned;
  block->position = 0;
  block->size = size;
  stream->seek = MemorySeek;
  stream->read = MemoryRead;
  stream->write = MemoryWrite;
  stream->tell = MemoryTell;
  stream->flush = MemoryFlush;
  stream->close = MemoryClose;
  stream->handle = block;
  return stream;
}

}  // namespace

DataStream* stream_open_file(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  FILE* file = fopen64(path, mode);
  if (file == nullptr) return nullptr;
  DataStream* stream = NewFileStream(file);
  if (stream == nullptr) fclose(file);
  return stream;
}

DataStream* stream_from_handle(FILE* file, bool autoClose) {
  if (file == nullptr) return nullptr;
  DataStream* stream = NewFileStream(file);
  bool* flag = static_cast<bool*>(malloc(sizeof(bool)));
  if (stream == nullptr || flag == nullptr) {
    free(stream);
    free(flag);
    return nullptr;
  }
  *flag = autoClose;
  stream->close = HandleClose;
  stream->autoClose = flag;
  return stream;
}

DataStream* stream_new_memory(int64_t size) {
  if (size < 0) return nullptr;
  // One byte at least, so a block of size 0 still has an address.
  uint8_t* data = static_cast<uint8_t*>(calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
  if (data == nullptr) return nullptr;
  DataStream* stream = NewMemoryStream(data, size, true);
  if (stream == nullptr) free(data);
  return stream;
}

DataStream* stream_from_memory(void* buffer, int64_t size) {
  if (size < 0 || (buffer == nullptr && size > 0)) return nullptr;
  return NewMemoryStream(static_cast<uint8_t*>(buffer), size, false);
}
