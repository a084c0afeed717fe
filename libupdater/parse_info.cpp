#define MEMLEAK_SOURCE "libupdater"
// The update-info parser: turns the document text into the sorted group list
// and the file list, judges every listed file by the digest of the installed
// copy and collects the outdated files that exist.
#include <strings.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "GenLib.h"
#include "base_dir.h"
#include "file_judge.h"
#include "info_stream.h"
#include "memleak.h"
#include "tinyxml_text.h"
#include "updater.h"

namespace {

// Decimal text as the document writes numbers: leading blanks, an optional
// sign, digits up to the first other character; no digits give 0.
int64_t ToNumber(const char* text) { return text != nullptr ? strtoll(text, nullptr, 10) : 0; }

// True when `path` has a ".." component, that is, could leave the base
// directory.
bool ClimbsOut(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

// True when `name` can be written as a key of the INI file and read back.
// A group name is stored as an INI key, and the INI reader trims keys, turns
// TABs into blanks and collapses runs of blanks: a name that would not read
// back as itself would be written again on every save and never found.
bool IsStorableKey(const std::string& name) {
  return !name.empty() && name[0] != '[' && name.find_first_of("=\r\n\t") == std::string::npos &&
         name.front() != ' ' && name.back() != ' ' && name.find("  ") == std::string::npos;
}

bool HasAbsoluteScheme(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 ||
         strncasecmp(url.c_str(), "https://", 8) == 0 || strncasecmp(url.c_str(), "ftp://", 6) == 0;
}

void ReplaceSpaces(std::string* url) {
  for (size_t at = url->find(' '); at != std::string::npos; at = url->find(' ', at + 3)) {
    url->replace(at, 1, "%20");
  }
}

// A NUL character, which a document can write as "&#0;", ends a text when it
// is read as a C string; it is shown as "\0" in messages.
std::string ShowNul(const std::string& text) {
  std::string shown;
  for (char c : text) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  return shown;
}

// True when the last component of `path` is empty or ".": the path then
// names a directory, and a file would be installed in it under an odd name.
bool NamesDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  return last.empty() || last == ".";
}

// TinyXML reads nested elements by recursion, several stack frames a level,
// so a document nested deeply enough would overflow the stack. Real documents
// nest three levels; the nesting is measured before the parse and anything
// deeper than this is refused.
constexpr int kMaxDepth = 256;

// ASCII letters folded to lower case, as strcasecmp compares them.
std::string FoldCase(const std::string& name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
  }
  return folded;
}

}  // namespace

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
  explicit ParseInfoBuilder(Updater* updater) : u(updater) {}
  ~ParseInfoBuilder() override { DropPending(); }
  bool Run();

  // FilesVisitor, while the file list is streamed.
  bool Version(const std::string* version) override;
  bool File(const TiXmlElement& element) override { return BuildFile(&element); }

 private:
  bool CheckDepth();
  bool CheckSkeleton(const TiXmlElement* root);
  bool Build(const TiXmlDocument& document, bool streamed);
  bool ReadInfo(const TiXmlElement* root);
  bool BuildGroups(const TiXmlElement* list);
  bool BuildGroup(const TiXmlElement* element);
  bool BuildFile(const TiXmlElement* element);
  bool FillDigests(const TiXmlElement* element, UpdateFile* file);
  void CommitFiles();
  void DropPending();
  bool ReadDeletes(const TiXmlElement* list);
  const std::string* RequireText(const TiXmlElement* element, const char* name);
  const char* Require(const TiXmlElement* element, const char* name);
  bool Optional(const TiXmlElement* element, const char* name, const std::string** value);
  bool CopyBounded(const TiXmlElement* element, const char* name, char* out, size_t size);
  bool CheckPath(const TiXmlElement* element, const std::string& path, char* local);
  bool Modern() const { return version_ >= 2; }

  Updater* u;
  int32_t version_ = 0;
  std::vector<PendingFile> pending_;
  // Groups by case-folded name, the first in list order for each name, so
  // that a look-up finds what FindGroup would.
  std::unordered_map<std::string, UpdateGroup*> groupsByName_;
};

