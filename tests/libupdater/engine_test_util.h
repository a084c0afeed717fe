// Helpers shared by the engine's tests: a temporary directory removed with
// its contents, whole-file reads and writes, digests computed independently
// of the engine, and recorders for the engine's text callbacks.
#ifndef UPDATER_TESTS_LIBUPDATER_ENGINE_TEST_UTIL_H_
#define UPDATER_TESTS_LIBUPDATER_ENGINE_TEST_UTIL_H_

#include <ftw.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater.h"

namespace enginetest {

// A fresh directory under /tmp, removed recursively on destruction.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/engine-test-XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The directory with a trailing '/', as the engine takes a base directory.
  std::string base() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    chmod(path, 0700);
    return remove(path);
  }
  std::string path_;
};

// Runs a scope with the working directory changed, restoring it afterwards.
class ChangeDir {
 public:
  explicit ChangeDir(const std::string& dir) {
    char buffer[4096];
    old_ = getcwd(buffer, sizeof(buffer)) != nullptr ? buffer : "/";
    ok_ = chdir(dir.c_str()) == 0;
  }
  ~ChangeDir() {
    if (chdir(old_.c_str()) != 0) perror("chdir");
  }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_;
};

inline bool WriteFile(const std::string& path, const std::string& data) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(data.data(), 1, data.size(), file) == data.size();
  return fclose(file) == 0 && ok;
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return "<missing>";
  std::string data;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) data.append(buffer, got);
  fclose(file);
  return data;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Lower-case hex digest through OpenSSL ("md5" or "sha256").
inline std::string Digest(const char* name, const std::string& data) {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), raw, &length, EVP_get_digestbyname(name), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    snprintf(pair, sizeof(pair), "%02x", raw[i]);
    hex += pair;
  }
  return hex;
}

// Lines received by the text callbacks, in order.
inline std::vector<std::string>& InfoLines() {
  static std::vector<std::string> lines;
  return lines;
}
inline std::vector<std::string>& StatusLines() {
  static std::vector<std::string> lines;
  return lines;
}
inline void RecordInfo(const char* text) { InfoLines().push_back(text); }
inline void RecordStatus(const char* text) { StatusLines().push_back(text); }

// A callback table that records both text outputs (progress slots null).
inline UpdaterCallbacks* RecordingCallbacks() {
  static UpdaterCallbacks table = {nullptr, nullptr, RecordInfo, RecordStatus};
  InfoLines().clear();
  StatusLines().clear();
  return &table;
}

// Names of the group list from the head, checking the backward links and
// the tail on the way; "<broken>" when they disagree.
inline std::string GroupOrder(Updater& updater) {
  std::string names;
  UpdateGroup* prev = nullptr;
  for (UpdateGroup* group = updater.GetFirstGroup(); group != nullptr; group = group->next) {
    if (group->prev != prev) return "<broken>";
    if (!names.empty()) names += ",";
    names += group->displayName;
    prev = group;
  }
  if (updater.groupsTail != prev) return "<broken>";
  return names;
}

}  // namespace enginetest

#endif  // UPDATER_TESTS_LIBUPDATER_ENGINE_TEST_UTIL_H_
