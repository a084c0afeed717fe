// Shared inside the INI module only: the process-wide INI lock, the text
// rules every read and write applies (normalisation, headers, entries), the
// growing buffer a write builds its text in, the rewrite itself and the file
// operations beneath it.
//
// Thread-safety: the functions touch only their arguments; callers hold the
// INI lock around every read or write so that writers in one process never
// lose each other's entries and never see each other's temporary files.
#ifndef UPDATER_SRC_INI_READER_INTERNAL_H_
#define UPDATER_SRC_INI_READER_INTERNAL_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "locks.h"

namespace ini_reader {

// Larger files are taken as unreadable, and no write makes one: an INI file
// is a few lines.
constexpr size_t kMaxIniSize = 16 * 1024 * 1024;

// Made on first use, destroyed at exit.
RecursiveMutex& IniLock();

// ---- text (ini-reader-text.cpp) ---------------------------------------------

// Copies `length` bytes of `text` to `out` without CRs, with TABs as spaces
// and every run of spaces made one space; returns the length written. `out`
// needs room for `length` bytes and may be `text` itself.
size_t Normalise(const char* text, size_t length, char* out);
// A tracked, terminated, normalised copy of `text`; null when the text is
// longer than kMaxIniSize or the heap cannot hold the copy.
char* NormalisedCopy(const char* text);

struct Span {
  const char* start;
  size_t length;
};

// "[" first and a "]" anywhere.
bool IsHeader(const char* line);
// "[name]" followed by anything, the name compared without regard to case.
bool HeaderMatches(const char* line, const char* section);
// An entry's key and value without their outer spaces; false for a line
// without "=".
bool SplitEntry(const char* line, Span* key, Span* value);
// strcasecmp's order between a key span and a terminated key; 0 for keys
// equal without regard to case.
int CompareKey(Span key, const char* other);
// True for an entry whose key is `key`; an empty key never matches.
bool EntryHasKey(const char* line, const char* key, Span* value);

// Calls visit(line) for every line of normalised `text` (cut into lines in
// place, empty lines dropped) that reads search for entries of `section`:
// the lines after a matching header up to the next header, which itself is
// never taken for a new start. Stops when visit returns true, and then
// returns true.
template <typename Visit>
bool ForEachSectionLine(char* text, const char* section, Visit visit) {
  bool inSection = false;
  char* rest = nullptr;
  for (char* line = strtok_r(text, "\n", &rest); line != nullptr;
       line = strtok_r(nullptr, "\n", &rest)) {
    if (!inSection) {
      inSection = HeaderMatches(line, section);
    } else if (IsHeader(line)) {
      inSection = false;
    } else if (visit(line)) {
      return true;
    }
  }
  return false;
}

// The new file text, in a growing tracked buffer that never holds more than
// kMaxIniSize bytes: `failed` is set, and stays set, when it would.
struct OutText {
  char* data = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  bool failed = false;
};

void Append(OutText* out, const char* text, size_t length);
void Append(OutText* out, const char* text);
// Appends `text` normalised.
void AppendNormalised(OutText* out, const char* text);
void FreeOutText(OutText* out);

// ---- rewriting (ini-reader-rewrite.cpp) ----------------------------------------

// Builds in `out` the text that `count` (at least 1) single-key writes of
// keys[i]=values[i] to `section`, one after the other, would leave, from the
// normalised old text (tracked, "" for a new file; consumed and freed).
// False when memory runs out or the text would grow beyond kMaxIniSize;
// `out` is the caller's to free either way.
bool BuildWrittenText(char* text, const char* section, const char* const* keys,
                      const char* const* values, size_t count, OutText* out);

// ---- files (ini-reader-file.cpp) ----------------------------------------------

enum class FileRead {
  kRead,        // the text was read
  kMissing,     // there is no file
  kNotOpened,   // it could not be opened for another reason (errno tells)
  kUnreadable,  // opened, but empty, not regular, over kMaxIniSize, holding a
                // NUL byte, or not read in one piece
};

// Reads the whole file at `path` into tracked, terminated text (`*text`, the
// caller's) and its status (`info`, may be null).
FileRead ReadFileText(const char* path, char** text, struct stat* info);
// The file a write replaces, tracked: the target of a symbolic link, so the
// link stays; null when the heap cannot hold the name.
char* WriteTarget(const char* path);
// Puts `data` in place of `target` through a temporary file beside it,
// keeping the owner and permission bits of the old file (`old`, null when
// there is none). On failure the temporary file is removed and the old file
// stays as it was.
bool ReplaceFile(const char* target, const char* data, size_t length, const struct stat* old);
// Removes the temporary files of `target` that no running writer owns; the
// number removed, or -1 when the directory cannot be read.
int RemoveStaleTemporaries(const char* target);

}  // namespace ini_reader

#endif  // UPDATER_SRC_INI_READER_INTERNAL_H_