bool Updater::ParseInfo() {
  ScopedLock lock(this->lock);
  ParseInfoBuilder builder(this);
  return builder.Run();
}

// The file list is streamed when it can be (see info_stream.h), which
// changes nothing but memory and time: nothing is built from the document
// before all of it is known to be well-formed and every check that names a
// row has passed. Otherwise, a malformed document included, the whole text
// is parsed as one tree, and every message comes from that parse.
bool ParseInfoBuilder::Run() {
  if (!CheckDepth()) return false;
  TinyXmlTextInPlace text(&u->infoText);
  TiXmlDocument skeleton;
  std::string keptError = u->lastError;
  bool streamed = StreamFiles(text.data(), text.length(), this, &skeleton) &&
                  CheckSkeleton(skeleton.FirstChildElement("update_info"));
  if (streamed) {
    text.Restore();
    return Build(skeleton, true);
  }
  DropPending();
  u->lastError = keptError;
  TiXmlDocument document;
  document.Parse(text.data(), nullptr, TIXML_ENCODING_UNKNOWN);
  text.Restore();
  if (document.Error()) {
    u->SetError("Error parsing updater-info.xml (%s at row %d, col %d)", document.ErrorDesc(),
                document.ErrorRow(), document.ErrorCol());
    return false;
  }
  return Build(document, false);
}

bool ParseInfoBuilder::CheckDepth() {
  const std::string& text = u->infoText;
  size_t tooDeep = FindTooDeep(text.data(), text.size(), kMaxDepth);
  if (tooDeep == std::string::npos) return true;
  size_t lineStart = text.rfind('\n', tooDeep);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  u->SetError("Error parsing updater-info.xml (Elements nested deeper than %d at row %d, col %d)",
              kMaxDepth,
              1 + static_cast<int>(std::count(text.begin(), text.begin() + tooDeep, '\n')),
              1 + static_cast<int>(tooDeep - lineStart));
  return false;
}

bool ParseInfoBuilder::Version(const std::string* version) {
  if (version == nullptr) return false;
  version_ = static_cast<int32_t>(ToNumber(version->c_str()));
  return true;
}

// The checks of the skeleton's elements whose messages name a row: the
// skeleton's rows after the file list are not the document's, so a document
// that fails one is parsed whole for the message.
bool ParseInfoBuilder::CheckSkeleton(const TiXmlElement* root) {
  if (Require(root, "version") == nullptr) return false;
  if (const TiXmlElement* info = root->FirstChildElement("info")) {
    for (const char* name : {"AppName", "Author", "URL", "FileBase"}) {
      if ((Modern() || name[0] != 'F') && Require(info, name) == nullptr) return false;
    }
  }
  // The first generation has no groups.
  const TiXmlElement* list = Modern() ? root->FirstChildElement("groups") : nullptr;
  const TiXmlElement* element = list != nullptr ? list->FirstChildElement("group") : nullptr;
  for (; element != nullptr; element = element->NextSiblingElement("group")) {
    const char* name = Require(element, "name");
    if (name == nullptr || !IsStorableKey(name)) return false;
  }
  list = root->FirstChildElement("delete");
  element = list != nullptr ? list->FirstChildElement() : nullptr;
  for (; element != nullptr; element = element->NextSiblingElement()) {
    const std::string* path = RequireText(element, "file");
    char local[1024];
    if (path == nullptr || !CheckPath(element, *path, local)) return false;
  }
  return true;
}

