#define MEMLEAK_SOURCE "libupdater"
// Names of packs in the pack directory.
#include "pack_names.h"

#include "GenLib.h"
#include "hash.h"
#include "memleak.h"
#include "updater.h"

const char kPackDirectory[] = "tmp/updater";

PackNames::PackNames(const UpdateFile* files) {
  for (const UpdateFile* file = files; file != nullptr; file = file->next) {
    ++counts_[GetFileName(file->url.c_str())];
  }
}

std::string PackNames::For(const UpdateFile* file) const {
  std::string name = GetFileName(file->url.c_str());
  std::map<std::string, int>::const_iterator found = counts_.find(name);
  if (found == counts_.end() || found->second < 2) return name;
  char hex[65] = {};
  md5_buffer(file->path.data(), static_cast<uint32_t>(file->path.size()), hex);
  return name + "-" + std::string(hex, 8);
}
