#define MEMLEAK_SOURCE "ini-reader"
// INI files: reads parse a normalised private copy of the whole text; writes
// build the whole new text in memory and put it in place through a temporary
// file in the same directory, renamed over the old one.
#include "ini-reader.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GenLib.h"
#include "ini-reader-internal.h"
#include "memleak.h"

using ini_reader::FileRead;
using ini_reader::FreeOutText;
using ini_reader::IniLock;
using ini_reader::NormalisedCopy;
using ini_reader::OutText;
using ini_reader::Span;

namespace {

// Finds the first entry `key` of `section` in normalised text, which is cut
// into lines in place.
bool FindValue(char* text, const char* section, const char* key, Span* value) {
  return ini_reader::ForEachSectionLine(
      text, section, [&](const char* line) { return ini_reader::EntryHasKey(line, key, value); });
}

// Clears `out` and fills it with `text` cut to size - 1; null without a text.
char* CopyOut(char* out, size_t size, const char* text, size_t length) {
  memset(out, 0, size);
  if (text == nullptr) return nullptr;
  memcpy(out, text, length < size - 1 ? length : size - 1);
  return out;
}

char* CopyDefault(char* out, size_t size, const char* defaultValue) {
  return CopyOut(out, size, defaultValue, defaultValue != nullptr ? strlen(defaultValue) : 0);
}

// A value as a number: what a 64-byte buffer holds of it, as strtoll reads
// it (saturated when out of range).
int64_t ParseNumber(const char* value) {
  char text[64];
  strlcpy(text, value, sizeof(text));
  return strtoll(text, nullptr, 10);
}

// Appends one entry to the section's arrays, growing them as needed; the key
// and value are terminated in place (the byte after each is a blank, the
// "=" already passed, or the end of the line).
bool AddEntry(IniSection* section, size_t* capacity, char* line, Span key, Span value) {
  if (section->count == *capacity) {
    size_t grown = *capacity > 0 ? *capacity * 2 : 16;
    if (grown > UINT32_MAX / sizeof(char*)) return false;
    uint32_t bytes = static_cast<uint32_t>(grown * sizeof(char*));
    void* keys = zrealloc(section->keys, bytes);
    if (keys != nullptr) section->keys = static_cast<char**>(keys);
    void* values = keys != nullptr ? zrealloc(section->values, bytes) : nullptr;
    if (values == nullptr) return false;
    section->values = static_cast<char**>(values);
    *capacity = grown;
  }
  char* keyText = line + (key.start - line);
  char* valueText = line + (value.start - line);
  keyText[key.length] = '\0';
  valueText[value.length] = '\0';
  section->keys[section->count] = keyText;
  section->values[section->count++] = valueText;
  return true;
}

// Collects the entries of `name` from the section's normalised text and
// orders them by key, equal keys in file order.
bool CollectEntries(IniSection* section, const char* name) {
  size_t capacity = 0;
  bool failed = ini_reader::ForEachSectionLine(section->text, name, [&](char* line) {
    Span key;
    Span value;
    if (!ini_reader::SplitEntry(line, &key, &value) || key.length == 0) return false;
    return !AddEntry(section, &capacity, line, key, value);
  });
  if (failed || section->count == 0) return !failed;
  section->order = static_cast<uint32_t*>(zmalloc(static_cast<uint32_t>(section->count * 4)));
  if (section->order == nullptr) return false;
  for (size_t i = 0; i < section->count; ++i) section->order[i] = static_cast<uint32_t>(i);
  char** keys = section->keys;
  std::sort(section->order, section->order + section->count, [keys](uint32_t a, uint32_t b) {
    int byKey = strcasecmp(keys[a], keys[b]);
    return byKey != 0 ? byKey < 0 : a < b;
  });
  return true;
}

bool HoldsLineBreak(const char* text) { return strpbrk(text, "\r\n") != nullptr; }

// A key whose line would read as another key's entry, or as a header, is
// refused like a line break: either would inject what the caller never set.
bool CanWrite(const char* section, const char* const* keys, const char* const* values,
              size_t count) {
  if (section == nullptr || HoldsLineBreak(section)) return false;
  if (count > 0 && (keys == nullptr || values == nullptr)) return false;
  for (size_t i = 0; i < count; ++i) {
    if (keys[i] == nullptr || values[i] == nullptr) return false;
    if (HoldsLineBreak(keys[i]) || HoldsLineBreak(values[i])) return false;
    if (keys[i][0] == '[' || strchr(keys[i], '=') != nullptr) return false;
  }
  return true;
}

// The write itself, on the resolved target, under the INI lock.
int WriteEntries(const char* target, const char* section, const char* const* keys,
                 const char* const* values, size_t count) {
  char* text = nullptr;
  struct stat info;
  FileRead read = ini_reader::ReadFileText(target, &text, &info);
  if (read == FileRead::kNotOpened) return -1;   // there may be a file we cannot see
  if (read == FileRead::kUnreadable) return -1;  // leave it as it is
  // A file we may not write stays as it is, though its directory would let
  // us replace it.
  if (read == FileRead::kRead && faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
    zfree(text);
    return -1;
  }
  if (read == FileRead::kRead) {
    text[ini_reader::Normalise(text, strlen(text), text)] = '\0';
  } else {
    text = zstrdup("");
    if (text == nullptr) return -1;
  }
  OutText out;
  bool ok = ini_reader::BuildWrittenText(text, section, keys, values, count, &out) &&
            ini_reader::ReplaceFile(target, out.data, out.length,
                                    read == FileRead::kRead ? &info : nullptr);
  FreeOutText(&out);
  return ok ? 0 : -1;
}

}  // namespace

