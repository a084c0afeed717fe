// Small text and path helpers shared by the support library and the engine.
// All functions are reentrant and keep no state.
#ifndef UPDATER_SRC_GENLIB_H_
#define UPDATER_SRC_GENLIB_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>

// The part of `path` after its last '/', else after its last '\\', else the
// whole text. The result points into `path` (null for null).
const char* GetFileName(const char* path);
char* GetFileName(char* path);
const wchar_t* GetFileNameW(const wchar_t* path);

// Replaces every occurrence of `find` in the text held in `buffer` (of
// `bufferSize` bytes) by `replacement`, scanning left to right and resuming
// after each inserted replacement. Stops at the first replacement that would
// not fit with its terminator. Returns the number of replacements made; 0
// when `find` is empty or the buffer holds no terminated text. A null
// replacement counts as empty text.
int StrReplace(char* buffer, size_t bufferSize, const char* find, const char* replacement);

// BSD semantics: copy/append within size - 1 characters, always terminated
// when size is not 0; return the length the result would have had.
size_t strlcpy(char* dst, const char* src, size_t size);
size_t strlcat(char* dst, const char* src, size_t size);

// Large-file positioning on a stdio handle.
int fseek64(FILE* file, int64_t offset, int whence);
int64_t ftell64(FILE* file);

// Length of a wide text in bytes (four per character), without the terminator.
size_t wcsbytes(const wchar_t* text);

#endif  // UPDATER_SRC_GENLIB_H_
