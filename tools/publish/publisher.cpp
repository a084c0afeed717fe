// Publishing a release: packs and the update-info document.
#include "publisher.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "pack.h"

namespace {

// The largest document the updater takes.
constexpr size_t kMaxInfoSize = 64 * 1024 * 1024;

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = SystemError("cannot open", path);
    return false;
  }
  data->clear();
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    data->insert(data->end(), buffer, buffer + got);
    if (data->size() > 0xFFFFFFFEu) break;
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    *error = SystemError("cannot read", path);
    return false;
  }
  if (data->size() > 0xFFFFFFFEu) {
    *error = path + ": files of 4 GiB or more cannot be published";
    return false;
  }
  return true;
}

// Writes `size` bytes to `path` through "path.tmp" and a rename.
bool WriteWholeFile(const std::string& path, const void* data, size_t size, std::string* error) {
  std::string temporary = path + ".tmp";
  FILE* file = fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = SystemError("cannot create", temporary);
    return false;
  }
  bool ok = (size == 0 || fwrite(data, 1, size, file) == size);
  ok = (fclose(file) == 0) && ok;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = SystemError("cannot write", path);
    remove(temporary.c_str());
    return false;
  }
  return true;
}

bool ListInto(const std::string& root, const std::string& relative, std::vector<std::string>* paths,
              FILE* log, std::string* error) {
  std::string dirPath = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) {
    *error = SystemError("cannot read directory", dirPath);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  closedir(dir);
  for (const std::string& name : names) {
    std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    if (lstat((root + "/" + child).c_str(), &info) != 0) {
      *error = SystemError("cannot examine", root + "/" + child);
      return false;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!ListInto(root, child, paths, log, error)) return false;
    } else if (S_ISREG(info.st_mode)) {
      paths->push_back(child);
    } else if (log != nullptr) {
      fprintf(log, "warning: skipping %s (not a regular file)\n", child.c_str());
    }
  }
  return true;
}

// The groups of `path`: those of every matching [files] line, in order,
// each once.
std::vector<std::string> GroupsOf(const ReleaseDescription& description, const std::string& path,
                                  std::vector<bool>* ruleUsed) {
  std::vector<std::string> groups;
  for (size_t i = 0; i < description.fileRules.size(); ++i) {
    const FileRule& rule = description.fileRules[i];
    if (!MatchPattern(rule.pattern, path)) continue;
    (*ruleUsed)[i] = true;
    for (const std::string& group : rule.groups) {
      if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
    }
  }
  return groups;
}

// Checks [keys] and [outdated] against the files of the release.
bool CheckNames(const ReleaseDescription& description, const std::vector<std::string>& paths,
                std::string* error) {
  auto listed = [&paths](const std::string& path) {
    return std::binary_search(paths.begin(), paths.end(), path);
  };
  for (const KeyRule& rule : description.keyRules) {
    if (!listed(rule.path)) {
      *error = "line " + std::to_string(rule.line) + ": " + rule.path + " is not in the release";
      return false;
    }
  }
  for (const std::string& path : description.outdated) {
    if (listed(path)) {
      *error = path + " is listed as outdated but is part of the release";
      return false;
    }
  }
  return true;
}

struct PackJob {
  const ReleaseDescription* description;
  const PublishOptions* options;
  std::string packRoot;  // outputDir/PackDir
  std::string urlBase;   // "" (generation 2) or the absolute pack folder URL
};

bool PublishFile(const PackJob& job, const std::string& path, PublishedFile* out,
                 std::string* error) {
  const ReleaseDescription& description = *job.description;
  std::string source = job.options->releaseDir + "/" + path;
  struct stat info;
  std::vector<uint8_t> data;
  if (stat(source.c_str(), &info) != 0) {
    *error = SystemError("cannot examine", source);
    return false;
  }
  if (!ReadWholeFile(source, &data, error)) return false;
  out->path = path;
  out->size = data.size();
  out->mode = info.st_mode & 0777;
  out->key.clear();
  bool fixed = false;
  for (const KeyRule& rule : description.keyRules) {
    if (rule.path == path) {
      out->key = rule.key;
      fixed = true;
    }
  }
  if (!fixed && !RandomKey(&out->key)) {
    *error = "the random generator failed";
    return false;
  }
  std::vector<uint8_t> pack;
  if (!MakePack(data, out->key, &pack, error)) return false;
  if (!DigestBytes(description.generation, data, &out->fileDigest) ||
      !DigestBytes(description.generation, pack, &out->packDigest)) {
    *error = "cannot digest " + path;
    return false;
  }
  std::string packPath = job.packRoot + "/" + path + ".pak";
  if (!MakeDirectories(packPath.substr(0, packPath.rfind('/')))) {
    *error = SystemError("cannot create the folder of", packPath);
    return false;
  }
  if (!WriteWholeFile(packPath, pack.data(), pack.size(), error)) return false;
  out->url = job.urlBase + UrlEscapePath(path) + ".pak";
  if (job.options->log != nullptr) {
    fprintf(job.options->log, "packed %s (%llu bytes, pack %zu bytes)\n", path.c_str(),
            static_cast<unsigned long long>(data.size()), pack.size());
  }
  return true;
}

