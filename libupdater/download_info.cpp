#define MEMLEAK_SOURCE "libupdater"
// Fetching the update-info document: the body goes through a scratch file in
// the working directory, is read back whole into infoText, and the scratch
// file is deleted on every way out once it exists.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "GenLib.h"
#include "download_nocurl.h"
#include "memleak.h"
#include "updater.h"

namespace {

const char kScratchFile[] = "updater-info.xml";

// The whole document is held in memory for the parser; a larger answer is
// refused instead of being allocated.
constexpr int64_t kMaxInfoSize = 64 * 1024 * 1024;

enum ReadResult { kRead, kTooLarge, kReadError };

// Reads the downloaded document back from the start of `file` into `text`,
// up to its first zero byte; on failure `text` stays as it was. An empty
// document is a read error.
ReadResult ReadBack(FILE* file, std::string* text) {
  int64_t size = ftell64(file);
  if (size > kMaxInfoSize) return kTooLarge;
  char* block = size > 0 ? static_cast<char*>(zmalloc(static_cast<uint32_t>(size + 1))) : nullptr;
  ReadResult result = kRead;
  if (block == nullptr || fseek64(file, 0, SEEK_SET) != 0 ||
      fread(block, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    result = kReadError;
  } else {
    block[size] = '\0';
    *text = block;  // a zero byte in the document ends it early
  }
  if (block != nullptr) zfree(block);
  return result;
}

// Opens the scratch file for reading and writing, truncated ("w+b"). A
// symbolic link in its place is refused: the updater runs as root, and a link
// planted in the working directory must not make it truncate another file.
FILE* OpenScratch() {
  int fd = open(kScratchFile, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

bool Updater::DownloadInfo() {
  ScopedLock hold(lock);
  VDL_PROGRESS_CALLBACK progress = callbacks != nullptr ? callbacks->onProgress : nullptr;
  VelmarDownloadNoCurl download(infoUrl.c_str(), progress, nullptr, nullptr, nullptr);
  if (download.GetError() != 0) {
    SetError("VDL reports %s", download.GetErrorString());
    return false;
  }
  FILE* file = OpenScratch();
  if (file == nullptr) {
    SetError("Error opening updater-info.xml");
    return false;
  }
  bool ok = false;
  if (!download.DownloadToHandle(file)) {
    SetError("VDL reports %s", download.GetErrorString());
  } else {
    switch (ReadBack(file, &infoText)) {
      case kRead:
        ok = true;
        break;
      case kTooLarge:
        SetError("Error reading updater-info.xml! (larger than %lld bytes)",
                 static_cast<long long>(kMaxInfoSize));
        break;
      case kReadError:
        SetError("Error reading updater-info.xml!");
        break;
    }
  }
  fclose(file);
  remove(kScratchFile);
  return ok;
}
