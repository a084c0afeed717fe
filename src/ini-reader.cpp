#define MEMLEAK_SOURCE "ini-reader"
// INI files: reads parse a normalised private copy of the whole text; writes
// build the whole new text in memory and put it in place through a temporary
// file in the same directory, renamed over the old one.
#include "ini-reader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "GenLib.h"
#include "locks.h"
#include "memleak.h"

namespace {

// Larger files are taken as unreadable: an INI file is a few lines.
constexpr int64_t kMaxIniSize = 16 * 1024 * 1024;

// The process-wide INI lock, made on first use and destroyed at exit.
RecursiveMutex& IniLock() {
  static RecursiveMutex lock;
  return lock;
}

// ---- reading and normalising ------------------------------------------------

// The whole content of a regular file as tracked, terminated text; null when
// it cannot be read in one piece, is empty or is larger than kMaxIniSize.
char* ReadWholeFile(FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  if (info.st_size <= 0 || info.st_size > kMaxIniSize) return nullptr;
  size_t size = static_cast<size_t>(info.st_size);
  char* text = static_cast<char*>(zmalloc(static_cast<uint32_t>(size + 1)));
  if (text == nullptr) return nullptr;
  if (fread(text, 1, size, file) != size) {
    zfree(text);
    return nullptr;
  }
  text[size] = '\0';
  return text;
}

// A tracked copy without CRs, with TABs as spaces and every run of spaces
// made one space; null when the heap cannot hold it.
char* NormalisedCopy(const char* text) {
  size_t size = strlen(text) + 1;
  if (size > static_cast<size_t>(kMaxIniSize) + 1) return nullptr;
  char* copy = static_cast<char*>(zmalloc(static_cast<uint32_t>(size)));
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, size);
  StrReplace(copy, size, "\r", "");
  StrReplace(copy, size, "\t", " ");
  while (StrReplace(copy, size, "  ", " ") > 0) {
  }
  return copy;
}

// ---- lines ----------------------------------------------------------------

struct Span {
  const char* start;
  size_t length;
};

bool IsHeader(const char* line) { return line[0] == '[' && strchr(line, ']') != nullptr; }

// "[name]" followed by anything, the name compared without regard to case.
bool HeaderMatches(const char* line, const char* section) {
  size_t length = strlen(section);
  return line[0] == '[' && strncasecmp(line + 1, section, length) == 0 && line[1 + length] == ']';
}

Span Trimmed(const char* start, const char* end) {
  while (start < end && *start == ' ') ++start;
  while (end > start && end[-1] == ' ') --end;
  return Span{start, static_cast<size_t>(end - start)};
}

// An entry's key and value without their outer spaces; false for a line
// without "=".
bool SplitEntry(const char* line, Span* key, Span* value) {
  const char* equals = strchr(line, '=');
  if (equals == nullptr) return false;
  *key = Trimmed(line, equals);
  *value = Trimmed(equals + 1, equals + strlen(equals));
  return true;
}

// True for an entry whose key is `key`; an empty key never matches.
bool EntryHasKey(const char* line, const char* key, Span* value) {
  Span found;
  Span ignored;
  if (!SplitEntry(line, &found, value != nullptr ? value : &ignored)) return false;
  return found.length > 0 && found.length == strlen(key) &&
         strncasecmp(found.start, key, found.length) == 0;
}

// Finds the first entry `key` of `section` in normalised text, which is cut
// into lines in place.
bool FindValue(char* text, const char* section, const char* key, Span* value) {
  bool inSection = false;
  char* rest = nullptr;
  for (char* line = strtok_r(text, "\n", &rest); line != nullptr;
       line = strtok_r(nullptr, "\n", &rest)) {
    if (!inSection) {
      inSection = HeaderMatches(line, section);
    } else if (IsHeader(line)) {
      inSection = false;
    } else if (EntryHasKey(line, key, value)) {
      return true;
    }
  }
  return false;
}