// Builds the model from `document`; when `streamed`, its file list has been
// built already and waits in pending_.
bool ParseInfoBuilder::Build(const TiXmlDocument& document, bool streamed) {
  const TiXmlElement* root = document.FirstChildElement("update_info");
  if (root == nullptr) {
    u->SetError("Unable to find update_info element!");
    return false;
  }
  const char* version = Require(root, "version");
  if (version == nullptr) return false;
  version_ = static_cast<int32_t>(ToNumber(version));
  u->header.infoVersion = version_;
  u->Info("Info version: %d", u->header.infoVersion);
  if (!ReadInfo(root)) return false;
  if (Modern() && !BuildGroups(root->FirstChildElement("groups"))) return false;
  const TiXmlElement* files = root->FirstChildElement("files");
  if (files == nullptr) {
    u->SetError("Unable to find files element!");
    return false;
  }
  u->Info("Building file list...");
  bool built = true;
  for (const TiXmlElement* child = streamed ? nullptr : files->FirstChildElement();
       child != nullptr && built; child = child->NextSiblingElement()) {
    built = BuildFile(child);
  }
  // The entries before a bad one are judged and kept.
  CommitFiles();
  return built && ReadDeletes(root->FirstChildElement("delete"));
}

bool ParseInfoBuilder::ReadInfo(const TiXmlElement* root) {
  const TiXmlElement* info = root->FirstChildElement("info");
  if (info == nullptr) {
    u->SetError("Unable to find info element!");
    return false;
  }
  const char* appName = Require(info, "AppName");
  const char* author = appName != nullptr ? Require(info, "Author") : nullptr;
  const char* appUrl = author != nullptr ? Require(info, "URL") : nullptr;
  if (appUrl == nullptr) return false;
  u->header.appName = appName;
  u->header.author = author;
  u->header.appUrl = appUrl;
  if (Modern()) {
    const char* fileBase = Require(info, "FileBase");
    if (fileBase == nullptr) return false;
    u->header.fileBase = fileBase;
  }
  // Before the model is built from it, a signed document must say what it is
  // and be neither older than what is installed nor expired.
  return u->AcceptInfo({u->header.infoVersion, info->Attribute("document"),
                        info->Attribute("serial"), info->Attribute("expires")});
}

bool ParseInfoBuilder::BuildGroups(const TiXmlElement* list) {
  if (list == nullptr) return true;
  Updater::StoredStates stored(u);  // the INI file is read once for all groups
  for (const TiXmlElement* element = list->FirstChildElement("group"); element != nullptr;
       element = element->NextSiblingElement("group")) {
    if (!BuildGroup(element)) return false;
  }
  u->SortGroups();
  for (UpdateGroup* group = u->groups; group != nullptr; group = group->next) {
    groupsByName_.emplace(FoldCase(group->name), group);  // the first of a name stays
  }
  return true;
}

bool ParseInfoBuilder::BuildGroup(const TiXmlElement* element) {
  const char* name = Require(element, "name");
  if (name == nullptr) return false;
  if (!IsStorableKey(name)) {
    u->SetError("Group name \"%s\" (row %d) cannot be stored in %s!", name, element->Row(),
                u->iniFile.empty() ? "the INI file" : u->iniFile.c_str());
    return false;
  }
  UpdateGroup* group = u->NewGroup();
  if (group == nullptr) {
    u->SetError("Out of memory building group \"%s\"!", name);
    return false;
  }
  group->name = name;
  const char* text = element->Attribute("dispName");
  group->displayName = (text != nullptr && text[0] != '\0') ? text : name;
  text = element->Attribute("menu");
  if (text != nullptr) group->menu = text;
  text = element->Attribute("desc");
  if (text != nullptr && text[0] != '\0') {
    char description[1024];
    strlcpy(description, text, sizeof(description));
    StrReplace(description, sizeof(description), "\\n", "\n");
    group->description = description;
  }
  if ((text = element->Attribute("priority")) != nullptr) {
    group->priority = static_cast<int32_t>(ToNumber(text));
  }
  if ((text = element->Attribute("default")) != nullptr) {
    group->state = static_cast<GroupState>(static_cast<int32_t>(ToNumber(text)));
  }
  if ((text = element->Attribute("defaultgrp")) != nullptr && ToNumber(text) != 0) {
    group->isDefaultGroup = true;
    u->defaultGroup = group;
  }
  if (!u->ReadGroupState(group)) {
    u->SetError("Error reading %s!", u->iniFile.c_str());
    group->~UpdateGroup();
    zfree(group);
    return false;
  }
  u->AppendGroup(group);
  return true;
}

