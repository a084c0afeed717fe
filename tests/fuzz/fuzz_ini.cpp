// Fuzz target: the INI reader and writer. The input is a mode byte (bit 0:
// no old file), then fields separated by 0x01 bytes: the old file text (NUL
// bytes included), the section, then keys and values in turn (at most eight
// pairs). A section read must find what single reads find; a multi-key write
// must leave the bytes that single writes in turn leave, succeed exactly when
// all of them do, leave the old file as it was when it fails, and leave no
// temporary file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "ini-reader.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz_ini: %s\n", what);
  abort();
}

std::string Contents(const std::string& path) {
  return access(path.c_str(), F_OK) == 0 ? e2e::ReadFile(path) : "<missing>";
}

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
  const std::string before = Contents(many);
  int result = IniWriteStrings(many.c_str(), section, keys.data(), values.data(), keys.size());
  Check(keys.empty() || (result == 0) == allWritten, "multi-key write disagrees on success");
  Check(Contents(many) == (keys.empty() || result != 0 ? before : Contents(one)),
        "a multi-key write left other bytes");
  for (const auto& entry : std::filesystem::directory_iterator(fuzz::Dir())) {
    const std::string name = entry.path().filename();
    Check(name == "one.ini" || name == "many.ini", "a write left a temporary file");
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
  const char* section = fields.size() > 1 ? fields[1].c_str() : "s";
  const char* text = fields[0].c_str();
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
      const char* single =
          IniGetStringFromText(text, section, key, out.data(), out.size(), nullptr);
      const char* many = IniSectionFind(&found, key);
      Check(single == many || (single && many && strcmp(single, many) == 0),
            "a section read and a single read disagree");
    }
    IniFreeSection(&found);
  }
  CheckWrites((data[0] & 1) != 0, fields[0], section, keys, values);
  return 0;
}
