#define MEMLEAK_SOURCE "memleak"
#include "memleak.h"

#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "GenLib.h"
#include "locks.h"

// Inside this module the names are the functions themselves.
#undef zmalloc
#undef zfree
#undef zrealloc
#undef zstrdup
#undef zwcsdup

namespace {

const unsigned char kGuard[16] = {'T', 'E', 'S', 'S', 'A', 'W', 'K', 'S',
                                  '_', 'M', 'E', 'M', 'L', 'E', 'A', 'K'};
const size_t kGuardSize = sizeof(kGuard);

// Caller's address -> record of its block, ordered so the report lists blocks
// by ascending address.
struct Registry {
  RecursiveMutex lock;
  std::map<const void*, MemLeakRecord*> blocks;
  uint64_t count = 0;
  uint64_t total = 0;
};

// The registry lives in static storage and is built by the first MemLeakInit
// (or by the first allocation, should one come before any of them), so that
// static objects of any translation unit may allocate in their constructors.
int init_count;
Registry* registry;
alignas(Registry) unsigned char registry_storage[sizeof(Registry)];

Registry& GetRegistry() {
  if (registry == nullptr) registry = new (registry_storage) Registry;
  return *registry;
}

// Allocations still to go before the one that MemLeakFailAt makes fail; 0
// when off. Constant-initialised, so usable before any static constructor.
std::atomic<uint64_t> fail_countdown{0};

// True when this allocation is the one the failure hook picks.
bool InjectedFailure() {
  uint64_t left = fail_countdown.load();
  while (left != 0) {
    if (fail_countdown.compare_exchange_weak(left, left - 1)) return left == 1;
  }
  return false;
}

// The whole block for `size` caller bytes, or 0 when that cannot be expressed.
size_t BlockSize(uint32_t size) {
  if (static_cast<uint64_t>(size) > SIZE_MAX - 2 * kGuardSize) return 0;
  return static_cast<size_t>(size) + 2 * kGuardSize;
}

void WriteGuards(unsigned char* block, uint32_t size) {
  memcpy(block, kGuard, kGuardSize);
  memcpy(block + kGuardSize + size, kGuard, kGuardSize);
}

void Message(int level, const char* text, const char* file, int line) {
  printf("MemLeak : Level %d Message : %s : File : %s:%d\n", level, text, file ? file : "(null)",
         line);
  fflush(stdout);
}

// Reports one damaged guard; `guard` points at its first byte.
void ReportCorruption(const MemLeakRecord* rec, const unsigned char* guard, const char* where,
                      const char* op, const char* file, int line, bool dump) {
  const unsigned char* g = guard;
  printf(
      "MemLeak : Level 2 Message : Warning! Pointer has been corrupted (%s, %s, "
      "%c%c%c%c%c%c%c%c)! : File : %s:%d\n",
      where, op, g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], file ? file : "(null)", line);
  char text[64];
  snprintf(text, sizeof(text), "^ Last FFL -> %s, size: %u, ptr: %p", rec->function, rec->size,
           rec->block);
  Message(2, text, rec->file, static_cast<int>(rec->line));
  if (dump) MemLeakHexDump(stdout, rec->block, static_cast<uint64_t>(rec->size) + 2 * kGuardSize);
}

// Checks both guards of a block that is no longer in the registry.
void CheckGuards(const MemLeakRecord* rec, const char* op, const char* file, int line, bool dump) {
  const unsigned char* block = static_cast<const unsigned char*>(rec->block);
  if (memcmp(block, kGuard, kGuardSize) != 0) {
    ReportCorruption(rec, block, "pre", op, file, line, dump);
  }
  const unsigned char* post = block + kGuardSize + rec->size;
  if (memcmp(post, kGuard, kGuardSize) != 0) {
    ReportCorruption(rec, post, "post", op, file, line, dump);
  }
}

// Checks, then frees a block and its record taken out of the registry.
void ReleaseRecord(MemLeakRecord* rec, const char* file, int line) {
  CheckGuards(rec, "zfree", file, line, true);
  free(rec->block);
  free(rec);
}

// Enters a block; false (nothing entered) when the map cannot grow.
bool Register(void* ptr, MemLeakRecord* rec) {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  try {
    reg.blocks[ptr] = rec;
  } catch (const std::bad_alloc&) {
    return false;
  }
  reg.count++;
  reg.total += rec->size;
  return true;
}

