// The release description read by updater-publish: which product line,
// installation type and platform a release is for, the application data of
// the update-info document, the package groups, which release files belong
// to which groups, fixed pack keys and the paths that are outdated.
//
// The description is a small INI-like text (see docs/publish.md):
//
//   [release]            generation, line, type, platform, AppName, Author,
//                        URL, BaseURL, PackDir
//   [group NAME]         dispName, menu, desc, priority, default, defaultgrp
//   [files]              PATTERN = GROUP[, GROUP...]
//   [keys]               PATH = KEY        (an empty KEY: not enciphered)
//   [outdated]           PATH              (one per line)
//
// Lines starting with '#' or ';' are comments, and so is the rest of a line
// from a '#' or ';' that follows a blank. Parsing is a pure function of the text; no state is
// shared, so it may run on several threads at once.
#ifndef UPDATER_TOOLS_PUBLISH_DESCRIPTION_H_
#define UPDATER_TOOLS_PUBLISH_DESCRIPTION_H_

#include <cstdint>
#include <string>
#include <vector>

// One package group as the document announces it.
struct PackageGroup {
  std::string name;          // letters, digits, _ - . only
  std::string dispName;      // written only when not empty
  std::string menu;          // written only when not empty
  std::string desc;          // written as given; "\n" (backslash, n) is a line break
  int32_t priority = 50;     // higher sorts first
  int32_t defaultState = 0;  // 0 None, 1 Install, 2 Remove
  bool defaultGroup = false;
};

// One line of [files]: release paths matching `pattern` (shell wildcards,
// '*' also crossing '/') belong to `groups`.
struct FileRule {
  std::string pattern;
  std::vector<std::string> groups;
  int line = 0;  // line in the description, for messages
};

// One line of [keys]: the pack of `path` is enciphered with `key`, which has
// 16 characters or is empty (no encipherment).
struct KeyRule {
  std::string path;
  std::string key;
  int line = 0;
};

struct ReleaseDescription {
  int generation = 2;         // 1: MD5, absolute URLs; 2: SHA-256, FileBase, groups
  std::string line = "5";     // product line: "5", "4" or "" (empty)
  std::string type = "full";  // "full" or "basic"
  std::string platform = "centos7.x86_64";
  std::string appName;
  std::string author;
  std::string appUrl;
  std::string baseUrl;               // URL under which the output directory is served
  std::string packDir = "packs";     // folder of the packs under the output directory
  std::vector<PackageGroup> groups;  // in description order
  std::vector<FileRule> fileRules;   // in description order
  std::vector<KeyRule> keyRules;
  std::vector<std::string> outdated;  // paths relative to the base directory
};

// Parses `text` into `out` (which is reset first). Returns false on the first
// error and sets `error` to "line N: what is wrong" (or a text without a line
// when a whole-description check fails).
bool ParseDescription(const std::string& text, ReleaseDescription* out, std::string* error);

// The document's path under the output directory, for example
// "updates/quillon5-full-centos7.x86_64.info".
std::string DocumentPath(const ReleaseDescription& description);

// True when `path` matches the shell pattern `pattern` ('*' matches any run of
// characters, '/' included; '?' one character; [...] a class).
bool MatchPattern(const std::string& pattern, const std::string& path);

// True when `path` is a plain relative path: not empty, no leading '/', no
// empty, "." or ".." piece, no backslash and no control character.
bool IsPlainRelativePath(const std::string& path);

#endif  // UPDATER_TOOLS_PUBLISH_DESCRIPTION_H_
