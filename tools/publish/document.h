// Writing the update-info document of either generation as XML text.
//
// Generation 1: "info" with AppName, Author and URL; each file with file,
// size, modes, url (absolute), key, md5 and packmd5; no groups.
// Generation 2: "info" also with FileBase; "groups"; each file with file,
// size, modes, url (relative to FileBase), group, key, sha and packsha.
// Both list the outdated paths under "delete". "info" also says which
// document it is ("document"), its "serial" and, when set, when it
// "expires"; older updaters ignore these. Attribute values are escaped
// for XML. Pure functions; safe on any thread.
#ifndef UPDATER_TOOLS_PUBLISH_DOCUMENT_H_
#define UPDATER_TOOLS_PUBLISH_DOCUMENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "description.h"

// One file entry of the document.
struct PublishedFile {
  std::string path;                 // relative to the base directory
  std::string url;                  // absolute (generation 1) or relative to FileBase (2)
  std::string key;                  // 16 characters, or empty: the pack is not enciphered
  std::string fileDigest;           // of the file: MD5 (generation 1) or SHA-256 (2), hex
  std::string packDigest;           // of the pack as served, same kind
  std::vector<std::string> groups;  // generation 2 only
  uint64_t size = 0;                // length of the file
  uint32_t mode = 0;                // permission bits, written in decimal
};

struct PublishedDocument {
  int generation = 2;
  std::string appName;
  std::string author;
  std::string appUrl;
  std::string fileBase;  // generation 2 only
  std::string name;      // the document's file name; written when not empty
  std::string serial;    // decimal; written when not empty
  std::string expires;   // seconds since 1970, decimal; written when not empty
  std::vector<PackageGroup> groups;
  std::vector<PublishedFile> files;
  std::vector<std::string> outdated;
};

// The text with & < > " ' written as entities and TAB, LF and CR as
// character references, so the value survives attribute normalisation.
std::string XmlEscape(const std::string& text);

// The whole document, ending in a line feed.
std::string WriteDocument(const PublishedDocument& document);

// `path` with every byte outside A-Z a-z 0-9 - . _ ~ / written as %XX, as
// the pack's URL names it.
std::string UrlEscapePath(const std::string& path);

#endif  // UPDATER_TOOLS_PUBLISH_DOCUMENT_H_
