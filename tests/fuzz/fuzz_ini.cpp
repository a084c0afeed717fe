// Fuzzes the INI reader and writer. The input is a mode byte, then fields
// separated by 0x01 bytes: the old file text (NUL bytes included), the
// section, then keys and values in turn (at most eight pairs).
//
// Checks, beyond the sanitizers: a section read finds what single reads
// find; a multi-key write leaves exactly the bytes that single writes in turn
// leave, succeeds exactly when all of them do, and when it fails leaves the
// old file as it was; no write leaves a temporary file; no tracked block
// outlives an operation.
#include <dirent.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "ini-reader.h"
#include "memleak.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz_ini: %s\n", what);
  abort();
}

// Temporary files in `dir`: those of writes that did not clean up.
int CountTemporaries(const std::string& dir) {
  int count = 0;
  if (DIR* listing = opendir(dir.c_str())) {
    while (struct dirent* entry = readdir(listing)) {
      count += strstr(entry->d_name, ".tmp-") != nullptr;
    }
    closedir(listing);
  }
  return count;
}

void CheckReads(const std::string& text, const std::string& section,
                const std::vector<std::string>& keys) {
  IniSection found;
  if (IniReadSectionFromText(text.c_str(), section.c_str(), &found) != 0) return;
  std::vector<char> out(text.size() + 2);
  for (const std::string& key : keys) {
    const char* single = IniGetStringFromText(text.c_str(), section.c_str(), key.c_str(),
                                              out.data(), out.size(), nullptr);
    const char* many = IniSectionFind(&found, key.c_str());
    Check((single == nullptr) == (many == nullptr), "section read and single read disagree");
    Check(single == nullptr || strcmp(single, many) == 0, "section read found another value");
  }
  IniFreeSection(&found);
}

void CheckWrites(bool missing, const std::string& text, const std::string& section,
                 const std::vector<std::string>& keys, const std::vector<std::string>& values) {
  static const fuzz::TempDir dir;
  const std::string one = dir / "one.ini", many = dir / "many.ini";
  unlink(one.c_str());
  unlink(many.c_str());
  if (!missing) {
    dir.Put("one.ini", text);
    dir.Put("many.ini", text);
  }
  const std::string before = dir.Get("many.ini");
  bool allWritten = true;
  for (size_t i = 0; i < keys.size(); ++i) {
    allWritten =
        IniWriteString(one.c_str(), section.c_str(), keys[i].c_str(), values[i].c_str()) == 0 &&
        allWritten;
  }
  std::vector<const char*> keyTexts, valueTexts;
  for (size_t i = 0; i < keys.size(); ++i) {
    keyTexts.push_back(keys[i].c_str());
    valueTexts.push_back(values[i].c_str());
  }
  int result = IniWriteStrings(many.c_str(), section.c_str(), keyTexts.data(), valueTexts.data(),
                               keys.size());
  if (keys.empty() || result != 0) {
    Check(dir.Get("many.ini") == before, "a write of nothing, or a failed write, changed the file");
  }
  if (!keys.empty()) {
    Check((result == 0) == allWritten, "multi-key write disagrees on success");
    Check(result != 0 || dir.Get("many.ini") == dir.Get("one.ini"),
          "multi-key write left other bytes");
  }
  Check(CountTemporaries(dir.path()) == 0, "a write left a temporary file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  bool missing = (data[0] & 1) != 0;
  std::vector<std::string> fields(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0x01 && fields.size() < 18) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  const std::string& text = fields[0];
  std::string section = fields.size() > 1 ? fields[1].c_str() : "s";
  std::vector<std::string> keys, values;
  for (size_t i = 2; i + 1 < fields.size(); i += 2) {
    keys.push_back(fields[i].c_str());
    values.push_back(fields[i + 1].c_str());
  }

  uint64_t blocks = MemLeakCount();
  CheckReads(text, section, keys);
  Check(MemLeakCount() == blocks, "a read kept a tracked block");
  CheckWrites(missing, text, section, keys, values);
  Check(MemLeakCount() == blocks, "a write kept a tracked block");
  return 0;
}
