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

#include "GenLib.h"
#include "base_dir.h"
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

// Index just past the '>' that ends the tag starting at `at`; quoted
// attribute values are skipped when `quotes` is set (element tags only, as
// TinyXML reads other markup up to the first '>').
size_t SkipTag(const std::string& text, size_t at, bool quotes) {
  char quote = '\0';
  for (size_t i = at + 1; i < text.size(); ++i) {
    char c = text[i];
    if (quote != '\0') {
      if (c == quote) quote = '\0';
    } else if (quotes && (c == '"' || c == '\'')) {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return text.size();
}

// Position of the first element start tag that is nested deeper than
// kMaxDepth, or npos. Comments and CDATA sections are skipped; a
// misjudged tag only ever counts too deep, never too shallow.
size_t FindTooDeep(const std::string& text) {
  int depth = 0;
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string::npos) {
    const char* end = nullptr;
    if (text.compare(at, 4, "<!--") == 0) end = "-->";
    if (text.compare(at, 9, "<![CDATA[") == 0) end = "]]>";
    if (end != nullptr) {
      at = text.find(end, at + 4);
      if (at == std::string::npos) break;
      at += 3;
      continue;
    }
    unsigned char next = at + 1 < text.size() ? text[at + 1] : '\0';
    // Like TinyXML, any byte from 127 on may begin an element name.
    bool element = next >= 127 || isalpha(next) || next == '_';
    size_t start = at;
    at = SkipTag(text, at, element);
    if (next == '/') {
      if (depth > 0) --depth;
    } else if (element && text[at - 1] == '>' && text[at - 2] == '/') {
      // an empty element: <name/>
    } else if (element && ++depth > kMaxDepth) {
      return start;
    }
  }
  return std::string::npos;
}

}  // namespace

// One run of the parser over a TinyXML document. Every Build/Read step
// returns false after setting the Updater's last error.
class ParseInfoBuilder {
 public:
  explicit ParseInfoBuilder(Updater* updater) : u(updater) {}
  bool Run();

 private:
  bool ReadInfo(const TiXmlElement* root);
  bool BuildGroups(const TiXmlElement* list);
  bool BuildGroup(const TiXmlElement* element);
  bool BuildFile(const TiXmlElement* element);
  bool FillDigests(const TiXmlElement* element, UpdateFile* file);
  void JudgeFile(UpdateFile* file, const char* local);
  bool ReadDeletes(const TiXmlElement* list);
  const std::string* RequireText(const TiXmlElement* element, const char* name);
  const char* Require(const TiXmlElement* element, const char* name);
  bool Optional(const TiXmlElement* element, const char* name, const std::string** value);
  bool CopyBounded(const TiXmlElement* element, const char* name, char* out, size_t size);
  bool CheckPath(const TiXmlElement* element, const std::string& path, char* local);
  bool Modern() const { return u->header.infoVersion >= 2; }

  Updater* u;
};

bool Updater::ParseInfo() {
  ScopedLock lock(this->lock);
  ParseInfoBuilder builder(this);
  return builder.Run();
}

bool ParseInfoBuilder::Run() {
  size_t tooDeep = FindTooDeep(u->infoText);
  if (tooDeep != std::string::npos) {
    size_t lineStart = u->infoText.rfind('\n', tooDeep);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    u->SetError(
        "Error parsing updater-info.xml (Elements nested deeper than %d at row %d, col %d)",
        kMaxDepth,
        1 + static_cast<int>(std::count(u->infoText.begin(), u->infoText.begin() + tooDeep, '\n')),
        1 + static_cast<int>(tooDeep - lineStart));
    return false;
  }
  // Not infoText itself: a text ending inside a UTF-8 sequence would make
  // TinyXML read past its end.
  std::string text = TinyXmlText(u->infoText);
  TiXmlDocument document;
  document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  if (document.Error()) {
    u->SetError("Error parsing updater-info.xml (%s at row %d, col %d)", document.ErrorDesc(),
                document.ErrorRow(), document.ErrorCol());
    return false;
  }
  const TiXmlElement* root = document.FirstChildElement("update_info");
  if (root == nullptr) {
    u->SetError("Unable to find update_info element!");
    return false;
  }
  const char* version = Require(root, "version");
  if (version == nullptr) return false;
  u->header.infoVersion = static_cast<int32_t>(ToNumber(version));
  u->Info("Info version: %d", u->header.infoVersion);
  if (!ReadInfo(root)) return false;
  if (Modern() && !BuildGroups(root->FirstChildElement("groups"))) return false;
  const TiXmlElement* files = root->FirstChildElement("files");
  if (files == nullptr) {
    u->SetError("Unable to find files element!");
    return false;
  }
  u->Info("Building file list...");
  for (const TiXmlElement* child = files->FirstChildElement(); child != nullptr;
       child = child->NextSiblingElement()) {
    if (!BuildFile(child)) return false;
  }
  return ReadDeletes(root->FirstChildElement("delete"));
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
  // Before anything is built from it, a signed document must say what it is
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
  file->url = url;
  if (Modern()) {
    if (!HasAbsoluteScheme(file->url)) file->url = u->header.fileBase + file->url;
    std::string list = names != nullptr ? *names : "";
    for (size_t start = 0; start < list.size();) {
      size_t end = std::min(list.find(',', start), list.size());
      if (end > start) file->AddGroup(u->FindGroup(list.substr(start, end - start).c_str()));
      start = end + 1;
    }
  }
  ReplaceSpaces(&file->url);
  if (!CopyBounded(element, "key", file->key, sizeof(file->key)) || !FillDigests(element, file)) {
    file->~UpdateFile();
    zfree(file);
    return false;
  }
  JudgeFile(file, local);
  u->pendingCount += u->CountPending(file);
  u->fileCount++;
  u->AppendFile(file);
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

// Sets needsUpdate unless the installed copy exists as a regular file with
// the expected digest. The copy is reached through the base directory's link
// rules and read without following a link or waiting on a FIFO or device:
// anything but a regular file needs an update, and is then replaced, never
// written through. A staged file left beside it by an interrupted run goes
// first, so every run cleans up after an earlier one for every listed file.
void ParseInfoBuilder::JudgeFile(UpdateFile* file, const char* local) {
  BaseDir base;
  PathError error;
  bool current = false;
  if (base.Open(u->baseDir, &error)) {
    if (!u->dryRun) base.RemoveLeftover(file->path);
    int fd = base.OpenForRead(file->path, &error);
    char digest[65];
    current = fd >= 0 && DigestDescriptor(fd, Modern(), digest) &&
              strcasecmp(digest, file->fileDigest) == 0;
    if (fd >= 0) close(fd);
  }
  file->needsUpdate = !current;
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
