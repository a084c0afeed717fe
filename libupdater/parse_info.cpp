#define MEMLEAK_SOURCE "libupdater"
// The update-info parser: reads the document (its file list streamed when it
// can be), the header and the groups; the file list and the outdated files
// are built in parse_files.cpp.
#include <tinyxml.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "GenLib.h"
#include "info_stream.h"
#include "memleak.h"
#include "parse_info_builder.h"
#include "tinyxml_text.h"
#include "updater.h"

namespace {

// True when `name` can be written as a key of the INI file and read back.
// A group name is stored as an INI key, and the INI reader trims keys, turns
// TABs into blanks and collapses runs of blanks: a name that would not read
// back as itself would be written again on every save and never found.
bool IsStorableKey(const std::string& name) {
  return !name.empty() && name[0] != '[' && name.find_first_of("=\r\n\t") == std::string::npos &&
         name.front() != ' ' && name.back() != ' ' && name.find("  ") == std::string::npos;
}

// TinyXML reads nested elements by recursion, several stack frames a level,
// so a document nested deeply enough would overflow the stack. Real documents
// nest three levels; the nesting is measured before the parse and anything
// deeper than this is refused.
constexpr int kMaxDepth = 256;

}  // namespace

int64_t ParseInfoBuilder::ToNumber(const char* text) {
  return text != nullptr ? strtoll(text, nullptr, 10) : 0;
}

std::string ParseInfoBuilder::FoldCase(const std::string& name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
  }
  return folded;
}

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
