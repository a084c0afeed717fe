#define MEMLEAK_SOURCE "ini-reader"
// INI text: normalisation, the header and entry rules, and the growing buffer
// a write builds its text in.
#include <strings.h>

#include <cstring>

#include "ini-reader-internal.h"
#include "memleak.h"

namespace ini_reader {

RecursiveMutex& IniLock() {
  static RecursiveMutex lock;
  return lock;
}

// One pass: a space is dropped when the last byte kept is a space, so a run
// interrupted only by CRs or made of TABs collapses as well.
size_t Normalise(const char* text, size_t length, char* out) {
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '\r') continue;
    if (c == '\t') c = ' ';
    if (c == ' ' && used > 0 && out[used - 1] == ' ') continue;
    out[used++] = c;
  }
  return used;
}

char* NormalisedCopy(const char* text) {
  size_t length = strlen(text);
  if (length > kMaxIniSize) return nullptr;
  char* copy = static_cast<char*>(zmalloc(static_cast<uint32_t>(length + 1)));
  if (copy == nullptr) return nullptr;
  copy[Normalise(text, length, copy)] = '\0';
  return copy;
}

bool IsHeader(const char* line) { return line[0] == '[' && strchr(line, ']') != nullptr; }

bool HeaderMatches(const char* line, const char* section) {
  size_t length = strlen(section);
  return line[0] == '[' && strncasecmp(line + 1, section, length) == 0 && line[1 + length] == ']';
}

static Span Trimmed(const char* start, const char* end) {
  while (start < end && *start == ' ') ++start;
  while (end > start && end[-1] == ' ') --end;
  return Span{start, static_cast<size_t>(end - start)};
}

bool SplitEntry(const char* line, Span* key, Span* value) {
  const char* equals = strchr(line, '=');
  if (equals == nullptr) return false;
  *key = Trimmed(line, equals);
  *value = Trimmed(equals + 1, equals + strlen(equals));
  return true;
}

// The span holds no NUL, so strncasecmp stops early only at the end of
// `other`, where the longer span sorts after it, as strcasecmp would have it.
int CompareKey(Span key, const char* other) {
  int order = strncasecmp(key.start, other, key.length);
  if (order != 0) return order;
  return other[key.length] == '\0' ? 0 : -1;
}

bool EntryHasKey(const char* line, const char* key, Span* value) {
  Span found;
  Span ignored;
  if (!SplitEntry(line, &found, value != nullptr ? value : &ignored)) return false;
  return found.length > 0 && CompareKey(found, key) == 0;
}

// Room for `more` bytes and a terminator; false, with `failed` set, when the
// text would pass kMaxIniSize or the heap cannot hold it.
static bool Reserve(OutText* out, size_t more) {
  if (out->failed) return false;
  if (more > kMaxIniSize || out->length + more > kMaxIniSize) {
    out->failed = true;
    return false;
  }
  size_t needed = out->length + more + 1;
  if (needed <= out->capacity) return true;
  size_t capacity = out->capacity > 0 ? out->capacity : 256;
  while (capacity < needed) capacity *= 2;
  void* grown = zrealloc(out->data, static_cast<uint32_t>(capacity));
  if (grown == nullptr) {
    out->failed = true;
    return false;
  }
  out->data = static_cast<char*>(grown);
  out->capacity = capacity;
  return true;
}

void Append(OutText* out, const char* text, size_t length) {
  if (!Reserve(out, length)) return;
  memcpy(out->data + out->length, text, length);
  out->length += length;
  out->data[out->length] = '\0';
}

void Append(OutText* out, const char* text) { Append(out, text, strlen(text)); }

void AppendNormalised(OutText* out, const char* text) {
  size_t length = strlen(text);
  if (!Reserve(out, length)) return;
  out->length += Normalise(text, length, out->data + out->length);
  out->data[out->length] = '\0';
}

void FreeOutText(OutText* out) {
  if (out->data != nullptr) zfree(out->data);
  *out = OutText();
}

}  // namespace ini_reader
