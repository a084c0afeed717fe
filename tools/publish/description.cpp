// Reading the release description of updater-publish.
#include "description.h"

#include <fnmatch.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

enum class Section { kNone, kRelease, kGroup, kFiles, kKeys, kOutdated };

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// Cuts a comment that starts with ';' or '#' after a blank.
std::string StripComment(const std::string& text) {
  for (size_t i = 1; i < text.size(); ++i) {
    if ((text[i] == ';' || text[i] == '#') && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
      return text.substr(0, i);
    }
  }
  return text;
}

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string LineError(int line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

// A whole decimal number within int32 range, optional sign, nothing else.
bool ParseInt(const std::string& text, int32_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  if (text[0] == ' ' || text[0] == '\t') return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// Splits "key = value" at the first '='.
bool SplitEntry(const std::string& line, std::string* key, std::string* value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(line.substr(0, eq));
  *value = Trim(line.substr(eq + 1));
  return true;
}

class Parser {
 public:
  explicit Parser(ReleaseDescription* out) : out_(out) {}

  bool Line(int number, const std::string& raw, std::string* error);
  bool Finish(std::string* error);

 private:
  bool Header(const std::string& text, std::string* error);
  bool ReleaseEntry(const std::string& key, const std::string& value, std::string* error);
  bool GroupEntry(const std::string& key, const std::string& value, std::string* error);
  bool FilesEntry(const std::string& key, const std::string& value, std::string* error);
  bool KeysEntry(const std::string& key, const std::string& value, std::string* error);

  ReleaseDescription* out_;
  Section section_ = Section::kNone;
  int line_ = 0;
};

bool Parser::Line(int number, const std::string& raw, std::string* error) {
  line_ = number;
  std::string text = raw;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  text = Trim(text);
  if (text.empty() || text[0] == '#' || text[0] == ';') return true;
  text = Trim(StripComment(text));
  if (text[0] == '[') return Header(text, error);
  if (section_ == Section::kOutdated) {
    if (!IsPlainRelativePath(text)) {
      *error = LineError(line_, "not a plain relative path: " + text);
      return false;
    }
    out_->outdated.push_back(text);
    return true;
  }
  std::string key, value;
  if (!SplitEntry(text, &key, &value) || key.empty()) {
    *error = LineError(line_, "expected KEY = VALUE");
    return false;
  }
  switch (section_) {
    case Section::kRelease:
      return ReleaseEntry(key, value, error);
    case Section::kGroup:
      return GroupEntry(key, value, error);
    case Section::kFiles:
      return FilesEntry(key, value, error);
    case Section::kKeys:
      return KeysEntry(key, value, error);
    default:
      *error = LineError(line_, "entry outside of a section");
      return false;
  }
}

bool Parser::Header(const std::string& text, std::string* error) {
  if (text.back() != ']') {
    *error = LineError(line_, "section header without ']'");
    return false;
  }
  std::string name = Trim(text.substr(1, text.size() - 2));
  if (SameText(name, "release")) {
    section_ = Section::kRelease;
  } else if (SameText(name, "files")) {
    section_ = Section::kFiles;
  } else if (SameText(name, "keys")) {
    section_ = Section::kKeys;
  } else if (SameText(name, "outdated")) {
    section_ = Section::kOutdated;
  } else if (name.size() > 6 && strncasecmp(name.c_str(), "group", 5) == 0 &&
             (name[5] == ' ' || name[5] == '\t')) {
    PackageGroup group;
    group.name = Trim(name.substr(6));
    if (group.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789_-.") != std::string::npos) {
      // The name is also a key of the updater's INI file and an item of a
      // comma-separated list, so it keeps to letters, digits, '_', '-', '.'.
      *error = LineError(line_, "a group name may hold only letters, digits, '_', '-' and '.'");
      return false;
    }
    for (const PackageGroup& other : out_->groups) {
      if (strcasecmp(other.name.c_str(), group.name.c_str()) == 0) {
        *error = LineError(line_, "group '" + group.name + "' is described twice");
        return false;
      }
    }
    out_->groups.push_back(group);
    section_ = Section::kGroup;
  } else {
    *error = LineError(line_, "unknown section [" + name + "]");
    return false;
  }
  return true;
}

bool Parser::ReleaseEntry(const std::string& key, const std::string& value, std::string* error) {
  if (SameText(key, "generation")) {
    int32_t generation = 0;
    if (!ParseInt(value, &generation) || (generation != 1 && generation != 2)) {
      *error = LineError(line_, "generation must be 1 or 2");
      return false;
    }
    out_->generation = generation;
  } else if (SameText(key, "line")) {
    if (value != "" && value != "4" && value != "5") {
      *error = LineError(line_, "line must be 5, 4 or empty");
      return false;
    }
    out_->line = value;
  } else if (SameText(key, "type")) {
    if (!SameText(value, "full") && !SameText(value, "basic")) {
      *error = LineError(line_, "type must be full or basic");
      return false;
    }
    out_->type = SameText(value, "full") ? "full" : "basic";
  } else if (SameText(key, "platform")) {
    if (value.empty() || value.size() > 31 || value.find('/') != std::string::npos) {
      *error = LineError(line_, "platform must be 1 to 31 characters without '/'");
      return false;
    }
    out_->platform = value;
  } else if (SameText(key, "AppName")) {
    out_->appName = value;
  } else if (SameText(key, "Author")) {
    out_->author = value;
  } else if (SameText(key, "URL")) {
    out_->appUrl = value;
  } else if (SameText(key, "BaseURL")) {
    out_->baseUrl = value;
  } else if (SameText(key, "PackDir")) {
    if (!IsPlainRelativePath(value)) {
      *error = LineError(line_, "PackDir must be a plain relative path");
      return false;
    }
    out_->packDir = value;
  } else {
    *error = LineError(line_, "unknown key '" + key + "' in [release]");
    return false;
  }
  return true;
}

bool Parser::GroupEntry(const std::string& key, const std::string& value, std::string* error) {
  PackageGroup& group = out_->groups.back();
  int32_t number = 0;
  bool numeric =
      SameText(key, "priority") || SameText(key, "default") || SameText(key, "defaultgrp");
  if (numeric && !ParseInt(value, &number)) {
    *error = LineError(line_, key + " must be a whole number");
    return false;
  }
  if (SameText(key, "dispName")) {
    group.dispName = value;
  } else if (SameText(key, "menu")) {
    group.menu = value;
  } else if (SameText(key, "desc")) {
    group.desc = value;
  } else if (SameText(key, "priority")) {
    group.priority = number;
  } else if (SameText(key, "default")) {
    if (number < 0 || number > 2) {
      *error = LineError(line_, "default must be 0 (none), 1 (install) or 2 (remove)");
      return false;
    }
    group.defaultState = number;
  } else if (SameText(key, "defaultgrp")) {
    group.defaultGroup = number != 0;
  } else {
    *error = LineError(line_, "unknown key '" + key + "' in [group " + group.name + "]");
    return false;
  }
  return true;
}

bool Parser::FilesEntry(const std::string& key, const std::string& value, std::string* error) {
  FileRule rule;
  rule.pattern = key;
  rule.line = line_;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string name = Trim(value.substr(start, comma - start));
    start = comma + 1;
    if (name.empty()) continue;
    bool known = false;
    for (const PackageGroup& group : out_->groups) {
      if (strcasecmp(group.name.c_str(), name.c_str()) == 0) {
        rule.groups.push_back(group.name);
        known = true;
        break;
      }
    }
    if (!known) {
      *error = LineError(line_, "unknown group '" + name + "' (describe groups before [files])");
      return false;
    }
  }
  out_->fileRules.push_back(rule);
  return true;
}

bool Parser::KeysEntry(const std::string& key, const std::string& value, std::string* error) {
  if (!IsPlainRelativePath(key)) {
    *error = LineError(line_, "not a plain relative path: " + key);
    return false;
  }
  if (!value.empty() && value.size() != 16) {
    *error = LineError(line_, "a key must have 16 characters, or none for no encipherment");
    return false;
  }
  for (char c : value) {
    if (c <= ' ' || c > '~') {
      *error = LineError(line_, "a key may only hold visible ASCII characters");
      return false;
    }
  }
  out_->keyRules.push_back(KeyRule{key, value, line_});
  return true;
}

bool Parser::Finish(std::string* error) {
  if (out_->appName.empty() || out_->author.empty() || out_->appUrl.empty()) {
    *error = "[release] needs AppName, Author and URL";
    return false;
  }
  if (out_->generation < 2 && !out_->groups.empty()) {
    *error = "package groups need generation 2";
    return false;
  }
  return true;
}

}  // namespace

bool ParseDescription(const std::string& text, ReleaseDescription* out, std::string* error) {
  *out = ReleaseDescription();
  Parser parser(out);
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (!parser.Line(++number, text.substr(start, end - start), error)) return false;
    start = end + 1;
  }
  return parser.Finish(error);
}

std::string DocumentPath(const ReleaseDescription& description) {
  return "updates/quillon" + description.line + "-" + description.type + "-" +
         description.platform + ".info";
}

bool MatchPattern(const std::string& pattern, const std::string& path) {
  return fnmatch(pattern.c_str(), path.c_str(), 0) == 0;
}

bool IsPlainRelativePath(const std::string& path) {
  if (path.empty() || path[0] == '/' || path.back() == '/') return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f || c == '\\') return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string piece = path.substr(start, slash - start);
    if (piece.empty() || piece == "." || piece == "..") return false;
    start = slash + 1;
  }
  return true;
}
