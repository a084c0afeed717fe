// Helpers shared by the engine's tests: temporary directories, files, digests
// and packs made independently of the engine, recorders for its callbacks, and
// documents with one element a row: update_info, info, groups, files, delete.
#ifndef UPDATER_TESTS_LIBUPDATER_ENGINE_TEST_UTIL_H_
#define UPDATER_TESTS_LIBUPDATER_ENGINE_TEST_UTIL_H_

#include <ftw.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rc4.h"
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
  const std::string& path() const { return path_; }
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

// Bounds a scope that must not block: a call still waiting after `seconds`
// is interrupted (EINTR) and fails instead of hanging the test.
class InterruptAfter {
 public:
  explicit InterruptAfter(unsigned seconds) {
    fired_ = 0;
    struct sigaction action = {};
    action.sa_handler = [](int) { fired_ = 1; };  // no SA_RESTART: the call returns
    sigaction(SIGALRM, &action, &old_);
    alarm(seconds);
  }
  ~InterruptAfter() {
    alarm(0);
    sigaction(SIGALRM, &old_, nullptr);
  }
  bool fired() const { return fired_ != 0; }

 private:
  static inline volatile sig_atomic_t fired_ = 0;
  struct sigaction old_;
};

inline bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream file(path, std::ios::binary);
  return static_cast<bool>(file.write(data.data(), data.size()).flush());
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream data;
  data << file.rdbuf();
  return data.str();
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Lower-case hex digest ("md5" or "sha256").
inline std::string Digest(const char* name, const std::string& data) {
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), raw, &length, EVP_get_digestbyname(name), nullptr);
  std::string hex(2 * length, '\0');  // each snprintf also writes the terminator
  for (unsigned int i = 0; i < length; ++i) snprintf(&hex[2 * i], 3, "%02x", raw[i]);
  return hex;
}

inline std::string Sha(const std::string& content) { return Digest("sha256", content); }

// A pack of `content`: compressed, then RC4 with the key zero-padded to 16
// bytes when there is one.
inline std::string MakePack(const std::string& content, const std::string& key) {
  uLongf length = compressBound(content.size());
  std::string pack(length, '\0');
  compress(reinterpret_cast<Bytef*>(&pack[0]), &length,
           reinterpret_cast<const Bytef*>(content.data()), content.size());
  pack.resize(length);
  if (!key.empty()) {
    uint8_t keyBytes[16] = {};
    key.copy(reinterpret_cast<char*>(keyBytes), 16);
    Rc4State state = {};
    rc4_set_key(&state, 16, keyBytes);
    rc4_crypt(&state, pack.size(), reinterpret_cast<uint8_t*>(&pack[0]),
              reinterpret_cast<uint8_t*>(&pack[0]));
  }
  return pack;
}

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

// A callback table that records both text outputs in the lines above.
inline UpdaterCallbacks* RecordingCallbacks() {
  static UpdaterCallbacks table = {nullptr, nullptr, RecordInfo, RecordStatus, nullptr};
  InfoLines().clear();
  StatusLines().clear();
  return &table;
}

// Names of the group list from the head; "<broken>" when the backward links
// or the tail disagree.
inline std::string GroupOrder(Updater& updater) {
  std::string names;
  UpdateGroup* prev = nullptr;
  for (UpdateGroup* group = updater.GetFirstGroup(); group != nullptr; group = group->next) {
    if (group->prev != prev) return "<broken>";
    names += (names.empty() ? "" : ",") + group->displayName;
    prev = group;
  }
  return updater.groupsTail == prev ? names : "<broken>";
}

// A text left as "-" drops the element (or the "version" attribute).
struct Doc {
  std::string version = "2";
  std::string info =
      "AppName=\"Quillon\" Author=\"Tessaworks\" URL=\"http://tessaworks.example/\" "
      "FileBase=\"http://files.example/base/\"";
  std::string groups = "-";
  std::string files;
  std::string deletes = "-";

  std::string Text() const {
    std::string text =
        version == "-" ? "<update_info>\n" : "<update_info version=\"" + version + "\">\n";
    text += info == "-" ? "\n" : "<info " + info + "/>\n";
    text += groups == "-" ? "\n" : "<groups>" + groups + "</groups>\n";
    text += files == "-" ? "\n" : "<files>" + files + "</files>\n";
    text += deletes == "-" ? "\n" : "<delete>" + deletes + "</delete>\n";
    return text + "</update_info>\n";
  }
};

// A "group" element with the given name and further attributes.
inline std::string Group(const std::string& name, const std::string& attributes = "") {
  return "<group name=\"" + name + "\" " + attributes + "/>";
}

// A second-generation file entry; `sha` is the expected digest text.
inline std::string FileV2(const std::string& path, const std::string& sha,
                          const std::string& attributes = "") {
  return "<file file=\"" + path + "\" url=\"" + path + ".pack\" key=\"\" sha=\"" + sha +
         "\" packsha=\"\" " + attributes + "/>";
}

// An Updater over a fresh base directory, with recording callbacks.
class ParseFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    updater.Init("http://tessaworks.example/updates/x.info", dir.base().c_str(), "updater", "",
                 RecordingCallbacks());
  }
  bool Parse(const Doc& doc) {
    updater.infoText = doc.Text();
    return updater.ParseInfo();
  }
  void Put(const std::string& path, const std::string& content) {
    ASSERT_TRUE(WriteFile(dir / path, content)) << path;
  }
  UpdateFile* FileAt(int index) {
    UpdateFile* file = updater.GetFirstFile();
    while (file != nullptr && index-- > 0) file = file->next;
    return file;
  }
  std::string Error() { return updater.GetLastError(); }

  TempDir dir;
  Updater updater;
};

}  // namespace enginetest

#endif  // UPDATER_TESTS_LIBUPDATER_ENGINE_TEST_UTIL_H_
