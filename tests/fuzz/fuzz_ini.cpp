// Fuzz target: the INI reader and writer. Input: a mode byte (bit 0: no old
// file), then fields split by 0x01: the old file text, the section, then up
// to eight keys and values in turn. A section read finds what single reads
// find; a multi-key write leaves the bytes single writes in turn leave,
// succeeds exactly when they all do, else leaves the file, and never leaves
// a temporary file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "ini-reader.h"

namespace {

void CheckWrites(bool missing, const std::string& text, const char* section,
                 const std::vector<const char*>& keys, const std::vector<const char*>& values) {
  const std::string one = fuzz::Dir() + "/one.ini", many = fuzz::Dir() + "/many.ini";
  for (const std::string& path : {one, many}) {
    unlink(path.c_str());
    if (!missing && !e2e::WriteFile(path, text)) fuzz::Die("old file");
  }
  bool allWritten = true;
  for (size_t i = 0; i < keys.size(); ++i) {
    allWritten = IniWriteString(one.c_str(), section, keys[i], values[i]) == 0 && allWritten;
  }
  const std::string before = e2e::ReadFile(many);
  bool written =
      IniWriteStrings(many.c_str(), section, keys.data(), values.data(), keys.size()) == 0;
  if (!keys.empty() && written != allWritten) abort();
  if (e2e::ReadFile(many) != (keys.empty() || !written ? before : e2e::ReadFile(one))) abort();
  for (const auto& entry : std::filesystem::directory_iterator(fuzz::Dir())) {
    const std::string name = entry.path().filename();
    if (name != "one.ini" && name != "many.ini") abort();  // a temporary file left
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  std::vector<std::string> fields(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0x01 && fields.size() < 18) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  // Keys, values and the section end at their first NUL byte.
  const char *text = fields[0].c_str(), *section = fields.size() > 1 ? fields[1].c_str() : "s";
  std::vector<const char*> keys, values;
  for (size_t i = 2; i + 1 < fields.size(); i += 2) {
    keys.push_back(fields[i].c_str());
    values.push_back(fields[i + 1].c_str());
  }
  fuzz::InputScope scope;
  IniSection found;
  if (IniReadSectionFromText(text, section, &found) == 0) {
    std::vector<char> out(fields[0].size() + 2);
    for (const char* key : keys) {
      const char* one = IniGetStringFromText(text, section, key, out.data(), out.size(), nullptr);
      const char* many = IniSectionFind(&found, key);
      if (one != many && (one == nullptr || many == nullptr || strcmp(one, many) != 0)) abort();
    }
    IniFreeSection(&found);
  }
  CheckWrites((data[0] & 1) != 0, fields[0], section, keys, values);
  return 0;
}
