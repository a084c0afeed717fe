#include "GenLib.h"

#include <cstring>

const char* GetFileName(const char* path) {
  if (path == nullptr) return nullptr;
  const char* cut = strrchr(path, '/');
  if (cut == nullptr) cut = strrchr(path, '\\');
  return cut ? cut + 1 : path;
}

char* GetFileName(char* path) {
  return const_cast<char*>(GetFileName(static_cast<const char*>(path)));
}

const wchar_t* GetFileNameW(const wchar_t* path) {
  if (path == nullptr) return nullptr;
  const wchar_t* cut = wcsrchr(path, L'/');
  if (cut == nullptr) cut = wcsrchr(path, L'\\');
  return cut ? cut + 1 : path;
}

namespace {

// Replacement of a different length: the rest of the text moves, and only
// when the longer result still fits with its terminator.
int ReplaceResizing(char* buffer, size_t bufferSize, size_t length, const char* find,
                    size_t findLength, const char* replacement, size_t replacementLength) {
  int count = 0;
  char* scan = buffer;
  char* hit;
  while ((hit = strstr(scan, find)) != nullptr) {
    size_t newLength = length - findLength + replacementLength;
    if (newLength >= bufferSize) break;
    size_t tail = length - static_cast<size_t>(hit - buffer) - findLength + 1;
    memmove(hit + replacementLength, hit + findLength, tail);
    memcpy(hit, replacement, replacementLength);
    length = newLength;
    scan = hit + replacementLength;
    count++;
  }
  return count;
}

}  // namespace

int StrReplace(char* buffer, size_t bufferSize, const char* find, const char* replacement) {
  if (buffer == nullptr || find == nullptr || *find == '\0') return 0;
  if (replacement == nullptr) replacement = "";
  size_t length = strnlen(buffer, bufferSize);
  if (length >= bufferSize) return 0;  // not a terminated text within its buffer
  size_t findLength = strlen(find);
  size_t replacementLength = strlen(replacement);
  if (findLength != replacementLength) {
    return ReplaceResizing(buffer, bufferSize, length, find, findLength, replacement,
                           replacementLength);
  }
  int count = 0;
  char* scan = buffer;
  char* hit;
  while ((hit = strstr(scan, find)) != nullptr) {
    memcpy(hit, replacement, findLength);
    scan = hit + findLength;
    count++;
  }
  return count;
}

size_t strlcpy(char* dst, const char* src, size_t size) {
  size_t length = strlen(src);
  if (size != 0) {
    size_t n = length < size ? length : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
  }
  return length;
}

size_t strlcat(char* dst, const char* src, size_t size) {
  size_t used = strnlen(dst, size);
  size_t length = strlen(src);
  if (used == size) return size + length;
  size_t room = size - used - 1;
  size_t n = length < room ? length : room;
  memcpy(dst + used, src, n);
  dst[used + n] = '\0';
  return used + length;
}

int fseek64(FILE* file, int64_t offset, int whence) { return fseeko64(file, offset, whence); }

int64_t ftell64(FILE* file) { return ftello64(file); }

size_t wcsbytes(const wchar_t* text) { return text ? wcslen(text) * sizeof(wchar_t) : 0; }
