// INI files: "[section]" headers and "key=value" lines.
//
// There is no in-memory model: every read parses the whole text again and
// every write rewrites the whole file. Before parsing, CRs are removed, TABs
// become spaces and runs of spaces become one. Sections and keys are matched
// without regard to case. Every operation holds the process-wide INI lock,
// so writers in one process never lose each other's entries. A write builds
// the new text in memory and replaces the file through a temporary file in
// the same directory (through a symbolic link, its target), keeping the old
// file's owner and permission bits, so a failed write leaves the old file
// whole. Lines written end in CR LF. Files over 16 MiB count as unreadable.
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
// at the first non-digit, 0 without digits); the default when the value is
// missing as IniGetString reports it.
int64_t IniGetInt(const char* path, const char* section, const char* key, int64_t defaultValue);
// Sets key=value in the section: every entry of the key in the section is
// replaced; otherwise the entry closes the section, or a new section is
// appended. A missing file is created. 0 on success, -1 when the file cannot
// be read (an existing empty file included, which stays as it is), written
// or created; the old file is then unchanged.
int IniWriteString(const char* path, const char* section, const char* key, const char* value);
int IniWriteInt(const char* path, const char* section, const char* key, int64_t value);

#endif  // UPDATER_SRC_INI_READER_H_
