// The update-info parser's working state for one ParseInfo call, shared by
// parse_info.cpp (the document, the header, the groups) and parse_files.cpp
// (the file list and the outdated files). Used by nothing else.
//
// Thread-safety: one builder per call, used under the Updater's lock; only
// the judgement of the files (file_judge.h) runs on other threads.
#ifndef UPDATER_LIBUPDATER_PARSE_INFO_BUILDER_H_
#define UPDATER_LIBUPDATER_PARSE_INFO_BUILDER_H_

#include <tinyxml.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "info_stream.h"
#include "updater.h"

// A file entry built ahead of its groups, which are looked up once the group
// list is complete, and of its judgement, which is made for all entries at
// once.
struct PendingFile {
  UpdateFile* file;
  std::string groupNames;  // the "group" list as written
};

// One run of the parser. Every Build/Read/Check step returns false after
// setting the Updater's last error.
class ParseInfoBuilder : public FilesVisitor {
 public:
  // `updater` must outlive the builder; its lock must be held.
  explicit ParseInfoBuilder(Updater* updater) : u(updater) {}
  // Frees the entries that were built but never added to the file list.
  ~ParseInfoBuilder() override { DropPending(); }
  // Turns the Updater's infoText into its model (see Updater::ParseInfo).
  // False with the last error set.
  bool Run();

  // FilesVisitor, while the file list is streamed.
  bool Version(const std::string* version) override;
  bool File(const TiXmlElement& element) override { return BuildFile(&element); }

 private:
  // In parse_info.cpp: the document, its header and its groups.
  bool CheckDepth();
  bool CheckSkeleton(const TiXmlElement* root);
  bool Build(const TiXmlDocument& document, bool streamed);
  bool ReadInfo(const TiXmlElement* root);
  bool BuildGroups(const TiXmlElement* list);
  bool BuildGroup(const TiXmlElement* element);
  // In parse_files.cpp: the file list and the outdated files.
  bool BuildFile(const TiXmlElement* element);
  bool FillDigests(const TiXmlElement* element, UpdateFile* file);
  void CommitFiles();
  void DropPending();
  bool ReadDeletes(const TiXmlElement* list);
  bool CheckPath(const TiXmlElement* element, const std::string& path, char* local);
  // In parse_info.cpp: attribute access and values.
  const std::string* RequireText(const TiXmlElement* element, const char* name);
  const char* Require(const TiXmlElement* element, const char* name);
  bool Optional(const TiXmlElement* element, const char* name, const std::string** value);
  bool CopyBounded(const TiXmlElement* element, const char* name, char* out, size_t size);
  bool Modern() const { return version_ >= 2; }
  // Decimal text as the document writes numbers: leading blanks, an optional
  // sign, digits up to the first other character; no digits (or no text)
  // give 0.
  static int64_t ToNumber(const char* text);
  // ASCII letters folded to lower case, as strcasecmp compares them.
  static std::string FoldCase(const std::string& name);

  Updater* u;
  int32_t version_ = 0;
  std::vector<PendingFile> pending_;
  // Groups by case-folded name, the first in list order for each name, so
  // that a look-up finds what FindGroup would.
  std::unordered_map<std::string, UpdateGroup*> groupsByName_;
};

#endif  // UPDATER_LIBUPDATER_PARSE_INFO_BUILDER_H_