// Says in the document which document it is, its serial and its expiry.
void Stamp(const ReleaseDescription& description, const PublishOptions& options,
           PublishedDocument* document) {
  int64_t now = options.now != 0 ? options.now : static_cast<int64_t>(time(nullptr));
  std::string path = DocumentPath(description);
  document->name = path.substr(path.rfind('/') + 1);
  document->serial = std::to_string(options.serial >= 0 ? options.serial : now);
  if (options.validDays > 0) {
    document->expires = std::to_string(now + int64_t{86400} * options.validDays);
  }
}

// Reads `path` whole when it exists and holds at most `limit` bytes;
// otherwise "".
std::string ReadIfSmall(const std::string& path, size_t limit) {
  struct stat info;
  std::vector<uint8_t> data;
  std::string ignored;
  if (stat(path.c_str(), &info) != 0 || static_cast<uint64_t>(info.st_size) > limit ||
      !ReadWholeFile(path, &data, &ignored)) {
    return "";
  }
  return std::string(data.begin(), data.end());
}

// Puts the document `text` in place at `path`, signed when there are
// signing keys. The signature file goes first and holds the signatures of
// the new document and those of the document being replaced that still
// verify; after the document's rename it is trimmed to the new ones. A
// client that fetches either document finds a signature file that verifies
// it, except one that fetched the old document before the document's rename
// and the signature file after the trim; its retry succeeds.
bool PlaceDocument(const std::string& path, const std::string& text, const PublishOptions& options,
                   std::string* error) {
  if (options.signingKeys.empty()) return WriteWholeFile(path, text.data(), text.size(), error);
  std::string fresh, sigPath = path + ".sig";
  if (!SignDocument(options.signingKeys, text, &fresh, error)) return false;
  std::string old = StillValidSignatures(options.signingKeys, ReadIfSmall(path, kMaxInfoSize),
                                         ReadIfSmall(sigPath, kMaxSignatureFileSize));
  if (fresh.size() + old.size() > kMaxSignatureFileSize) old.clear();
  std::string both = fresh + old;
  if (!WriteWholeFile(sigPath, both.data(), both.size(), error) ||
      !WriteWholeFile(path, text.data(), text.size(), error)) {
    return false;
  }
  if (!old.empty() && !WriteWholeFile(sigPath, fresh.data(), fresh.size(), error)) return false;
  for (const SigningKey& key : options.signingKeys) {
    if (options.log != nullptr) {
      fprintf(options.log, "signed %s with key %s\n", path.c_str(), key.publicKey.id);
    }
  }
  return true;
}

}  // namespace

bool MakeDirectories(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ListRelease(const std::string& dir, std::vector<std::string>* paths, FILE* log,
                 std::string* error) {
  paths->clear();
  if (!ListInto(dir, "", paths, log, error)) return false;
  std::sort(paths->begin(), paths->end());
  return true;
}

bool Publish(const ReleaseDescription& given, const PublishOptions& options, std::string* error) {
  ReleaseDescription description = given;
  if (options.generation != 0) description.generation = options.generation;
  if (description.generation < 2 && !description.groups.empty()) {
    *error = "package groups need generation 2";
    return false;
  }
  if (description.generation < 2 && !options.signingKeys.empty()) {
    *error = "signing needs generation 2 (updaters refuse signed generation 1 documents)";
    return false;
  }
  std::string base = options.baseUrl.empty() ? description.baseUrl : options.baseUrl;
  if (base.empty()) {
    *error = "no base URL: give --base-url or BaseURL in [release]";
    return false;
  }
  if (base.back() != '/') base += '/';
  std::vector<std::string> paths;
  if (!ListRelease(options.releaseDir, &paths, options.log, error)) return false;
  if (!CheckNames(description, paths, error)) return false;

  PublishedDocument document;
  document.generation = description.generation;
  document.appName = description.appName;
  document.author = description.author;
  document.appUrl = description.appUrl;
  document.fileBase = base + UrlEscapePath(description.packDir) + "/";
  document.groups = description.groups;
  document.outdated = description.outdated;
  Stamp(description, options, &document);
  PackJob job{&description, &options, options.outputDir + "/" + description.packDir,
              description.generation >= 2 ? "" : document.fileBase};
  std::vector<bool> ruleUsed(description.fileRules.size(), false);
  for (const std::string& path : paths) {
    PublishedFile file;
    if (!PublishFile(job, path, &file, error)) return false;
    if (description.generation >= 2) file.groups = GroupsOf(description, path, &ruleUsed);
    document.files.push_back(file);
  }
  for (size_t i = 0; i < ruleUsed.size() && options.log != nullptr; ++i) {
    if (!ruleUsed[i] && description.generation >= 2) {
      fprintf(options.log, "warning: line %d: %s matches no file\n", description.fileRules[i].line,
              description.fileRules[i].pattern.c_str());
    }
  }
  std::string documentPath = options.outputDir + "/" + DocumentPath(description);
  if (!MakeDirectories(options.outputDir + "/updates")) {
    *error = SystemError("cannot create", options.outputDir + "/updates");
    return false;
  }
  if (!PlaceDocument(documentPath, WriteDocument(document), options, error)) return false;
  if (options.log != nullptr) {
    fprintf(options.log, "wrote %s: generation %d, %zu files, %zu groups, %zu outdated\n",
            documentPath.c_str(), document.generation, document.files.size(),
            document.generation >= 2 ? document.groups.size() : size_t{0},
            document.outdated.size());
  }
  return true;
}