// Builds the entry of one child of "files" into pending_: everything but
// its groups and its judgement.
bool ParseInfoBuilder::BuildFile(const TiXmlElement* element) {
  const std::string* pathText = RequireText(element, "file");
  char local[1024];
  if (pathText == nullptr || !CheckPath(element, *pathText, local)) return false;
  const char* path = pathText->c_str();
  const char* url = Require(element, "url");
  if (url == nullptr) return false;
  const char* sizeText = element->Attribute("size");
  int64_t size = ToNumber(sizeText);
  if (size < 0 || size > 0xFFFFFFFFLL) {
    u->SetError("Attribute \"size\" of element \"%s\" (row %d) is not a size below 4 GiB: %s",
                element->Value(), element->Row(), sizeText);
    return false;
  }
  const std::string* names = nullptr;
  if (Modern() && !Optional(element, "group", &names)) return false;
  UpdateFile* file = u->NewFile();
  if (file == nullptr) {
    u->SetError("Out of memory building the entry of %s!", path);
    return false;
  }
  file->path = path;
  file->size = size;
  file->mode = static_cast<uint32_t>(ToNumber(element->Attribute("modes")));
  file->url = url;  // completed by CommitFiles, once fileBase is known
  if (!CopyBounded(element, "key", file->key, sizeof(file->key)) || !FillDigests(element, file)) {
    file->~UpdateFile();
    zfree(file);
    return false;
  }
  try {
    pending_.push_back({file, names != nullptr ? *names : std::string()});
  } catch (const std::bad_alloc&) {
    u->SetError("Out of memory building the entry of %s!", path);
    file->~UpdateFile();
    zfree(file);
    return false;
  }
  return true;
}

bool ParseInfoBuilder::FillDigests(const TiXmlElement* element, UpdateFile* file) {
  const char* fileName = Modern() ? "sha" : "md5";
  const char* packName = Modern() ? "packsha" : "packmd5";
  if (!CopyBounded(element, fileName, file->fileDigest, sizeof(file->fileDigest))) return false;
  // The pack digest is optional in the first generation only.
  if (!Modern() && element->Attribute(packName) == nullptr) return true;
  return CopyBounded(element, packName, file->packDigest, sizeof(file->packDigest));
}

// Gives the pending entries their groups, judges them all at once, counts
// their pending work and appends them to the file list, in document order.
void ParseInfoBuilder::CommitFiles() {
  std::vector<UpdateFile*> files;
  files.reserve(pending_.size());
  for (PendingFile& entry : pending_) {
    const std::string& list = entry.groupNames;
    for (size_t start = 0; start < list.size();) {
      size_t end = std::min(list.find(',', start), list.size());
      if (end > start) {
        auto found = groupsByName_.find(FoldCase(list.substr(start, end - start)));
        if (found != groupsByName_.end()) entry.file->AddGroup(found->second);
      }
      start = end + 1;
    }
    std::string& url = entry.file->url;
    if (Modern() && !HasAbsoluteScheme(url)) url.insert(0, u->header.fileBase);
    ReplaceSpaces(&url);
    files.push_back(entry.file);
  }
  JudgeSettings settings;
  settings.baseDir = u->baseDir;
  settings.sha256 = Modern();
  settings.removeLeftovers = u->removeLeftovers;
  JudgeFiles(settings, files.data(), files.size());
  for (UpdateFile* file : files) {
    u->pendingCount += u->CountPending(file);
    u->fileCount++;
    u->AppendFile(file);
  }
  pending_.clear();
}

void ParseInfoBuilder::DropPending() {
  for (PendingFile& entry : pending_) {
    entry.file->~UpdateFile();
    zfree(entry.file);
  }
  pending_.clear();
}

