#define MEMLEAK_SOURCE "libupdater"
// Local install state: the group selection kept in the INI file, and the
// creation of missing directories.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GenLib.h"
#include "ini-reader.h"
#include "memleak.h"
#include "updater.h"

namespace {

const char kGroupsSection[] = "groups";

}  // namespace

bool Updater::ReadGroupState(UpdateGroup* group) {
  if (iniFile.empty()) return true;
  char fallback[16];
  snprintf(fallback, sizeof(fallback), "%d", static_cast<int>(group->state));
  char text[64];
  if (IniGetString(iniFile.c_str(), kGroupsSection, group->name.c_str(), text, sizeof(text),
                   fallback) == nullptr) {
    // The file is there but could not be read whole (out of memory, an I/O
    // error, no regular file). Taking the document's defaults instead could
    // delete files of a group the user keeps; an empty file holds nothing.
    struct stat info;
    if (stat(iniFile.c_str(), &info) == 0 && info.st_size != 0) return false;
    strlcpy(text, fallback, sizeof(text));
  }
  int64_t stored = strtoll(text, nullptr, 10);
  // Taken as an unsigned 32-bit number, anything from 3 on (negatives too)
  // is no known state.
  uint32_t value = static_cast<uint32_t>(stored);
  group->state = value <= Remove ? static_cast<GroupState>(value) : None;
  return true;
}

bool Updater::SaveState() {
  ScopedLock lock(this->lock);
  if (iniFile.empty()) return true;
  for (UpdateGroup* group = groups; group != nullptr; group = group->next) {
    char value[16];
    snprintf(value, sizeof(value), "%d", static_cast<int>(group->state));
    IniWriteString(iniFile.c_str(), kGroupsSection, group->name.c_str(), value);
  }
  return true;
}

void Updater::MakeDirs(const char* path) {
  ScopedLock lock(this->lock);
  char copy[1024];
  // A longer path is refused whole: creating a cut-off prefix of it would
  // make directories nobody asked for.
  if (path == nullptr || strlcpy(copy, path, sizeof(copy)) >= sizeof(copy)) return;
  char built[1024] = "";
  if (copy[0] == '/') strlcpy(built, "/", sizeof(built));
  char* save = nullptr;
  for (char* piece = strtok_r(copy, "/", &save); piece != nullptr;
       piece = strtok_r(nullptr, "/", &save)) {
    size_t length = strlen(built);
    if (length > 0 && built[length - 1] != '/') strlcat(built, "/", sizeof(built));
    strlcat(built, piece, sizeof(built));
    // A directory that cannot be made shows up when a file in it is opened.
    if (access(built, F_OK) != 0) mkdir(built, 0755);
  }
}