char* IniGetStringFromText(const char* text, const char* section, const char* key, char* out,
                           size_t size, const char* defaultValue) {
  ScopedLock lock(IniLock());
  if (out == nullptr || size == 0) return nullptr;
  if (text == nullptr || section == nullptr || key == nullptr) {
    return CopyDefault(out, size, defaultValue);
  }
  memset(out, 0, size);
  char* copy = NormalisedCopy(text);
  if (copy == nullptr) return nullptr;
  Span value;
  char* result = FindValue(copy, section, key, &value)
                     ? CopyOut(out, size, value.start, value.length)
                     : CopyDefault(out, size, defaultValue);
  zfree(copy);
  return result;
}

char* IniGetString(const char* path, const char* section, const char* key, char* out, size_t size,
                   const char* defaultValue) {
  ScopedLock lock(IniLock());
  if (out == nullptr || size == 0 || path == nullptr) return nullptr;
  char* text = nullptr;
  FileRead read = ini_reader::ReadFileText(path, &text, nullptr);
  if (read == FileRead::kMissing || read == FileRead::kNotOpened) {
    return CopyDefault(out, size, defaultValue);
  }
  if (read == FileRead::kUnreadable) return nullptr;
  char* result = IniGetStringFromText(text, section, key, out, size, defaultValue);
  zfree(text);
  return result;
}

int64_t IniGetInt(const char* path, const char* section, const char* key, int64_t defaultValue) {
  ScopedLock lock(IniLock());
  char value[64];
  if (IniGetString(path, section, key, value, sizeof(value), nullptr) == nullptr) {
    return defaultValue;
  }
  return ParseNumber(value);
}

int IniReadSectionFromText(const char* text, const char* section, IniSection* out) {
  if (out == nullptr) return -1;
  *out = IniSection();
  if (text == nullptr || section == nullptr) return -1;
  ScopedLock lock(IniLock());
  out->text = NormalisedCopy(text);
  if (out->text != nullptr && CollectEntries(out, section)) return 0;
  IniFreeSection(out);
  return -1;
}

int IniReadSection(const char* path, const char* section, IniSection* out) {
  if (out == nullptr) return -1;
  *out = IniSection();
  if (path == nullptr || section == nullptr) return -1;
  ScopedLock lock(IniLock());
  char* text = nullptr;
  FileRead read = ini_reader::ReadFileText(path, &text, nullptr);
  if (read != FileRead::kRead) return read == FileRead::kMissing ? 0 : -1;
  int result = IniReadSectionFromText(text, section, out);
  zfree(text);
  return result;
}

const char* IniSectionFind(const IniSection* section, const char* key) {
  if (section == nullptr || key == nullptr || section->count == 0) return nullptr;
  char** keys = section->keys;
  const uint32_t* begin = section->order;
  const uint32_t* end = begin + section->count;
  const uint32_t* found = std::lower_bound(
      begin, end, key,
      [keys](uint32_t entry, const char* wanted) { return strcasecmp(keys[entry], wanted) < 0; });
  if (found == end || strcasecmp(keys[*found], key) != 0) return nullptr;
  return section->values[*found];
}

int64_t IniSectionGetInt(const IniSection* section, const char* key, int64_t defaultValue) {
  const char* value = IniSectionFind(section, key);
  return value != nullptr ? ParseNumber(value) : defaultValue;
}

void IniFreeSection(IniSection* section) {
  if (section == nullptr) return;
  if (section->keys != nullptr) zfree(section->keys);
  if (section->values != nullptr) zfree(section->values);
  if (section->text != nullptr) zfree(section->text);
  if (section->order != nullptr) zfree(section->order);
  *section = IniSection();
}

int IniWriteStrings(const char* path, const char* section, const char* const* keys,
                    const char* const* values, size_t count) {
  if (path == nullptr || !CanWrite(section, keys, values, count)) return -1;
  if (count == 0) return 0;
  // Held for the whole read-modify-write, so writers in one process never
  // lose each other's entries, and no temporary file of this process is in
  // flight while stale ones are removed.
  ScopedLock lock(IniLock());
  char* target = ini_reader::WriteTarget(path);
  if (target == nullptr) return -1;
  ini_reader::RemoveStaleTemporaries(target);
  int result = WriteEntries(target, section, keys, values, count);
  zfree(target);
  return result;
}

int IniWriteString(const char* path, const char* section, const char* key, const char* value) {
  return IniWriteStrings(path, section, &key, &value, 1);
}

int IniWriteInt(const char* path, const char* section, const char* key, int64_t value) {
  char text[64];
  snprintf(text, sizeof(text), "%" PRId64, value);
  return IniWriteString(path, section, key, text);
}

int IniRemoveStaleTemporaries(const char* path) {
  if (path == nullptr) return -1;
  ScopedLock lock(IniLock());
  char* target = ini_reader::WriteTarget(path);
  if (target == nullptr) return -1;
  int removed = ini_reader::RemoveStaleTemporaries(target);
  zfree(target);
  return removed;
}