// Collects the outdated paths under which an entry exists (a link counts,
// and so does a path whose walk refused a link, so that the deletion reports
// it).
bool ParseInfoBuilder::ReadDeletes(const TiXmlElement* list) {
  if (list == nullptr) return true;
  BaseDir base;
  PathError error;
  bool opened = base.Open(u->baseDir, &error);
  for (const TiXmlElement* element = list->FirstChildElement(); element != nullptr;
       element = element->NextSiblingElement()) {
    const std::string* path = RequireText(element, "file");
    char local[1024];
    if (path == nullptr || !CheckPath(element, *path, local)) return false;
    if (opened && base.Exists(*path, &error)) u->outdatedFiles.push_back(*path);
  }
  return true;
}

// The whole value of a required attribute, NUL characters included.
const std::string* ParseInfoBuilder::RequireText(const TiXmlElement* element, const char* name) {
  const std::string* value = element->Attribute(std::string(name));
  if (value == nullptr) {
    u->SetError("Element \"%s\" (row %d) has no \"%s\" attribute!", element->Value(),
                element->Row(), name);
  }
  return value;
}

// A required attribute as a C string. A value holding a NUL character is
// refused: cut there, it would mean something else than the document says.
const char* ParseInfoBuilder::Require(const TiXmlElement* element, const char* name) {
  const std::string* value = RequireText(element, name);
  if (value == nullptr) return nullptr;
  if (value->find('\0') != std::string::npos) {
    u->SetError("Attribute \"%s\" of element \"%s\" (row %d) holds a NUL character!", name,
                element->Value(), element->Row());
    return nullptr;
  }
  return value->c_str();
}

// An optional attribute: `value` receives it, or null when it is absent.
// False (error set) when it holds a NUL character, as for Require.
bool ParseInfoBuilder::Optional(const TiXmlElement* element, const char* name,
                                const std::string** value) {
  *value = element->Attribute(std::string(name));
  return *value == nullptr || Require(element, name) != nullptr;
}

// Copies a required attribute into a fixed field of `size` bytes; longer
// values are refused rather than cut.
bool ParseInfoBuilder::CopyBounded(const TiXmlElement* element, const char* name, char* out,
                                   size_t size) {
  const char* value = Require(element, name);
  if (value == nullptr) return false;
  if (strlen(value) >= size) {
    u->SetError("Attribute \"%s\" of element \"%s\" (row %d) is longer than %zu characters!", name,
                element->Value(), element->Row(), size - 1);
    return false;
  }
  strlcpy(out, value, size);
  return true;
}

// Accepts a document path only when it stays inside the base directory and
// the joined local path fits; `local` receives the joined path.
bool ParseInfoBuilder::CheckPath(const TiXmlElement* element, const std::string& path,
                                 char* local) {
  if (path.empty()) {
    u->SetError("Element \"%s\" (row %d) has an empty \"file\" path!", element->Value(),
                element->Row());
    return false;
  }
  // Cut at a NUL character, two different paths would name one file.
  if (path.find('\0') != std::string::npos) {
    u->SetError("Path \"%s\" of element \"%s\" (row %d) holds a NUL character!",
                ShowNul(path).c_str(), element->Value(), element->Row());
    return false;
  }
  if (ClimbsOut(path)) {
    u->SetError("Path \"%s\" of element \"%s\" (row %d) leaves the base directory!", path.c_str(),
                element->Value(), element->Row());
    return false;
  }
  if (NamesDirectory(path)) {
    u->SetError("Path \"%s\" of element \"%s\" (row %d) does not end in a file name!", path.c_str(),
                element->Value(), element->Row());
    return false;
  }
  if (!u->JoinBase(local, path.c_str())) {
    u->SetError("Path \"%s\" of element \"%s\" (row %d) is too long!", path.c_str(),
                element->Value(), element->Row());
    return false;
  }
  return true;
}