// Clears `out` and fills it with `text` cut to size - 1; null without a text.
char* CopyOut(char* out, size_t size, const char* text, size_t length) {
  memset(out, 0, size);
  if (text == nullptr) return nullptr;
  memcpy(out, text, length < size - 1 ? length : size - 1);
  return out;
}

// ---- writing ----------------------------------------------------------------

// The new file text, built in a growing tracked buffer.
struct OutText {
  char* data = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  bool failed = false;
};

void Append(OutText* out, const char* text) {
  size_t length = strlen(text);
  if (out->failed) return;
  if (out->length + length + 1 > out->capacity) {
    size_t capacity = out->capacity > 0 ? out->capacity : 256;
    while (capacity < out->length + length + 1) capacity *= 2;
    void* grown = capacity > UINT32_MAX ? nullptr : zrealloc(out->data, capacity);
    if (grown == nullptr) {
      out->failed = true;
      return;
    }
    out->data = static_cast<char*>(grown);
    out->capacity = capacity;
  }
  memcpy(out->data + out->length, text, length + 1);
  out->length += length;
}

void AppendLine(OutText* out, const char* line) {
  Append(out, line);
  Append(out, "\r\n");
}

void AppendEntry(OutText* out, const char* key, const char* value) {
  Append(out, key);
  Append(out, "=");
  Append(out, value);
  Append(out, "\r\n");
}

// Writes the normalised old text back with the entry set: every entry of the
// key in the section is replaced; without one the entry closes the section,
// followed by one empty line; without the section, it is appended.
void Rewrite(char* text, const char* section, const char* key, const char* value, OutText* out) {
  bool inSection = false;
  bool written = false;
  char* rest = nullptr;
  for (char* line = strtok_r(text, "\n", &rest); line != nullptr;
       line = strtok_r(nullptr, "\n", &rest)) {
    if (!inSection) {
      inSection = HeaderMatches(line, section);
      AppendLine(out, line);
    } else if (IsHeader(line)) {
      if (!written) {
        AppendEntry(out, key, value);
        Append(out, "\r\n");
        written = true;
      }
      inSection = false;
      AppendLine(out, line);
    } else if (EntryHasKey(line, key, nullptr)) {
      AppendEntry(out, key, value);
      written = true;
    } else {
      AppendLine(out, line);
    }
  }
  if (written) return;
  if (!inSection) {
    Append(out, "[");
    Append(out, section);
    Append(out, "]\r\n");
  }
  AppendEntry(out, key, value);
}

// The file a write replaces: the target of a symbolic link, so the link stays.
char* WriteTarget(const char* path) {
  struct stat info;
  if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
    char* real = realpath(path, nullptr);
    if (real != nullptr) {
      char* copy = zstrdup(real);
      free(real);
      return copy;
    }
  }
  return zstrdup(path);
}

