// DataStream: one interface for a seekable sequence of bytes over a file
// opened by path, an open stdio handle, or a block of memory.
//
// A DataStream is a plain record of operations; call them through the record,
// passing the record itself (last for read and write, first otherwise). The
// record, a MemoryBlock and an autoClose flag belong to the stream and are
// released by its close(); after close() the stream no longer exists. A stream
// is used by one thread at a time; different streams are independent.
//
// File streams map onto stdio (fread, fwrite, fseeko64, ftello64, fflush,
// fclose); seek returns 0 on success. Memory streams never fail and never
// grow: reads and writes are cut at the end of the block, seek keeps the
// position within 0 and size (seeking to the end gives size) and returns 0.
// Records and blocks come from the plain heap.
#ifndef UPDATER_SRC_STREAMS_H_
#define UPDATER_SRC_STREAMS_H_

#include <cstdint>
#include <cstdio>

struct DataStream {
  // whence: 0 from the start, 1 from the current position, 2 from the end.
  int32_t (*seek)(DataStream* stream, int64_t offset, int32_t whence);
  // Number of bytes transferred; a short count means end of data or error.
  int64_t (*read)(void* buffer, uint64_t count, DataStream* stream);
  int64_t (*write)(const void* buffer, uint64_t count, DataStream* stream);
  int64_t (*tell)(DataStream* stream);
  // Pushes buffered data to the file (fflush); a memory stream has nothing to
  // push and returns 0.
  int32_t (*flush)(DataStream* stream);
  int32_t (*close)(DataStream* stream);
  void* handle;     // FILE* or MemoryBlock*
  bool* autoClose;  // only on streams over an open handle
};

struct MemoryBlock {
  uint8_t* data;
  bool owned;  // close() releases data too
  int64_t position;
  int64_t size;  // fixed for the stream's life
};

// Each constructor returns a new stream, released by its close(), or null
// when the heap cannot hold the record.
//
// Opens `path` with the fopen mode; null when it cannot be opened. The file
// belongs to the stream.
DataStream* stream_open_file(const char* path, const char* mode);
// Wraps an open handle; close() closes it only when autoClose is true, and
// otherwise leaves it open and the caller's. Null for a null handle.
DataStream* stream_from_handle(FILE* file, bool autoClose);
// A stream over a new zero-filled block of `size` bytes, owned by the stream.
// Null for a negative size.
DataStream* stream_new_memory(int64_t size);
// A stream over the caller's block, which stays the caller's and must outlive
// the stream. Null for a negative size or a null buffer with a size above 0.
DataStream* stream_from_memory(void* buffer, int64_t size);

#endif  // UPDATER_SRC_STREAMS_H_
