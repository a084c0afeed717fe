// INI files: "[section]" headers and "key=value" lines.
//
// There is no in-memory model: every read parses the whole text again and
// every write rewrites the whole file. Before parsing, CRs are removed, TABs
// become spaces and runs of spaces become one. Sections and keys are matched
// without regard to case. Reads hold the process-wide INI lock. A write
// replaces the file through a temporary file in the same directory, so a
// failed write leaves the old file whole. Lines written end in CR LF.
#ifndef UPDATER_SRC_INI_READER_H_
#define UPDATER_SRC_INI_READER_H_

#include <cstddef>
#include <cstdint>

// Copies the value (cut to size - 1) into `out` and returns `out`; when the
// key is missing, copies `defaultValue` or, without one, returns null.
char* IniGetStringFromText(const char* text, const char* section, const char* key, char* out,
                           size_t size, const char* defaultValue);
// As above for a file; a missing file gives the default, an unreadable or
// empty file gives null without touching `out`.
char* IniGetString(const char* path, const char* section, const char* key, char* out,
                   size_t size, const char* defaultValue);
int64_t IniGetInt(const char* path, const char* section, const char* key, int64_t defaultValue);
// 0 on success, -1 when the file cannot be read, written or created.
int IniWriteString(const char* path, const char* section, const char* key, const char* value);
int IniWriteInt(const char* path, const char* section, const char* key, int64_t value);

#endif  // UPDATER_SRC_INI_READER_H_
