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

// Longest "%d" of a 32-bit state, with its terminator.
constexpr size_t kStateText = 12;

}  // namespace

Updater::StoredStates::StoredStates(Updater* updater)
    : updater(updater), reader(!updater->storedStatesRead) {
  if (!reader) return;
  updater->storedStatesBroken = false;
  if (!updater->iniFile.empty() &&
      IniReadSection(updater->iniFile.c_str(), kGroupsSection, &updater->storedStates) != 0) {
    IniFreeSection(&updater->storedStates);
    // The file is there but could not be read whole (out of memory, an I/O
    // error, a NUL byte, no regular file). Taking the document's defaults
    // instead could delete files of a group the user keeps; an empty file
    // holds nothing.
    struct stat info;
    updater->storedStatesBroken = stat(updater->iniFile.c_str(), &info) == 0 && info.st_size != 0;
  }
  updater->storedStatesRead = true;
}

Updater::StoredStates::~StoredStates() {
  if (!reader) return;
  IniFreeSection(&updater->storedStates);
  updater->storedStatesRead = false;
}

bool Updater::ReadGroupState(UpdateGroup* group) {
  if (iniFile.empty()) return true;
  StoredStates stored(this);
  if (storedStatesBroken) return false;
  int64_t value = IniSectionGetInt(&storedStates, group->name.c_str(), group->state);
  // Judged as the full number: anything but a known state, however large or
  // negative, is none.
  group->state = value >= None && value <= Remove ? static_cast<GroupState>(value) : None;
  return true;
}

bool Updater::SaveState() {
  ScopedLock lock(this->lock);
  if (iniFile.empty() || dryRun) return true;
  size_t count = 0;
  for (UpdateGroup* group = groups; group != nullptr; group = group->next) ++count;
  if (count == 0) return true;
  // One block: the key and value pointers, then the value texts.
  size_t each = 2 * sizeof(const char*) + kStateText;
  if (count > UINT32_MAX / each) return true;
  void* block = zmalloc(static_cast<uint32_t>(count * each));
  if (block == nullptr) return true;
  const char** keys = static_cast<const char**>(block);
  const char** values = keys + count;
  char* texts = reinterpret_cast<char*>(values + count);
  size_t i = 0;
  for (UpdateGroup* group = groups; group != nullptr; group = group->next, ++i) {
    char* text = texts + i * kStateText;
    snprintf(text, kStateText, "%d", static_cast<int>(group->state));
    keys[i] = group->name.c_str();
    values[i] = text;
  }
  // All groups in one rewrite, the same bytes as one write per group in
  // list order.
  IniWriteStrings(iniFile.c_str(), kGroupsSection, keys, values, count);
  zfree(block);
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