// Takes a block out of the registry; null when it is not registered.
MemLeakRecord* Unregister(const void* ptr) {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  auto it = reg.blocks.find(ptr);
  if (it == reg.blocks.end()) return nullptr;
  MemLeakRecord* rec = it->second;
  reg.blocks.erase(it);
  reg.count--;
  reg.total -= rec->size;
  return rec;
}

void FillRecord(MemLeakRecord* rec, const char* function, const char* file, int line,
                uint32_t size) {
  strlcpy(rec->function, function, sizeof(rec->function));
  strlcpy(rec->file, file ? file : "", sizeof(rec->file));
  rec->line = static_cast<uint32_t>(line);
  rec->size = size;
}

char* CopyText(const char* text, size_t length, const char* file, int line) {
  if (length >= UINT32_MAX) return nullptr;
  char* copy = static_cast<char*>(zmalloc(static_cast<uint32_t>(length + 1), file, line));
  if (copy != nullptr) memcpy(copy, text, length);
  return copy;
}

}  // namespace

MemLeakInit::MemLeakInit() {
  if (init_count++ == 0) GetRegistry();
}

MemLeakInit::~MemLeakInit() {
  if (--init_count == 0 && registry != nullptr) {
    registry->~Registry();
    registry = nullptr;
  }
}

void* zmalloc(uint32_t size, const char* file, int line) {
  size_t blockSize = BlockSize(size);
  if (size == 0 || blockSize == 0 || InjectedFailure()) return nullptr;
  MemLeakRecord* rec = static_cast<MemLeakRecord*>(calloc(1, sizeof(MemLeakRecord)));
  if (rec == nullptr) return nullptr;
  // calloc hands out fresh pages untouched, so even a huge block costs nothing
  // until it is used.
  unsigned char* block = static_cast<unsigned char*>(calloc(1, blockSize));
  if (block == nullptr) {
    free(rec);
    return nullptr;
  }
  WriteGuards(block, size);
  FillRecord(rec, "zmalloc", file, line, size);
  rec->block = block;
  void* ptr = block + kGuardSize;
  if (!Register(ptr, rec)) {
    free(block);
    free(rec);
    return nullptr;
  }
  return ptr;
}

void zfree(void* ptr, const char* file, int line) {
  MemLeakRecord* rec = Unregister(ptr);
  if (rec == nullptr) {
    Message(1, "Warning! Attempted to zfree() non-registered pointer!", file, line);
    return;
  }
  ReleaseRecord(rec, file, line);
}

// A failing resize of the plain heap leaves the old block as it was, still
// registered and owned by the caller, and returns null, like realloc.
void* zrealloc(void* ptr, uint32_t size, const char* file, int line) {
  if (ptr == nullptr) return zmalloc(size, file, line);
  if (size == 0) {
    zfree(ptr, file, line);
    return nullptr;
  }
  Registry& reg = GetRegistry();
  // The entry's node is taken out and put back under its new key, so entering
  // the resized block again cannot fail for want of memory.
  std::map<const void*, MemLeakRecord*>::node_type node;
  {
    ScopedLock lock(reg.lock);
    node = reg.blocks.extract(ptr);
  }
  if (node.empty()) {
    Message(2, "Warning! Attempted to zrealloc() an unregistered ptr!", file, line);
    return nullptr;
  }
  MemLeakRecord* rec = node.mapped();
  CheckGuards(rec, "zrealloc", file, line, false);
  size_t blockSize = BlockSize(size);
  unsigned char* block = blockSize != 0 && !InjectedFailure()
                             ? static_cast<unsigned char*>(realloc(rec->block, blockSize))
                             : nullptr;
  uint32_t oldSize = rec->size;
  if (block != nullptr) {
    WriteGuards(block, size);
    FillRecord(rec, "zrealloc", file, line, size);
    rec->block = block;
    node.key() = block + kGuardSize;
  }
  ScopedLock lock(reg.lock);
  reg.blocks.insert(std::move(node));
  reg.total = reg.total - oldSize + rec->size;
  return block != nullptr ? block + kGuardSize : nullptr;
}

char* zstrdup(const char* text, const char* file, int line) {
  if (text == nullptr) return nullptr;
  return CopyText(text, strlen(text), file, line);
}

wchar_t* zwcsdup(const wchar_t* text, const char* file, int line) {
  if (text == nullptr) return nullptr;
  size_t bytes = wcsbytes(text);
  if (bytes >= UINT32_MAX - sizeof(wchar_t)) return nullptr;
  uint32_t size = static_cast<uint32_t>(bytes + sizeof(wchar_t));
  wchar_t* copy = static_cast<wchar_t*>(zmalloc(size, file, line));
  if (copy != nullptr) memcpy(copy, text, bytes);
  return copy;
}

