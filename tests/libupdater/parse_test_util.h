// Builds update-info documents of both generations for the engine's tests,
// one element per line so that error rows are known: update_info on row 1,
// info on row 2, groups on row 3, files on row 4, delete on row 5.
#ifndef UPDATER_TESTS_LIBUPDATER_PARSE_TEST_UTIL_H_
#define UPDATER_TESTS_LIBUPDATER_PARSE_TEST_UTIL_H_

#include <string>

#include "engine_test_util.h"
#include "gtest/gtest.h"
#include "updater.h"

namespace enginetest {

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

// A first-generation file entry; `md5` is the expected digest text.
inline std::string FileV1(const std::string& path, const std::string& md5,
                          const std::string& attributes = "") {
  return "<file file=\"" + path + "\" url=\"http://files.example/" + path +
         ".pack\" key=\"\" md5=\"" + md5 + "\" " + attributes + "/>";
}

inline std::string Sha(const std::string& content) { return Digest("sha256", content); }

// An Updater over a fresh base directory, with recording callbacks and no
// INI file unless a test sets one.
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
  // Writes an installed file under the base directory.
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

#endif  // UPDATER_TESTS_LIBUPDATER_PARSE_TEST_UTIL_H_
