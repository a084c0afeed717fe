#define MEMLEAK_SOURCE "libupdater"
// The Updater object: construction, settings, the last error, the callback
// outputs and the document text kept in memory.
#include "updater.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "GenLib.h"
#include "memleak.h"

namespace {

// The scratch file into which the document is downloaded.
const char kScratchFile[] = "updater-info.xml";

// Formats into a tracked text, hands it to `sink` and releases it.
template <typename Sink>
void FormatTo(const char* format, va_list args, Sink sink) {
  char* text = zvmprintf(format, args);
  sink(text != nullptr ? text : "vasprintf error");
  if (text != nullptr) zfree(text);
}

}  // namespace

void UpdateInfoHeader::Clear() {
  infoVersion = 0;
  appName.clear();
  author.clear();
  appUrl.clear();
  // fileBase is cleared too, so that nothing of an earlier document survives.
  fileBase.clear();
  remove(kScratchFile);
}

Updater::Updater()
    : files(nullptr),
      groups(nullptr),
      filesTail(nullptr),
      groupsTail(nullptr),
      defaultGroup(nullptr),
      fileCount(0),
      pendingCount(0),
      callbacks(nullptr) {}

Updater::~Updater() { Reset(); }

bool Updater::Init(const char* url, const char* baseDir, const char* selfName, const char* iniFile,
                   UpdaterCallbacks* callbacks) {
  ScopedLock lock(this->lock);
  Reset();
  this->infoUrl = url != nullptr ? url : "";
  this->selfName = selfName != nullptr ? selfName : "";
  this->baseDir = baseDir != nullptr ? baseDir : "";
  this->iniFile = iniFile != nullptr ? iniFile : "";
  this->callbacks = callbacks;
  return true;
}

void Updater::Reset() {
  ScopedLock lock(this->lock);
  while (files != nullptr) {
    UpdateFile* next = files->next;
    files->~UpdateFile();
    zfree(files);
    files = next;
  }
  while (groups != nullptr) {
    UpdateGroup* next = groups->next;
    groups->~UpdateGroup();
    zfree(groups);
    groups = next;
  }
  infoUrl.clear();
  baseDir.clear();
  iniFile.clear();
  callbacks = nullptr;
  filesTail = nullptr;
  groupsTail = nullptr;
  defaultGroup = nullptr;
  fileCount = 0;
  pendingCount = 0;
  outdatedFiles.clear();
  header.Clear();
}

const char* Updater::GetLastError() {
  ScopedLock lock(this->lock);
  return lastError.c_str();
}

void Updater::SetError(const char* format, ...) {
  ScopedLock lock(this->lock);
  va_list args;
  va_start(args, format);
  FormatTo(format, args, [this](const char* text) { lastError = text; });
  va_end(args);
}

void Updater::Info(const char* format, ...) {
  ScopedLock lock(this->lock);
  if (callbacks == nullptr || callbacks->onInfo == nullptr) return;
  va_list args;
  va_start(args, format);
  FormatTo(format, args, [this](const char* text) { callbacks->onInfo(text); });
  va_end(args);
}

void Updater::Status(const char* format, ...) {
  ScopedLock lock(this->lock);
  if (callbacks == nullptr || callbacks->onStatus == nullptr) return;
  va_list args;
  va_start(args, format);
  FormatTo(format, args, [this](const char* text) { callbacks->onStatus(text); });
  va_end(args);
}

UpdateGroup* Updater::GetFirstGroup() {
  ScopedLock lock(this->lock);
  return groups;
}

UpdateFile* Updater::GetFirstFile() {
  ScopedLock lock(this->lock);
  return files;
}

bool Updater::LoadInfoFile(const char* path) {
  ScopedLock lock(this->lock);
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    SetError("Error opening %s!", path);
    return false;
  }
  int64_t size = -1;
  if (fseek64(file, 0, SEEK_END) == 0) size = ftell64(file);
  fseek64(file, 0, SEEK_SET);
  // The tracked allocator takes 32-bit sizes; a larger document is refused
  // as unreadable rather than cut.
  char* buffer = nullptr;
  if (size > 0 && size < 0xFFFFFFFFLL) buffer = static_cast<char*>(zmalloc(size + 1));
  if (buffer == nullptr || fread(buffer, size, 1, file) != 1) {
    if (buffer != nullptr) zfree(buffer);
    fclose(file);
    SetError("Error reading %s!", path);
    return false;
  }
  buffer[size] = '\0';
  infoText = buffer;  // up to the first zero byte
  zfree(buffer);
  fclose(file);
  return true;
}

void Updater::SaveInfoFile(const char* path) {
  ScopedLock lock(this->lock);
  FILE* file = fopen(path, "wb");
  if (file == nullptr) return;
  if (!infoText.empty()) fwrite(infoText.data(), 1, infoText.size(), file);
  fclose(file);
}

bool Updater::JoinBase(char* out, const char* relative) {
  ScopedLock lock(this->lock);
  if (snprintf(out, 1024, "%s%s", baseDir.c_str(), relative) >= 1024) {
    out[0] = '\0';
    return false;
  }
  return true;
}

UpdateGroup* Updater::NewGroup() {
  void* block = zmalloc(sizeof(UpdateGroup));
  return block != nullptr ? new (block) UpdateGroup() : nullptr;
}

UpdateFile* Updater::NewFile() {
  void* block = zmalloc(sizeof(UpdateFile));
  return block != nullptr ? new (block) UpdateFile() : nullptr;
}

void Updater::AppendGroup(UpdateGroup* group) {
  group->prev = groupsTail;
  group->next = nullptr;
  if (groupsTail != nullptr) {
    groupsTail->next = group;
  } else {
    groups = group;
  }
  groupsTail = group;
}

void Updater::AppendFile(UpdateFile* file) {
  file->prev = filesTail;
  file->next = nullptr;
  if (filesTail != nullptr) {
    filesTail->next = file;
  } else {
    files = file;
  }
  filesTail = file;
}