char* zvmprintf(const char* format, va_list args) {
  char* text = nullptr;
  if (format == nullptr || vasprintf(&text, format, args) < 0) {
    return zstrdup("vasprintf error", MEMLEAK_SOURCE, __LINE__);
  }
  char* copy = zstrdup(text, MEMLEAK_SOURCE, __LINE__);
  free(text);
  return copy;
}

char* zmprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = zvmprintf(format, args);
  va_end(args);
  return text;
}

void MemLeakHexDump(FILE* out, const void* data, uint64_t size) {
  if (out == nullptr) out = stdout;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (uint64_t row = 0; row < size; row += 16) {
    uint64_t n = size - row < 16 ? size - row : 16;
    fprintf(out, "%08" PRIx64 "h: ", row);
    for (uint64_t i = 0; i < 16; i++) {
      if (i < n) {
        fprintf(out, "%02X ", bytes[row + i]);
      } else {
        fputs("   ", out);
      }
    }
    fputs(" ; ", out);
    for (uint64_t i = 0; i < 16; i++) {
      unsigned char c = i < n ? bytes[row + i] : ' ';
      fputc(c < 32 || c >= 128 ? '.' : c, out);
    }
    fputc('\n', out);
  }
  fflush(out);
}

void MemLeakExit(FILE* out) {
  if (out == nullptr) out = stdout;
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  if (reg.blocks.empty()) {
    fputs("MemLeakExit() -> No Unfreed Ptrs Found (That is good)\n", out);
    fflush(out);
    return;
  }
  fputs("MemLeakExit() -> Beginning report of unfreed ptrs...\n", out);
  fflush(out);
  for (const auto& entry : reg.blocks) {
    const MemLeakRecord* rec = entry.second;
    fprintf(out, "Unfreed Ptr: 0x%p (len: %u), %s, %s, line %d\n", entry.first, rec->size,
            rec->function, GetFileName(rec->file), static_cast<int>(rec->line));
    fflush(out);
    MemLeakHexDump(out, entry.first, rec->size);
  }
  fputs("MemLeakExit() -> End of report...\n", out);
  fflush(out);
}

void MemLeakExitToFile(const char* path) {
  FILE* out = path ? fopen(path, "wb") : nullptr;
  if (out == nullptr) {
    printf("Error opening %s for output!!!\n", path ? path : "(null)");
    fflush(stdout);
    return;
  }
  MemLeakExit(out);
  fclose(out);
}

MemLeakRecord* MemLeakLookup(const void* ptr, bool remove) {
  if (remove) return Unregister(ptr);
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  auto it = reg.blocks.find(ptr);
  return it == reg.blocks.end() ? nullptr : it->second;
}

void MemLeakFreeAll(const char* file, int line) {
  char wanted[sizeof(MemLeakRecord::file)];
  strlcpy(wanted, file ? file : "", sizeof(wanted));
  std::vector<MemLeakRecord*> found;
  Registry& reg = GetRegistry();
  {
    ScopedLock lock(reg.lock);
    for (auto it = reg.blocks.begin(); it != reg.blocks.end();) {
      MemLeakRecord* rec = it->second;
      bool match = rec->line == static_cast<uint32_t>(line) && strcmp(rec->file, wanted) == 0;
      if (!match) {
        ++it;
        continue;
      }
      try {
        found.push_back(rec);
      } catch (const std::bad_alloc&) {
        break;  // what is left stays registered
      }
      reg.count--;
      reg.total -= rec->size;
      it = reg.blocks.erase(it);
    }
  }
  for (MemLeakRecord* rec : found) ReleaseRecord(rec, file, line);
}

uint64_t MemLeakCount() {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  return reg.count;
}

uint64_t MemLeakTotalSize() {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  return reg.total;
}

uint64_t MemLeakFailAt(uint64_t n) { return fail_countdown.exchange(n); }

void* pmalloc(uint32_t size) { return malloc(size); }

void* prealloc(void* ptr, uint32_t size) { return realloc(ptr, size); }

char* pstrdup(const char* text) { return text ? strdup(text) : nullptr; }

wchar_t* pwcsdup(const wchar_t* text) { return text ? wcsdup(text) : nullptr; }

void pfree(void* ptr) { free(ptr); }
