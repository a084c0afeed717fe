// INI files: "[section]" headers and "key=value" lines.
//
// There is no lasting in-memory model: every read parses the whole text again
// and every write rewrites the whole file. Before parsing, CRs are removed,
// TABs become spaces and runs of spaces become one. Sections and keys are
// matched without regard to case. Every operation holds the process-wide INI
// lock, so writers in one process never lose each other's entries. A write
// builds the new text in memory and replaces the file through a temporary
// file in the same directory (through a symbolic link, its target), keeping
// the old file's owner and permission bits, so a failed write leaves the old
// file whole. The temporary file is named "<file>.tmp-<pid>-<tag>"; one that
// a killed writer left behind is removed by the next write of the same file.
// Lines written end in CR LF. Files over 16 MiB, and files holding a NUL
// byte, count as unreadable; no write makes a file over 16 MiB.
#ifndef UPDATER_SRC_INI_READER_H_
#define UPDATER_SRC_INI_READER_H_

#include <cstddef>
#include <cstdint>

// Clears `out`, copies the value (cut to size - 1) into it and returns `out`;
// when the key is missing, copies `defaultValue` or, without one, returns
// null. Null also for a null `out` or a size of 0.
char* IniGetStringFromText(const char* text, const char* section, const char* key, char* out,
                           size_t size, const char* defaultValue);
// As above for a file; a missing file gives the default, an unreadable or
// empty file gives null without touching `out`.
char* IniGetString(const char* path, const char* section, const char* key, char* out, size_t size,
                   const char* defaultValue);
// The value parsed as a signed decimal number (leading blanks skipped, stops
// at the first non-digit, 0 without digits; the first 63 characters count);
// the default when the value is missing as IniGetString reports it.
int64_t IniGetInt(const char* path, const char* section, const char* key, int64_t defaultValue);

// One section read whole, for callers that look up many keys: the entries
// that single reads search, in file order, keys and values as those reads
// return them. The caller owns it; every member is private except these.
struct IniSection {
  size_t count;
  char** keys;    // never empty
  char** values;  // may be empty
  char* text;
  uint32_t* order;
};
// Fills `out` (always, so that IniFreeSection may follow) and returns 0;
// a missing section gives no entries. -1, with no entries, for null
// arguments or when memory runs out.
int IniReadSectionFromText(const char* text, const char* section, IniSection* out);
// As above for a file: a missing file gives no entries and 0; -1 for a file
// that cannot be read (empty, unreadable or as above).
int IniReadSection(const char* path, const char* section, IniSection* out);
// The value IniGetString would return for `key` (the first entry whose key
// equals it without regard to case), in O(log count); null when there is
// none. It lives as long as the section.
const char* IniSectionFind(const IniSection* section, const char* key);
// The value parsed as IniGetInt parses it; `defaultValue` without one.
int64_t IniSectionGetInt(const IniSection* section, const char* key, int64_t defaultValue);
// Releases what the section holds and leaves it empty; null is ignored.
void IniFreeSection(IniSection* section);

// Sets key=value in the section: every entry of the key in the section is
// replaced; otherwise the entry closes the section, or a new section is
// appended. A missing file is created. 0 on success, -1 when the file cannot
// be read (an existing empty file included, which stays as it is), written
// or created, when the section, key or value holds a CR or LF, when the key
// holds "=" or begins with "[" (its line would read as another entry or a
// header), or when the file would grow beyond 16 MiB; the old file is then
// unchanged.
int IniWriteString(const char* path, const char* section, const char* key, const char* value);
int IniWriteInt(const char* path, const char* section, const char* key, int64_t value);
// Sets keys[i]=values[i] for every i below `count`, in one rewrite of the
// file, leaving the very bytes that IniWriteString for each pair in turn
// would leave. All or nothing: -1 as above for any pair (or null arrays),
// and the old file is then unchanged. A count of 0 writes nothing and
// returns 0. The cost is linear in the file and the pairs when the section
// and the keys read back as themselves (no TAB, no two blanks in a row, keys
// not empty, without outer blanks); other writes are made pair by pair in
// memory.
int IniWriteStrings(const char* path, const char* section, const char* const* keys,
                    const char* const* values, size_t count);
// Removes the temporary files of the INI file at `path` (through a symbolic
// link, of its target) that no writer owns any more: those of processes that
// have ended and whose file lock nobody holds. Never follows a link, removes
// only regular files. Writes do this themselves. The number removed, or -1
// when the directory cannot be read.
int IniRemoveStaleTemporaries(const char* path);

#endif  // UPDATER_SRC_INI_READER_H_
