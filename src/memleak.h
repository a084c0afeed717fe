// Tracked allocation and leak report.
//
// Every tracked block is registered with the source file and line that asked
// for it and is fenced by two 16-byte guards ("TESSAWKS_MEMLEAK") that are
// checked when the block is freed or resized. The registry can be printed as
// a leak report. Blocks from zmalloc are zero-filled and must be released with
// zfree. All calls are thread-safe: the registry is guarded by one recursive
// lock, and the registry exists before main() and outlives every static object
// of a translation unit that includes this header.
//
// Call the macros, not the functions: zmalloc(n) records the caller's source
// position. A module may define MEMLEAK_SOURCE before including this header to
// register its blocks under a module name instead of the file name.
#ifndef UPDATER_SRC_MEMLEAK_H_
#define UPDATER_SRC_MEMLEAK_H_

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>

// One record per live block, taken from the plain heap.
struct MemLeakRecord {
  char file[256];     // source file of the last allocation or resize
  char function[16];  // "zmalloc" or "zrealloc"
  uint32_t line;
  uint32_t size;  // size of the caller's data
  void* block;    // start of the whole block (the first guard)
};

// Returns a zero-filled block of `size` bytes, or null for size 0 or when the
// heap cannot meet the request (nothing is registered then).
void* zmalloc(uint32_t size, const char* file, int line);
// Frees a tracked block. An unregistered pointer (null included) is reported
// at level 1 and left alone; damaged guards are reported, the block is freed.
void zfree(void* ptr, const char* file, int line);
// Resizes a tracked block; null behaves as zmalloc, size 0 as zfree (null is
// returned). An unregistered pointer is reported and null returned. When the
// heap cannot meet the new size, null is returned and the old block stays
// valid and registered, as with realloc. Bytes added at the end are not
// cleared.
void* zrealloc(void* ptr, uint32_t size, const char* file, int line);
// Tracked copies; null when the copy cannot be made.
char* zstrdup(const char* text, const char* file, int line);
wchar_t* zwcsdup(const wchar_t* text, const char* file, int line);
// Tracked formatted text; "vasprintf error" when formatting fails. The
// block is registered under this module's own source position.
char* zmprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* zvmprintf(const char* format, va_list args);

// Prints the leak report to `out` (standard output when null), blocks in
// ascending address order, each followed by a hex dump of its data.
void MemLeakExit(FILE* out);
// Prints the leak report into the file at `path` (created or truncated);
// "Error opening %s for output!!!" goes to standard output when it cannot be
// opened.
void MemLeakExitToFile(const char* path);
// The record of a registered pointer, or null. The record stays owned by the
// registry and is valid only while the block is. With `remove` set the entry
// is taken out of the registry (count and total drop); the block itself is
// kept, and the caller then owns both the record and record->block, which
// come from the plain heap and are released with pfree.
MemLeakRecord* MemLeakLookup(const void* ptr, bool remove);
// zfree of every registered block that was made (or last resized) at
// `file`:`line` (the file compared as kept, cut to 255 characters).
void MemLeakFreeAll(const char* file, int line);
// Live block count and the total of their sizes.
uint64_t MemLeakCount();
uint64_t MemLeakTotalSize();
// Prints `size` bytes at `data` as a hex dump (rows of 16) to `out`.
void MemLeakHexDump(FILE* out, const void* data, uint64_t size);

// Test hook for allocation-failure tests: the n-th tracked allocation from now
// (counted over all threads: zmalloc, a resize by zrealloc, and everything
// built on them) fails as if the heap were exhausted; the ones after it
// succeed again. 0 turns the hook off. Returns how many allocations the
// previous setting still had to go (0 when it had fired or was off), so that
// a test can tell whether a run reached the n-th allocation at all.
uint64_t MemLeakFailAt(uint64_t n);

// Plain heap wrappers, for blocks that must not be tracked.
void* pmalloc(uint32_t size);
void* prealloc(void* ptr, uint32_t size);
char* pstrdup(const char* text);
wchar_t* pwcsdup(const wchar_t* text);
void pfree(void* ptr);

// Keeps the registry alive from before the first static constructor of any
// translation unit that includes this header until after its last destructor.
class MemLeakInit {
 public:
  MemLeakInit();
  ~MemLeakInit();
};
static MemLeakInit memleak_init_instance;

#ifndef MEMLEAK_SOURCE
#define MEMLEAK_SOURCE __FILE__
#endif
#define zmalloc(size) zmalloc((size), MEMLEAK_SOURCE, __LINE__)
#define zfree(ptr) zfree((ptr), MEMLEAK_SOURCE, __LINE__)
#define zrealloc(ptr, size) zrealloc((ptr), (size), MEMLEAK_SOURCE, __LINE__)
#define zstrdup(text) zstrdup((text), MEMLEAK_SOURCE, __LINE__)
#define zwcsdup(text) zwcsdup((text), MEMLEAK_SOURCE, __LINE__)

#endif  // UPDATER_SRC_MEMLEAK_H_