// Creates "<target>.xxxxxx" exclusively; the name goes into `name`.
int CreateTemporary(const char* target, char* name, size_t size, mode_t mode) {
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint32_t tag = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(getpid()) << 8 ^
                   counter.fetch_add(1) * 2654435761u;
    snprintf(name, size, "%s.%06x", target, tag & 0xffffff);
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Makes the rename itself durable; a failure here loses nothing.
void SyncDirectory(const char* target) {
  char* directory = zstrdup(target);
  if (directory == nullptr) return;
  char* slash = strrchr(directory, '/');
  const char* name = ".";
  if (slash != nullptr) {
    slash[slash == directory ? 1 : 0] = '\0';
    name = directory;
  }
  int fd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  zfree(directory);
}

// Puts `data` in place of `target` through a temporary file beside it, keeping
// the owner and permission bits of the old file when there is one (`old`). On
// failure the temporary file is removed and the old file stays as it was.
bool ReplaceFile(const char* target, const char* data, size_t length, const struct stat* old) {
  size_t size = strlen(target) + 8;
  char* temporary = static_cast<char*>(zmalloc(static_cast<uint32_t>(size)));
  if (temporary == nullptr) return false;
  int fd = CreateTemporary(target, temporary, size, old != nullptr ? old->st_mode & 0777 : 0666);
  if (fd < 0) {
    zfree(temporary);
    return false;
  }
  bool ok = WriteAll(fd, data, length);
  if (ok && old != nullptr) {
    if (old->st_uid != geteuid() || old->st_gid != getegid()) {
      if (fchown(fd, old->st_uid, old->st_gid) != 0) {
        // Not permitted for an ordinary user; the file then becomes theirs.
      }
    }
    ok = fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary, target) == 0;
  if (ok) {
    SyncDirectory(target);
  } else {
    unlink(temporary);
  }
  zfree(temporary);
  return ok;
}

// The write itself, on the resolved target, under the INI lock.
int WriteEntry(const char* target, const char* section, const char* key, const char* value) {
  char* text = nullptr;
  struct stat info;
  bool existed = false;
  FILE* file = fopen(target, "rb");
  if (file != nullptr) {
    existed = fstat(fileno(file), &info) == 0;
    char* old = existed ? ReadWholeFile(file) : nullptr;
    fclose(file);
    if (old == nullptr) return -1;  // unreadable or empty: leave it as it is
    // A file we may not write stays as it is, though its directory would let
    // us replace it.
    if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
      zfree(old);
      return -1;
    }
    text = NormalisedCopy(old);
    zfree(old);
    if (text == nullptr) return -1;
  } else if (errno != ENOENT) {
    return -1;  // there may be a file we cannot see; never replace it blindly
  }

  OutText out;
  char empty[1] = {'\0'};
  Rewrite(text != nullptr ? text : empty, section, key, value, &out);
  if (text != nullptr) zfree(text);
  bool ok = !out.failed && ReplaceFile(target, out.data, out.length, existed ? &info : nullptr);
  if (out.data != nullptr) zfree(out.data);
  return ok ? 0 : -1;
}

}  // namespace

char* IniGetStringFromText(const char* text, const char* section, const char* key, char* out,
                           size_t size, const char* defaultValue) {
  ScopedLock lock(IniLock());
  if (out == nullptr || size == 0) return nullptr;
  if (text == nullptr || section == nullptr || key == nullptr) {
    return CopyOut(out, size, defaultValue, defaultValue ? strlen(defaultValue) : 0);
  }
  memset(out, 0, size);
  char* copy = NormalisedCopy(text);
  if (copy == nullptr) return nullptr;
  Span value;
  char* result;
  if (FindValue(copy, section, key, &value)) {
    result = CopyOut(out, size, value.start, value.length);
  } else {
    result = CopyOut(out, size, defaultValue, defaultValue ? strlen(defaultValue) : 0);
  }
  zfree(copy);
  return result;
}

char* IniGetString(const char* path, const char* section, const char* key, char* out, size_t size,
                   const char* defaultValue) {
  ScopedLock lock(IniLock());
  if (out == nullptr || size == 0 || path == nullptr) return nullptr;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    return CopyOut(out, size, defaultValue, defaultValue ? strlen(defaultValue) : 0);
  }
  char* text = ReadWholeFile(file);
  fclose(file);
  if (text == nullptr) return nullptr;
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
  return strtoll(value, nullptr, 10);
}

int IniWriteString(const char* path, const char* section, const char* key, const char* value) {
  if (path == nullptr || section == nullptr || key == nullptr || value == nullptr) return -1;
  // Held for the whole read-modify-write, so writers in one process never
  // lose each other's entries.
  ScopedLock lock(IniLock());
  char* target = WriteTarget(path);
  if (target == nullptr) return -1;
  int result = WriteEntry(target, section, key, value);
  zfree(target);
  return result;
}

int IniWriteInt(const char* path, const char* section, const char* key, int64_t value) {
  char text[64];
  snprintf(text, sizeof(text), "%" PRId64, value);
  return IniWriteString(path, section, key, text);
}
