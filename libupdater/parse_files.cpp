#define MEMLEAK_SOURCE "libupdater"
// The update-info parser's file list: one entry per child of "files", given
// its groups and judged by the installed copy once the list is complete; and
// the outdated files that exist.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base_dir.h"
#include "file_judge.h"
#include "memleak.h"
#include "parse_info_builder.h"
#include "updater.h"

namespace {

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

}  // namespace

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
