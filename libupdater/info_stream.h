// Reading an update-info document without holding TinyXML's tree of its file
// list. A document of a few hundred thousand files would take several times
// its own size as one tree (every attribute a node with two strings), so the
// children of the "files" element are parsed by TinyXML one at a time, handed
// over and freed, and the rest of the document is parsed as a small
// "skeleton" in which the file list is replaced by one comment.
//
// The skeleton is checked against what TinyXML would have read from the
// whole text: it must be well-formed, and the comment must be the only child
// of the first "files" element of the first "update_info" element. When
// anything does not fit, the caller parses the whole text as before, which
// also gives TinyXML's own error text and position for a malformed document.
//
// Also here: the nesting measure that keeps TinyXML's recursion off a
// hostile document.
//
// Thread-safety: no shared state.
#ifndef UPDATER_LIBUPDATER_INFO_STREAM_H_
#define UPDATER_LIBUPDATER_INFO_STREAM_H_

#include <tinyxml.h>

#include <cstddef>
#include <string>

// Position of the first element start tag of `text` (`length` bytes) nested
// deeper than `maxDepth`, or std::string::npos. Comments and CDATA sections
// are skipped; a misjudged tag only ever counts too deep, never too shallow.
size_t FindTooDeep(const char* text, size_t length, int maxDepth);

// Receives the file list as StreamFiles reads it.
class FilesVisitor {
 public:
  virtual ~FilesVisitor() = default;
  // The root's "version" attribute (null when absent), before the first file.
  // False stops the reading.
  virtual bool Version(const std::string* version) = 0;
  // One child element of "files", in document order; it is freed after the
  // call. False stops the reading.
  virtual bool File(const TiXmlElement& element) = 0;
};

// Reads `text` (`length` bytes, followed by the zero padding of
// tinyxml_text.h and holding no zero byte before it). True when the document
// is well-formed and was read this way: `visitor` has seen the version and
// every child element of the root's first "files" element, and `skeleton`
// (a fresh document) holds the rest. False when the document has no such
// list, is not well-formed, cannot be read this way or the visitor stopped:
// what the visitor received and `skeleton` are then to be discarded, and the
// text is to be parsed whole.
bool StreamFiles(const char* text, size_t length, FilesVisitor* visitor, TiXmlDocument* skeleton);

#endif  // UPDATER_LIBUPDATER_INFO_STREAM_H_
